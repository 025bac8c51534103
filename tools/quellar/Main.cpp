// quellar: the command-line tool of the Quellar control library.
#include <CLI/CLI.hpp>
#include <memory>
#include <vector>

#include "Commands.h"
#include "QuellarVersion.h"
#include "Trace.h"

int main(int argc, char** argv) {
  using namespace quellar::tool;
  CLI::App app("Quellar pulsed NMR analyzer tool", "quellar");
  app.require_subcommand(1, 1);
  app.set_version_flag("--version", QUELLAR_VERSION_TEXT);
  app.fallthrough();  // --trace also after the subcommand
  app.footer(kExitStatusHelp);
  bool trace = false;
  app.add_flag("--trace", trace, "Print every frame of the device link on standard error");

  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakeCompileCommand());
  commands.push_back(MakeDisasmCommand());
  commands.push_back(MakeFftCommand());
  commands.push_back(MakeFitCommand());
  commands.push_back(MakeSimCommand());
  commands.push_back(MakeMeasureCommand());
  commands.push_back(MakeTuneCommand());
  commands.push_back(MakeT2Command());
  std::vector<std::pair<CLI::App*, Command*>> registered;
  for (auto& command : commands) registered.emplace_back(command->Register(app), command.get());

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  SetTracePrinting(trace);
  for (auto& [sub, command] : registered)
    if (sub->parsed()) return command->Run();
  return kExitUsage;
}
