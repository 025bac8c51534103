// quellar t2, the main job: opens the analyzer (a virtual one unless --port is given), tunes
// gain and resonance, measures a free induction decay and a CPMG echo train, fits T2 to the
// echo tops with the math processor, prints a short report and writes the samples as CSV.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "Analyzer.h"
#include "Commands.h"
#include "MathClient.h"
#include "Progress.h"

namespace quellar::tool {

namespace {

// Samples of one program: the baseline reading first (kBaseline samples), then the signal.
constexpr LONG kBaseline = 100;

struct Series {
  std::vector<double> t, re, im;  // t: ns from the centre of the 90 degree impulse
  double mre = 0, mim = 0;        // the baseline's mean
  double Re(size_t i) const { return re[i] - mre; }
  double Im(size_t i) const { return im[i] - mim; }
};

std::string Fixed(double value, int digits) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(digits) << value;
  return text.str();
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out + "\"";
}

class T2Command final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "t2",
        "The main job: tune, measure a FID and a CPMG echo train, fit T2 (virtual analyzer "
        "unless --port)");
    link_.Register(sub);
    sub->add_option("--d90", d90_,
                    "The 90 degree impulse, ns (default: the virtual sample's; needed with "
                    "--port)")
        ->check(CLI::PositiveNumber);
    sub->add_option("--echoes", echoes_, "Echoes of the CPMG train (default 200)")
        ->check(CLI::Range(3, 5000));
    sub->add_option("--tau", tau_, "Half the echo spacing, ns (default 500000)")
        ->check(CLI::PositiveNumber);
    sub->add_option("--runs", runs_, "Runs averaged per measurement (default 4)")
        ->check(CLI::Range(1, 1000));
    sub->add_option("--relax", relaxMs_,
                    "Milliseconds of rest before each run (default 500, or 5 T1 of the virtual "
                    "sample when longer)")
        ->check(CLI::Range(0, 600000));
    sub->add_option("--csv", csv_, "The samples: series,time_ns,re,im (default quellar-t2.csv)");
    sub->add_flag("--json", json_, "Print the report as one JSON object");
    sub->footer(
        "Times in the CSV run from the centre of the 90 degree impulse; the baseline's samples "
        "come first, at negative times. A T2 fit that fails exits with 1.\n" +
        std::string(kLinkHelp) + "\n" + kExitStatusHelp);
    return sub;
  }

  int Run() override {
    const auto started = std::chrono::steady_clock::now();
    if (d90_ == 0 && link_.port != 0) return Usage("--d90 is needed with --port");
    AnalyzerLink link;
    if (const int status = link.Open(link_); status != kExitOk) return status;
    const sim::TSimSample* truth = link.Simulated();
    if (d90_ == 0) d90_ = truth->D90;
    if (relaxMs_ < 0) relaxMs_ = truth ? std::max(500.0, std::ceil(5 * truth->T1 / 1e6)) : 500;
    // As the program model takes them.
    d90_ = std::ceil(d90_ / 100) * 100;
    tau_ = std::ceil(tau_ / 100) * 100;
    if (tau_ < 5000 + 2 * d90_)
      return Usage("--tau must be at least 5000 ns + 2 d90 (" + Number(5000 + 2 * d90_) + ")");
    const AnalyzerState state = ReadState(link);

    Ref<ITuning> tuning = link.Child(&IController::get_Tuning);
    VARIANT_BOOL ok = VARIANT_FALSE;
    LONG gain = 0, coarse = 0, precise = 0;
    {
      Progress progress("gain", 12);
      ProbeWatch watch(
          [&](const ProbeRun& run) { progress.Step(run.k, "gain " + std::to_string(run.gain)); });
      tuning->Gain(d90_, &gain, &ok);
    }
    if (!ok) return Failed(link, "the gain search");
    const double firstTen = FirstTen(link);
    {
      Progress progress("resonance", 12);
      ProbeWatch watch([&](const ProbeRun& run) {
        progress.Step(run.k, "coarse bias " + std::to_string(run.coarse));
      });
      tuning->Resonance(d90_, &coarse, &precise, &ok);
    }
    if (!ok) return Failed(link, "the resonance search");

    Series fid, cpmg;
    if (!Measure(link, "fid", false, fid)) return Failed(link, "the FID measurement");
    if (!Measure(link, "cpmg", true, cpmg)) return Failed(link, "the CPMG measurement");
    const bool written = WriteCsv(fid, cpmg);

    // The echo tops, projected on the direction of the first echoes: the noise then averages
    // out instead of adding a floor, as it would to their distances.
    double ure = 0, uim = 0;
    for (size_t i = kBaseline; i < kBaseline + 10; ++i) ure += cpmg.Re(i), uim += cpmg.Im(i);
    const double norm = std::hypot(ure, uim);
    std::vector<double> x, y;
    for (size_t i = kBaseline; i < cpmg.t.size(); ++i) {
      x.push_back(cpmg.t[i] / 1e6);  // ms
      y.push_back((cpmg.Re(i) * ure + cpmg.Im(i) * uim) / norm);
    }
    Object<IMathProcessor> math("Quellar.MathProcessor", IID_IMathProcessor);
    Array xs(x), ys(y), coeffs;
    ok = VARIANT_FALSE;
    math->RegressionExpConst(xs.get(), ys.get(), coeffs.get(), &ok);
    const std::vector<double> c = coeffs.Values();  // C, A, B
    const bool fitted = ok && c.size() == 3 && c[2] > 0;
    const double t2 = fitted ? 1e6 / c[2] : 0;  // ns
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (json_) {
      std::cout << "{\"ok\": " << (fitted ? "true" : "false")
                << ", \"analyzer\": " << Quoted(link.Where())
                << ", \"master\": " << Quoted(state.master)
                << ", \"magnetic\": " << Quoted(state.magnetic)
                << ", \"sample_temperature\": " << Number(state.sample)
                << ", \"system_temperature\": " << Number(state.system)
                << ", \"d90\": " << Number(d90_) << ", \"gain\": " << gain
                << ", \"bias_roughly\": " << coarse << ", \"bias_precisely\": " << precise
                << ", \"echoes\": " << echoes_ << ", \"t2\": " << Number(t2);
      if (truth) std::cout << ", \"t2_true\": " << Number(truth->T2);
      std::cout << ", \"csv\": " << Quoted(written ? csv_ : "")
                << ", \"seconds\": " << Fixed(seconds, 1) << "}\n";
    } else {
      std::cout << "analyzer:     " << link.Where() << "\n"
                << "master unit:  " << state.master << "\n"
                << "magnetic:     " << state.magnetic << "\n"
                << "temperatures: sample " << Fixed(state.sample, 1) << " C, system "
                << Fixed(state.system, 1) << " C\n"
                << "d90:          " << Number(d90_) << " ns\n"
                << "gain:         " << gain << " (first signal " << Fixed(firstTen, 1)
                << ", target 358.4)\n"
                << "bias:         coarse " << coarse << ", precise " << precise;
      if (truth) std::cout << " (the sample's resonance: " << Number(truth->Resonance) << ")";
      std::cout << "\nFID:          " << fid.t.size() - kBaseline << " samples 1 us apart, first "
                << Fixed(std::hypot(fid.Re(kBaseline), fid.Im(kBaseline)), 1)
                << " from the baseline\n"
                << "CPMG:         " << echoes_ << " echoes " << Number(2 * tau_ / 1000)
                << " us apart, " << runs_ << " runs averaged\n";
      if (fitted) {
        std::cout << "T2:           " << Fixed(t2 / 1e6, 2) << " ms (A " << Fixed(c[1], 1) << ", C "
                  << Fixed(c[0], 2) << ")";
        if (truth)
          std::cout << "; the sample's T2 " << Number(truth->T2 / 1e6) << " ms ("
                    << (t2 >= truth->T2 ? "+" : "") << Fixed(100 * (t2 / truth->T2 - 1), 1)
                    << " %)";
        std::cout << "\n";
      } else {
        std::cout << "T2:           the fit failed\n";
      }
      if (written) std::cout << "samples:      " << csv_ << "\n";
      std::cout << "time:         " << Fixed(seconds, 1) << " s\n";
    }
    if (!written) return kExitUsage;
    if (!fitted) {
      std::cerr << "quellar: error: the T2 fit failed on " << y.size() << " echoes\n";
      return kExitRefused;
    }
    return kExitOk;
  }

 private:
  static int Usage(const std::string& error) {
    std::cerr << "quellar: error: " << error << "\n";
    return kExitUsage;
  }
  static int Failed(const AnalyzerLink& link, const std::string& what) {
    std::cerr << "quellar: error: " << what << " failed: a run on " << link.Where()
              << " had no answer\n";
    return kExitNoAnswer;
  }

  // The mean size of the first ten signal samples of the last probe run, as the gain search
  // judged it.
  static double FirstTen(const AnalyzerLink& link) {
    Ref<IAnalysis> analysis = link.Child(&IController::get_Analysis);
    Array re, im;
    analysis->GetAllSamplesRE(re.get());
    analysis->GetAllSamplesIM(im.get());
    const std::vector<double> r = re.Values(), m = im.Values();
    if (r.size() < kBaseline + 10) return 0;
    double mre = 0, mim = 0, sum = 0;
    for (size_t i = 0; i < kBaseline; ++i) mre += r[i] / kBaseline, mim += m[i] / kBaseline;
    for (size_t i = kBaseline; i < kBaseline + 10; ++i) sum += std::hypot(r[i] - mre, m[i] - mim);
    return sum / 10;
  }

  // Rest, the baseline, the 90 degree impulse, then either the free induction (2 ms at 1 us)
  // or the CPMG train: 180 degree impulses at phase 90 every 2 tau, one sample at each echo
  // top, tau after each of them.
  bool Measure(const AnalyzerLink& link, const char* label, bool train, Series& out) {
    Ref<ICompiler> compiler = link.Child(&IController::get_Compiler);
    const double d180 = 2 * d90_, rest = relaxMs_ * 1e6;
    compiler->Clear();
    compiler->AddSilence(rest);
    compiler->AddReading(kBaseline * 1000, 1000);
    if (!train) {
      compiler->AddImpulse(d90_, 0, 8000);
      compiler->AddReading(2000000, 1000);
    } else {
      compiler->AddImpulse(d90_, 0, tau_ - 100 - d90_ / 2 - d180 / 2);
      for (int k = 0; k < echoes_; ++k) {
        compiler->AddImpulse(d180, 90, tau_ - d180 / 2);
        compiler->AddReading(1000, 1000);
        compiler->AddSilence(tau_ - 100 - d180 / 2 - 1000);
      }
    }
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(compiler->Send(&ok)) || !ok) return false;
    Array marks;
    compiler->GetAllMarkers(marks.get());
    Ref<IAnalysis> analysis = link.Child(&IController::get_Analysis);
    {
      Progress progress(label, runs_);
      ProbeWatch watch([&](const ProbeRun& run) { progress.Step(run.k, "run"); });
      const double runMs = relaxMs_ + (train ? echoes_ * 2 * tau_ / 1e6 : 2.2) + 1;
      analysis->Execute(static_cast<LONG>(runMs) + 5000, 0, runs_, 0.0, &ok);
    }
    if (!ok) return false;
    Array re, im;
    analysis->GetAllSamplesRE(re.get());
    analysis->GetAllSamplesIM(im.get());
    out.t = marks.Values();
    out.re = re.Values();
    out.im = im.Values();
    const size_t n = std::min(out.t.size(), out.re.size());
    if (n <= kBaseline) return false;
    out.t.resize(n), out.re.resize(n), out.im.resize(n);
    const double centre = rest + kBaseline * 1000 + 100 + d90_ / 2;
    for (double& t : out.t) t -= centre;
    for (size_t i = 0; i < kBaseline; ++i)
      out.mre += out.re[i] / kBaseline, out.mim += out.im[i] / kBaseline;
    return true;
  }

  bool WriteCsv(const Series& fid, const Series& cpmg) const {
    std::ofstream out(csv_, std::ios::trunc);
    out << "series,time_ns,re,im\n";
    for (const auto& [name, s] : {std::pair{"fid", &fid}, std::pair{"cpmg", &cpmg}})
      for (size_t i = 0; i < s->t.size(); ++i)
        out << name << "," << Number(s->t[i]) << "," << Number(s->re[i]) << "," << Number(s->im[i])
            << "\n";
    if (out.flush()) return true;
    std::cerr << "quellar: error: cannot write '" << csv_ << "'\n";
    return false;
  }

  LinkOptions link_;
  double d90_ = 0, tau_ = 500000, relaxMs_ = -1;
  int echoes_ = 200;
  LONG runs_ = 4;
  std::string csv_ = "quellar-t2.csv";
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeT2Command() {
  return std::make_unique<T2Command>();
}

}  // namespace quellar::tool
