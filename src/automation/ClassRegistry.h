#pragma once
// The library's class factories: one per class of the type library. The multi-instance classes
// are the ones clients may create (and registration records); the internal ones are made only
// by the controller object.
#include <span>
#include <string>
#include <string_view>

#include "automation/DispatchTables.h"
#include "automation/com/ComBase.h"

namespace quellar::automation {

using CreateFunction = HRESULT (*)(REFIID riid, void** ppv);

// A class of the type library with what only the implementation knows: whether clients may
// create it and how it is made. The rest comes from the class's description.
struct ClassEntry {
  const ClassDesc* desc;    // name, class identifier, help string, interfaces (from the IDL)
  const CLSID* clsid;       // desc->clsid
  std::string progId;       // "<library>.<class name>"
  const char* description;  // desc->help, the class's help string
  bool multiInstance;       // registered and creatable by clients
  CreateFunction create;    // null while the class is not available in this build
};

// Every class of the type library, in its order.
std::span<const ClassEntry> AllClasses();
// The classes that clients create and registration records.
std::span<const ClassEntry> CreatableClasses();

// A creatable class by programmatic identifier ("Quellar.DoubleArray", any case) or by class
// identifier text (with or without braces); internal classes are not found.
const ClassEntry* FindCreatableClass(std::string_view progIdOrClsid);

// The type library's identifier; its version is kQuellarVersionMajor.kQuellarVersionMinor.
const GUID& TypeLibId();

// Parses "{8-4-4-4-12}" (braces optional) into a GUID.
bool ParseGuid(std::string_view text, GUID* out);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidString(REFGUID guid);

// The class factory of a class (any of the nine); null when no factory serves it.
IClassFactory* FactoryOf(REFCLSID clsid);
// Creates an object through its class's factory; CLASS_E_CLASSNOTAVAILABLE when the class is
// not available in this build.
HRESULT CreateInstance(REFCLSID clsid, REFIID riid, void** ppv);

}  // namespace quellar::automation
