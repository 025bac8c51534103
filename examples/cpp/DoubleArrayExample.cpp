// Example client of the Quellar library: creates a DoubleArray by its programmatic identifier,
// fills it through the IDoubleArray interface, then reads it late bound through IDispatch as a
// script engine would. Exits with 0 when every answer is as expected.
#include <cstdio>
#include <cstring>
#include <string>

#include "automation/Quellar.h"

namespace {

// Plain ASCII name as an automation string (OLECHAR is 16-bit on every platform).
std::basic_string<OLECHAR> Wide(const char* text) {
  std::basic_string<OLECHAR> out;
  for (; *text; ++text) out.push_back(static_cast<OLECHAR>(*text));
  return out;
}

VARIANT Long(LONG value) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

bool Check(bool ok, const char* what) {
  std::printf("%-44s %s\n", what, ok ? "ok" : "WRONG");
  return ok;
}

}  // namespace

int main() {
  IDoubleArray* array = nullptr;
  HRESULT hr = QuellarCreateObject("Quellar.DoubleArray", &IID_IDoubleArray,
                                   reinterpret_cast<void**>(&array));
  if (FAILED(hr) || !array) {
    std::printf("QuellarCreateObject failed: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  bool ok = true;

  // Early bound: the interface's own methods.
  array->put_Count(5);
  for (LONG i = 0; i < 5; ++i) array->put_Item(i, (i - 2.0) * (i - 2.0));  // 4 1 0 1 4
  double sum = 0, minimum = 0;
  LONG minIndex = 0;
  array->Sum(&sum);
  array->Min(&minimum);
  array->MinIndex(&minIndex);
  ok &= Check(sum == 10, "Sum of 4 1 0 1 4 is 10");
  ok &= Check(minimum == 0 && minIndex == 2, "Min is 0 at index 2");
  ok &= Check(array->put_Item(5, 1) == DISP_E_BADINDEX, "Item 5 of 5 is refused");

  // Late bound: names to DISPIDs, then Invoke.
  IDispatch* dispatch = nullptr;
  array->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  std::basic_string<OLECHAR> name = Wide("mean");
  LPOLESTR names[] = {name.data()};
  DISPID meanId = DISPID_UNKNOWN;
  dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &meanId);
  VARIANT result;
  std::memset(&result, 0, sizeof result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  hr = dispatch->Invoke(meanId, IID_NULL, LOCALE_USER_DEFAULT,
                        DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  ok &= Check(SUCCEEDED(hr) && V_VT(&result) == VT_R8 && V_R8(&result) == 2,
              "Mean (late bound) is 2");

  // The default member: array(4) reads item 4.
  VARIANT index = Long(4);
  DISPPARAMS oneArg{&index, nullptr, 1, 0};
  hr = dispatch->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                        DISPATCH_METHOD | DISPATCH_PROPERTYGET, &oneArg, &result, nullptr, nullptr);
  ok &= Check(SUCCEEDED(hr) && V_R8(&result) == 4, "array(4) (default member) is 4");

  // A property put: array(0) = 8, the value as the named DISPID_PROPERTYPUT argument.
  VARIANT args[2] = {Long(8), Long(0)};
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS put{args, &putId, 2, 1};
  hr = dispatch->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put,
                        nullptr, nullptr, nullptr);
  double first = 0;
  array->get_Item(0, &first);
  ok &= Check(SUCCEEDED(hr) && first == 8, "array(0) = 8 (late bound put)");

  // The whole array as a safe array; the client frees it with the library's VariantClear.
  VARIANT all;
  VariantInit(&all);
  hr = array->get_AsVariant(&all);
  double* items = nullptr;
  LONG upper = -1;
  ok &= Check(SUCCEEDED(hr) && V_VT(&all) == (VT_ARRAY | VT_R8) &&
                  SUCCEEDED(SafeArrayGetUBound(V_ARRAY(&all), 1, &upper)) && upper == 4 &&
                  SUCCEEDED(SafeArrayAccessData(V_ARRAY(&all), reinterpret_cast<void**>(&items))) &&
                  items[0] == 8 && items[4] == 4,
              "AsVariant is the array 8 1 0 1 4");
  if (items) SafeArrayUnaccessData(V_ARRAY(&all));
  VariantClear(&all);

  // A failing call leaves its message in the thread's error information.
  hr = array->put_Count(-1);
  IErrorInfo* info = nullptr;
  BSTR description = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&description);
    info->Release();
  }
  const std::basic_string<OLECHAR> expected = Wide("Count -1 is negative");
  ok &= Check(FAILED(hr) && description && expected == description,
              "Count = -1 fails with \"Count -1 is negative\"");
  SysFreeString(description);

  dispatch->Release();
  array->Release();
  ok &= Check(DllCanUnloadNow() == S_OK, "Library can unload after the last release");
  return ok ? 0 : 1;
}
