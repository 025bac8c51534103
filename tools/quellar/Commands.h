#pragma once
// Subcommands of the quellar tool. Each lives in its own source file, registers its options
// on the application and runs when it is the one named on the command line.
#include <memory>
#include <vector>

namespace CLI {
class App;
}

namespace quellar::tool {

// Exit status of every subcommand.
enum ExitCode : int {
  kExitOk = 0,
  kExitRefused = 1,  // some item was refused or does not play as written (a warning names it)
  kExitUsage = 2,    // bad usage, an item that cannot be parsed, a file that cannot be used
  kExitTooLong = 3,  // the program code would exceed 32767 bytes
  kExitBadCode = 4,  // program code that cannot be read (disasm)
};

// The exit statuses as told in --help.
inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 ok; 1 some item was refused or does not play as written (a warning names "
    "it); 2 bad usage, an item that cannot be parsed or a file that cannot be used; 3 program "
    "code longer than 32767 bytes; 4 invalid program code.";

class Command {
 public:
  virtual ~Command() = default;
  // Adds the subcommand and its options to the application and returns it.
  virtual CLI::App* Register(CLI::App& app) = 0;
  // Runs after a successful parse; returns the exit status.
  virtual int Run() = 0;
};

std::unique_ptr<Command> MakeCompileCommand();
std::unique_ptr<Command> MakeDisasmCommand();
std::unique_ptr<Command> MakeFftCommand();
std::unique_ptr<Command> MakeFitCommand();
std::unique_ptr<Command> MakeSimCommand();

}  // namespace quellar::tool
