#include "numerics/fourier_arrays.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "arrays/PrtArray.h"
#include "errors/Asserts.h"
#include "numerics/fourier/fourier.h"

namespace quellar::fourier {

const Tag kTagFourierTransform = "{0D022C3E-AB4E-4377-8156-84DDE373A7A7}";
const Tag kTagPowerSpectrum = "{89937B3A-A1FB-43F3-ABE4-E67FD88EDD0D}";
const Tag kTagCentreSpectrum = "{D116526F-BDEA-4638-BBE4-607F3FBE4BB4}";
const Tag kTagPeakIndex = "{F6A05248-DAEC-4CC5-9956-6A775A432161}";

namespace {

void Check(HRESULT hr, const char* call) {
  if (FAILED(hr)) Raise<EQuellarError>(std::string("Array call ") + call + " failed", hr);
}

long CountOf(IDoubleArray* array) {
  LONG count = 0;
  Check(array->get_Count(&count), "Count");
  return count;
}

// The items of one array as plain storage: the object's own vector when it offers
// IDoubleArrayData, otherwise a copy read through Item and written back by Store.
class Items {
 public:
  // Takes the storage as it is now: call after every Count change of the array.
  explicit Items(IDoubleArray* array) : array_(array) {
    IDoubleArrayData* data = nullptr;
    if (SUCCEEDED(array->QueryInterface(IID_IDoubleArrayData, reinterpret_cast<void**>(&data))) &&
        data) {
      const HRESULT hr = data->GetValues(&storage_);
      data->Release();
      Check(hr, "GetValues");
    }
    if (!storage_) copy_.resize(static_cast<std::size_t>(std::max(CountOf(array), 0L)));
  }
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;

  double* Data() { return storage_ ? storage_->data() : copy_.data(); }
  std::size_t Size() const { return storage_ ? storage_->size() : copy_.size(); }

  void Load() {
    if (storage_) return;
    for (std::size_t i = 0; i < copy_.size(); ++i)
      Check(array_->get_Item(static_cast<LONG>(i), &copy_[i]), "Item get");
  }
  void Store() {
    if (storage_) return;
    for (std::size_t i = 0; i < copy_.size(); ++i)
      Check(array_->put_Item(static_cast<LONG>(i), copy_[i]), "Item put");
  }

 private:
  IDoubleArray* array_;
  std::vector<double>* storage_ = nullptr;
  std::vector<double> copy_;
};

// Every array still holds n items. Checked after the inputs are read: reading a foreign array
// may resize any other array, ours included, and the storage is then written up to n.
bool SameSize(long n, std::initializer_list<const Items*> items) {
  for (const Items* i : items)
    if (i->Size() != static_cast<std::size_t>(n)) return false;
  return true;
}

// The length of the sequence (reIn, imIn), or -1 when it cannot be transformed.
long SequenceLength(IDoubleArray* re, IDoubleArray* im) {
  if (!re || !im) return -1;
  const long n = CountOf(re);
  return CountOf(im) == n ? n : -1;
}

}  // namespace

bool FourierTransform(IDoubleArray* reIn, IDoubleArray* imIn, IDoubleArray* reOut,
                      IDoubleArray* imOut, int sign) {
  return Guarded(kTagFourierTransform, [&] {
    const long n = SequenceLength(reIn, imIn);
    if (n <= 0 || !reOut || !imOut) return false;
    Check(reOut->put_Count(n), "Count put");
    Check(imOut->put_Count(n), "Count put");
    Items re(reIn), im(imIn), outRe(reOut), outIm(imOut);
    re.Load();
    im.Load();
    if (!SameSize(n, {&re, &im, &outRe, &outIm})) return false;
    if (!FourierTransform(re.Data(), im.Data(), outRe.Data(), outIm.Data(), re.Size(), sign))
      return false;
    outRe.Store();
    outIm.Store();
    return true;
  });
}

bool PowerSpectrum(IDoubleArray* re, IDoubleArray* im, IDoubleArray* power) {
  return Guarded(kTagPowerSpectrum, [&] {
    const long n = SequenceLength(re, im);
    if (n <= 0 || !power) return false;
    Check(power->put_Count(n), "Count put");
    Items reItems(re), imItems(im), powerItems(power);
    reItems.Load();
    imItems.Load();
    if (!SameSize(n, {&reItems, &imItems, &powerItems})) return false;
    if (!PowerSpectrum(reItems.Data(), imItems.Data(), powerItems.Data(), reItems.Size()))
      return false;
    reItems.Store();
    imItems.Store();
    powerItems.Store();
    return true;
  });
}

bool CentreSpectrum(IDoubleArray* reIn, IDoubleArray* imIn, IDoubleArray* reOut,
                    IDoubleArray* imOut) {
  return Guarded(kTagCentreSpectrum, [&] {
    const long n = SequenceLength(reIn, imIn);
    if (n < 0 || !reOut || !imOut) return false;
    Check(reOut->put_Count(n), "Count put");
    Check(imOut->put_Count(n), "Count put");
    Items re(reIn), im(imIn), outRe(reOut), outIm(imOut);
    re.Load();
    im.Load();
    if (!SameSize(n, {&re, &im, &outRe, &outIm})) return false;
    CentreSpectrum(re.Data(), im.Data(), outRe.Data(), outIm.Data(), re.Size());
    outRe.Store();
    outIm.Store();
    return true;
  });
}

int PeakIndex(IDoubleArray* values, int count) {
  return Guarded(kTagPeakIndex, [&]() -> int {
    if (!values || count <= 0) return 0;
    Items items(values);
    items.Load();
    const std::size_t limit = std::min(items.Size(), static_cast<std::size_t>(count));
    return static_cast<int>(PeakIndex(items.Data(), limit));
  });
}

}  // namespace quellar::fourier
