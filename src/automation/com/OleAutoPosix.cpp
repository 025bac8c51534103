// Automation strings, variants, safe arrays and per-thread error information for hosts without
// OLE automation. Behaviour follows the Windows functions of the same names for the cases the
// library and its clients use.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "automation/com/ComBase.h"

namespace {

// A BSTR points just past its 32-bit byte length.
BSTR AllocBstr(const OLECHAR* text, size_t chars) {
  if (chars > (std::numeric_limits<uint32_t>::max() - 8) / sizeof(OLECHAR)) return nullptr;
  const size_t bytes = chars * sizeof(OLECHAR);
  auto* block =
      static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const uint32_t length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &length, sizeof length);
  auto* str = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
  if (text)
    std::memcpy(str, text, bytes);
  else
    std::memset(str, 0, bytes);
  str[chars] = 0;
  return str;
}

// A safe array carries its element type in the 16 bytes before the descriptor.
constexpr size_t kPrefix = 16;

VARTYPE& StoredVartype(SAFEARRAY* psa) {
  return *reinterpret_cast<VARTYPE*>(reinterpret_cast<unsigned char*>(psa) - sizeof(uint32_t));
}

size_t ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    default:
      return 0;
  }
}

bool ElementCount(const SAFEARRAY* psa, size_t* count) {
  size_t n = 1;
  for (USHORT d = 0; d < psa->cDims; ++d) {
    const size_t c = psa->rgsabound[d].cElements;
    if (c != 0 && n > std::numeric_limits<size_t>::max() / c) return false;
    n *= c;
  }
  *count = n;
  return true;
}

void ClearElements(SAFEARRAY* psa, VARTYPE vt, size_t count) {
  if (!psa->pvData) return;
  for (size_t i = 0; i < count; ++i) {
    if (vt == VT_BSTR) {
      BSTR& s = static_cast<BSTR*>(psa->pvData)[i];
      SysFreeString(s);
      s = nullptr;
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      IUnknown*& p = static_cast<IUnknown**>(psa->pvData)[i];
      if (p) p->Release();
      p = nullptr;
    } else if (vt == VT_VARIANT) {
      VariantClear(&static_cast<VARIANT*>(psa->pvData)[i]);
    } else {
      return;
    }
  }
}

// The thread's current error information, released when the thread ends.
struct ThreadErrorInfo {
  IErrorInfo* info = nullptr;
  ~ThreadErrorInfo() {
    if (info) info->Release();
  }
};
thread_local ThreadErrorInfo tErrorInfo;

