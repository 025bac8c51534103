#pragma once
// Butterfly passes of the self-sorting mixed-radix transform, on split real/imaginary
// storage. A pass with radix R reads sub-sequences x[q + s*(p + r*m)], r = 0..R-1, applies
// the R-point transform, multiplies output k by the twiddle e^(dir*2*pi*i*p*k/(R*m)) and
// writes it to y[q + s*(R*p + k)]. Where the stride s fills a tile the work is vectorised
// along q with one twiddle per p; where it is shorter, along p.
//
// Included only by fourier_passes.cpp, which is compiled once for every instruction set the
// library dispatches on; QUELLAR_PASSES_NS names the copy, and the anonymous namespace keeps
// the copies from being merged by the linker.
#include <cstddef>

#include "numerics/fourier/fourier_plan.h"

namespace quellar::fourier::detail::QUELLAR_PASSES_NS {
namespace {

// Columns are moved through local tiles of one cache line each. The rows of a pass lie at
// power-of-two distances for power-of-two lengths, so they compete for the same cache sets;
// reading and writing each line whole in one go keeps that from costing a miss per element.
constexpr std::size_t kTile = 8;

template <int R, class B>
inline void TileButterflies(double (&re)[R][kTile], double (&im)[R][kTile]) {
  for (std::size_t t = 0; t < kTile; ++t) {
    double ar[R], ai[R];
    for (int r = 0; r < R; ++r) {
      ar[r] = re[r][t];
      ai[r] = im[r][t];
    }
    B::Apply(ar, ai);
    for (int k = 0; k < R; ++k) {
      re[k][t] = ar[k];
      im[k][t] = ai[k];
    }
  }
}

// One column (p, q) without tiling, for passes too short to fill a tile.
template <int R, class B>
inline void Column(const Stage& st, std::size_t p, std::size_t q, const double* __restrict xr,
                   const double* __restrict xi, double* __restrict yr, double* __restrict yi,
                   double scale) {
  const std::size_t m = st.m, s = st.s;
  double ar[R], ai[R];
  for (int r = 0; r < R; ++r) {
    ar[r] = xr[q + s * (p + r * m)];
    ai[r] = xi[q + s * (p + r * m)];
  }
  B::Apply(ar, ai);
  const double w0 = m > 1 ? 1.0 : scale;
  yr[q + s * R * p] = ar[0] * w0;
  yi[q + s * R * p] = ai[0] * w0;
  for (int k = 1; k < R; ++k) {
    double re = ar[k] * w0, im = ai[k] * w0;
    if (m > 1) {
      const double wr = st.twRe[(k - 1) * m + p];
      const double wi = st.twIm[(k - 1) * m + p];
      re = ar[k] * wr - ai[k] * wi;
      im = ar[k] * wi + ai[k] * wr;
    }
    yr[q + s * (R * p + k)] = re;
    yi[q + s * (R * p + k)] = im;
  }
}

// Tiles along p for a short stride s (< kTile), each column with its own twiddles. With
// s = 1 (the first pass) the outputs of a tile form one contiguous block. Needs m >= kTile;
// never the last pass, so there is no scale.
template <int R, class B, bool kUnitStride>
inline void RunAlongP(const Stage& st, const double* __restrict xr, const double* __restrict xi,
                      double* __restrict yr, double* __restrict yi) {
  const std::size_t m = st.m;
  const std::size_t s = kUnitStride ? 1 : st.s;
  const double* __restrict twr = st.twRe.data();
  const double* __restrict twi = st.twIm.data();
  double tr[R][kTile], ti[R][kTile];
  for (std::size_t q = 0; q < s; ++q) {
    const double* __restrict xrq = xr + q;
    const double* __restrict xiq = xi + q;
    double* __restrict yrq = yr + q;
    double* __restrict yiq = yi + q;
    for (std::size_t p0 = 0; p0 < m; p0 += kTile) {
      // The last tile may overlap the one before: its columns are simply computed twice.
      const std::size_t p = p0 + kTile <= m ? p0 : m - kTile;
      for (int r = 0; r < R; ++r) {
        for (std::size_t t = 0; t < kTile; ++t) {
          tr[r][t] = xrq[s * (p + t + r * m)];
          ti[r][t] = xiq[s * (p + t + r * m)];
        }
      }
      TileButterflies<R, B>(tr, ti);
      for (int k = 1; k < R; ++k) {
        for (std::size_t t = 0; t < kTile; ++t) {
          const double wr = twr[(k - 1) * m + p + t], wi = twi[(k - 1) * m + p + t];
          const double re = tr[k][t] * wr - ti[k][t] * wi;
          ti[k][t] = tr[k][t] * wi + ti[k][t] * wr;
          tr[k][t] = re;
        }
      }
      for (std::size_t t = 0; t < kTile; ++t) {
        for (int k = 0; k < R; ++k) {
          yrq[s * (R * (p + t) + k)] = tr[k][t];
          yiq[s * (R * (p + t) + k)] = ti[k][t];
        }
      }
    }
  }
}

// One pass. The input and output buffers never overlap. scale multiplies the outputs of the
// last pass (m = 1), which has no twiddles of its own.
template <int R, class B>
inline void RunFixed(const Stage& st, const double* __restrict xr, const double* __restrict xi,
                     double* __restrict yr, double* __restrict yi, double scale) {
  const std::size_t m = st.m;
  const std::size_t s = st.s;
  const std::size_t sm = s * m;
  if (s >= kTile) {
    // Long stride: tiles run along q and share the twiddles of their p.
    const double* __restrict twr = st.twRe.data();
    const double* __restrict twi = st.twIm.data();
    double tr[R][kTile], ti[R][kTile];
    const double w0 = m > 1 ? 1.0 : scale;
    for (std::size_t p = 0; p < m; ++p) {
      double wr[R], wi[R];
      for (int k = 1; k < R; ++k) {
        wr[k] = m > 1 ? twr[(k - 1) * m + p] : scale;
        wi[k] = m > 1 ? twi[(k - 1) * m + p] : 0.0;
      }
      const double* __restrict xrp = xr + s * p;
      const double* __restrict xip = xi + s * p;
      double* __restrict yrp = yr + s * R * p;
      double* __restrict yip = yi + s * R * p;
      for (std::size_t q0 = 0; q0 < s; q0 += kTile) {
        const std::size_t q = q0 + kTile <= s ? q0 : s - kTile;  // may overlap, see RunAlongP
        for (int r = 0; r < R; ++r) {
          for (std::size_t t = 0; t < kTile; ++t) {
            tr[r][t] = xrp[q + t + r * sm];
            ti[r][t] = xip[q + t + r * sm];
          }
        }
        TileButterflies<R, B>(tr, ti);
        for (std::size_t t = 0; t < kTile; ++t) {
          yrp[q + t] = tr[0][t] * w0;
          yip[q + t] = ti[0][t] * w0;
        }
        for (int k = 1; k < R; ++k) {
          for (std::size_t t = 0; t < kTile; ++t) {
            yrp[q + t + k * s] = tr[k][t] * wr[k] - ti[k][t] * wi[k];
            yip[q + t + k * s] = tr[k][t] * wi[k] + ti[k][t] * wr[k];
          }
        }
      }
    }
    return;
  }
  if (m >= kTile) {
    if (s == 1)
      RunAlongP<R, B, true>(st, xr, xi, yr, yi);
    else
      RunAlongP<R, B, false>(st, xr, xi, yr, yi);
    return;
  }
  for (std::size_t q = 0; q < s; ++q)
    for (std::size_t p = 0; p < m; ++p) Column<R, B>(st, p, q, xr, xi, yr, yi, scale);
}

struct Butterfly2 {
  template <class T>
  static inline void Apply(T* re, T* im) {
    const T r0 = re[0], i0 = im[0];
    re[0] = r0 + re[1];
    im[0] = i0 + im[1];
    re[1] = r0 - re[1];
    im[1] = i0 - im[1];
  }
};

// D is the sign of the exponent; W = e^(D*2*pi*i/R).
template <int D>
struct Butterfly3 {
  template <class T>
  static inline void Apply(T* re, T* im) {
    constexpr double kSin = D * 0.86602540378443864676;  // D*sin(2*pi/3)
    const T sr = re[1] + re[2], si = im[1] + im[2];
    const T dr = re[1] - re[2], di = im[1] - im[2];
    const T mr = re[0] - 0.5 * sr, mi = im[0] - 0.5 * si;
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
  static constexpr double kD = D;
  template <class T>
  static inline void Apply(T* re, T* im) {
    const T t0r = re[0] + re[2], t0i = im[0] + im[2];
    const T t1r = re[0] - re[2], t1i = im[0] - im[2];
    const T t2r = re[1] + re[3], t2i = im[1] + im[3];
    // (a1 - a3) * (D*i)
    const T t3r = -kD * (im[1] - im[3]), t3i = kD * (re[1] - re[3]);
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
  template <class T>
  static inline void Apply(T* re, T* im) {
    constexpr double kC1 = 0.30901699437494742410;   // cos(2*pi/5)
    constexpr double kC2 = -0.80901699437494742410;  // cos(4*pi/5)
    constexpr double kS1 = D * 0.95105651629515357212;
    constexpr double kS2 = D * 0.58778525229247312917;
    const T s1r = re[1] + re[4], s1i = im[1] + im[4];
    const T d1r = re[1] - re[4], d1i = im[1] - im[4];
    const T s2r = re[2] + re[3], s2i = im[2] + im[3];
    const T d2r = re[2] - re[3], d2i = im[2] - im[3];
    const T a1r = re[0] + kC1 * s1r + kC2 * s2r, a1i = im[0] + kC1 * s1i + kC2 * s2i;
    const T a2r = re[0] + kC2 * s1r + kC1 * s2r, a2i = im[0] + kC2 * s1i + kC1 * s2i;
    // i * (S1*d1 + S2*d2) and i * (S2*d1 - S1*d2)
    const T b1r = -(kS1 * d1i + kS2 * d2i), b1i = kS1 * d1r + kS2 * d2r;
    const T b2r = -(kS2 * d1i - kS1 * d2i), b2i = kS2 * d1r - kS1 * d2r;
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
  static constexpr double kD = D;
  template <class T>
  static inline void Apply(T* re, T* im) {
    constexpr double kH = 0.70710678118654752440;
    T ur[4], ui[4], vr[4], vi[4];
    for (int r = 0; r < 4; ++r) {
      ur[r] = re[r] + re[r + 4];
      ui[r] = im[r] + im[r + 4];
      vr[r] = re[r] - re[r + 4];
      vi[r] = im[r] - im[r + 4];
    }
    const T v1r = kH * (vr[1] - kD * vi[1]), v1i = kH * (vi[1] + kD * vr[1]);
    const T v2r = -kD * vi[2], v2i = kD * vr[2];
    const T v3r = kH * (-vr[3] - kD * vi[3]), v3i = kH * (-vi[3] + kD * vr[3]);
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

// cos and sin of 2*pi*k/R for k = 1..(R-1)/2.
template <int R>
struct OddRoots;
template <>
struct OddRoots<7> {
  static constexpr double kCos[3] = {0.623489801858733530525, -0.222520933956314404289,
                                     -0.900968867902419126236};
  static constexpr double kSin[3] = {0.781831482468029808708, 0.974927912181823607018,
                                     0.433883739117558120476};
};
template <>
struct OddRoots<11> {
  static constexpr double kCos[5] = {0.841253532831181168862, 0.415415013001886425529,
                                     -0.142314838273285140444, -0.654860733945285064057,
                                     -0.95949297361449738989};
  static constexpr double kSin[5] = {0.540640817455597582108, 0.909631995354518371412,
                                     0.989821441880932732376, 0.755749574354258283774,
                                     0.281732556841429697711};
};
template <>
struct OddRoots<13> {
  static constexpr double kCos[6] = {0.8854560256532098959,    0.568064746731155802512,
                                     0.120536680255323053349,  -0.35460488704253562597,
                                     -0.748510748171101098635, -0.970941817426052027157};
  static constexpr double kSin[6] = {0.464723172043768545656, 0.82298386589365639458,
                                     0.992708874098053992801, 0.93501624268541482344,
                                     0.663122658240795202377, 0.239315664287557767149};
};

// Odd prime radix with compile-time constants: inputs r and R-r are paired, so output k and
// R-k share one sum of cosines and one of sines.
template <int R, int D>
struct ButterflyOdd {
  template <class T>
  static inline void Apply(T* re, T* im) {
    constexpr int kHalf = (R - 1) / 2;
    T sr[kHalf], si[kHalf], dr[kHalf], di[kHalf];
    T totalR = re[0], totalI = im[0];
    for (int r = 0; r < kHalf; ++r) {
      sr[r] = re[r + 1] + re[R - 1 - r];
      si[r] = im[r + 1] + im[R - 1 - r];
      dr[r] = re[r + 1] - re[R - 1 - r];
      di[r] = im[r + 1] - im[R - 1 - r];
      totalR += sr[r];
      totalI += si[r];
    }
    T outR[R], outI[R];
    // Unrolled whole, the root indices below are constants and the loop over a tile vectorises.
#pragma GCC unroll 16
    for (int k = 1; k <= kHalf; ++k) {
      T ar = re[0], ai = im[0], br{}, bi{};
#pragma GCC unroll 16
      for (int r = 1; r <= kHalf; ++r) {
        const int e = r * k % R;  // e^(2*pi*i*e/R), folded into the first half
        const double c = e <= kHalf ? OddRoots<R>::kCos[e - 1] : OddRoots<R>::kCos[R - e - 1];
        const double sn =
            D * (e <= kHalf ? OddRoots<R>::kSin[e - 1] : -OddRoots<R>::kSin[R - e - 1]);
        ar += sr[r - 1] * c;
        ai += si[r - 1] * c;
        br -= di[r - 1] * sn;
        bi += dr[r - 1] * sn;
      }
      outR[k] = ar + br;
      outI[k] = ai + bi;
      outR[R - k] = ar - br;
      outI[R - k] = ai - bi;
    }
    re[0] = totalR;
    im[0] = totalI;
    for (int k = 1; k < R; ++k) {
      re[k] = outR[k];
      im[k] = outI[k];
    }
  }
};

// Any other odd prime radix up to kMaxButterflyPrime, the same sums with the radix and its
// roots known only at run time.
inline void RunGenericPrime(const Stage& st, const double* xr, const double* xi, double* yr,
                            double* yi, double scale) {
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
      const double w0 = m > 1 ? 1.0 : scale;
      yrq[0] = br[0] * w0;
      yiq[0] = bi[0] * w0;
      for (int k = 1; k < radix; ++k) {
        double re = br[k] * w0, im = bi[k] * w0;
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

}  // namespace
}  // namespace quellar::fourier::detail::QUELLAR_PASSES_NS
