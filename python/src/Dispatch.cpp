// Library objects from Python: creation by programmatic identifier, names to DISPIDs, late-bound
// calls with positional, named and [out] arguments, errors as quellar.Error, and the storage of
// a DoubleArray through the buffer protocol.
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <vector>

#include "Binding.h"

namespace quellar::python {

namespace {

std::recursive_mutex& Mutex() {
  static auto* mutex = new std::recursive_mutex();
  return *mutex;
}

PyObject* gErrorFactory = nullptr;  // a strong reference, kept for the process

constexpr size_t kMaxArgs = 32;

// Arguments on the stack: a call is cheap enough for allocations to show.
struct Variants {
  VARIANT items[kMaxArgs];
  size_t count;
  explicit Variants(size_t n) : count(n) {
    for (size_t i = 0; i < count; ++i) VariantInit(&items[i]);
  }
  ~Variants() {
    for (size_t i = 0; i < count; ++i) VariantClear(&items[i]);
  }
  Variants(const Variants&) = delete;
  Variants& operator=(const Variants&) = delete;
};

struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

struct ExcepInfo : EXCEPINFO {
  ExcepInfo() : EXCEPINFO{} {}
  ~ExcepInfo() {
    SysFreeString(bstrSource);
    SysFreeString(bstrDescription);
    SysFreeString(bstrHelpFile);
  }
  ExcepInfo(const ExcepInfo&) = delete;
  ExcepInfo& operator=(const ExcepInfo&) = delete;
};

std::string Utf8(BSTR text) {
  return text ? FromBstr(text, SysStringLen(text)).cast<std::string>() : std::string();
}

// Failures that Invoke reports itself, without error information.
std::string DispatchText(HRESULT hr) {
  switch (hr) {
    case DISP_E_MEMBERNOTFOUND:
      return "Member not found";
    case DISP_E_TYPEMISMATCH:
      return "Type mismatch";
    case DISP_E_BADPARAMCOUNT:
      return "Wrong number of arguments";
    case DISP_E_PARAMNOTOPTIONAL:
      return "Argument not optional";
    case DISP_E_PARAMNOTFOUND:
      return "No parameter of that name";
    case DISP_E_OVERFLOW:
      return "Argument out of range";
    case DISP_E_BADVARTYPE:
      return "Unsupported argument type";
    case DISP_E_UNKNOWNNAME:
      return "Unknown name";
    case E_INVALIDARG:
      return "Invalid argument";
    default:
      return "Call failed";
  }
}

// The storage of a DoubleArray, or null for any other object.
std::vector<double>* Storage(IDispatch* object) {
  IDoubleArrayData* data = nullptr;
  if (!object ||
      FAILED(object->QueryInterface(IID_IDoubleArrayData, reinterpret_cast<void**>(&data))) ||
      !data)
    return nullptr;
  std::vector<double>* values = nullptr;
  const HRESULT hr = data->GetValues(&values);
  data->Release();
  return SUCCEEDED(hr) ? values : nullptr;
}

// Storage that numpy views point into, to tell when a call has moved it.
struct Watched {
  Dispatch* object;
  const double* data;
};

void Watch(Dispatch& d, std::vector<Watched>& watched) {
  if (d.exports == 0) return;
  if (const std::vector<double>* values = Storage(d.ptr)) watched.push_back({&d, values->data()});
}

IDispatch* Create(const std::string& progId) {
  void* object = nullptr;
  HRESULT hr;
  {
    LibraryLock lock;
    SetErrorInfo(0, nullptr);  // so a failure's description is this call's
    hr = QuellarCreateObject(progId.c_str(), &IID_IDispatch, &object);
  }
  if (FAILED(hr) || !object) {
    std::string description, source;
    if (!TakeErrorInfo(&description, &source)) description = "Cannot create " + progId;
    RaiseError(FAILED(hr) ? hr : E_POINTER, description, source.empty() ? progId : source);
  }
  return static_cast<IDispatch*>(object);
}

std::unique_ptr<Dispatch> Construct(py::handle source) {
  if (py::isinstance<py::str>(source))
    return std::make_unique<Dispatch>(Create(source.cast<std::string>()));
  if (py::isinstance<Handle>(source)) {
    Handle& h = source.cast<Handle&>();
    if (!h.ptr) throw py::value_error("the handle was used already");
    auto d = std::make_unique<Dispatch>(h.ptr);
    h.ptr = nullptr;
    return d;
  }
  if (py::isinstance<Dispatch>(source)) {
    IDispatch* p = source.cast<Dispatch&>().ptr;
    p->AddRef();
    return std::make_unique<Dispatch>(p);
  }
  throw py::type_error("an object is made from a programmatic identifier or another object");
}

// Calls member `id` with args in natural order; the last `named.size()` of them are passed by
// the DISPIDs in `named`, and for a property put the last one is the new value. Bit i of
// `outs` marks args[i] as an [out] parameter: its value is ignored and its result returned
// after the call's, as a tuple.
py::object Invoke(Dispatch& self, DISPID id, WORD flags, const py::tuple& args,
                  const py::tuple& named, uint64_t outs, bool release) {
  const size_t n = args.size();
  const size_t namedCount = named.size();
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  if (namedCount > n || (put && (n == 0 || namedCount > 0)))
    throw py::value_error("named arguments do not match the arguments");
  if (n > kMaxArgs) throw py::value_error("too many arguments");
  Variants values(n), outValues(n);
  std::vector<Watched> watched;
  Watch(self, watched);
  for (size_t i = 0; i < n; ++i) {
    if ((outs >> i) & 1) {
      V_VT(&values.items[i]) = VT_VARIANT | VT_BYREF;
      V_VARIANTREF(&values.items[i]) = &outValues.items[i];
    } else {
      ToVariant(args[i], &values.items[i]);
      if (py::isinstance<Dispatch>(args[i])) Watch(args[i].cast<Dispatch&>(), watched);
    }
  }
  // rgvarg holds the named arguments first, then the positional ones last to first.
  VARIANT rgvarg[kMaxArgs];
  DISPID ids[kMaxArgs];
  size_t from[kMaxArgs];  // rgvarg index -> args index
  const size_t namedFirst = put ? n - 1 : n - namedCount;
  size_t k = 0;
  for (size_t i = namedFirst; i < n; ++i, ++k) {
    from[k] = i;
    ids[k] = put ? DISPID_PROPERTYPUT : named[i - namedFirst].cast<DISPID>();
  }
  for (size_t i = namedFirst; i-- > 0; ++k) from[k] = i;
  for (size_t j = 0; j < n; ++j) rgvarg[j] = values.items[from[j]];
  DISPPARAMS params{n ? rgvarg : nullptr, n > namedFirst ? ids : nullptr, static_cast<UINT>(n),
                    static_cast<UINT>(n - namedFirst)};

  Variant result;
  ExcepInfo excep;
  UINT argErr = ~0u;
  HRESULT hr;
  if (release) {
    py::gil_scoped_release nogil;
    LibraryLock lock{LibraryLock::NoGil{}};
    hr = self.ptr->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &excep,
                          &argErr);
  } else {
    LibraryLock lock;
    hr = self.ptr->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, &excep,
                          &argErr);
  }

