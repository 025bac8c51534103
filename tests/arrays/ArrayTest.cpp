// The array objects through their interfaces: counts, items, statistics, whole-array exchange,
// copies from any implementation, and their failures.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "arrays/ArrayCore.h"
#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/ClassRegistry.h"
#include "automation/LateBoundTestSupport.h"
#include "support/ForeignDoubleArray.h"

namespace quellar::arrays {
namespace {

using test::Ref;

class ArrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baseline_ = automation::server::ObjectCount();
    ASSERT_EQ(CreateDoubleArray(IID_IDoubleArray, doubles_.outVoid()), S_OK);
    ASSERT_EQ(CreateByteArray(IID_IByteArray, bytes_.outVoid()), S_OK);
  }
  void TearDown() override {
    doubles_.out();
    bytes_.out();
    EXPECT_EQ(automation::server::ObjectCount(), baseline_) << "objects leaked";
  }
  void SetDoubles(const std::vector<double>& values) {
    ASSERT_EQ(doubles_->put_Count(static_cast<LONG>(values.size())), S_OK);
    for (size_t i = 0; i < values.size(); ++i)
      ASSERT_EQ(doubles_->put_Item(static_cast<LONG>(i), values[i]), S_OK);
  }
  template <class T, class Itf>
  static std::vector<T> Items(Itf* array) {
    LONG n = 0;
    array->get_Count(&n);
    std::vector<T> out(static_cast<size_t>(n));
    for (LONG i = 0; i < n; ++i) array->get_Item(i, &out[static_cast<size_t>(i)]);
    return out;
  }
  // The items of get_AsVariant, which must be a 0-based vector of the element type.
  template <class T, class Itf>
  static std::vector<T> AsVariant(Itf* array, VARTYPE vt) {
    VARIANT v;
    EXPECT_EQ(array->get_AsVariant(&v), S_OK);
    EXPECT_EQ(V_VT(&v), VT_ARRAY | vt);
    LONG lo = 9, hi = 9;
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
    EXPECT_EQ(lo, 0);
    const T* data = static_cast<const T*>(V_ARRAY(&v)->pvData);
    std::vector<T> items(data, data + (hi - lo + 1));
    VariantClear(&v);
    return items;
  }
  std::vector<double> Doubles() { return Items<double>(doubles_.get()); }
  std::vector<BYTE> Bytes() { return Items<BYTE>(bytes_.get()); }

  long baseline_ = 0;
  Ref<IDoubleArray> doubles_;
  Ref<IByteArray> bytes_;
};

// A safe array variant of any element type and bounds, owned by the test.
struct SafeArrayVariant {
  VARIANT v = test::VEmpty();
  SafeArrayVariant(VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds, VARTYPE tag = 0) {
    V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | (tag ? tag : vt));
    V_ARRAY(&v) = SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data());
  }
  ~SafeArrayVariant() { VariantClear(&v); }
  template <class T>
  T* Data() {
    return static_cast<T*>(V_ARRAY(&v)->pvData);
  }
};

TEST_F(ArrayTest, CountGrowsWithZerosAndShrinksKeepingTheFirst) {
  ASSERT_EQ(doubles_->put_Count(3), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{0, 0, 0}));
  doubles_->put_Item(0, 4.5);
  doubles_->put_Item(2, 9);
  ASSERT_EQ(doubles_->put_Count(1), S_OK);
  ASSERT_EQ(doubles_->put_Count(2), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{4.5, 0}));
  ASSERT_EQ(doubles_->put_Count(0), S_OK);
  EXPECT_TRUE(Doubles().empty());
}

