#include "arrays/PrtByteArray.h"

namespace quellar::arrays {

namespace {
constexpr Tag kTagGetItem = "{16C83407-4E09-4A15-881D-8B0115E5B303}";
constexpr Tag kTagPutItem = "{74BDAA85-B6BC-43E8-8AFF-DE681F3709B2}";
constexpr Tag kTagGetCount = "{15378D8E-79E1-42F7-BCA2-2D29AA915231}";
constexpr Tag kTagPutCount = "{D024AAD7-32D8-432C-B297-E59BC88207BE}";
constexpr Tag kTagGetAsVariant = "{AB20EA3B-E7C0-475A-B7D1-37EC2E886644}";
constexpr Tag kTagPutAsVariant = "{EB095437-6702-446C-B904-7F2259453C55}";
constexpr Tag kTagCopyFrom = "{AE6F15A8-B6C5-4BCC-BECE-68B4D5CE311E}";
}  // namespace

TByteArray2::TByteArray2()
    : TArrayObject("Quellar.ByteArray", {kTagGetItem, kTagPutItem, kTagGetCount, kTagPutCount,
                                         kTagGetAsVariant, kTagPutAsVariant, kTagCopyFrom}) {}

HRESULT CreateByteArray(REFIID riid, void** ppv) {
  return automation::CreateAndQuery<TByteArray2>(riid, ppv);
}

}  // namespace quellar::arrays
