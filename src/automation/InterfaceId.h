#pragma once
// InterfaceId<I>::Get() names the interface identifier of I; the generated Quellar_TLB.h adds
// the library's interfaces (with their member tables), AutoObject.h the system ones.
namespace quellar::automation {
template <class I>
struct InterfaceId;
}  // namespace quellar::automation