class TErrorInfoObject final : public IErrorInfo, public ICreateErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_INVALIDARG;
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return Give(source_, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return Give(description_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return Give(helpFile_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (!out) return E_INVALIDARG;
    *out = helpContext_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return Take(source_, text); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override {
    return Take(description_, text);
  }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return Take(helpFile_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    helpContext_ = context;
    return S_OK;
  }

 private:
  ~TErrorInfoObject() = default;
  static HRESULT Give(const std::u16string& text, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT Take(std::u16string& field, LPOLESTR text) {
    try {
      field = text ? std::u16string(text) : std::u16string();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  std::atomic<ULONG> refs_{1};
  GUID guid_ = IID_NULL;
  std::u16string source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  size_t n = 0;
  while (psz[n]) ++n;
  return AllocBstr(psz, n);
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  return AllocBstr(strIn, ui);
}

void SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(reinterpret_cast<unsigned char*>(bstrString) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR pbstr) {
  if (!pbstr) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(pbstr) - sizeof(uint32_t), sizeof bytes);
  return bytes / sizeof(OLECHAR);
}

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  const VARTYPE vt = V_VT(pvarg);
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      if (V_ARRAY(pvarg)) {
        const HRESULT hr = SafeArrayDestroy(V_ARRAY(pvarg));
        if (FAILED(hr)) return hr;
      }
    } else if (vt == VT_BSTR) {
      SysFreeString(V_BSTR(pvarg));
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (V_UNKNOWN(pvarg)) V_UNKNOWN(pvarg)->Release();
    }
  }
  std::memset(pvarg, 0, sizeof *pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  VARIANT copy = *pvargSrc;
  const VARTYPE vt = V_VT(pvargSrc);
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      if (V_ARRAY(pvargSrc)) {
        const HRESULT hr = SafeArrayCopy(V_ARRAY(pvargSrc), &V_ARRAY(&copy));
        if (FAILED(hr)) return hr;
      }
    } else if (vt == VT_BSTR) {
      if (V_BSTR(pvargSrc)) {
        V_BSTR(&copy) = SysAllocStringLen(V_BSTR(pvargSrc), SysStringLen(V_BSTR(pvargSrc)));
        if (!V_BSTR(&copy)) return E_OUTOFMEMORY;
      }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (V_UNKNOWN(&copy)) V_UNKNOWN(&copy)->AddRef();
    }
  }
  const HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  const size_t elemSize = ElementSize(vt);
  if (elemSize == 0 || cDims == 0 || cDims > 64 || !rgsabound) return nullptr;
  const size_t descriptor = sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
  auto* block = static_cast<unsigned char*>(std::calloc(1, kPrefix + descriptor));
  if (!block) return nullptr;
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = FADF_HAVEVARTYPE;
  psa->cbElements = static_cast<ULONG>(elemSize);
  for (UINT d = 0; d < cDims; ++d) psa->rgsabound[cDims - 1 - d] = rgsabound[d];
  StoredVartype(psa) = vt;
  size_t count;
  if (!ElementCount(psa, &count) || count > std::numeric_limits<size_t>::max() / elemSize) {
    std::free(block);
    return nullptr;
  }
  if (count > 0) {
    psa->pvData = std::calloc(count, elemSize);
    if (!psa->pvData) {
      std::free(block);
      return nullptr;
    }
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  size_t count = 0;
  ElementCount(psa, &count);
  ClearElements(psa, StoredVartype(psa), count);
  std::free(psa->pvData);
  std::free(reinterpret_cast<unsigned char*>(psa) - kPrefix);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
  return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
  return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(static_cast<int64_t>(b.lLbound) + b.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  *pvt = StoredVartype(psa);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks >= 65535) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
  return SafeArrayUnlock(psa);
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  const VARTYPE vt = StoredVartype(psa);
  SAFEARRAYBOUND bounds[64];
  for (UINT d = 0; d < psa->cDims; ++d) bounds[d] = psa->rgsabound[psa->cDims - 1 - d];
  SAFEARRAY* out = SafeArrayCreate(vt, psa->cDims, bounds);
  if (!out) return E_OUTOFMEMORY;
  size_t count = 0;
  ElementCount(psa, &count);
  for (size_t i = 0; i < count; ++i) {
    if (vt == VT_BSTR) {
      BSTR s = static_cast<BSTR*>(psa->pvData)[i];
      if (s) {
        BSTR c = SysAllocStringLen(s, SysStringLen(s));
        if (!c) {
          SafeArrayDestroy(out);
          return E_OUTOFMEMORY;
        }
        static_cast<BSTR*>(out->pvData)[i] = c;
      }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      IUnknown* p = static_cast<IUnknown**>(psa->pvData)[i];
      if (p) p->AddRef();
      static_cast<IUnknown**>(out->pvData)[i] = p;
    } else if (vt == VT_VARIANT) {
      const HRESULT hr = VariantCopy(&static_cast<VARIANT*>(out->pvData)[i],
                                     &static_cast<VARIANT*>(psa->pvData)[i]);
      if (FAILED(hr)) {
        SafeArrayDestroy(out);
        return hr;
      }
    } else {
      std::memcpy(out->pvData, psa->pvData, count * psa->cbElements);
      break;
    }
  }
  *ppsaOut = out;
  return S_OK;
}

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  auto* info = new (std::nothrow) TErrorInfoObject();
  *pperrinfo = info;
  return info ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
  if (perrinfo) perrinfo->AddRef();
  IErrorInfo* old = tErrorInfo.info;
  tErrorInfo.info = perrinfo;
  if (old) old->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = tErrorInfo.info;
  tErrorInfo.info = nullptr;
  return *pperrinfo ? S_OK : S_FALSE;
}
