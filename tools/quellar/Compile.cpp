// quellar compile: builds a program from items on the command line and prints its code,
// time marks, sample count and running time (text or JSON); optionally writes the code, to
// standard output for "-".
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>

#include "Commands.h"
#include "Format.h"
#include "ProgramItems.h"
#include "program/DrvCompilerBytecode.h"

namespace quellar::tool {

namespace {

class CompileCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "compile", "Compile impulse program items into program code and print it");
    sub->add_flag("--idle", idle_, "Compile the idle form: every impulse becomes silence");
    sub->add_flag("--json", json_, "Print one JSON object");
    sub->add_option("-o,--output", output_,
                    "Also write the code, as bytes, to this file; - writes it to standard output "
                    "in place of the listing");
    sub->add_option("ITEM", items_,
                    "impulse:DURATION:PHASE:SILENCE, silence:DURATION, "
                    "reading:DURATION:INTERVAL, package:COUNT ... end "
                    "(nanoseconds; phase in degrees 0, 90, 180, 270)")
        ->required();
    sub->footer(
        "Values are rounded to whole nanoseconds (halves to even) and then up to the 100 ns "
        "code step; an impulse's silence is at least 1000 ns. Items that are refused or do not "
        "play as written are named on standard error.\n" +
        std::string(kExitStatusHelp));
    return sub;
  }

  int Run() override {
    program::TProgramCompilerBytecode program;
    const ItemsResult items = AddItems(items_, program);
    if (!items.parsed) {
      std::cerr << "quellar: error: " << items.error << "\n";
      return kExitUsage;
    }
    for (const std::string& warning : items.warnings)
      std::cerr << "quellar: warning: " << warning << "\n";

    std::vector<uint8_t> code;
    if (!program.Compile(&code, idle_)) {
      std::cerr << "quellar: error: the program code would be longer than " << program::kMaxCodeSize
                << " bytes\n";
      return kExitTooLong;
    }
    if (output_ == "-") {
      std::cout.write(reinterpret_cast<const char*>(code.data()),
                      static_cast<std::streamsize>(code.size()));
      if (!std::cout.flush()) return CannotWrite();
    } else {
      if (!output_.empty()) {
        std::ofstream out(output_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(code.data()),
                  static_cast<std::streamsize>(code.size()));
        if (!out.flush()) return CannotWrite();
      }
      Print(program, code);
    }
    return items.warnings.empty() ? kExitOk : kExitRefused;
  }

 private:
  int CannotWrite() const {
    std::cerr << "quellar: error: cannot write '" << output_ << "'\n";
    return kExitUsage;
  }

  void Print(const program::TProgramCompilerBytecode& program,
             const std::vector<uint8_t>& code) const {
    const program::TProgramMarkers& markers = program.Markers();
    std::string marks;
    for (int32_t i = 0; i < markers.Count(); ++i) {
      if (i > 0) marks += json_ ? ", " : " ";
      marks += FormatTime(markers.Mark(i));
    }
    const std::string idle = idle_ ? "true" : "false";
    if (json_) {
      std::cout << "{\"code\": \"" << HexBytes(code) << "\", \"bytes\": " << code.size()
                << ", \"marks\": [" << marks << "], \"samples\": " << markers.Count()
                << ", \"duration_ns\": " << FormatTime(markers.Time()) << ", \"idle\": " << idle
                << "}\n";
    } else {
      std::cout << "code: " << HexBytes(code) << "\n"
                << "bytes: " << code.size() << "\n"
                << "marks:" << (marks.empty() ? "" : " ") << marks << "\n"
                << "samples: " << markers.Count() << "\n"
                << "duration_ns: " << FormatTime(markers.Time()) << "\n"
                << "idle: " << idle << "\n";
    }
  }

  bool idle_ = false;
  bool json_ = false;
  std::string output_;
  std::vector<std::string> items_;
};

}  // namespace

std::unique_ptr<Command> MakeCompileCommand() {
  return std::make_unique<CompileCommand>();
}

}  // namespace quellar::tool
