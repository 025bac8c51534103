#pragma once
// The sample's magnetization under hard impulses, free precession and relaxation.
//
// The static field spreads the spins' offsets (a Lorentzian whose width makes T2* out of T2).
// Instead of a finite set of spins, which would bring back false echoes, the magnetization is
// held as coherence components over that spread: a transverse component F at dephasing time
// tau stands for m(w) = F e^(-i w tau) for a spin of offset w, a longitudinal one Z at sigma for
// Mz(w) = Z e^(-i w sigma). Free precession moves every tau on by the time passed, an impulse
// mixes F(tau), conj F at -tau and Z(tau), and the signal is the sum of F e^(-|tau|/T2') over
// the components. Echoes then refocus exactly and the spread never revives by itself.
//
// The radio-frequency field is not the same everywhere in the sample either: the spins fall
// into a few classes (Gauss-Hermite nodes of a normal spread of the flip angle), each with its
// own components. So a 270 degree impulse gives less signal than a 90 degree one, as in a real
// probe, while 180 degrees still cancels.
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellar::sim {

class TSimSpins {
 public:
  // Components whose share of the signal would stay below this (equilibrium is 1) are
  // dropped: far under one raw unit even at the highest gain.
  static constexpr double kNegligible = 1e-6;
  // Most components of each kind kept; beyond it the smallest go.
  static constexpr size_t kMostComponents = 16384;

  TSimSpins() = default;
  // Relaxation times in ns; t2star < t2, or the spread is taken as none. flipSpread is the
  // relative rms spread of the flip angle (0: one class).
  void Configure(double t1, double t2, double t2star, double flipSpread = 0);
  // Equilibrium (all magnetization along the field) at time t.
  void Reset(int64_t t);
  // The offset common to every spin, in radians per ns, from now on.
  void SetOffset(double radiansPerNs) { offset_ = radiansPerNs; }
  // Free precession and relaxation up to t (not before the current time).
  void EvolveTo(int64_t t);
  // A hard impulse turning the magnetization by angle about the transverse axis at phase.
  void Rotate(double angle, double phase);
  // The detected signal i*m, averaged over the spread, at each of the ascending times, none
  // before the current time; the state does not change. A 90 degree impulse at phase 0 from
  // equilibrium gives 1.
  void Sample(const int64_t* times, size_t count, std::complex<double>* out);

  int64_t Time() const { return time_; }
  // Bulk longitudinal magnetization (equilibrium 1).
  double Longitudinal() const;
  size_t Components() const;

 private:
  struct Component {
    int64_t key;
    std::complex<double> value;
  };
  // The spins that one impulse turns by the same angle.
  struct Class {
    Class(double s, double w) : scale(s), weight(w), floor(kNegligible / w) {}
    double scale;                   // of the flip angle
    double weight;                  // share of the spins
    double floor;                   // smallest component kept
    std::complex<double> z0 = 1.0;  // longitudinal at sigma 0
    std::vector<Component> f, z;    // transverse; longitudinal at sigma != 0
  };
  void Evolve(Class& c, int64_t d, std::complex<double> precession, double e1);
  void Rotate(Class& c, double angle, double phase);
  // e^(-d/T2 - i offset d): what free precession over d does to every transverse component.
  std::complex<double> Precession(double d) const;
  double Spread(int64_t tau) const;
  static void Merge(std::vector<Component>& list, double floor);

  double t1_ = 5e7, t2_ = 3e7, inhomogeneity_ = 0;  // 1/T2' in 1/ns
  double offset_ = 0;
  int64_t time_ = 0;
  std::vector<Class> classes_ = {Class(1.0, 1.0)};
  std::vector<Component> nextF_, nextZ_;
  std::vector<Component> flat_;  // every class's transverse components, weighted
  std::vector<std::complex<double>> weights_;
};

}  // namespace quellar::sim
