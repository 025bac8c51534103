// quellar measure: compiles program items (as quellar compile does), sends the code through
// the controller's compiler, executes the analysis and prints every sample with its time mark
// (text or JSON), optionally also as CSV.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>

#include "Analyzer.h"
#include "Commands.h"
#include "Format.h"
#include "MathClient.h"
#include "ProgramItems.h"

namespace quellar::tool {

namespace {

class MeasureCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "measure", "Send a program to the analyzer, run it and print the averaged samples");
    link_.Register(sub);
    sub->add_option("--runs", runs_, "Runs averaged (default 1)")->check(CLI::Range(1, 1000000));
    sub->add_option("--pause", pauseMs_, "Milliseconds of pause after each run (default 0)")
        ->check(CLI::Range(0, 3600000));
    sub->add_option("--timeout", timeoutMs_, "Milliseconds a run may take (default 5000)")
        ->check(CLI::Range(0, 3600000));
    sub->add_option("--phase", phase_, "Phase correction in radians (default 0)");
    sub->add_option("--csv", csv_, "Also write time_ns,re,im per sample to this file");
    sub->add_flag("--json", json_, "Print one JSON object");
    sub->add_option("ITEM", items_, "Program items as for quellar compile")->required();
    sub->footer(std::string(kLinkHelp) + "\n" + kExitStatusHelp);
    return sub;
  }

  int Run() override {
    if (!std::isfinite(phase_)) return Usage("--phase must be a finite number of radians");
    program::TProgramCompilerBytecode program;
    const ItemsResult items = AddItems(items_, program);
    if (!items.parsed) return Usage(items.error);
    for (const std::string& warning : items.warnings)
      std::cerr << "quellar: warning: " << warning << "\n";
    // A refused item would measure another program than the one asked for.
    if (items.refused > 0) {
      std::cerr << "quellar: error: nothing measured, " << items.refused
                << " item(s) refused by the program model\n";
      return kExitRefused;
    }
    std::vector<uint8_t> code;
    if (!program.Compile(&code, false)) {
      std::cerr << "quellar: error: the program code would be longer than " << program::kMaxCodeSize
                << " bytes\n";
      return kExitTooLong;
    }

    AnalyzerLink link;
    if (const int status = link.Open(link_); status != kExitOk) return status;
    Object<IByteArray> bytes("Quellar.ByteArray", IID_IByteArray);
    bytes->put_Count(static_cast<LONG>(code.size()));
    for (size_t i = 0; i < code.size(); ++i) bytes->put_Item(static_cast<LONG>(i), code[i]);
    Ref<ICompiler> compiler = link.Child(&IController::get_Compiler);
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(compiler->LoadFromByteArray(bytes.get(), &ok)) || !ok) {
      std::cerr << "quellar: error: " << link.Where() << " did not take the program\n";
      return kExitNoAnswer;
    }
    Ref<IAnalysis> analysis = link.Child(&IController::get_Analysis);
    if (FAILED(analysis->Execute(timeoutMs_, pauseMs_, runs_, phase_, &ok)) || !ok) {
      std::cerr << "quellar: error: the analysis failed on " << link.Where()
                << " (no answer, or the run took longer than " << timeoutMs_ << " ms)\n";
      return kExitNoAnswer;
    }
    Array re, im;
    analysis->GetAllSamplesRE(re.get());
    analysis->GetAllSamplesIM(im.get());
    Print(program.Markers(), re.Values(), im.Values());
    return csv_.empty() || WriteCsv(program.Markers(), re.Values(), im.Values()) ? kExitOk
                                                                                 : kExitUsage;
  }

 private:
  static int Usage(const std::string& error) {
    std::cerr << "quellar: error: " << error << "\n";
    return kExitUsage;
  }

  // Marks and samples pair up by index; an analyzer that returned another count than the
  // program asks for is told.
  static size_t Pairs(const program::TProgramMarkers& marks, const std::vector<double>& re) {
    if (static_cast<size_t>(marks.Count()) != re.size())
      std::cerr << "quellar: warning: " << re.size() << " samples for " << marks.Count()
                << " time marks\n";
    return std::min(static_cast<size_t>(marks.Count()), re.size());
  }

  void Print(const program::TProgramMarkers& marks, const std::vector<double>& re,
             const std::vector<double>& im) const {
    const size_t n = Pairs(marks, re);
    if (json_) {
      std::string t, r, i;
      for (size_t k = 0; k < n; ++k) {
        const char* sep = k ? ", " : "";
        t += sep + FormatTime(marks.Mark(static_cast<int32_t>(k)));
        r += sep + Number(re[k]);
        i += sep + Number(im[k]);
      }
      std::cout << "{\"ok\": true, \"runs\": " << runs_ << ", \"samples\": " << n
                << ", \"marks\": [" << t << "], \"re\": [" << r << "], \"im\": [" << i << "]}\n";
      return;
    }
    std::cout << "# " << n << " samples, mean of " << runs_ << " run(s)\n# time_ns re im\n";
    for (size_t k = 0; k < n; ++k)
      std::cout << FormatTime(marks.Mark(static_cast<int32_t>(k))) << " " << Number(re[k]) << " "
                << Number(im[k]) << "\n";
  }

  bool WriteCsv(const program::TProgramMarkers& marks, const std::vector<double>& re,
                const std::vector<double>& im) const {
    std::ofstream out(csv_, std::ios::trunc);
    out << "time_ns,re,im\n";
    for (size_t k = 0, n = std::min(static_cast<size_t>(marks.Count()), re.size()); k < n; ++k)
      out << FormatTime(marks.Mark(static_cast<int32_t>(k))) << "," << Number(re[k]) << ","
          << Number(im[k]) << "\n";
    if (out.flush()) return true;
    std::cerr << "quellar: error: cannot write '" << csv_ << "'\n";
    return false;
  }

  LinkOptions link_;
  LONG runs_ = 1, pauseMs_ = 0, timeoutMs_ = 5000;
  double phase_ = 0;
  std::string csv_;
  bool json_ = false;
  std::vector<std::string> items_;
};

}  // namespace

std::unique_ptr<Command> MakeMeasureCommand() {
  return std::make_unique<MeasureCommand>();
}

}  // namespace quellar::tool