  std::string description, source;
  HRESULT status = hr;
  if (hr == DISP_E_EXCEPTION) {
    status = excep.scode ? excep.scode : E_FAIL;
    description = Utf8(excep.bstrDescription);
    source = Utf8(excep.bstrSource);
  } else if (FAILED(hr)) {
    description = DispatchText(hr);
    if (argErr < n) description += " (argument " + std::to_string(from[argErr] + 1) + ")";
  }
  if (SinkExceptionPending()) RaiseSinkException(FAILED(hr) ? description : std::string());
  if (FAILED(hr)) RaiseError(status, description, source);
  for (const Watched& w : watched) {
    const std::vector<double>* values = Storage(w.object->ptr);
    if (!values || values->data() != w.data)
      throw py::buffer_error(
          "a DoubleArray's storage moved while numpy views of it exist (its count grew); those "
          "views are no longer valid");
  }
  py::object value = FromVariant(result);
  if (outs == 0) return value;
  py::list all;
  all.append(value);
  for (size_t i = 0; i < n; ++i)
    if ((outs >> i) & 1) all.append(FromVariant(outValues.items[i]));
  return py::tuple(all);
}

py::list Ids(Dispatch& self, const std::vector<std::string>& names) {
  if (names.empty()) throw py::value_error("no names");
  std::vector<std::u16string> texts;
  for (const std::string& name : names) texts.push_back(ToUtf16(py::str(name)));
  std::vector<LPOLESTR> pointers;
  for (std::u16string& text : texts) pointers.push_back(text.data());
  std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
  HRESULT hr;
  {
    LibraryLock lock;
    hr = self.ptr->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()),
                                 LOCALE_USER_DEFAULT, ids.data());
  }
  if (FAILED(hr)) {
    std::string unknown;
    for (size_t i = 0; i < names.size(); ++i)
      if (ids[i] == DISPID_UNKNOWN) unknown += (unknown.empty() ? "" : ", ") + names[i];
    RaiseError(hr, DispatchText(hr) + ": " + unknown, "");
  }
  return py::cast(ids);
}

