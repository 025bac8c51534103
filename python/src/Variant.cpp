// Python values to automation variants and back: numbers, booleans, text, objects, and safe
// arrays as numpy arrays.
#include <pybind11/numpy.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "Binding.h"

namespace quellar::python {

using namespace pybind11::literals;

namespace {

// Leaked on purpose: module-level Python references must not be dropped after the interpreter
// has gone.
PyObject* Numpy() {
  static PyObject* numpy = py::module_::import("numpy").release().ptr();
  return numpy;
}

py::object NumpyAttr(const char* name) {
  return py::reinterpret_borrow<py::object>(Numpy()).attr(name);
}

struct Registered {
  IID iid;
  py::object cls;
};
std::vector<Registered>& Registry() {
  static auto* registry = new std::vector<Registered>();
  return *registry;
}

void Integer(PyObject* o, VARIANT* out) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (PyErr_Occurred()) throw py::error_already_set();
    V_VT(out) = VT_UI8;
    V_UI8(out) = u;
  } else if (overflow < 0) {
    throw py::value_error("integer too small for the library");
  } else if (value >= std::numeric_limits<int32_t>::min() &&
             value <= std::numeric_limits<int32_t>::max()) {
    V_VT(out) = VT_I4;
    V_I4(out) = static_cast<LONG>(value);
  } else {
    V_VT(out) = VT_I8;
    V_I8(out) = value;
  }
}

// The element type a numpy array travels as.
VARTYPE ElementType(const py::array& a) {
  const char kind = a.dtype().kind();
  const auto size = a.itemsize();
  if (kind == 'f') return VT_R8;
  if (kind == 'b') return VT_BOOL;
  if (kind == 'u' && size == 1) return VT_UI1;
  if (kind == 'i' || kind == 'u') {
    if (size < 4 || (kind == 'i' && size == 4)) return VT_I4;
    if (a.size() == 0) return VT_I4;
    const auto lo = a.attr("min")().cast<double>();
    const auto hi = a.attr("max")().cast<double>();  // a uint64 may exceed long long
    return lo >= std::numeric_limits<int32_t>::min() && hi <= std::numeric_limits<int32_t>::max()
               ? VARTYPE{VT_I4}
               : VARTYPE{VT_I8};
  }
  return VT_VARIANT;
}

const char* DtypeOf(VARTYPE element) {
  switch (element) {
    case VT_I1:
      return "int8";
    case VT_UI1:
      return "uint8";
    case VT_I2:
      return "int16";
    case VT_UI2:
      return "uint16";
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return "int32";
    case VT_UI4:
    case VT_UINT:
      return "uint32";
    case VT_I8:
      return "int64";
    case VT_UI8:
      return "uint64";
    case VT_R4:
      return "float32";
    case VT_R8:
    case VT_DATE:
      return "float64";
    default:
      return nullptr;
  }
}

struct SafeArrayAccess {
  SAFEARRAY* psa;
  void* data = nullptr;
  explicit SafeArrayAccess(SAFEARRAY* p) : psa(p) {
    if (FAILED(SafeArrayAccessData(psa, &data))) throw std::runtime_error("safe array is locked");
  }
  ~SafeArrayAccess() { SafeArrayUnaccessData(psa); }
};

// Safe arrays keep their first index fastest: numpy's Fortran order.
void ArrayToVariant(py::array a, VARIANT* out) {
  if (a.ndim() == 0) {
    ToVariant(a.attr("item")(), out);
    return;
  }
  const VARTYPE vt = ElementType(a);
  std::vector<SAFEARRAYBOUND> bounds(static_cast<size_t>(a.ndim()));
  for (size_t d = 0; d < bounds.size(); ++d) {
    if (a.shape(static_cast<py::ssize_t>(d)) > std::numeric_limits<LONG>::max())
      throw py::value_error("array too large for the library");
    bounds[d] = {static_cast<ULONG>(a.shape(static_cast<py::ssize_t>(d))), 0};
  }
  SAFEARRAY* psa = SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data());
  if (!psa) throw std::bad_alloc();
  std::unique_ptr<SAFEARRAY, decltype(&SafeArrayDestroy)> guard(psa, &SafeArrayDestroy);
  const auto count = static_cast<size_t>(a.size());
  {
    SafeArrayAccess access(psa);
    const char* dtype = vt == VT_VARIANT ? "object" : vt == VT_BOOL ? "bool" : DtypeOf(vt);
    py::array flat = a.attr("astype")(dtype).attr("ravel")("F");
    if (vt == VT_VARIANT) {
      auto* items = static_cast<VARIANT*>(access.data);
      for (size_t i = 0; i < count; ++i) ToVariant(flat[py::int_(i)], &items[i]);
    } else if (vt == VT_BOOL) {
      auto* items = static_cast<VARIANT_BOOL*>(access.data);
      const auto* in = static_cast<const bool*>(flat.data());
      for (size_t i = 0; i < count; ++i) items[i] = in[i] ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (count > 0) {
      std::memcpy(access.data, flat.data(), count * static_cast<size_t>(flat.itemsize()));
    }
  }
  V_VT(out) = static_cast<VARTYPE>(VT_ARRAY | vt);
  V_ARRAY(out) = guard.release();
}

