// quellar sim: serves a virtual analyzer on a pseudo-terminal until SIGINT or SIGTERM, and
// prints the port to open.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "sim/SimPty.h"

namespace quellar::tool {

namespace {

class SimCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "sim", "Serve a virtual analyzer on a pseudo-terminal until interrupted");
    sub->add_option("--link", link_, "Make this path a symbolic link to the terminal");
    sub->add_option("--sample", sample_, "Sample parameters: key=value,... (keys below)");
    sub->add_flag("--pace", pace_, "Move bytes at the line speed (115,200 baud)");
    sub->add_option("--latency", latencyMs_, "Milliseconds from a command to its answer")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--fault", faults_, "A fault on request, repeatable: " + sim::SimFaultHelp());
    sub->footer("Sample keys:\n" + sim::SimSampleHelp() +
                "Prints 'port: PATH' (the terminal) and serves until SIGINT or SIGTERM. Open it "
                "with DRIVER_DEVICE=PATH, or as port n with QUELLAR_COM<n>=PATH.\n" +
                std::string(kExitStatusHelp));
    return sub;
  }

  int Run() override {
    sim::TSimSample sample;
    sim::TSimLine line;
    sim::TSimFaults faults;
    std::string error;
    if (!sim::ParseSimSample(sample_, sample, error)) return Usage(error);
    for (const std::string& fault : faults_) {
      if (!sim::ParseSimFault(fault, faults, error)) return Usage(error);
    }
    line.Pace = pace_;
    line.LatencyNs = static_cast<int64_t>(latencyMs_ * 1e6);

    // Blocked before the serving thread starts, so only sigwait below receives them. A shell
    // starts background jobs with SIGINT ignored, and an ignored signal never arrives.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);

    sim::TSimPtyServer server(sample, line, faults);
    if (!server.Start(link_, error)) return Usage(error);
    std::cout << "port: " << server.SlavePath() << "\n";
    if (!link_.empty()) std::cout << "link: " << link_ << "\n";
    std::cout.flush();
    std::cerr << "quellar: serving a virtual analyzer until interrupted (DRIVER_DEVICE="
              << (link_.empty() ? server.SlavePath() : link_) << ")\n";
    int signal = 0;
    sigwait(&stop, &signal);
    server.Stop();
    return kExitOk;
  }

 private:
  static int Usage(const std::string& error) {
    std::cerr << "quellar: error: " << error << "\n";
    return kExitUsage;
  }

  std::string link_, sample_;
  bool pace_ = false;
  double latencyMs_ = 0;
  std::vector<std::string> faults_;
};

}  // namespace

std::unique_ptr<Command> MakeSimCommand() {
  return std::make_unique<SimCommand>();
}

}  // namespace quellar::tool
