#pragma once
// Transform plans: the factorisation of a length into butterfly stages with their twiddle
// tables, or, for lengths with a large prime factor, the chirp convolution that reduces the
// transform to one of a smooth length. Plans are immutable once built and shared through a
// small cache, so any number of threads may run them at once.
#include <cstddef>
#include <memory>
#include <vector>

namespace quellar::fourier::detail {

// Prime factors up to this size get a butterfly of their own; a larger one sends the whole
// length through the chirp convolution.
constexpr std::size_t kMaxButterflyPrime = 31;

// One self-sorting decimation-in-frequency pass: `radix`-point butterflies over sub-sequences
// of length radix * m, interleaved with stride s (so radix * m * s = n).
struct Stage {
  int radix = 1;
  std::size_t m = 1;
  std::size_t s = 1;
  // Twiddles e^(dir*2*pi*i*p*k/(radix*m)), stored at (k-1)*m + p for k = 1..radix-1.
  std::vector<double> twRe, twIm;
  // Butterfly kernel for the generic odd-prime radix: cos and dir*sin of 2*pi*j/radix.
  std::vector<double> rootRe, rootIm;
};

struct Plan {
  std::size_t n = 0;
  int dir = 1;  // +1 or -1: the sign of the exponent
  std::vector<Stage> stages;

  // Chirp convolution (empty inner when the stages above do the work).
  std::shared_ptr<const Plan> inner;       // smooth length m >= 2n-1, direction +1
  std::vector<double> chirpRe, chirpIm;    // e^(dir*i*pi*j^2/n), j < n
  std::vector<double> filterRe, filterIm;  // transform of the conjugate chirp, divided by m
};

// The cached plan for (n, dir), built on first use. n >= 1, dir is +1 or -1.
std::shared_ptr<const Plan> GetPlan(std::size_t n, int dir);
// The same plan without touching its reference count when it is the one this thread used last
// (the thread keeps it until its next call with that direction); otherwise hold receives it.
const Plan& ThreadPlan(std::size_t n, int dir, std::shared_ptr<const Plan>& hold);

// The cache keeps at most this many bytes of plans; a larger plan is built for each call.
constexpr std::size_t kMaxCachedPlanBytes = std::size_t{32} << 20;
// Bytes of the plans in the cache now.
std::size_t CachedPlanBytes();
// Per-thread scratch beyond this is given back after each transform.
constexpr std::size_t kMaxKeptScratchBytes = std::size_t{32} << 20;
// Bytes of scratch the calling thread keeps now.
std::size_t KeptScratchBytes();

// Number of doubles of scratch that Execute needs for the plan.
std::size_t ScratchSize(const Plan& plan);

// Unnormalised transform with the plan's direction, every output multiplied by scale.
// (xr, xi) must not overlap (yr, yi); scratch holds ScratchSize(plan) doubles and overlaps
// neither.
void Execute(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
             double scale, double* scratch);

// True when the n doubles from a and the n doubles from b share any memory.
bool Overlaps(const double* a, const double* b, std::size_t n);

// The smooth length (factors 2, 3, 5 only) that the chirp convolution of length n uses.
std::size_t ConvolutionLength(std::size_t n);

}  // namespace quellar::fourier::detail
