#pragma once
// An IDoubleArray written outside the library: it has no storage interface, so the library can
// reach it only through Item and Count. It counts its item calls and can fail on request.
#include <vector>

#include "support/ClientObject.h"

namespace quellar::test {

class TForeignArray final : public TClientObject<IDoubleArray> {
 public:
  std::vector<double> items;
  LONG failAt = -1;                      // get_Item of this index fails with E_FAIL
  IDoubleArray* shrinkOnRead = nullptr;  // an array this one empties while being read
  bool shrinkOnWrite = false;            // halves itself at every put_Item
  long itemCalls = 0;

  bool Knows(REFIID riid) const override {
    return riid == IID_IDispatch || riid == IID_IDoubleArray;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG i, DOUBLE* v) override {
    ++itemCalls;
    if (i == failAt) return E_FAIL;
    if (shrinkOnRead) shrinkOnRead->put_Count(0);
    if (i < 0 || static_cast<size_t>(i) >= items.size()) return DISP_E_BADINDEX;
    *v = items[static_cast<size_t>(i)];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Item(LONG i, DOUBLE v) override {
    ++itemCalls;
    if (shrinkOnWrite) items.resize(items.size() / 2);
    if (i < 0 || static_cast<size_t>(i) >= items.size()) return DISP_E_BADINDEX;
    items[static_cast<size_t>(i)] = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* n) override {
    *n = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Count(LONG n) override {
    if (n < 0) return E_INVALIDARG;
    items.resize(static_cast<size_t>(n));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_AsVariant(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_AsVariant(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyFrom(IDoubleArray*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Mean(DOUBLE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Sum(DOUBLE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Max(DOUBLE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Min(DOUBLE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MaxIndex(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MinIndex(LONG*) override { return E_NOTIMPL; }
};

}  // namespace quellar::test
