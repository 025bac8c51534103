// quellar disasm: reads program code (a file, or "-" for standard input) and prints it as a
// timeline, one line per period, ending with the end mark.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "program/DrvDisassembler.h"

namespace quellar::tool {

namespace {

// False when the file cannot be read to its end (a directory, a missing file, a read error).
bool ReadAll(std::FILE* in, std::vector<uint8_t>& bytes) {
  uint8_t block[4096];
  size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, in)) > 0)
    bytes.insert(bytes.end(), block, block + got);
  return !std::ferror(in);
}

std::string Describe(const program::CodePeriod& period, size_t sample) {
  using program::PeriodKind;
  switch (period.kind) {
    case PeriodKind::LeadIn:
      return "lead-in (phase " + std::to_string(program::PhaseDegrees(period.phase)) + " set)";
    case PeriodKind::Impulse:
      return "impulse at " + std::to_string(program::PhaseDegrees(period.phase));
    case PeriodKind::Strobe:
      return "strobe, sample " + std::to_string(sample);
    default:
      return program::PeriodName(period.kind);
  }
}

class DisasmCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand("disasm", "Print program code as a timeline of periods");
    sub->add_option("FILE", file_, "File of program code, or - for standard input")->required();
    sub->footer(kExitStatusHelp);
    return sub;
  }

  int Run() override {
    std::vector<uint8_t> code;
    if (file_ == "-") {
      if (!ReadAll(stdin, code)) return Unreadable();
    } else {
      std::FILE* in = std::fopen(file_.c_str(), "rb");
      if (!in) return Unreadable();
      const bool read = ReadAll(in, code);
      std::fclose(in);
      if (!read) return Unreadable();
    }
    const program::CodeListing listing = program::Disassemble(code);
    char line[160];
    std::snprintf(line, sizeof line, "%8s %14s %12s  %s\n", "offset", "start_ns", "length_ns",
                  "period");
    std::cout << line;
    size_t sample = 0;
    for (const program::CodePeriod& period : listing.periods) {
      if (period.kind == program::PeriodKind::Strobe) ++sample;
      std::snprintf(line, sizeof line, "%8zu %14lld %12lld  %s\n", period.offset,
                    static_cast<long long>(period.start), static_cast<long long>(period.length),
                    Describe(period, sample).c_str());
      std::cout << line;
    }
    if (!listing.valid) {
      std::cout.flush();
      std::cerr << "quellar: error: invalid program code at offset " << listing.errorOffset << ": "
                << listing.error << "\n";
      return kExitBadCode;
    }
    std::snprintf(line, sizeof line, "%8zu %14lld %12s  end mark (%zu bytes, %zu samples)\n",
                  code.size() - 1, static_cast<long long>(listing.duration), "", code.size(),
                  listing.strobes.size());
    std::cout << line;
    return kExitOk;
  }

 private:
  int Unreadable() const {
    std::cerr << "quellar: error: cannot read '" << file_ << "'\n";
    return kExitUsage;
  }

  std::string file_;
};

}  // namespace

std::unique_ptr<Command> MakeDisasmCommand() {
  return std::make_unique<DisasmCommand>();
}

}  // namespace quellar::tool
