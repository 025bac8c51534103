// Events: a Python object or callable behind an IDispatch sink, connected through the source
// object's connection point; exceptions it raises travel back to the call that fired the
// event. Also the library's error reports, routed to a Python function.
#include <pybind11/stl.h>

#include <atomic>
#include <map>
#include <utility>
#include <vector>

#include "Binding.h"

namespace quellar::python {

namespace {

struct Pending {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local Pending tPending;

PyObject* gReporter = nullptr;  // a strong reference while installed

struct EventDesc {
  std::string name;
  bool returnsValue;
};

class Sink final : public IDispatch {
 public:
  Sink(py::object target, bool callable, std::map<DISPID, EventDesc> events, const IID& source)
      : target_(std::move(target)),
        callable_(callable),
        events_(std::move(events)),
        source_(source) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IDispatch && riid != source_) return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      if (Py_IsInitialized()) {
        py::gil_scoped_acquire gil;
        delete this;
      } else {
        Abandon();
      }
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID,
                                          DISPID* ids) override {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;  // the library calls its events by DISPID
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT*) override {
    if (!Py_IsInitialized()) return E_UNEXPECTED;
    const auto event = events_.find(id);
    if (event == events_.end()) return DISP_E_MEMBERNOTFOUND;
    if (!params || (params->cArgs > 0 && !params->rgvarg)) return E_INVALIDARG;
    if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
    py::gil_scoped_acquire gil;
    try {
      py::object handler =
          callable_ ? target_ : py::getattr(target_, event->second.name.c_str(), py::none());
      if (handler.is_none()) return DISP_E_MEMBERNOTFOUND;
      py::tuple args(params->cArgs);
      for (UINT i = 0; i < params->cArgs; ++i)
        args[i] = Argument(params->rgvarg[params->cArgs - 1 - i]);
      py::object value = handler(*args);
      if (event->second.returnsValue && value.is_none())
        throw py::type_error(event->second.name + " returned None; it must return the value");
      if (result) {
        VariantInit(result);
        ToVariant(value, result);
      }
      return S_OK;
    } catch (py::error_already_set& e) {
      e.restore();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    KeepSinkException();
    if (excep) {
      *excep = EXCEPINFO{};
      excep->scode = DISP_E_EXCEPTION;
      const std::u16string text = u"Python exception in the event handler";
      excep->bstrDescription = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    return DISP_E_EXCEPTION;
  }

 private:
  ~Sink() = default;

  // Leaves the Python references alone when the interpreter has already gone.
  void Abandon() {
    target_.release();
    for (auto& entry : cache_) entry.second.release();
    delete this;
  }

  // The library passes the same arrays to every event of a fit; their Python objects are made
  // once and kept while the sink lives.
  py::object Argument(const VARIANT& v) {
    if (V_VT(&v) != VT_DISPATCH || !V_DISPATCH(&v)) return FromVariant(v);
    for (auto& entry : cache_)
      if (entry.first == V_DISPATCH(&v)) return entry.second;
    py::object value = FromVariant(v);
    if (cache_.size() < 4) cache_.emplace_back(V_DISPATCH(&v), value);
    return value;
  }

  std::atomic<ULONG> refs_{1};
  py::object target_;
  bool callable_;
  std::map<DISPID, EventDesc> events_;
  IID source_;
  std::vector<std::pair<IDispatch*, py::object>> cache_;  // each object holds its reference
};

struct Connection {
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;

  ~Connection() {
    if (point) point->Release();  // the sink stays connected until disconnect()
  }

  void Disconnect() {
    if (!point) return;
    HRESULT hr;
    {
      LibraryLock lock;
      hr = point->Unadvise(cookie);
      point->Release();
      point = nullptr;
    }
    if (FAILED(hr)) RaiseError(hr, "The sink was no longer connected", "");
  }
};

std::unique_ptr<Connection> Connect(Dispatch& object, const std::string& source, py::object target,
                                    bool callable,
                                    const std::map<DISPID, std::pair<std::string, bool>>& events) {
  const IID iid = ParseIid(source);
  std::map<DISPID, EventDesc> descs;
  for (const auto& [id, desc] : events) descs[id] = {desc.first, desc.second};
  auto connection = std::make_unique<Connection>();
  HRESULT hr;
  const char* failure = nullptr;
  {
    LibraryLock lock;
    SetErrorInfo(0, nullptr);
    IConnectionPointContainer* container = nullptr;
    hr = object.ptr->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&container));
    if (FAILED(hr) || !container) {
      failure = "The object raises no events";
    } else {
      hr = container->FindConnectionPoint(iid, &connection->point);
      container->Release();
      if (FAILED(hr)) {
        failure = "The object raises no events of that interface";
      } else {
        Sink* sink = new Sink(std::move(target), callable, std::move(descs), iid);
        hr = connection->point->Advise(sink, &connection->cookie);
        sink->Release();  // the point holds its own reference while connected
        if (hr == CONNECT_E_ADVISELIMIT) {
          failure = "Another sink is connected to this object already";
        } else if (FAILED(hr)) {
          failure = "The sink could not be connected";
        }
      }
    }
  }
  if (failure) {
    std::string description, from;
    if (!TakeErrorInfo(&description, &from)) description = failure;
    RaiseError(FAILED(hr) ? hr : E_NOINTERFACE, description, from);
  }
  return connection;
}

int Report(const char* caption, const char* message, void*) {
  if (!Py_IsInitialized()) return 0;
  py::gil_scoped_acquire gil;
  if (!gReporter) return 0;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    py::reinterpret_borrow<py::object>(gReporter)(caption ? caption : "", message ? message : "",
                                                  SinkExceptionPending());
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("quellar error report");
  }
  PyErr_Restore(type, value, traceback);
  return 0;  // never end the process from here
}

}  // namespace

