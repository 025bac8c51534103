#include "numerics/fourier/fourier_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <utility>

#include "numerics/fourier/fourier_kernels.h"

namespace quellar::fourier::detail {
namespace {

constexpr long double kPi = 3.141592653589793238462643383279502884L;

// e^(dir*i*pi*num/den) for 0 <= num < 2*den; the angle is folded into [-pi, pi] first and
// formed in extended precision, so every twiddle is correct to about one unit in the last
// place whatever the length.
std::pair<double, double> UnitRoot(std::uint64_t num, std::uint64_t den, int dir) {
  long double t = static_cast<long double>(num);
  if (num > den) t -= 2.0L * static_cast<long double>(den);
  const double angle = static_cast<double>(kPi * t / static_cast<long double>(den));
  return {std::cos(angle), dir * std::sin(angle)};
}

// Butterfly stages in the order they run: generic primes, 5, 3, then 2 and 4. Returns the
// factor left over that no butterfly handles (1 when the length is smooth enough).
std::size_t Factorise(std::size_t n, std::vector<int>& radices) {
  std::vector<int> generic, fives, threes, fours;
  int twos = 0;
  while (n % 2 == 0) {
    n /= 2;
    ++twos;
  }
  while (n % 3 == 0) {
    n /= 3;
    threes.push_back(3);
  }
  while (n % 5 == 0) {
    n /= 5;
    fives.push_back(5);
  }
  for (std::size_t p = 7; p <= kMaxButterflyPrime && n > 1; p += 2) {
    while (n % p == 0) {
      n /= p;
      generic.push_back(static_cast<int>(p));
    }
  }
  for (; twos >= 3; twos -= 3) fours.push_back(8);
  if (twos == 2) fours.push_back(4);
  if (twos == 1) fours.push_back(2);
  radices.clear();
  for (auto* group : {&generic, &fives, &threes, &fours})
    radices.insert(radices.end(), group->begin(), group->end());
  return n;
}

std::shared_ptr<const Plan> BuildPlan(std::size_t n, int dir) {
  auto plan = std::make_shared<Plan>();
  plan->n = n;
  plan->dir = dir;
  std::vector<int> radices;
  if (Factorise(n, radices) == 1) {
    // Twiddles are all powers of e^(2*pi*i/n): tabulate those once, then pick.
    std::vector<double> rootRe(n), rootIm(n);
    for (std::size_t j = 0; j < n; ++j) std::tie(rootRe[j], rootIm[j]) = UnitRoot(2 * j, n, dir);
    std::size_t s = 1;
    for (int radix : radices) {
      Stage st;
      st.radix = radix;
      st.s = s;
      st.m = n / (s * radix);
      if (st.m > 1) {
        st.twRe.resize((radix - 1) * st.m);
        st.twIm.resize((radix - 1) * st.m);
        for (int k = 1; k < radix; ++k) {
          for (std::size_t p = 0; p < st.m; ++p) {
            const std::size_t index = p * k * s;  // < n: p < m, k < radix
            st.twRe[(k - 1) * st.m + p] = rootRe[index];
            st.twIm[(k - 1) * st.m + p] = rootIm[index];
          }
        }
      }
      if (radix == 7 || radix > 8) {  // the generic odd-prime butterfly
        st.rootRe.resize(radix);
        st.rootIm.resize(radix);
        for (int j = 0; j < radix; ++j)
          std::tie(st.rootRe[j], st.rootIm[j]) = UnitRoot(2 * j, radix, dir);
      }
      plan->stages.push_back(std::move(st));
      s *= radix;
    }
    return plan;
  }

  // Chirp convolution: with c[j] = e^(dir*i*pi*j^2/n), 2jk = j^2 + k^2 - (k-j)^2 turns the
  // transform into X[k] = c[k] * sum_j (x[j]*c[j]) * conj(c[k-j]), a convolution that a
  // transform of the smooth length m >= 2n-1 computes without wrap-around.
  const std::size_t m = ConvolutionLength(n);
  plan->inner = GetPlan(m, 1);
  plan->chirpRe.resize(n);
  plan->chirpIm.resize(n);
  std::uint64_t square = 0;  // j^2 mod 2n, kept exact
  for (std::size_t j = 0; j < n; ++j) {
    std::tie(plan->chirpRe[j], plan->chirpIm[j]) = UnitRoot(square, n, dir);
    square = (square + 2 * j + 1) % (2 * static_cast<std::uint64_t>(n));
  }
  std::vector<double> br(m, 0.0), bi(m, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    br[j] = plan->chirpRe[j];
    bi[j] = -plan->chirpIm[j];
    if (j > 0) {
      br[m - j] = br[j];
      bi[m - j] = bi[j];
    }
  }
  plan->filterRe.resize(m);
  plan->filterIm.resize(m);
  std::vector<double> scratch(ScratchSize(*plan->inner));
  Execute(*plan->inner, br.data(), bi.data(), plan->filterRe.data(), plan->filterIm.data(),
          1.0 / static_cast<double>(m), scratch.data());
  return plan;
}

// Runs the butterfly stages from x to y; t is a second buffer of n complex values. The passes
// alternate between y and t so that the last one lands in y; x is only read by the first.
void RunStages(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
               double* tr, double* ti) {
  const std::size_t count = plan.stages.size();
  const double* sr = xr;
  const double* si = xi;
  for (std::size_t i = 0; i < count; ++i) {
    const bool toY = (count - 1 - i) % 2 == 0;
    double* dr = toY ? yr : tr;
    double* di = toY ? yi : ti;
    const Stage& st = plan.stages[i];
    const bool pos = plan.dir > 0;
    switch (st.radix) {
      case 2:
        RunRadix2(st, sr, si, dr, di);
        break;
      case 3:
        pos ? RunRadix3<1>(st, sr, si, dr, di) : RunRadix3<-1>(st, sr, si, dr, di);
        break;
      case 4:
        pos ? RunRadix4<1>(st, sr, si, dr, di) : RunRadix4<-1>(st, sr, si, dr, di);
        break;
      case 5:
        pos ? RunRadix5<1>(st, sr, si, dr, di) : RunRadix5<-1>(st, sr, si, dr, di);
        break;
      case 8:
        pos ? RunRadix8<1>(st, sr, si, dr, di) : RunRadix8<-1>(st, sr, si, dr, di);
        break;
      default:
        RunGenericPrime(st, sr, si, dr, di);
        break;
    }
    sr = dr;
    si = di;
  }
}

void Scale(double* re, double* im, std::size_t n, double scale) {
  if (scale == 1.0) return;
  for (std::size_t i = 0; i < n; ++i) {
    re[i] *= scale;
    im[i] *= scale;
  }
}

bool Overlaps(const double* a, const double* b, std::size_t n) {
  const auto x = reinterpret_cast<std::uintptr_t>(a);
  const auto y = reinterpret_cast<std::uintptr_t>(b);
  const std::uintptr_t bytes = n * sizeof(double);
  return x < y + bytes && y < x + bytes;
}

class PlanCache {
 public:
  std::shared_ptr<const Plan> Find(std::size_t n, int dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < plans_.size(); ++i) {
      if (plans_[i]->n == n && plans_[i]->dir == dir) {
        std::rotate(plans_.begin(), plans_.begin() + i, plans_.begin() + i + 1);
        return plans_.front();
      }
    }
    return nullptr;
  }
  // Keeps the first plan stored for a key, so racing builders all end up sharing one.
  std::shared_ptr<const Plan> Store(std::shared_ptr<const Plan> plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& p : plans_)
      if (p->n == plan->n && p->dir == plan->dir) return p;
    plans_.insert(plans_.begin(), std::move(plan));
    if (plans_.size() > kCapacity) plans_.pop_back();
    return plans_.front();
  }

