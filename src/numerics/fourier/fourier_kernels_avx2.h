#pragma once
// AVX2 passes for the stages that fill whole vectors of four doubles, on the same butterflies
// as the tiled passes of fourier_kernels.h. A pass whose stride s is a multiple of four runs
// along q, every load and store contiguous. The first pass (s = 1) runs along p, four columns
// at once, and transposes its outputs in registers so that each column's R results go out as
// contiguous vectors. Other stages return false and take the tiled passes.
//
// Included only by fourier_passes_avx2.cpp (through fourier_passes.cpp), which is compiled with
// -mavx2 -mfma.
#include <immintrin.h>

#include <cstddef>

#include "numerics/fourier/fourier_kernels.h"

namespace quellar::fourier::detail::QUELLAR_PASSES_NS {
namespace {

using V = __m256d;

inline V Load(const double* p) {
  return _mm256_loadu_pd(p);
}
inline void Store(double* p, V v) {
  _mm256_storeu_pd(p, v);
}
inline V Splat(double x) {
  return _mm256_set1_pd(x);
}

// One pass along q (s a multiple of 4): for each p, the twiddles are splatted once and the
// butterflies run over q four at a time. The last pass (m = 1) only scales.
template <int R, class B>
void RunAlongQVector(const Stage& st, const double* xr, const double* xi, double* yr, double* yi,
                     double scale) {
  const std::size_t m = st.m, s = st.s, sm = s * m;
  const double* twr = st.twRe.data();
  const double* twi = st.twIm.data();
  for (std::size_t p = 0; p < m; ++p) {
    V wr[R], wi[R];
    for (int k = 1; k < R; ++k) {
      wr[k] = Splat(m > 1 ? twr[(k - 1) * m + p] : 0.0);
      wi[k] = Splat(m > 1 ? twi[(k - 1) * m + p] : 0.0);
    }
    const V factor = Splat(scale);
    const double* xrp = xr + s * p;
    const double* xip = xi + s * p;
    double* yrp = yr + s * R * p;
    double* yip = yi + s * R * p;
    for (std::size_t q = 0; q < s; q += 4) {
      V ar[R], ai[R];
      for (int r = 0; r < R; ++r) {
        ar[r] = Load(xrp + q + r * sm);
        ai[r] = Load(xip + q + r * sm);
      }
      B::Apply(ar, ai);
      if (m == 1) {
        for (int k = 0; k < R; ++k) {
          Store(yrp + q + k * s, ar[k] * factor);
          Store(yip + q + k * s, ai[k] * factor);
        }
        continue;
      }
      Store(yrp + q, ar[0]);
      Store(yip + q, ai[0]);
      for (int k = 1; k < R; ++k) {
        Store(yrp + q + k * s, ar[k] * wr[k] - ai[k] * wi[k]);
        Store(yip + q + k * s, ar[k] * wi[k] + ai[k] * wr[k]);
      }
    }
  }
}

// Rows r0..r3 of a 4x4 block become its columns.
inline void Transpose4(V& r0, V& r1, V& r2, V& r3) {
  const V t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
  const V t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
  r0 = _mm256_permute2f128_pd(t0, t2, 0x20);
  r1 = _mm256_permute2f128_pd(t1, t3, 0x20);
  r2 = _mm256_permute2f128_pd(t0, t2, 0x31);
  r3 = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// v[k] holds output k of four columns; column t's R outputs go to out[R*t .. R*t + R).
template <int R>
inline void StoreColumns(V (&v)[R], double* out) {
  static_assert(R % 4 == 0);
  for (int h = 0; h < R; h += 4) {
    Transpose4(v[h], v[h + 1], v[h + 2], v[h + 3]);
    for (int t = 0; t < 4; ++t) Store(out + R * t + h, v[h + t]);
  }
}

// The first pass (s = 1, m >= 4, never the last): four columns p at once. When m is not a
// multiple of four, the last group overlaps the one before and recomputes a few columns.
template <int R, class B>
void RunFirstVector(const Stage& st, const double* xr, const double* xi, double* yr, double* yi) {
  const std::size_t m = st.m;
  const double* twr = st.twRe.data();
  const double* twi = st.twIm.data();
  for (std::size_t p0 = 0; p0 < m; p0 += 4) {
    const std::size_t p = p0 + 4 <= m ? p0 : m - 4;
    V ar[R], ai[R];
    for (int r = 0; r < R; ++r) {
      ar[r] = Load(xr + p + r * m);
      ai[r] = Load(xi + p + r * m);
    }
    B::Apply(ar, ai);
    for (int k = 1; k < R; ++k) {
      const V wr = Load(twr + (k - 1) * m + p), wi = Load(twi + (k - 1) * m + p);
      const V re = ar[k] * wr - ai[k] * wi;
      ai[k] = ar[k] * wi + ai[k] * wr;
      ar[k] = re;
    }
    StoreColumns<R>(ar, yr + R * p);
    StoreColumns<R>(ai, yi + R * p);
  }
}

template <int R, class B>
bool RunVector(const Stage& st, const double* xr, const double* xi, double* yr, double* yi,
               double scale) {
  if (st.s % 4 == 0) {
    RunAlongQVector<R, B>(st, xr, xi, yr, yi, scale);
    return true;
  }
  if constexpr (R % 4 == 0) {
    if (st.s == 1 && st.m >= 4) {
      RunFirstVector<R, B>(st, xr, xi, yr, yi);
      return true;
    }
  }
  return false;
}

}  // namespace
}  // namespace quellar::fourier::detail::QUELLAR_PASSES_NS
