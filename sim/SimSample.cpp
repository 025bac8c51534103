#include "sim/SimSample.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace quellar::sim {

namespace {

enum class Kind { Positive, NonNegative, Real, Code, Byte, Word, Seed, Temperature, Text };

struct Key {
  const char* name;
  Kind kind;
  double TSimSample::*real;
  int32_t TSimSample::*integer;
  std::string TSimSample::*text;
  const char* help;
};

constexpr Key kKeys[] = {
    {"d90", Kind::Positive, &TSimSample::D90, nullptr, nullptr, "90 degree impulse, ns"},
    {"t1", Kind::Positive, &TSimSample::T1, nullptr, nullptr, "longitudinal relaxation, ns"},
    {"t2", Kind::Positive, &TSimSample::T2, nullptr, nullptr, "transverse relaxation, ns"},
    {"t2star", Kind::Positive, &TSimSample::T2Star, nullptr, nullptr,
     "free induction decay, ns (below t2)"},
    {"b1_spread", Kind::NonNegative, &TSimSample::FlipSpread, nullptr, nullptr,
     "relative rms spread of the flip angle"},
    {"resonance", Kind::Real, &TSimSample::Resonance, nullptr, nullptr,
     "coarse bias code of zero offset"},
    {"hz_per_code", Kind::Positive, &TSimSample::HzPerCode, nullptr, nullptr,
     "offset per coarse bias code, Hz"},
    {"fine_share", Kind::NonNegative, &TSimSample::FineShare, nullptr, nullptr,
     "coarse codes per precise code"},
    {"amplitude", Kind::NonNegative, &TSimSample::Amplitude, nullptr, nullptr,
     "signal after 90 degrees at gain 2048, raw units"},
    {"noise", Kind::NonNegative, &TSimSample::Noise, nullptr, nullptr,
     "noise rms per channel at gain 2048, raw units"},
    {"baseline", Kind::NonNegative, &TSimSample::Baseline, nullptr, nullptr,
     "zero level, raw units (0..1023)"},
    {"seed", Kind::Seed, nullptr, nullptr, nullptr, "noise seed, unsigned integer"},
    {"sample_temp", Kind::Temperature, &TSimSample::SampleTemperature, nullptr, nullptr,
     "sample temperature at switch-on, degrees, or none"},
    {"setpoint", Kind::NonNegative, &TSimSample::Setpoint, nullptr, nullptr,
     "sample set-point at switch-on, degrees"},
    {"thermal_tau", Kind::Positive, &TSimSample::ThermalTau, nullptr, nullptr,
     "time constant of the sample temperature, s"},
    {"system_temp", Kind::Temperature, &TSimSample::SystemTemperature, nullptr, nullptr,
     "system temperature, degrees, or none"},
    {"gain", Kind::Code, nullptr, &TSimSample::Gain, nullptr, "receiver gain at switch-on"},
    {"coarse", Kind::Code, nullptr, &TSimSample::BiasRoughly, nullptr, "coarse bias at switch-on"},
    {"fine", Kind::Code, nullptr, &TSimSample::BiasPrecise, nullptr, "precise bias at switch-on"},
    {"nitrogen", Kind::Byte, nullptr, &TSimSample::Nitrogen, nullptr, "nitrogen at switch-on"},
    {"aux", Kind::Word, nullptr, &TSimSample::AuxWord, nullptr, "value of answer 0x84"},
    {"master", Kind::Text, nullptr, nullptr, &TSimSample::MasterID,
     "master identification, items joined by /"},
    {"magnetic", Kind::Text, nullptr, nullptr, &TSimSample::MagneticID,
     "magnetic identification, items joined by /"},
};

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool ParseReal(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && errno == 0 && std::isfinite(value);
}

bool ParseUnsigned(const std::string& text, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 0);
  return end == text.c_str() + text.size() && errno == 0;
}

// Returns the expectation when the value does not fit the key, else empty.
std::string Apply(const Key& key, const std::string& value, TSimSample& s) {
  double real = 0;
  uint64_t whole = 0;
  switch (key.kind) {
    case Kind::Positive:
      if (!ParseReal(value, real) || real <= 0) return "a number above 0";
      s.*key.real = real;
      return "";
    case Kind::NonNegative:
      if (!ParseReal(value, real) || real < 0) return "a number of 0 or more";
      s.*key.real = real;
      return "";
    case Kind::Real:
      if (!ParseReal(value, real)) return "a number";
      s.*key.real = real;
      return "";
    case Kind::Temperature:
      if (value == "none") {
        s.*key.real = std::numeric_limits<double>::quiet_NaN();
        return "";
      }
      if (!ParseReal(value, real) || real < 0 || real > 6553.5) {
        return "degrees from 0 to 6553.5, or none";
      }
      s.*key.real = real;
      return "";
    case Kind::Code:
    case Kind::Byte:
    case Kind::Word: {
      const uint64_t most = key.kind == Kind::Code ? 4095 : key.kind == Kind::Byte ? 255 : 65535;
      if (!ParseUnsigned(value, whole) || whole > most) {
        return "an integer from 0 to " + std::to_string(most);
      }
      s.*key.integer = static_cast<int32_t>(whole);
      return "";
    }
    case Kind::Seed:
      if (!ParseUnsigned(value, whole)) return "an unsigned 64-bit integer";
      s.Seed = whole;
      return "";
    case Kind::Text:
      if (value.empty() || value.find('/') == 0 || value.find("//") != std::string::npos ||
          value.back() == '/') {
        return "non-empty items joined by /";
      }
      s.*key.text = value;
      return "";
  }
  return "a value";
}

}  // namespace

bool ParseSimSample(const std::string& text, TSimSample& sample, std::string& error) {
  TSimSample s = sample;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    item = Trim(item);
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      error = "sample parameter '" + item + "' is not key=value";
      return false;
    }
    const std::string name = Trim(item.substr(0, eq));
    const std::string value = Trim(item.substr(eq + 1));
    const Key* key = nullptr;
    for (const Key& k : kKeys) {
      if (name == k.name) key = &k;
    }
    if (key == nullptr) {
      error = "unknown sample parameter '" + name + "'; known:";
      for (const Key& k : kKeys) error += std::string(" ") + k.name;
      return false;
    }
    if (const std::string expected = Apply(*key, value, s); !expected.empty()) {
      error = "bad value '" + value + "' for sample parameter " + name + ": expected " + expected;
      return false;
    }
  }
  if (!(s.T2Star < s.T2)) {
    error = "sample parameter t2star must be below t2";
    return false;
  }
  if (s.T2 > 2 * s.T1) {
    error = "sample parameter t2 must not exceed twice t1";
    return false;
  }
  sample = s;
  return true;
}

std::string SimSampleHelp() {
  const TSimSample defaults;
  std::ostringstream out;
  for (const Key& k : kKeys) {
    out << "  " << k.name << ": " << k.help << " (default ";
    if (k.real) {
      out << defaults.*k.real;
    } else if (k.integer) {
      out << defaults.*k.integer;
    } else if (k.text) {
      out << defaults.*k.text;
    } else {
      out << defaults.Seed;
    }
    out << ")\n";
  }
  return out.str();
}

}  // namespace quellar::sim