void KeepSinkException() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  if (tPending.type) {  // the first one is the cause
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  tPending = {type, value, traceback};
}

bool SinkExceptionPending() {
  return tPending.type != nullptr;
}

void RaiseSinkException(const std::string& libraryFailure) {
  Pending p = std::exchange(tPending, Pending{});
  if (!libraryFailure.empty() && p.value && PyObject_HasAttrString(p.value, "add_note")) {
    const std::string note =
        "(raised in an event handler; the library's call then failed: " + libraryFailure + ")";
    PyObject* r = PyObject_CallMethod(p.value, "add_note", "s", note.c_str());
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(p.type, p.value, p.traceback);
  throw py::error_already_set();
}

void DefineEvents(py::module_& m) {
  py::class_<Connection>(m, "Connection", "A sink connected to an object's events.")
      .def("disconnect", &Connection::Disconnect,
           "Disconnects the sink (once; later calls do nothing).")
      .def_property_readonly("connected", [](const Connection& c) { return c.point != nullptr; })
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](Connection& c, const py::args&) {
            c.Disconnect();
            return false;
          },
          "Disconnects; an exception from the block goes on.");
  m.def("_connect", &Connect, py::arg("object"), py::arg("source_iid"), py::arg("sink"),
        py::arg("callable"), py::arg("events"),
        "Connects sink to the object's connection point for the source interface; events maps "
        "each DISPID to (name, returns a value).");
  m.def(
      "_set_reporter",
      [](py::object reporter) {
        Py_XDECREF(gReporter);
        gReporter = nullptr;
        if (reporter.is_none()) {
          QuellarSetReportHandler(nullptr, nullptr);
        } else {
          gReporter = reporter.release().ptr();
          QuellarSetReportHandler(&Report, nullptr);
        }
      },
      "Routes the library's error reports to reporter(caption, message, from_handler); None "
      "restores the library's own.");
}

}  // namespace quellar::python