// The buffer protocol, written against CPython: pybind11's own gives no word when a view ends,
// and the export count guards the storage against moves that numpy cannot see.
int GetBuffer(PyObject* object, Py_buffer* view, int flags) {
  try {
    Dispatch& self = py::handle(object).cast<Dispatch&>();
    std::vector<double>* values = Storage(self.ptr);
    if (!values) {
      PyErr_SetString(PyExc_BufferError, "only a DoubleArray exposes its storage");
      return -1;
    }
    static double empty = 0;
    auto* shape = new Py_ssize_t[2]{static_cast<Py_ssize_t>(values->size()), sizeof(double)};
    view->obj = object;
    Py_INCREF(object);
    view->buf = values->empty() ? &empty : values->data();
    view->len = shape[0] * shape[1];
    view->readonly = 0;
    view->itemsize = sizeof(double);
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? shape + 1 : nullptr;
    view->suboffsets = nullptr;
    view->internal = shape;
    ++self.exports;
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_BufferError, e.what());
  }
  return -1;
}

void ReleaseBuffer(PyObject* object, Py_buffer* view) {
  delete[] static_cast<Py_ssize_t*>(view->internal);
  try {
    --py::handle(object).cast<Dispatch&>().exports;
  } catch (...) {
    PyErr_Clear();
  }
}

}  // namespace

LibraryLock::LibraryLock() {
  if (!Mutex().try_lock()) {
    py::gil_scoped_release nogil;
    Mutex().lock();
  }
}

LibraryLock::LibraryLock(NoGil) {
  Mutex().lock();
}

LibraryLock::~LibraryLock() {
  Mutex().unlock();
}

void SetErrorFactory(py::object factory) {
  Py_XDECREF(gErrorFactory);
  gErrorFactory = factory.release().ptr();
}

void RaiseError(HRESULT status, const std::string& description, const std::string& source) {
  if (!gErrorFactory) throw std::runtime_error(description);
  py::object error = py::reinterpret_borrow<py::object>(gErrorFactory)(
      static_cast<int64_t>(static_cast<uint32_t>(status)), description, source);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

bool TakeErrorInfo(std::string* description, std::string* source) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return false;
  BSTR d = nullptr, s = nullptr;
  info->GetDescription(&d);
  info->GetSource(&s);
  info->Release();
  *description = Utf8(d);
  *source = Utf8(s);
  SysFreeString(d);
  SysFreeString(s);
  return true;
}

void DefineDispatch(py::module_& m) {
  py::class_<Handle>(m, "Handle", "A reference to a library object on its way to its class.");
  py::class_<Dispatch> cls(m, "Dispatch",
                           "A library object, reached late bound through IDispatch.");
  cls.def(py::init(&Construct), py::arg("source"),
          "From a programmatic identifier ('Quellar.DoubleArray'), a Handle or another object.")
      .def("_invoke", &Invoke, py::arg("dispid"), py::arg("flags"), py::arg("args"),
           py::arg("named") = py::tuple(), py::arg("outs") = 0, py::arg("release") = false)
      .def(
          "_get",
          [](Dispatch& self, DISPID id) {
            return Invoke(self, id, DISPATCH_PROPERTYGET, py::tuple(), py::tuple(), 0, false);
          },
          "A property without arguments.")
      .def("_ids", &Ids, "DISPIDs of a member name and its parameter names")
      .def(
          "_identity",
          [](Dispatch& self) {
            IUnknown* unknown = nullptr;
            self.ptr->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
            if (unknown) unknown->Release();  // the object lives on through self
            return reinterpret_cast<uintptr_t>(unknown);
          },
          "The object's identity (its IUnknown)")
      .def_property_readonly("_exports", [](const Dispatch& self) { return self.exports; });
  auto* heap = reinterpret_cast<PyHeapTypeObject*>(cls.ptr());
  heap->as_buffer.bf_getbuffer = GetBuffer;
  heap->as_buffer.bf_releasebuffer = ReleaseBuffer;
  heap->ht_type.tp_as_buffer = &heap->as_buffer;

  m.def("_register", &Register, py::arg("iid"), py::arg("cls"),
        "Objects answering this interface are made as instances of cls (first match wins).");
  m.def("_clear_registry", &ClearRegistry);
  m.def("_set_error_factory", &SetErrorFactory);
  m.attr("DISPATCH_METHOD") = DISPATCH_METHOD;
  m.attr("DISPATCH_PROPERTYGET") = DISPATCH_PROPERTYGET;
  m.attr("DISPATCH_PROPERTYPUT") = DISPATCH_PROPERTYPUT;
}

}  // namespace quellar::python