 private:
  static constexpr std::size_t kCapacity = 24;
  std::mutex mutex_;
  std::vector<std::shared_ptr<const Plan>> plans_;  // most recently used first
};

PlanCache& Cache() {
  static PlanCache cache;
  return cache;
}

}  // namespace

std::size_t ConvolutionLength(std::size_t n) {
  const std::size_t target = 2 * n - 1;
  std::size_t best = 1;
  while (best < target) best *= 2;
  for (std::size_t p5 = 1; p5 < best; p5 *= 5) {
    for (std::size_t p35 = p5; p35 < best; p35 *= 3) {
      std::size_t p = p35;
      while (p < target) p *= 2;
      best = std::min(best, p);
    }
  }
  return best;
}

std::shared_ptr<const Plan> GetPlan(std::size_t n, int dir) {
  // Most callers transform one length over and over: remember the last plans per thread.
  thread_local std::shared_ptr<const Plan> recent[2];
  auto& slot = recent[dir > 0 ? 0 : 1];
  if (slot && slot->n == n) return slot;
  auto plan = Cache().Find(n, dir);
  if (!plan) plan = Cache().Store(BuildPlan(n, dir));
  slot = plan;
  return plan;
}

std::size_t ScratchSize(const Plan& plan) {
  if (plan.inner) return 4 * plan.inner->n + ScratchSize(*plan.inner);
  return 4 * plan.n;
}

