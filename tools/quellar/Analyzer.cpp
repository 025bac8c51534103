#include "Analyzer.h"

#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "Commands.h"
#include "Trace.h"
#include "sim/SimPty.h"

namespace quellar::tool {

const char* const kLinkHelp =
    "Without --port the tool serves a virtual analyzer itself (the sample of --sample) and "
    "opens it through the serial transport like a real one. On Linux COM port N is the device "
    "named by QUELLAR_COM<N>, else /dev/ttyS<N-1>.";

void LinkOptions::Register(CLI::App* sub) {
  CLI::Option* byPort =
      sub->add_option("--port", port, "The analyzer's COM port number")->check(CLI::PositiveNumber);
  CLI::Option* bySim =
      sub->add_flag("--sim", sim, "Use a virtual analyzer (the default without --port)");
  CLI::Option* bySample = sub->add_option(
      "--sample", sample, "The virtual analyzer's sample: key=value,... (see quellar sim --help)");
  byPort->excludes(bySim)->excludes(bySample);
}

namespace {

std::string Text(BSTR text) {
  std::string out;
  for (UINT i = 0; text && i < SysStringLen(text); ++i)
    out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

// A port number whose variable nobody has set.
int FreePort(std::string& variable) {
  for (int n = 64;; ++n) {
    variable = "QUELLAR_COM" + std::to_string(n);
    if (!getenv(variable.c_str())) return n;
  }
}

}  // namespace

AnalyzerLink::AnalyzerLink() = default;

AnalyzerLink::~AnalyzerLink() {
  if (controller_.get()) controller_->Close();
  controller_.Reset();
  if (server_) server_->Stop();
  if (!variable_.empty()) unsetenv(variable_.c_str());
}

int AnalyzerLink::Open(const LinkOptions& options) {
  std::string error;
  int port = options.port;
  if (port == 0) {
    if (!sim::ParseSimSample(options.sample, sample_, error)) {
      std::cerr << "quellar: error: " << error << "\n";
      return kExitUsage;
    }
    server_ = std::make_unique<sim::TSimPtyServer>(sample_);
    if (!server_->Start("", error)) {
      std::cerr << "quellar: error: cannot serve a virtual analyzer: " << error << "\n";
      return kExitNoPort;
    }
    port = FreePort(variable_);
    setenv(variable_.c_str(), server_->SlavePath().c_str(), 1);
    where_ = "a virtual analyzer";
  } else {
    where_ = "COM port " + std::to_string(port);
  }
  if (FAILED(QuellarCreateObject("Quellar.Controller", &IID_IController,
                                 reinterpret_cast<void**>(controller_.Out())))) {
    std::cerr << "quellar: error: cannot create Quellar.Controller\n";
    return kExitNoAnswer;
  }
  // Nothing goes out when the port cannot be opened; frames go out when nobody answers.
  int sent = 0;
  TraceWatch watch([&](const QuellarTraceEvent& e) { sent += e.kind == QUELLAR_TRACE_SENT; });
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (SUCCEEDED(controller_->Open(port, &ok)) && ok) return kExitOk;
  if (sent == 0) {
    const char* device = getenv(("QUELLAR_COM" + std::to_string(port)).c_str());
    std::cerr << "quellar: error: cannot open " << where_ << " ("
              << (device ? device : "/dev/ttyS" + std::to_string(port - 1))
              << "): no such port, or it is in use\n";
    return kExitNoPort;
  }
  std::cerr << "quellar: error: no analyzer answers on " << where_ << "\n";
  return kExitNoAnswer;
}

AnalyzerState ReadState(const AnalyzerLink& link) {
  AnalyzerState out;
  Ref<IState> state = link.Child(&IController::get_State);
  BSTR master = nullptr, magnetic = nullptr;
  state->get_MasterID(&master);
  state->get_MagneticID(&magnetic);
  state->get_SampleTemperature(&out.sample);
  state->get_SystemTemperature(&out.system);
  out.master = Text(master);
  out.magnetic = Text(magnetic);
  SysFreeString(master);
  SysFreeString(magnetic);
  return out;
}

}  // namespace quellar::tool
