#include "automation/AutoObject.h"

#include <exception>
#include <new>
#include <string>

#include "automation/Bstr.h"

namespace quellar::automation {

namespace server {
namespace {
std::atomic<long> gObjects{0};
std::atomic<long> gLocks{0};
}  // namespace

void ObjectCreated() noexcept {
  gObjects.fetch_add(1, std::memory_order_relaxed);
}
void ObjectDestroyed() noexcept {
  gObjects.fetch_sub(1, std::memory_order_acq_rel);
}
void Lock() noexcept {
  gLocks.fetch_add(1, std::memory_order_relaxed);
}
void Unlock() noexcept {
  // A client's extra unlock must not drive the count below zero.
  long current = gLocks.load(std::memory_order_relaxed);
  while (current > 0 &&
         !gLocks.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
  }
}
long ObjectCount() noexcept {
  return gObjects.load(std::memory_order_acquire);
}
long LockCount() noexcept {
  return gLocks.load(std::memory_order_acquire);
}
bool CanUnload() noexcept {
  return ObjectCount() == 0 && LockCount() == 0;
}
}  // namespace server

HRESULT Fail(const ErrorSource& source, HRESULT status, std::string_view description) noexcept {
  try {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)) || !create) return status;
    const OleString text = ToOle(description);
    const OleString from = ToOle(source.progId ? source.progId : "");
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    create->SetSource(const_cast<LPOLESTR>(from.c_str()));
    create->SetGUID(source.iid ? *source.iid : IID_NULL);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) &&
        info) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  } catch (...) {
    // No memory for the description: the status alone still tells the client.
  }
  return status;
}

HRESULT StatusOfCurrentException(const ErrorSource& source) noexcept {
  try {
    throw;
  } catch (const EQuellarError& e) {
    const HRESULT status = e.Status() != 0 ? static_cast<HRESULT>(e.Status()) : E_UNEXPECTED;
    return Fail(source, status, e.what());
  } catch (const std::exception& e) {
    return Fail(source, E_UNEXPECTED, e.what());
  } catch (...) {
    return Fail(source, E_UNEXPECTED, "unknown");
  }
}

}  // namespace quellar::automation