TEST_F(ArrayTest, StatisticsFollowStrictScans) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<double> values;
    double sum, min, max;
    LONG minIndex, maxIndex;
  };
  const Case cases[] = {
      {{}, 0, 1.7e308, -1.7e308, -1, -1},  // the start values of the scans
      {{-5, -3, -3}, -11, -5, -3, 0, 1},
      {{2, 7, 7, 1}, 17, 1, 7, 3, 1},
      {{nan, nan}, nan, 1.7e308, -1.7e308, -1, -1},
      {{nan, 4, nan, 2}, nan, 2, 4, 3, 1},
      // At or beyond a start value an element is never chosen by that search.
      {{inf, 1.7e308}, inf, 1.7e308, inf, -1, 0},
      {{-inf, -1.7e308}, -inf, -inf, -1.7e308, 0, -1},
      {{inf, -inf}, nan, -inf, inf, 1, 0},
      {{1e308, 1e308}, inf, 1e308, 1e308, 0, 0},
      {{0.1, 0.2, 0.3}, (0.1 + 0.2) + 0.3, 0.1, 0.3, 0, 2},
  };
  for (const Case& c : cases) {
    SetDoubles(c.values);
    SCOPED_TRACE(testing::PrintToString(c.values));
    double sum = 0, mean = 0, min = 0, max = 0;
    LONG minIndex = 0, maxIndex = 0;
    ASSERT_EQ(doubles_->Sum(&sum) | doubles_->Mean(&mean) | doubles_->Min(&min) |
                  doubles_->Max(&max) | doubles_->MinIndex(&minIndex) |
                  doubles_->MaxIndex(&maxIndex),
              S_OK);
    if (std::isnan(c.sum)) {
      EXPECT_TRUE(std::isnan(sum) && std::isnan(mean));
    } else {
      EXPECT_EQ(sum, c.sum);
      EXPECT_EQ(mean, c.values.empty() ? 0 : c.sum / static_cast<double>(c.values.size()));
    }
    EXPECT_EQ(min, c.min);
    EXPECT_EQ(max, c.max);
    EXPECT_EQ(minIndex, c.minIndex);
    EXPECT_EQ(maxIndex, c.maxIndex);
  }
}

TEST_F(ArrayTest, ItemOutsideTheArrayFailsAndTouchesNothing) {
  SetDoubles({1, 2, 3});
  ASSERT_EQ(bytes_->put_Count(3), S_OK);
  for (LONG index : {-1, 3, INT_MAX, INT_MIN}) {
    double value = 77;
    BYTE b = 7;
    EXPECT_EQ(doubles_->get_Item(index, &value), DISP_E_BADINDEX) << index;
    EXPECT_EQ(value, 0) << index;  // the out result is cleared first
    EXPECT_EQ(doubles_->put_Item(index, 5), DISP_E_BADINDEX) << index;
    EXPECT_EQ(bytes_->get_Item(index, &b), DISP_E_BADINDEX) << index;
    EXPECT_EQ(bytes_->put_Item(index, 1), DISP_E_BADINDEX) << index;
  }
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(Bytes(), (std::vector<BYTE>{0, 0, 0}));
  EXPECT_EQ(doubles_->get_Item(0, nullptr), E_POINTER);
}

TEST_F(ArrayTest, BadCountsFailAndChangeNothing) {
  SetDoubles({1, 2});
  ASSERT_EQ(bytes_->put_Count(2), S_OK);
  EXPECT_EQ(doubles_->put_Count(-1), E_INVALIDARG);
  EXPECT_EQ(bytes_->put_Count(INT_MIN), E_INVALIDARG);
  // Far more than any array may hold: refused before anything is allocated.
  EXPECT_EQ(doubles_->put_Count(INT_MAX), E_OUTOFMEMORY);
  EXPECT_EQ(bytes_->put_Count(INT_MAX), E_OUTOFMEMORY);
  EXPECT_EQ(doubles_->put_Count(static_cast<LONG>(MaxCount<double>() + 1)), E_OUTOFMEMORY);
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2}));
  EXPECT_EQ(Bytes(), (std::vector<BYTE>{0, 0}));
}

