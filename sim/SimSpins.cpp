#include "sim/SimSpins.h"

#include <algorithm>
#include <cmath>

namespace quellar::sim {

namespace {

constexpr std::complex<double> kI{0.0, 1.0};
// Samples between exact evaluations when the recurrence carries the sum from one to the next.
constexpr int kRecurrence = 512;
// Five-point Gauss-Hermite rule for a standard normal variable: nodes and weights.
constexpr double kNodes[5] = {-2.8569700138728056, -1.3556261799742659, 0.0, 1.3556261799742659,
                              2.8569700138728056};
constexpr double kWeights[5] = {0.011257411327720689, 0.22207592200561266, 0.5333333333333333,
                                0.22207592200561266, 0.011257411327720689};

}  // namespace

void TSimSpins::Configure(double t1, double t2, double t2star, double flipSpread) {
  t1_ = t1;
  t2_ = t2;
  inhomogeneity_ = t2star < t2 ? 1.0 / t2star - 1.0 / t2 : 0.0;
  classes_.clear();
  if (flipSpread <= 0) {
    classes_.emplace_back(1.0, 1.0);
  } else {
    for (int i = 0; i < 5; ++i) classes_.emplace_back(1.0 + flipSpread * kNodes[i], kWeights[i]);
  }
}

void TSimSpins::Reset(int64_t t) {
  time_ = t;
  for (Class& c : classes_) {
    c.z0 = 1.0;
    c.f.clear();
    c.z.clear();
  }
}

double TSimSpins::Longitudinal() const {
  double sum = 0;
  for (const Class& c : classes_) sum += c.weight * c.z0.real();
  return sum;
}

size_t TSimSpins::Components() const {
  size_t n = 0;
  for (const Class& c : classes_) n += c.f.size() + c.z.size();
  return n;
}

std::complex<double> TSimSpins::Precession(double d) const {
  return std::polar(std::exp(-d / t2_), -offset_ * d);
}

double TSimSpins::Spread(int64_t tau) const {
  return std::exp(-std::fabs(static_cast<double>(tau)) * inhomogeneity_);
}

void TSimSpins::EvolveTo(int64_t t) {
  if (t <= time_) return;
  const int64_t d = t - time_;
  time_ = t;
  const std::complex<double> p = Precession(static_cast<double>(d));
  const double e1 = std::exp(-static_cast<double>(d) / t1_);
  for (Class& c : classes_) Evolve(c, d, p, e1);
}

void TSimSpins::Evolve(Class& c, int64_t d, std::complex<double> precession, double e1) {
  size_t kept = 0;
  for (Component& x : c.f) {
    x.value *= precession;
    x.key += d;
    if (std::abs(x.value) >= c.floor) c.f[kept++] = x;
  }
  c.f.resize(kept);
  kept = 0;
  for (Component& x : c.z) {
    x.value *= e1;
    if (std::abs(x.value) >= c.floor) c.z[kept++] = x;
  }
  c.z.resize(kept);
  c.z0 = c.z0 * e1 + (1.0 - e1);
}

void TSimSpins::Rotate(double angle, double phase) {
  for (Class& c : classes_) Rotate(c, angle * c.scale, phase);
}

void TSimSpins::Rotate(Class& c, double angle, double phase) {
  const double c2 = std::cos(angle / 2) * std::cos(angle / 2);
  const double s2 = std::sin(angle / 2) * std::sin(angle / 2);
  const double sa = std::sin(angle), ca = std::cos(angle);
  const std::complex<double> e = std::polar(1.0, phase), e2 = e * e;
  // m' = c2 m + e2 s2 conj(m) - i e sa Mz;  Mz' = -i/2 conj(e) sa m + i/2 e sa conj(m) + ca Mz
  const std::complex<double> toConj = e2 * s2, zToF = -kI * e * sa;
  const std::complex<double> fToZ = -0.5 * kI * std::conj(e) * sa, conjToZ = 0.5 * kI * e * sa;
  nextF_.clear();
  nextZ_.clear();
  for (const Component& x : c.f) {
    nextF_.push_back({x.key, c2 * x.value});
    nextF_.push_back({-x.key, toConj * std::conj(x.value)});
    nextZ_.push_back({x.key, fToZ * x.value});
    nextZ_.push_back({-x.key, conjToZ * std::conj(x.value)});
  }
  nextF_.push_back({0, zToF * c.z0});
  for (const Component& x : c.z) {
    nextF_.push_back({x.key, zToF * x.value});
    nextZ_.push_back({x.key, ca * x.value});
  }
  nextZ_.push_back({0, ca * c.z0});
  Merge(nextF_, c.floor);
  Merge(nextZ_, c.floor);
  // Sigma 0 is the bulk magnetization, kept apart so relaxation can recover it cheaply.
  c.z0 = 0.0;
  size_t kept = 0;
  for (const Component& x : nextZ_) {
    if (x.key == 0) {
      c.z0 = x.value;
    } else {
      nextZ_[kept++] = x;
    }
  }
  nextZ_.resize(kept);
  c.f.swap(nextF_);
  c.z.swap(nextZ_);
}

// Sums equal keys, drops what is negligible, keeps the largest when there are too many.
void TSimSpins::Merge(std::vector<Component>& list, double floor) {
  std::sort(list.begin(), list.end(),
            [](const Component& a, const Component& b) { return a.key < b.key; });
  size_t kept = 0;
  for (size_t i = 0; i < list.size();) {
    Component sum = list[i];
    for (++i; i < list.size() && list[i].key == sum.key; ++i) sum.value += list[i].value;
    if (sum.key == 0 || std::abs(sum.value) >= floor) list[kept++] = sum;
  }
  list.resize(kept);
  if (list.size() > kMostComponents) {
    std::nth_element(list.begin(), list.begin() + kMostComponents, list.end(),
                     [](const Component& a, const Component& b) {
                       return std::norm(a.value) > std::norm(b.value);
                     });
    list.resize(kMostComponents);
  }
}

void TSimSpins::Sample(const int64_t* times, size_t count, std::complex<double>* out) {
  flat_.clear();
  for (const Class& c : classes_) {
    for (const Component& x : c.f) flat_.push_back({x.key, c.weight * x.value});
  }
  const size_t n = flat_.size();
  weights_.resize(n);
  size_t i = 0;
  while (i < count) {
    // Exact: every component from its own dephasing time.
    int64_t delta = times[i] - time_;
    const std::complex<double> p = Precession(static_cast<double>(delta));
    std::complex<double> sum = 0.0;
    for (size_t c = 0; c < n; ++c) {
      weights_[c] = flat_[c].value * p * Spread(flat_[c].key + delta);
      sum += weights_[c];
    }
    out[i++] = kI * sum;
    if (i == count) break;
    // Then, while the spacing stays the same, each component changes by one of two factors,
    // depending on whether it is dephasing or refocusing; only a component passing through
    // its echo in the step is computed afresh.
    const int64_t h = times[i] - times[i - 1];
    const std::complex<double> step = Precession(static_cast<double>(h));
    const double spread = std::exp(-static_cast<double>(h) * inhomogeneity_);
    const std::complex<double> away = step * spread, back = step / spread;
    // A step far longer than T2' would overflow the refocusing factor: compute afresh.
    const int most = static_cast<double>(h) * inhomogeneity_ < 50 ? kRecurrence : 1;
    for (int run = 1; run < most && i < count && times[i] - times[i - 1] == h; ++run) {
      delta += h;
      sum = 0.0;
      for (size_t c = 0; c < n; ++c) {
        const int64_t tau = flat_[c].key + delta;
        if (tau - h >= 0) {
          weights_[c] *= away;
        } else if (tau <= 0) {
          weights_[c] *= back;
        } else {
          weights_[c] = flat_[c].value * Precession(static_cast<double>(delta)) * Spread(tau);
        }
        sum += weights_[c];
      }
      out[i++] = kI * sum;
    }
  }
}

}  // namespace quellar::sim
