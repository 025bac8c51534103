#include "automation/ClassRegistry.h"

#include <cstdio>
#include <string>
#include <vector>

#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/AutoObject.h"
#include "automation/Quellar_TLB.h"
#include "automation/objects/PrtAnalysis.h"
#include "automation/objects/PrtCompiler.h"
#include "automation/objects/PrtController.h"
#include "automation/objects/PrtManager.h"
#include "automation/objects/PrtState.h"
#include "automation/objects/PrtTuning.h"
#include "numerics/PrtMath.h"

namespace quellar::automation {

namespace {

constexpr Tag kTagCreateInstance = "{08E81F84-9AAF-4D79-B219-24C7C704C136}";
constexpr Tag kTagLockServer = "{4B45F4A3-A103-40CB-B7DA-EF52E8DD8A8E}";

// What the type library does not say: which classes clients create, and how each is made.
// Classes whose objects are not part of this build have no create function; their factories
// answer CLASS_E_CLASSNOTAVAILABLE.
struct Implementation {
  const ClassDesc* desc;
  bool multiInstance;
  CreateFunction create;
};
const Implementation kImplementations[] = {
    {&kClassController, true, &CreateController},
    {&kClassMathProcessor, true, &math::CreateMathProcessor},
    {&kClassDoubleArray, true, &arrays::CreateDoubleArray},
    {&kClassByteArray, true, &arrays::CreateByteArray},
    // Made by the controller; one made through its factory has no device and fails its calls.
    {&kClassCompiler, false, &CreateDetached<TQuellarCompiler>},
    {&kClassState, false, &CreateDetached<TQuellarState>},
    {&kClassManager, false, &CreateDetached<TQuellarManager>},
    {&kClassAnalysis, false, &CreateDetached<TQuellarAnalysis>},
    {&kClassTuning, false, &CreateDetached<TQuellarTuning>},
};

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
    return SafeCall(Source(), kTagCreateInstance, [&]() -> HRESULT {
      if (outer) return CLASS_E_NOAGGREGATION;
      if (!entry_.create) return CLASS_E_CLASSNOTAVAILABLE;
      return entry_.create(riid, ppv);
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    return SafeCall(Source(), kTagLockServer, [&] {
      if (lock)
        server::Lock();
      else
        server::Unlock();
    });
  }

 private:
  ErrorSource Source() const { return {entry_.progId.c_str(), &IID_IClassFactory}; }
  const ClassEntry& entry_;
};

// The classes and their factories, made once from the type library's description.
struct Registry {
  std::vector<ClassEntry> all;
  std::vector<ClassEntry> creatable;
  std::vector<TClassFactory> factories;  // parallel to all

  Registry() {
    const std::string prefix = std::string(kQuellarLibrary.name) + ".";
    for (size_t i = 0; i < kQuellarLibrary.classCount; ++i) {
      const ClassDesc* desc = kQuellarLibrary.classes[i];
      ClassEntry entry{desc, desc->clsid, prefix + desc->name, desc->help, false, nullptr};
      for (const Implementation& impl : kImplementations) {
        if (impl.desc != desc) continue;
        entry.multiInstance = impl.multiInstance;
        entry.create = impl.create;
      }
      all.push_back(entry);
      if (entry.multiInstance) creatable.push_back(entry);
    }
    factories.reserve(all.size());
    for (const ClassEntry& entry : all) factories.emplace_back(entry);
  }
};

const Registry& TheRegistry() {
  static const Registry registry;
  return registry;
}

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
  return TheRegistry().all;
}
std::span<const ClassEntry> CreatableClasses() {
  return TheRegistry().creatable;
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
  for (const ClassEntry& e : CreatableClasses()) {
    if (isGuid ? *e.clsid == clsid : EqualsNoCase(e.progId, key)) return &e;
  }
  return nullptr;
}

IClassFactory* FactoryOf(REFCLSID clsid) {
  const Registry& registry = TheRegistry();
  for (size_t i = 0; i < registry.all.size(); ++i)
    if (*registry.all[i].clsid == clsid) return const_cast<TClassFactory*>(&registry.factories[i]);
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