TEST_F(ArrayTest, FailingCallLeavesErrorInformation) {
  EXPECT_EQ(doubles_->put_Item(4, 1), DISP_E_BADINDEX);
  test::TakenErrorInfo info = test::TakeErrorInfo();
  EXPECT_EQ(info.description, "Index 4 is outside the array of 0 items");
  EXPECT_EQ(info.source, "Quellar.DoubleArray");
  EXPECT_TRUE(info.guid == IID_IDoubleArray);
  EXPECT_EQ(info.refsLeft, 0u);
  EXPECT_EQ(bytes_->put_Count(-3), E_INVALIDARG);
  info = test::TakeErrorInfo();
  EXPECT_EQ(info.description, "Count -3 is negative");
  EXPECT_EQ(info.source, "Quellar.ByteArray");
  EXPECT_TRUE(info.guid == IID_IByteArray);
  EXPECT_EQ(doubles_->put_Count(INT_MAX), E_OUTOFMEMORY);
  EXPECT_EQ(test::TakeErrorInfo().description, "Not enough memory for 2147483647 items");
}

TEST_F(ArrayTest, AsVariantRoundTripsAndTakesBoundsFromTheArray) {
  EXPECT_TRUE((AsVariant<double>(doubles_.get(), VT_R8).empty()));  // bounds 0..-1
  SafeArrayVariant a(VT_R8, {{4, 1}});                              // bounds 1..4
  for (int i = 0; i < 4; ++i) a.Data<double>()[i] = 10 + i;
  ASSERT_EQ(doubles_->put_AsVariant(a.v), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{10, 11, 12, 13}));
  EXPECT_EQ(AsVariant<double>(doubles_.get(), VT_R8), Doubles());
  SafeArrayVariant b(VT_UI1, {{3, -7}});
  b.Data<BYTE>()[0] = 0xFF;
  b.Data<BYTE>()[2] = 0x01;
  ASSERT_EQ(bytes_->put_AsVariant(b.v), S_OK);
  EXPECT_EQ(Bytes(), (std::vector<BYTE>{0xFF, 0, 0x01}));
  EXPECT_EQ(AsVariant<BYTE>(bytes_.get(), VT_UI1), Bytes());
  // A shorter array reuses the storage.
  SafeArrayVariant c(VT_R8, {{1, 0}});
  c.Data<double>()[0] = 6;
  ASSERT_EQ(doubles_->put_AsVariant(c.v), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{6}));
}

TEST_F(ArrayTest, AsVariantPutIgnoresEveryOtherVariant) {
  SetDoubles({1, 2});
  ASSERT_EQ(bytes_->put_Count(1), S_OK);
  ASSERT_EQ(bytes_->put_Item(0, 9), S_OK);
  SafeArrayVariant longs(VT_I4, {{2, 0}}), variants(VT_VARIANT, {{2, 0}});
  SafeArrayVariant twoDims(VT_R8, {{2, 0}, {2, 0}}), empty(VT_R8, {{0, 0}});
  SafeArrayVariant doublesForBytes(VT_R8, {{2, 0}}), bytesForDoubles(VT_UI1, {{2, 0}});
  SafeArrayVariant mislabelled(VT_I4, {{2, 0}}, VT_R8);  // tag says doubles, array holds longs
  SafeArrayVariant mislabelledBytes(VT_I2, {{2, 0}}, VT_UI1);
  SAFEARRAY* target = V_ARRAY(&doublesForBytes.v);
  VARIANT byRef = test::Make(VT_ARRAY | VT_R8 | VT_BYREF, &target);
  VARIANT nullArray = test::Make(VT_ARRAY | VT_R8, nullptr), scalar = test::VR8(5);
  for (const VARIANT* v : {&longs.v, &variants.v, &twoDims.v, &empty.v, &bytesForDoubles.v,
                           &mislabelled.v, &byRef, &nullArray, &scalar}) {
    EXPECT_EQ(doubles_->put_AsVariant(*v), S_OK) << V_VT(v);
  }
  for (const VARIANT* v :
       {&doublesForBytes.v, &longs.v, &empty.v, &mislabelledBytes.v, &byRef, &scalar}) {
    EXPECT_EQ(bytes_->put_AsVariant(*v), S_OK) << V_VT(v);
  }
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2}));
  EXPECT_EQ(Bytes(), (std::vector<BYTE>{9}));
}

