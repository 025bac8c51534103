#include "numerics/fourier/fourier_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <utility>

#include "numerics/fourier/fourier_passes.h"

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

// Butterfly stages in the order they run: the powers of two first (8 where possible, one 2
// or 4 for the rest), so that the strides of the later passes are whole tiles, then 3, 5 and
// the generic primes. Returns the factor left over that no butterfly handles (1 when the
// length is smooth enough).
std::size_t Factorise(std::size_t n, std::vector<int>& radices) {
  std::vector<int> generic, fives, threes, binary;
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
  for (; twos >= 3; twos -= 3) binary.push_back(8);
  if (twos > 0) binary.push_back(1 << twos);
  radices.clear();
  for (auto* group : {&binary, &threes, &fives, &generic})
    radices.insert(radices.end(), group->begin(), group->end());
  return n;
}

// The widest butterfly passes this processor runs, chosen once.
void RunStages(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
               double* tr, double* ti, double lastScale) {
  static const auto passes = WideAvailable() ? wide::RunStages : generic::RunStages;
  passes(plan, xr, xi, yr, yi, tr, ti, lastScale);
}

std::shared_ptr<const Plan> BuildPlan(std::size_t n, int dir) {
  auto plan = std::make_shared<Plan>();
  plan->n = n;
  plan->dir = dir;
  std::vector<int> radices;
  if (Factorise(n, radices) == 1) {
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
            std::tie(st.twRe[(k - 1) * st.m + p], st.twIm[(k - 1) * st.m + p]) =
                UnitRoot(2 * index, n, dir);
          }
        }
      }
      if (radix > 13) {  // the generic odd-prime butterfly
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

// Working buffers are staggered by an odd number of cache lines: with power-of-two lengths
// they would otherwise start at the same offset within a page, and the loads of a pass would
// keep colliding with its stores in the cache sets and the store buffer.
constexpr std::size_t kStagger = 72;

double* Slot(double* scratch, std::size_t length, int index) {
  return scratch + index * (length + kStagger);
}

// Bytes of the tables a plan holds itself (an inner plan is counted where it is cached).
std::size_t PlanBytes(const Plan& plan) {
  std::size_t doubles =
      plan.chirpRe.size() + plan.chirpIm.size() + plan.filterRe.size() + plan.filterIm.size();
  for (const Stage& st : plan.stages)
    doubles += st.twRe.size() + st.twIm.size() + st.rootRe.size() + st.rootIm.size();
  return doubles * sizeof(double) + sizeof(Plan);
}

// Most recently used plans, bounded in number and in bytes; a plan larger than the whole
// budget is used once and never kept, so a long-running host does not grow without end.
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
    const std::size_t bytes = PlanBytes(*plan);
    if (bytes > kMaxCachedPlanBytes) return plan;
    plans_.insert(plans_.begin(), plan);
    bytes_ += bytes;
    while (plans_.size() > kCapacity || bytes_ > kMaxCachedPlanBytes) {
      bytes_ -= PlanBytes(*plans_.back());
      plans_.pop_back();
    }
    return plan;
  }
  std::size_t Bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  static constexpr std::size_t kCapacity = 24;
  std::mutex mutex_;
  std::vector<std::shared_ptr<const Plan>> plans_;  // most recently used first
  std::size_t bytes_ = 0;
};

PlanCache& Cache() {
  static PlanCache cache;
  return cache;
}

}  // namespace

bool Overlaps(const double* a, const double* b, std::size_t n) {
  const auto x = reinterpret_cast<std::uintptr_t>(a);
  const auto y = reinterpret_cast<std::uintptr_t>(b);
  const std::uintptr_t bytes = n * sizeof(double);
  return x < y + bytes && y < x + bytes;
}

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

namespace {
// Most callers transform one length over and over: the last plans are remembered per thread,
// but only those the cache keeps, so the thread does not hold on to an uncached giant.
std::shared_ptr<const Plan>& RecentPlan(int dir) {
  thread_local std::shared_ptr<const Plan> recent[2];
  return recent[dir > 0 ? 0 : 1];
}
}  // namespace

std::shared_ptr<const Plan> GetPlan(std::size_t n, int dir) {
  auto& slot = RecentPlan(dir);
  if (slot && slot->n == n) return slot;
  auto plan = Cache().Find(n, dir);
  if (!plan) plan = Cache().Store(BuildPlan(n, dir));
  slot = PlanBytes(*plan) <= kMaxCachedPlanBytes ? plan : nullptr;
  return plan;
}

const Plan& ThreadPlan(std::size_t n, int dir, std::shared_ptr<const Plan>& hold) {
  const auto& slot = RecentPlan(dir);
  if (slot && slot->n == n) return *slot;
  hold = GetPlan(n, dir);
  return *hold;
}

std::size_t CachedPlanBytes() {
  return Cache().Bytes();
}

std::size_t ScratchSize(const Plan& plan) {
  if (plan.inner) return 6 * (plan.inner->n + kStagger);
  return 4 * (plan.n + kStagger);
}

void Execute(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
             double scale, double* scratch) {
  const std::size_t n = plan.n;
  if (!plan.inner) {
    double* tr = Slot(scratch, n, 0);
    double* ti = Slot(scratch, n, 1);
    if (Overlaps(xr, yr, n) || Overlaps(xr, yi, n) || Overlaps(xi, yr, n) || Overlaps(xi, yi, n)) {
      double* cr = Slot(scratch, n, 2);
      double* ci = Slot(scratch, n, 3);
      std::copy(xr, xr + n, cr);
      std::copy(xi, xi + n, ci);
      xr = cr;
      xi = ci;
    }
    if (plan.stages.empty()) {  // n = 1
      yr[0] = xr[0] * scale;
      yi[0] = xi[0] * scale;
    } else {
      RunStages(plan, xr, xi, yr, yi, tr, ti, scale);
    }
    return;
  }

  const Plan& inner = *plan.inner;
  const std::size_t m = inner.n;
  double* ar = Slot(scratch, m, 0);
  double* ai = Slot(scratch, m, 1);
  double* br = Slot(scratch, m, 2);
  double* bi = Slot(scratch, m, 3);
  double* tr = Slot(scratch, m, 4);
  double* ti = Slot(scratch, m, 5);
  const double* cr = plan.chirpRe.data();
  const double* ci = plan.chirpIm.data();
  // The input is consumed here, before any output is written: overlap is harmless.
  for (std::size_t j = 0; j < n; ++j) {
    ar[j] = xr[j] * cr[j] - xi[j] * ci[j];
    ai[j] = xr[j] * ci[j] + xi[j] * cr[j];
  }
  std::fill(ar + n, ar + m, 0.0);
  std::fill(ai + n, ai + m, 0.0);
  RunStages(inner, ar, ai, br, bi, tr, ti, 1.0);
  // Pointwise product with the filter, conjugated: the backward transform is then the
  // conjugate of a forward one, so the same inner plan serves both ways.
  const double* fr = plan.filterRe.data();
  const double* fi = plan.filterIm.data();
  for (std::size_t k = 0; k < m; ++k) {
    ar[k] = br[k] * fr[k] - bi[k] * fi[k];
    ai[k] = -(br[k] * fi[k] + bi[k] * fr[k]);
  }
  RunStages(inner, ar, ai, br, bi, tr, ti, 1.0);
  for (std::size_t k = 0; k < n; ++k) {
    const double re = br[k];
    const double im = -bi[k];
    yr[k] = scale * (cr[k] * re - ci[k] * im);
    yi[k] = scale * (cr[k] * im + ci[k] * re);
  }
}

}  // namespace quellar::fourier::detail
