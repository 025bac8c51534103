#pragma once
// A controller object over the virtual analyzer in-process, on a virtual clock: the objects'
// own interfaces against a known sample, with the analyzer's truth at hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "automation/objects/PrtController.h"
#include "platform/Clock.h"
#include "sim/SimTransport.h"
#include "support/TestSupport.h"

namespace quellar::test {

using automation::TOwnedRef;

// Faults written as text, separated by commas.
inline sim::TSimFaults SimFaults(const std::string& text) {
  sim::TSimFaults f;
  std::string error;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(',', start), text.size());
    EXPECT_TRUE(sim::ParseSimFault(text.substr(start, end - start), f, error)) << error;
    start = end + 1;
  }
  return f;
}

struct SimController {
  explicit SimController(const sim::TSimSample& sample = {}, const sim::TSimFaults& faults = {}) {
    auto owned = std::make_unique<sim::TSimTransport>(sample, sim::TSimLine{}, faults);
    transport = owned.get();
    controller.Adopt(new automation::TQuellarController(std::move(owned)));
  }
  bool Open() {
    VARIANT_BOOL ok = VARIANT_FALSE;
    return controller->Open(1, &ok) == S_OK && ok == VARIANT_TRUE;
  }
  template <class I>
  void Child(HRESULT (IController::*get)(I**), TOwnedRef<I>& out) {
    ASSERT_EQ((controller.get()->*get)(out.Out()), S_OK);
  }
  uint32_t Ms() { return clock.Ticks(); }
  sim::TSimAnalyzer& Analyzer() { return transport->Analyzer(); }

  ReportCapture reports;
  platform::VirtualClock clock{0};
  platform::ScopedClock scoped{clock};  // before the transport, which reads the clock
  sim::TSimTransport* transport = nullptr;
  TOwnedRef<IController> controller;
};

}  // namespace quellar::test