TEST_F(ArrayTest, CopyFromAnyImplementation) {
  SetDoubles({8});
  EXPECT_EQ(doubles_->CopyFrom(nullptr), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{8}));
  test::TForeignArray foreign;
  foreign.items = {1, 2, 3, 4, 5};
  ASSERT_EQ(doubles_->CopyFrom(&foreign), S_OK);
  EXPECT_EQ(Doubles(), foreign.items);
  EXPECT_EQ(foreign.refs, 1u);
  ASSERT_EQ(doubles_->CopyFrom(doubles_.get()), S_OK);  // onto itself: unchanged
  EXPECT_EQ(Doubles(), foreign.items);
  Ref<IDoubleArray> copy;
  ASSERT_EQ(CreateDoubleArray(IID_IDoubleArray, copy.outVoid()), S_OK);
  ASSERT_EQ(copy->CopyFrom(doubles_.get()), S_OK);
  EXPECT_EQ(Items<double>(copy.get()), foreign.items);
  // Stops at the first failure, and never writes past storage the source empties meanwhile.
  test::TForeignArray failing, shrinking;
  failing.items = {1, 2, 3, 4};
  failing.failAt = 2;
  ASSERT_EQ(doubles_->put_Count(0), S_OK);
  EXPECT_EQ(doubles_->CopyFrom(&failing), E_FAIL);
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2, 0, 0}));  // count set, first items copied
  shrinking.items = {1, 2, 3};
  shrinking.shrinkOnRead = doubles_.get();
  EXPECT_EQ(doubles_->CopyFrom(&shrinking), DISP_E_BADINDEX);
  EXPECT_TRUE(Doubles().empty());
}

TEST_F(ArrayTest, ByteArrayCopies) {
  ASSERT_EQ(bytes_->put_Count(3), S_OK);
  bytes_->put_Item(1, 200);
  Ref<IByteArray> other;
  ASSERT_EQ(CreateByteArray(IID_IByteArray, other.outVoid()), S_OK);
  EXPECT_EQ(other->CopyFrom(nullptr), S_OK);
  ASSERT_EQ(other->CopyFrom(bytes_.get()), S_OK);
  EXPECT_EQ(Items<BYTE>(other.get()), (std::vector<BYTE>{0, 200, 0}));
}

TEST_F(ArrayTest, StorageInterfaceSharesTheItems) {
  SetDoubles({1, 2});
  Ref<IDoubleArrayData> data;
  ASSERT_EQ(doubles_->QueryInterface(IID_IDoubleArrayData, data.outVoid()), S_OK);
  std::vector<double>* storage = nullptr;
  ASSERT_EQ(data->GetValues(&storage), S_OK);
  ASSERT_NE(storage, nullptr);
  (*storage)[1] = 42;
  storage->push_back(7);
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 42, 7}));
  EXPECT_EQ(data->GetValues(nullptr), E_POINTER);
  Ref<IDoubleArrayData> none;
  EXPECT_EQ(bytes_->QueryInterface(IID_IDoubleArrayData, none.outVoid()), E_NOINTERFACE);
  // Every interface leads back to one identity, also for objects made through the factory.
  Ref<IUnknown> a, b;
  ASSERT_EQ(doubles_->QueryInterface(IID_IUnknown, a.outVoid()), S_OK);
  ASSERT_EQ(data->QueryInterface(IID_IUnknown, b.outVoid()), S_OK);
  EXPECT_EQ(a.get(), b.get());
  Ref<IDoubleArray> viaFactory;
  ASSERT_EQ(automation::CreateInstance(CLSID_DoubleArray, IID_IDoubleArray, viaFactory.outVoid()),
            S_OK);
  EXPECT_EQ(viaFactory->QueryInterface(IID_IDoubleArrayData, data.outVoid()), S_OK);
}

}  // namespace
}  // namespace quellar::arrays
