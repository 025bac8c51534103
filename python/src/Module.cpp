// quellar._quellar: the native half of the quellar package (see Binding.h).
#include "Binding.h"

PYBIND11_MODULE(_quellar, m) {
  m.doc() = "Late binding to the Quellar library's objects; use the quellar package.";
  quellar::python::DefineDispatch(m);
  quellar::python::DefineEvents(m);
}