void Execute(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
             double scale, double* scratch) {
  const std::size_t n = plan.n;
  if (!plan.inner) {
    double* tr = scratch;
    double* ti = scratch + n;
    if (Overlaps(xr, yr, n) || Overlaps(xr, yi, n) || Overlaps(xi, yr, n) || Overlaps(xi, yi, n)) {
      double* cr = scratch + 2 * n;
      double* ci = scratch + 3 * n;
      std::copy(xr, xr + n, cr);
      std::copy(xi, xi + n, ci);
      xr = cr;
      xi = ci;
    }
    if (plan.stages.empty()) {  // n = 1
      yr[0] = xr[0];
      yi[0] = xi[0];
    } else {
      RunStages(plan, xr, xi, yr, yi, tr, ti);
    }
    Scale(yr, yi, n, scale);
    return;
  }

  const Plan& inner = *plan.inner;
  const std::size_t m = inner.n;
  double* ar = scratch;
  double* ai = scratch + m;
  double* br = scratch + 2 * m;
  double* bi = scratch + 3 * m;
  double* tr = scratch + 4 * m;
  double* ti = scratch + 5 * m;
  const double* cr = plan.chirpRe.data();
  const double* ci = plan.chirpIm.data();
  // The input is consumed here, before any output is written: overlap is harmless.
  for (std::size_t j = 0; j < n; ++j) {
    ar[j] = xr[j] * cr[j] - xi[j] * ci[j];
    ai[j] = xr[j] * ci[j] + xi[j] * cr[j];
  }
  std::fill(ar + n, ar + m, 0.0);
  std::fill(ai + n, ai + m, 0.0);
  RunStages(inner, ar, ai, br, bi, tr, ti);
  // Pointwise product with the filter, conjugated: the backward transform is then the
  // conjugate of a forward one, so the same inner plan serves both ways.
  const double* fr = plan.filterRe.data();
  const double* fi = plan.filterIm.data();
  for (std::size_t k = 0; k < m; ++k) {
    ar[k] = br[k] * fr[k] - bi[k] * fi[k];
    ai[k] = -(br[k] * fi[k] + bi[k] * fr[k]);
  }
  RunStages(inner, ar, ai, br, bi, tr, ti);
  for (std::size_t k = 0; k < n; ++k) {
    const double re = br[k];
    const double im = -bi[k];
    yr[k] = scale * (cr[k] * re - ci[k] * im);
    yi[k] = scale * (cr[k] * im + ci[k] * re);
  }
}

}  // namespace quellar::fourier::detail
