#pragma once
// What every client-side object of the tests repeats: IUnknown with a reference count a test can
// check, and IDispatch without type information. Knows() names the interfaces besides IUnknown.
// Also how a client reads an array: Count, then every Item.
#include <vector>

#include "automation/Quellar_TLB.h"

namespace quellar::test {

template <class Interface = IDispatch>
class TClientObject : public Interface {
 public:
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    const bool known = riid == IID_IUnknown || Knows(riid);
    *ppv = known ? this : nullptr;
    if (known) ++refs;
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }

 protected:
  virtual bool Knows(REFIID riid) const = 0;
};

template <class T, class Array>
std::vector<T> Items(Array* array) {
  LONG n = 0;
  array->get_Count(&n);
  std::vector<T> out(static_cast<size_t>(n));
  for (LONG i = 0; i < n; ++i) array->get_Item(i, &out[static_cast<size_t>(i)]);
  return out;
}

}  // namespace quellar::test
