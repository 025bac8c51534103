// References for bench_binding.py: a DoubleArray's Count read early bound through a plain
// pybind11 method, and the library's late-bound Invoke of the same property timed in C++.
#include <pybind11/pybind11.h>

#include <chrono>

#include "automation/Quellar.h"

namespace py = pybind11;

namespace {

// The interface of a quellar.DoubleArray, held as an early-bound client holds it.
struct EarlyArray {
  explicit EarlyArray(py::handle array) {
    auto* unknown = reinterpret_cast<IUnknown*>(array.attr("_identity")().cast<uintptr_t>());
    if (FAILED(unknown->QueryInterface(IID_IDoubleArray, reinterpret_cast<void**>(&p))))
      throw py::type_error("not a DoubleArray");
  }
  ~EarlyArray() { p->Release(); }
  EarlyArray(const EarlyArray&) = delete;
  EarlyArray& operator=(const EarlyArray&) = delete;
  IDoubleArray* p = nullptr;
};

}  // namespace

PYBIND11_MODULE(_quellar_bench, m) {
  m.def("noop", [] {});
  py::class_<EarlyArray>(m, "EarlyArray")
      .def(py::init<py::handle>())
      .def_property_readonly("Count",
                             [](const EarlyArray& a) {
                               LONG count = 0;
                               a.p->get_Count(&count);
                               return count;
                             })
      // Nanoseconds per Invoke(DISPID 1, property get) inside C++, over n calls.
      .def("invoke_ns", [](const EarlyArray& a, int n) {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT result;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i)
          a.p->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        return std::chrono::duration<double, std::nano>(elapsed).count() / n;
      });
}
