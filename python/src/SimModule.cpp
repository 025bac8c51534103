// quellar._sim: the virtual analyzer on a pseudo-terminal, for examples and tests without
// hardware. It links the simulator itself, not the library.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/SimPty.h"

namespace py = pybind11;
using quellar::sim::TSimPtyServer;

namespace {

std::unique_ptr<TSimPtyServer> MakeServer(const std::string& sample, bool pace, double latencyMs,
                                          const std::vector<std::string>& faults) {
  quellar::sim::TSimSample s;
  quellar::sim::TSimLine line;
  quellar::sim::TSimFaults f;
  std::string error;
  if (!quellar::sim::ParseSimSample(sample, s, error)) throw py::value_error(error);
  for (const std::string& fault : faults)
    if (!quellar::sim::ParseSimFault(fault, f, error)) throw py::value_error(error);
  if (!(latencyMs >= 0)) throw py::value_error("latency must not be negative");
  line.Pace = pace;
  line.LatencyNs = static_cast<int64_t>(latencyMs * 1e6);
  return std::make_unique<TSimPtyServer>(s, line, f);
}

}  // namespace

PYBIND11_MODULE(_sim, m) {
  m.doc() = "The virtual analyzer served on a pseudo-terminal; use quellar.sim.";
  py::class_<TSimPtyServer>(m, "PtyServer")
      .def(py::init(&MakeServer), py::arg("sample") = "", py::arg("pace") = false,
           py::arg("latency_ms") = 0.0, py::arg("faults") = std::vector<std::string>())
      .def(
          "start",
          [](TSimPtyServer& server, const std::string& link) {
            std::string error;
            if (!server.Start(link, error)) throw std::runtime_error(error);
            return server.SlavePath();
          },
          py::arg("link") = "", "Starts serving; returns the terminal's path.")
      .def("stop", &TSimPtyServer::Stop, py::call_guard<py::gil_scoped_release>())
      .def_property_readonly("path", &TSimPtyServer::SlavePath);
  m.def("sample_help", &quellar::sim::SimSampleHelp);
  m.def("fault_help", &quellar::sim::SimFaultHelp);
}