py::object SafeArrayToPython(SAFEARRAY* psa, VARTYPE element) {
  if (!psa) return py::none();
  const UINT dims = SafeArrayGetDim(psa);
  std::vector<py::ssize_t> shape(dims), strides(dims);
  size_t count = 1;
  for (UINT d = 0; d < dims; ++d) {
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(psa, d + 1, &lo);
    SafeArrayGetUBound(psa, d + 1, &hi);
    shape[d] = hi >= lo ? static_cast<py::ssize_t>(hi) - lo + 1 : 0;
    count *= static_cast<size_t>(shape[d]);
  }
  SafeArrayAccess access(psa);
  if (const char* name = DtypeOf(element)) {
    py::dtype dtype(name);
    for (UINT d = 0; d < dims; ++d)
      strides[d] = d == 0 ? dtype.itemsize() : strides[d - 1] * shape[d - 1];
    py::array out(dtype, shape, strides);
    if (count > 0)
      std::memcpy(out.mutable_data(), access.data, count * static_cast<size_t>(dtype.itemsize()));
    return out;
  }
  // Booleans, text, objects and variants, item by item.
  py::list items(count);
  bool numeric = true;
  for (size_t i = 0; i < count; ++i) {
    VARIANT item;
    VariantInit(&item);
    switch (element) {
      case VT_BOOL:
        V_VT(&item) = VT_BOOL;
        V_BOOL(&item) = static_cast<VARIANT_BOOL*>(access.data)[i];
        break;
      case VT_BSTR:
        V_VT(&item) = VT_BSTR;
        V_BSTR(&item) = static_cast<BSTR*>(access.data)[i];
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        V_VT(&item) = element;
        V_UNKNOWN(&item) = static_cast<IUnknown**>(access.data)[i];
        break;
      case VT_VARIANT:
        item = static_cast<VARIANT*>(access.data)[i];
        break;
      default:
        throw py::type_error("the library returned an array of an unsupported type");
    }
    py::object value = FromVariant(item);  // copies; the array keeps its items
    const PyObject* p = value.ptr();
    numeric = numeric && (PyBool_Check(p) || PyLong_Check(p) || PyFloat_Check(p));
    items[i] = std::move(value);
  }
  py::object out;
  if (numeric) {
    out = NumpyAttr("array")(items);
  } else {
    out = NumpyAttr("empty")(count, "dtype"_a = "object");
    for (size_t i = 0; i < count; ++i) out[py::int_(i)] = items[i];
  }
  return out.attr("reshape")(py::tuple(py::cast(shape)), "order"_a = "F");
}

}  // namespace

IID ParseIid(const std::string& text) {
  // 8-4-4-4-12 hexadecimal digits, as the type library writes them.
  unsigned d[11] = {};
  if (text.size() != 36 ||
      std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d[0], &d[1], &d[2], &d[3],
                  &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11)
    throw py::value_error("not an interface identifier: " + text);
  IID iid{d[0], static_cast<uint16_t>(d[1]), static_cast<uint16_t>(d[2]), {}};
  for (int i = 0; i < 8; ++i) iid.Data4[i] = static_cast<uint8_t>(d[3 + i]);
  return iid;
}

Dispatch::~Dispatch() {
  if (ptr) ptr->Release();
}

Handle::~Handle() {
  if (ptr) ptr->Release();
}

void Register(const std::string& iid, py::object cls) {
  Registry().push_back({ParseIid(iid), std::move(cls)});
}

void ClearRegistry() {
  Registry().clear();
}

py::object Wrap(IDispatch* object) {
  if (!object) return py::none();
  std::unique_ptr<Handle> handle(new Handle{object});
  for (const Registered& r : Registry()) {
    void* typed = nullptr;
    if (SUCCEEDED(object->QueryInterface(r.iid, &typed)) && typed) {
      // The interface's own pointer, so Invoke runs on that interface's members.
      handle->ptr = static_cast<IDispatch*>(typed);
      object->Release();
      return r.cls(py::cast(handle.release(), py::return_value_policy::take_ownership));
    }
  }
  return py::cast(new Dispatch(handle.release()->ptr), py::return_value_policy::take_ownership);
}

std::u16string ToUtf16(py::handle text) {
  py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "strict"));
  if (!bytes) throw py::error_already_set();
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes.ptr(), &data, &size);
  std::u16string out(static_cast<size_t>(size) / 2, u'\0');
  std::memcpy(out.data(), data, out.size() * 2);
  return out;
}

py::str FromBstr(const OLECHAR* text, size_t length) {
  if (!text || length == 0) return py::str("");
  int order = -1;  // little endian
  PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                                      static_cast<Py_ssize_t>(length * 2), "surrogatepass", &order);
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

