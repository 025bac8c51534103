#include "automation/ClassRegistry.h"

#include <cstdio>
#include <string>

#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/AutoObject.h"
#include "automation/Quellar_TLB.h"
#include "numerics/PrtMath.h"

namespace quellar::automation {

namespace {

constexpr Tag kTagCreateInstance = "{08E81F84-9AAF-4D79-B219-24C7C704C136}";
constexpr Tag kTagLockServer = "{4B45F4A3-A103-40CB-B7DA-EF52E8DD8A8E}";

// Factory order: Controller, ByteArray, DoubleArray, MathProcessor, Tuning, Compiler, Analysis,
// Manager, State. Classes whose objects are not part of this build have no create function;
// their factories answer CLASS_E_CLASSNOTAVAILABLE.
ClassEntry Entry(const ClassDesc& desc, const char* progId, bool multiInstance,
                 CreateFunction create) {
  return {&desc, desc.clsid, progId, desc.help, multiInstance, create};
}

const ClassEntry kClasses[] = {
    Entry(kClassController, "Quellar.Controller", true, nullptr),
    Entry(kClassByteArray, "Quellar.ByteArray", true, &arrays::CreateByteArray),
    Entry(kClassDoubleArray, "Quellar.DoubleArray", true, &arrays::CreateDoubleArray),
    Entry(kClassMathProcessor, "Quellar.MathProcessor", true, &math::CreateMathProcessor),
    Entry(kClassTuning, "Quellar.Tuning", false, nullptr),
    Entry(kClassCompiler, "Quellar.Compiler", false, nullptr),
    Entry(kClassAnalysis, "Quellar.Analysis", false, nullptr),
    Entry(kClassManager, "Quellar.Manager", false, nullptr),
    Entry(kClassState, "Quellar.State", false, nullptr),
};

const ClassEntry kCreatable[] = {kClasses[0], kClasses[3], kClasses[2], kClasses[1]};

// Factories live as long as the library; their reference counts do not keep it loaded
// (clients use LockServer for that).
class TClassFactory final : public IClassFactory {
 public:
  explicit TClassFactory(const ClassEntry& entry) : entry_(entry) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return SafeCall({entry_.progId, &IID_IClassFactory}, kTagCreateInstance, [&]() -> HRESULT {
      if (outer) return CLASS_E_NOAGGREGATION;
      if (!entry_.create) return CLASS_E_CLASSNOTAVAILABLE;
      return entry_.create(riid, ppv);
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    return SafeCall({entry_.progId, &IID_IClassFactory}, kTagLockServer, [&] {
      if (lock)
        server::Lock();
      else
        server::Unlock();
    });
  }

 private:
  const ClassEntry& entry_;
};

TClassFactory gFactories[] = {
    TClassFactory(kClasses[0]), TClassFactory(kClasses[1]), TClassFactory(kClasses[2]),
    TClassFactory(kClasses[3]), TClassFactory(kClasses[4]), TClassFactory(kClasses[5]),
    TClassFactory(kClasses[6]), TClassFactory(kClasses[7]), TClassFactory(kClasses[8]),
};
static_assert(std::size(kClasses) == std::size(gFactories));

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const GUID& TypeLibId() {
  return LIBID_Quellar;
}

std::span<const ClassEntry> AllClasses() {
  return kClasses;
}
std::span<const ClassEntry> CreatableClasses() {
  return kCreatable;
}

const ClassEntry* FindClassEntry(REFCLSID clsid) {
  for (const ClassEntry& e : kClasses)
    if (*e.desc->clsid == clsid) return &e;
  return nullptr;
}

bool ParseGuid(std::string_view text, GUID* out) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  uint8_t bytes[16];
  size_t b = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[b++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  out->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
               bytes[3];
  out->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  out->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) out->Data4[i] = bytes[8 + i];
  return true;
}

std::string GuidString(REFGUID g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

const ClassEntry* FindCreatableClass(std::string_view key) {
  GUID clsid;
  const bool isGuid = ParseGuid(key, &clsid);
  for (const ClassEntry& e : kCreatable) {
    if (isGuid ? *e.desc->clsid == clsid : EqualsNoCase(e.progId, key)) return &e;
  }
  return nullptr;
}

IClassFactory* FactoryOf(REFCLSID clsid) {
  for (size_t i = 0; i < std::size(kClasses); ++i)
    if (*kClasses[i].desc->clsid == clsid) return &gFactories[i];
  return nullptr;
}

HRESULT CreateInstance(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = FactoryOf(clsid);
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->CreateInstance(nullptr, riid, ppv);
}

}  // namespace quellar::automation
