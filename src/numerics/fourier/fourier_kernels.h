#pragma once
// Butterfly passes of the self-sorting mixed-radix transform, on split real/imaginary
// storage. A pass with radix R reads sub-sequences x[q + s*(p + r*m)], r = 0..R-1, applies
// the R-point transform, multiplies output k by the twiddle e^(dir*2*pi*i*p*k/(R*m)) and
// writes it to y[q + s*(R*p + k)]. Where the stride s is long the inner loop runs over q with
// one twiddle per p (contiguous, vectorises); where it is short it runs over p.
#include <cstddef>

#include "numerics/fourier/fourier_plan.h"

namespace quellar::fourier::detail {

constexpr std::size_t kInnerStride = 4;

template <int R, class B>
inline void RunFixed(const Stage& st, const double* __restrict xr, const double* __restrict xi,
                     double* __restrict yr, double* __restrict yi) {
  const std::size_t m = st.m;
  const std::size_t s = st.s;
  const std::size_t sm = s * m;
  if (m == 1) {
    for (std::size_t q = 0; q < s; ++q) {
      double ar[R], ai[R];
      for (int r = 0; r < R; ++r) {
        ar[r] = xr[q + r * s];
        ai[r] = xi[q + r * s];
      }
      B::Apply(ar, ai);
      for (int k = 0; k < R; ++k) {
        yr[q + k * s] = ar[k];
        yi[q + k * s] = ai[k];
      }
    }
    return;
  }
  const double* __restrict twr = st.twRe.data();
  const double* __restrict twi = st.twIm.data();
  if (s >= kInnerStride) {
    for (std::size_t p = 0; p < m; ++p) {
      double wr[R], wi[R];
      for (int k = 1; k < R; ++k) {
        wr[k] = twr[(k - 1) * m + p];
        wi[k] = twi[(k - 1) * m + p];
      }
      const double* __restrict xrp = xr + s * p;
      const double* __restrict xip = xi + s * p;
      double* __restrict yrp = yr + s * R * p;
      double* __restrict yip = yi + s * R * p;
      for (std::size_t q = 0; q < s; ++q) {
        double ar[R], ai[R];
        for (int r = 0; r < R; ++r) {
          ar[r] = xrp[q + r * sm];
          ai[r] = xip[q + r * sm];
        }
        B::Apply(ar, ai);
        yrp[q] = ar[0];
        yip[q] = ai[0];
        for (int k = 1; k < R; ++k) {
          yrp[q + k * s] = ar[k] * wr[k] - ai[k] * wi[k];
          yip[q + k * s] = ar[k] * wi[k] + ai[k] * wr[k];
        }
      }
    }
    return;
  }
  for (std::size_t q = 0; q < s; ++q) {
    const double* __restrict xrq = xr + q;
    const double* __restrict xiq = xi + q;
    double* __restrict yrq = yr + q;
    double* __restrict yiq = yi + q;
    for (std::size_t p = 0; p < m; ++p) {
      double ar[R], ai[R];
      for (int r = 0; r < R; ++r) {
        ar[r] = xrq[s * (p + r * m)];
        ai[r] = xiq[s * (p + r * m)];
      }
      B::Apply(ar, ai);
      yrq[s * R * p] = ar[0];
      yiq[s * R * p] = ai[0];
      for (int k = 1; k < R; ++k) {
        const double wr = twr[(k - 1) * m + p];
        const double wi = twi[(k - 1) * m + p];
        yrq[s * (R * p + k)] = ar[k] * wr - ai[k] * wi;
        yiq[s * (R * p + k)] = ar[k] * wi + ai[k] * wr;
      }
    }
  }
}

struct Butterfly2 {
  static inline void Apply(double* re, double* im) {
    const double r0 = re[0], i0 = im[0];
    re[0] = r0 + re[1];
    im[0] = i0 + im[1];
    re[1] = r0 - re[1];
    im[1] = i0 - im[1];
  }
};

// D is the sign of the exponent; W = e^(D*2*pi*i/R).
template <int D>
struct Butterfly3 {
  static inline void Apply(double* re, double* im) {
    constexpr double kSin = D * 0.86602540378443864676;  // D*sin(2*pi/3)
    const double sr = re[1] + re[2], si = im[1] + im[2];
    const double dr = re[1] - re[2], di = im[1] - im[2];
    const double mr = re[0] - 0.5 * sr, mi = im[0] - 0.5 * si;
    re[0] += sr;
    im[0] += si;
    re[1] = mr - kSin * di;
    im[1] = mi + kSin * dr;
    re[2] = mr + kSin * di;
    im[2] = mi - kSin * dr;
  }
};

template <int D>
struct Butterfly4 {
  static inline void Apply(double* re, double* im) {
    const double t0r = re[0] + re[2], t0i = im[0] + im[2];
    const double t1r = re[0] - re[2], t1i = im[0] - im[2];
    const double t2r = re[1] + re[3], t2i = im[1] + im[3];
    // (a1 - a3) * (D*i)
    const double t3r = -D * (im[1] - im[3]), t3i = D * (re[1] - re[3]);
    re[0] = t0r + t2r;
    im[0] = t0i + t2i;
    re[2] = t0r - t2r;
    im[2] = t0i - t2i;
    re[1] = t1r + t3r;
    im[1] = t1i + t3i;
    re[3] = t1r - t3r;
    im[3] = t1i - t3i;
  }
};

template <int D>
struct Butterfly5 {
  static inline void Apply(double* re, double* im) {
    constexpr double kC1 = 0.30901699437494742410;   // cos(2*pi/5)
    constexpr double kC2 = -0.80901699437494742410;  // cos(4*pi/5)
    constexpr double kS1 = D * 0.95105651629515357212;
    constexpr double kS2 = D * 0.58778525229247312917;
    const double s1r = re[1] + re[4], s1i = im[1] + im[4];
    const double d1r = re[1] - re[4], d1i = im[1] - im[4];
    const double s2r = re[2] + re[3], s2i = im[2] + im[3];
    const double d2r = re[2] - re[3], d2i = im[2] - im[3];
    const double a1r = re[0] + kC1 * s1r + kC2 * s2r, a1i = im[0] + kC1 * s1i + kC2 * s2i;
    const double a2r = re[0] + kC2 * s1r + kC1 * s2r, a2i = im[0] + kC2 * s1i + kC1 * s2i;
    // i * (S1*d1 + S2*d2) and i * (S2*d1 - S1*d2)
    const double b1r = -(kS1 * d1i + kS2 * d2i), b1i = kS1 * d1r + kS2 * d2r;
    const double b2r = -(kS2 * d1i - kS1 * d2i), b2i = kS2 * d1r - kS1 * d2r;
    re[0] += s1r + s2r;
    im[0] += s1i + s2i;
    re[1] = a1r + b1r;
    im[1] = a1i + b1i;
    re[4] = a1r - b1r;
    im[4] = a1i - b1i;
    re[2] = a2r + b2r;
    im[2] = a2i + b2i;
    re[3] = a2r - b2r;
    im[3] = a2i - b2i;
  }
};

// Radix 8 as one radix-2 layer and two radix-4 transforms, the odd half pre-rotated by
// powers of e^(D*i*pi/4).
template <int D>
struct Butterfly8 {
  static inline void Apply(double* re, double* im) {
    constexpr double kH = 0.70710678118654752440;
    double ur[4], ui[4], vr[4], vi[4];
    for (int r = 0; r < 4; ++r) {
      ur[r] = re[r] + re[r + 4];
      ui[r] = im[r] + im[r + 4];
      vr[r] = re[r] - re[r + 4];
      vi[r] = im[r] - im[r + 4];
    }
    const double v1r = kH * (vr[1] - D * vi[1]), v1i = kH * (vi[1] + D * vr[1]);
    const double v2r = -D * vi[2], v2i = D * vr[2];
    const double v3r = kH * (-vr[3] - D * vi[3]), v3i = kH * (-vi[3] + D * vr[3]);
    vr[1] = v1r;
    vi[1] = v1i;
    vr[2] = v2r;
    vi[2] = v2i;
    vr[3] = v3r;
    vi[3] = v3i;
    Butterfly4<D>::Apply(ur, ui);
    Butterfly4<D>::Apply(vr, vi);
    for (int k = 0; k < 4; ++k) {
      re[2 * k] = ur[k];
      im[2 * k] = ui[k];
      re[2 * k + 1] = vr[k];
      im[2 * k + 1] = vi[k];
    }
  }
};

inline void RunRadix2(const Stage& st, const double* xr, const double* xi, double* yr, double* yi) {
  RunFixed<2, Butterfly2>(st, xr, xi, yr, yi);
}
template <int D>
void RunRadix3(const Stage& st, const double* xr, const double* xi, double* yr, double* yi) {
  RunFixed<3, Butterfly3<D>>(st, xr, xi, yr, yi);
}
template <int D>
void RunRadix4(const Stage& st, const double* xr, const double* xi, double* yr, double* yi) {
  RunFixed<4, Butterfly4<D>>(st, xr, xi, yr, yi);
}
template <int D>
void RunRadix5(const Stage& st, const double* xr, const double* xi, double* yr, double* yi) {
  RunFixed<5, Butterfly5<D>>(st, xr, xi, yr, yi);
}
template <int D>
void RunRadix8(const Stage& st, const double* xr, const double* xi, double* yr, double* yi) {
  RunFixed<8, Butterfly8<D>>(st, xr, xi, yr, yi);
}

// Odd prime radix up to kMaxButterflyPrime: pairs r and R-r share their cosines, which
// halves the multiplications of the direct sum.
inline void RunGenericPrime(const Stage& st, const double* xr, const double* xi, double* yr,
                            double* yi) {
  const int radix = st.radix;
  const int half = (radix - 1) / 2;
  const std::size_t m = st.m;
  const std::size_t s = st.s;
  const double* cr = st.rootRe.data();
  const double* ci = st.rootIm.data();
  constexpr int kMax = static_cast<int>(kMaxButterflyPrime) + 1;
  double sr[kMax], si[kMax], dr[kMax], di[kMax], br[kMax], bi[kMax];
  for (std::size_t p = 0; p < m; ++p) {
    for (std::size_t q = 0; q < s; ++q) {
      const double* xrq = xr + q + s * p;
      const double* xiq = xi + q + s * p;
      const double a0r = xrq[0], a0i = xiq[0];
      double totalR = a0r, totalI = a0i;
      for (int r = 1; r <= half; ++r) {
        const std::size_t lo = s * m * r, hi = s * m * (radix - r);
        sr[r] = xrq[lo] + xrq[hi];
        si[r] = xiq[lo] + xiq[hi];
        dr[r] = xrq[lo] - xrq[hi];
        di[r] = xiq[lo] - xiq[hi];
        totalR += sr[r];
        totalI += si[r];
      }
      br[0] = totalR;
      bi[0] = totalI;
      for (int k = 1; k <= half; ++k) {
        double ar = a0r, ai = a0i, rr = 0.0, ri = 0.0;
        int index = 0;
        for (int r = 1; r <= half; ++r) {
          index += k;
          if (index >= radix) index -= radix;
          ar += sr[r] * cr[index];
          ai += si[r] * cr[index];
          rr -= di[r] * ci[index];
          ri += dr[r] * ci[index];
        }
        br[k] = ar + rr;
        bi[k] = ai + ri;
        br[radix - k] = ar - rr;
        bi[radix - k] = ai - ri;
      }
      double* yrq = yr + q + s * radix * p;
      double* yiq = yi + q + s * radix * p;
      yrq[0] = br[0];
      yiq[0] = bi[0];
      for (int k = 1; k < radix; ++k) {
        double re = br[k], im = bi[k];
        if (m > 1) {
          const double wr = st.twRe[(k - 1) * m + p];
          const double wi = st.twIm[(k - 1) * m + p];
          re = br[k] * wr - bi[k] * wi;
          im = br[k] * wi + bi[k] * wr;
        }
        yrq[s * k] = re;
        yiq[s * k] = im;
      }
    }
  }
}

}  // namespace quellar::fourier::detail