void ToVariant(py::handle value, VARIANT* out) {
  PyObject* o = value.ptr();
  if (o == Py_None) {
    V_VT(out) = VT_EMPTY;
  } else if (PyBool_Check(o)) {
    V_VT(out) = VT_BOOL;
    V_BOOL(out) = o == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (PyLong_Check(o)) {
    Integer(o, out);
  } else if (PyFloat_Check(o)) {
    V_VT(out) = VT_R8;
    V_R8(out) = PyFloat_AS_DOUBLE(o);
  } else if (PyUnicode_Check(o)) {
    const std::u16string text = ToUtf16(value);
    BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!s) throw std::bad_alloc();
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = s;
  } else if (py::isinstance<Dispatch>(value)) {
    IDispatch* p = value.cast<Dispatch&>().ptr;
    if (p) p->AddRef();
    V_VT(out) = VT_DISPATCH;
    V_DISPATCH(out) = p;
  } else if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    ArrayToVariant(NumpyAttr("frombuffer")(value, "dtype"_a = "uint8"), out);
  } else if (py::isinstance(value, NumpyAttr("bool_"))) {
    ToVariant(py::bool_(PyObject_IsTrue(o) == 1), out);
  } else if (PyIndex_Check(o) && !py::isinstance<py::array>(value)) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(o));
    if (!index) throw py::error_already_set();
    Integer(index.ptr(), out);
  } else if (py::isinstance<py::array>(value) || PySequence_Check(o) ||
             PyObject_HasAttrString(o, "__array__")) {
    ArrayToVariant(NumpyAttr("asarray")(value), out);
  } else if (PyNumber_Check(o)) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    V_VT(out) = VT_R8;
    V_R8(out) = d;
  } else {
    throw py::type_error(std::string("cannot pass a ") + Py_TYPE(o)->tp_name + " to the library");
  }
}

py::object FromVariant(const VARIANT& in) {
  const VARIANT* v = &in;
  for (int depth = 0; V_VT(v) == (VT_VARIANT | VT_BYREF); ++depth) {
    if (!V_VARIANTREF(v) || depth > 8) return py::none();
    v = V_VARIANTREF(v);
  }
  const bool byref = (V_VT(v) & VT_BYREF) != 0;
  const VARTYPE vt = V_VT(v) & ~VT_BYREF;
  if (byref && !V_BYREF(v)) return py::none();
#define QUELLAR_VALUE(field, ref) (byref ? *v->ref : v->field)
  if (vt & VT_ARRAY) return SafeArrayToPython(QUELLAR_VALUE(parray, pparray), vt & VT_TYPEMASK);
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return py::none();
    case VT_BOOL:
      return py::bool_(QUELLAR_VALUE(boolVal, pboolVal) != 0);
    case VT_I1:
      return py::int_(QUELLAR_VALUE(cVal, pcVal));
    case VT_UI1:
      return py::int_(QUELLAR_VALUE(bVal, pbVal));
    case VT_I2:
      return py::int_(QUELLAR_VALUE(iVal, piVal));
    case VT_UI2:
      return py::int_(QUELLAR_VALUE(uiVal, puiVal));
    case VT_I4:
      return py::int_(QUELLAR_VALUE(lVal, plVal));
    case VT_UI4:
      return py::int_(QUELLAR_VALUE(ulVal, pulVal));
    case VT_INT:
      return py::int_(QUELLAR_VALUE(intVal, pintVal));
    case VT_UINT:
      return py::int_(QUELLAR_VALUE(uintVal, puintVal));
    case VT_I8:
      return py::int_(QUELLAR_VALUE(llVal, pllVal));
    case VT_UI8:
      return py::int_(QUELLAR_VALUE(ullVal, pullVal));
    case VT_ERROR:
      return py::int_(QUELLAR_VALUE(scode, pscode));
    case VT_R4:
      return py::float_(QUELLAR_VALUE(fltVal, pfltVal));
    case VT_R8:
      return py::float_(QUELLAR_VALUE(dblVal, pdblVal));
    case VT_DATE:
      return py::float_(QUELLAR_VALUE(date, pdate));
    case VT_CY:
      return py::float_(static_cast<double>(QUELLAR_VALUE(cyVal, pcyVal).int64) / 10000.0);
    case VT_BSTR: {
      const BSTR s = QUELLAR_VALUE(bstrVal, pbstrVal);
      return FromBstr(s, s ? SysStringLen(s) : 0);
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = QUELLAR_VALUE(punkVal, ppunkVal);
      if (!unknown) return py::none();
      void* dispatch = nullptr;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, &dispatch)) || !dispatch)
        throw py::type_error("the library returned an object without IDispatch");
      return Wrap(static_cast<IDispatch*>(dispatch));
    }
    default:
      throw py::type_error("the library returned a value of variant type " + std::to_string(vt));
  }
#undef QUELLAR_VALUE
}

}  // namespace quellar::python
