// No registry on this platform: objects are created through QuellarCreateObject instead.
#include "automation/Registration.h"

namespace quellar::automation {

HRESULT RegisterServer() {
  return S_OK;
}
HRESULT UnregisterServer() {
  return S_OK;
}

}  // namespace quellar::automation
