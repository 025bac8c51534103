#pragma once
// The native half of the Python package: library objects held through IDispatch, values
// converted between Python and automation variants, calls late bound by DISPID, numpy views of
// DoubleArray storage through IDoubleArrayData, and event sinks written in Python. Only the
// library's exported surface is used: creation by programmatic identifier, IDispatch,
// IConnectionPointContainer, IDoubleArrayData and the OLE functions.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "arrays/PrtArray.h"
#include "automation/Quellar.h"

namespace quellar::python {

namespace py = pybind11;

// One reference on a library object, released with the Python object.
struct Dispatch {
  explicit Dispatch(IDispatch* p) : ptr(p) {}
  ~Dispatch();
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;

  IDispatch* ptr;
  int exports = 0;  // live buffer views of a DoubleArray's storage
};

// A reference in transit to the Python class that wraps it (see Wrap).
struct Handle {
  IDispatch* ptr = nullptr;
  ~Handle();
};

// The Python object for a library object: an instance of the class registered for the first
// interface it answers (Register), constructed from a Handle. Takes over the reference.
py::object Wrap(IDispatch* object);
void Register(const std::string& iid, py::object cls);
// "8-4-4-4-12" hexadecimal digits, as the type library writes them.
IID ParseIid(const std::string& text);
void ClearRegistry();

// Values. ToVariant fills a VARIANT that the caller clears; FromVariant copies.
void ToVariant(py::handle value, VARIANT* out);
py::object FromVariant(const VARIANT& value);
std::u16string ToUtf16(py::handle text);
py::str FromBstr(const OLECHAR* text, size_t length);

// quellar.Error(status, description, source), raised as a Python exception.
[[noreturn]] void RaiseError(HRESULT status, const std::string& description,
                             const std::string& source);
void SetErrorFactory(py::object factory);
// The description and source of the thread's error information, when there is one.
bool TakeErrorInfo(std::string* description, std::string* source);

// Calls into the library run one at a time: the objects are apartment-threaded and the fitting
// state is process-wide, while the GIL is let go during long calls. Recursive, since event
// handlers call back into the library on the calling thread.
class LibraryLock {
 public:
  // Taken without the GIL's help: with the GIL held it is only tried, and on contention the
  // GIL is let go while waiting, so the holder's event handlers can run.
  LibraryLock();
  ~LibraryLock();
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;
  // For callers that have already let go of the GIL.
  struct NoGil {};
  explicit LibraryLock(NoGil);
};

// An exception raised by a Python event handler, kept for the thread until the call that led
// to the event returns, and then raised from it.
void KeepSinkException();
bool SinkExceptionPending();
// Raises the pending exception (with a note on the library's failure) when there is one.
void RaiseSinkException(const std::string& libraryFailure);

// Module parts.
void DefineDispatch(py::module_& m);
void DefineEvents(py::module_& m);

}  // namespace quellar::python
