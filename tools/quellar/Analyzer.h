#pragma once
// The device subcommands' side of the library: a Quellar.Controller created by programmatic
// identifier like any client's, opened on a COM port or on a virtual analyzer that the tool
// serves itself on a pseudo-terminal (reached through the real serial transport as a free
// port n with QUELLAR_COM<n>).
#include <memory>
#include <string>
#include <utility>

#include "automation/Quellar.h"
#include "sim/SimSample.h"

namespace CLI {
class App;
}
namespace quellar::sim {
class TSimPtyServer;
}

namespace quellar::tool {

// One counted reference, released on scope exit.
template <class I>
class Ref {
 public:
  Ref() = default;
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  I** Out() {
    Reset();
    return &p_;
  }
  void Reset() {
    if (I* p = std::exchange(p_, nullptr)) p->Release();
  }
  I* get() const { return p_; }
  I* operator->() const { return p_; }

 private:
  I* p_ = nullptr;
};

// --port N, --sim and --sample, shared by the device subcommands. Without --port the tool
// serves a virtual analyzer.
struct LinkOptions {
  int port = 0;
  bool sim = false;
  std::string sample;
  void Register(CLI::App* sub);
};

// The help text on where the subcommands find an analyzer.
extern const char* const kLinkHelp;

class AnalyzerLink {
 public:
  AnalyzerLink();
  ~AnalyzerLink();
  AnalyzerLink(const AnalyzerLink&) = delete;
  AnalyzerLink& operator=(const AnalyzerLink&) = delete;

  // Creates the controller and opens it; on failure says why on standard error and returns
  // the exit status (kExitUsage, kExitNoPort, kExitNoAnswer), else kExitOk.
  int Open(const LinkOptions& options);

  template <class I>
  Ref<I> Child(HRESULT (IController::*get)(I**)) const {
    Ref<I> child;
    (controller_.get()->*get)(child.Out());
    return child;
  }
  // The virtual analyzer's sample, or nullptr on a real port.
  const sim::TSimSample* Simulated() const { return server_ ? &sample_ : nullptr; }
  // "COM port 7" or "a virtual analyzer".
  const std::string& Where() const { return where_; }

 private:
  std::unique_ptr<sim::TSimPtyServer> server_;
  sim::TSimSample sample_;
  Ref<IController> controller_;
  std::string where_, variable_;
};

// The identification texts and temperatures of an open controller.
struct AnalyzerState {
  std::string master, magnetic;
  double sample = 0, system = 0;
};
AnalyzerState ReadState(const AnalyzerLink& link);

}  // namespace quellar::tool
