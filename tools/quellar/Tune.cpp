// quellar tune: one of the tuning object's four searches, with a progress bar (step, value
// tried, time left) followed through the trace seam, and the result as text or JSON.
#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>
#include <sstream>

#include "Analyzer.h"
#include "Commands.h"
#include "MathClient.h"
#include "Progress.h"
#include "program/DrvDisassembler.h"

namespace quellar::tool {

namespace {

// Running time of the probe and recovery programs apart from the value searched: the probe
// is a baseline reading, an impulse block of lead-in, D and 8000, 10000 of silence and the
// 5 ms signal reading; the recovery program runs for P + 2 D90 + 226200 (its silence is P -
// 110000).
constexpr int64_t kProbeRest = 100000 + 100 + 8000 + 10000 + 5000000;
constexpr int64_t kRecoveryRest = 2 * (100 + 8000 + 10000 + 100000) - 110000 + 100000;

// Halvings of the period search from half the range down to 1 or less.
int PeriodSteps(double from, double to) {
  int n = 0;
  for (double step = (to - from) / 2; step > 1.0; step /= 2) ++n;
  return n;
}

std::string Ns(double value) {
  std::ostringstream text;
  text << Number(value) << " ns";
  return text.str();
}

class TuneCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand("tune", "Run one of the analyzer's tuning searches");
    sub->add_option("SEARCH", search_, "durations, gain, resonance or period")
        ->required()
        ->check(CLI::IsMember({"durations", "gain", "resonance", "period"}));
    link_.Register(sub);
    sub->add_option("--d90", d90_,
                    "The 90 degree impulse, ns (gain, resonance, period; default: the virtual "
                    "sample's, required with --port)")
        ->check(CLI::PositiveNumber);
    CLI::Option* from =
        sub->add_option("--from", from_, "Shortest period tried, ns (default 110000)");
    CLI::Option* to = sub->add_option("--to", to_, "Longest period tried, ns (default 1e9)");
    from->needs(to);
    to->needs(from);
    sub->add_flag("--json", json_, "Print one JSON object");
    sub->footer(
        "durations scans 86 impulse lengths; gain and resonance halve their step 12 times; "
        "period halves half the range down to 1 ns. Each step waits 500 ms first. The result "
        "is printed with the keys d90, d180, gain, bias_roughly, bias_precisely or period, and "
        "ok.\n" +
        std::string(kLinkHelp) + "\n" + kExitStatusHelp);
    return sub;
  }

  int Run() override {
    if (search_ == "period" &&
        (!std::isfinite(from_) || !std::isfinite(to_) || from_ < 110000 || to_ < from_)) {
      std::cerr << "quellar: error: the period range must run from 110000 ns or more up to no "
                   "less than --from\n";
      return kExitUsage;
    }
    if (search_ != "durations" && d90_ == 0 && link_.port != 0) {
      std::cerr << "quellar: error: --d90 is needed with --port (quellar tune durations finds "
                   "it)\n";
      return kExitUsage;
    }
    AnalyzerLink link;
    if (const int status = link.Open(link_); status != kExitOk) return status;
    if (d90_ == 0 && link.Simulated()) d90_ = link.Simulated()->D90;
    Ref<ITuning> tuning = link.Child(&IController::get_Tuning);

    std::vector<std::pair<std::string, double>> results;
    const bool ok = Search(tuning.get(), results);
    if (json_) {
      std::cout << "{\"ok\": " << (ok ? "true" : "false");
      for (const auto& [key, value] : results)
        std::cout << ", \"" << key << "\": " << Number(value);
      std::cout << "}\n";
    } else {
      for (const auto& [key, value] : results)
        std::cout << key << ": " << Number(value) << Truth(link, key) << "\n";
    }
    if (ok) return kExitOk;
    std::cerr << "quellar: error: the " << search_ << " search failed: a measurement on "
              << link.Where() << " had no answer\n";
    return kExitNoAnswer;
  }

 private:
  bool Search(ITuning* tuning, std::vector<std::pair<std::string, double>>& results) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (search_ == "durations") {
      Progress progress("durations", 86);
      ProbeWatch watch([&](const ProbeRun& run) {
        const auto d = program::Disassemble(run.code).duration - kProbeRest;
        progress.Step(run.k, "D " + Ns(static_cast<double>(d)));
      });
      double d90 = 0, d180 = 0;
      tuning->Durations(&d90, &d180, &ok);
      if (ok) results = {{"d90", d90}, {"d180", d180}};
    } else if (search_ == "gain") {
      Progress progress("gain", 12);
      ProbeWatch watch(
          [&](const ProbeRun& run) { progress.Step(run.k, "gain " + std::to_string(run.gain)); });
      LONG gain = 0;
      tuning->Gain(d90_, &gain, &ok);
      if (ok) results = {{"gain", gain}};
    } else if (search_ == "resonance") {
      Progress progress("resonance", 12);
      ProbeWatch watch([&](const ProbeRun& run) {
        progress.Step(run.k, "coarse bias " + std::to_string(run.coarse));
      });
      LONG coarse = 0, precise = 0;
      tuning->Resonance(d90_, &coarse, &precise, &ok);
      if (ok) results = {{"bias_roughly", coarse}, {"bias_precisely", precise}};
    } else {
      Progress progress("period", PeriodSteps(from_, to_));
      // The impulses of the recovery program are rounded up to the 100 ns step.
      const double d90 = std::ceil(d90_ / 100) * 100;
      ProbeWatch watch([&](const ProbeRun& run) {
        const double p =
            static_cast<double>(program::Disassemble(run.code).duration - kRecoveryRest) - 2 * d90;
        progress.Step(run.k, "P " + Ns(p));
      });
      double period = 0;
      tuning->Period(d90_, from_, to_, &period, &ok);
      if (ok) results = {{"period", period}};
    }
    return ok == VARIANT_TRUE;
  }

  // On a virtual analyzer, what the search should find.
  static std::string Truth(const AnalyzerLink& link, const std::string& key) {
    const sim::TSimSample* s = link.Simulated();
    if (!s) return "";
    if (key == "d90") return " (the virtual sample's: " + Number(s->D90) + ")";
    if (key == "d180") return " (the virtual sample's: " + Number(2 * s->D90) + ")";
    if (key == "bias_roughly") return " (the virtual sample's: " + Number(s->Resonance) + ")";
    if (key == "period")
      return " (6 T1 ln 10 for the virtual sample: " + Number(6 * s->T1 * std::log(10.0)) + ")";
    return "";
  }

  std::string search_;
  LinkOptions link_;
  double d90_ = 0, from_ = 110000, to_ = 1e9;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeTuneCommand() {
  return std::make_unique<TuneCommand>();
}

}  // namespace quellar::tool
