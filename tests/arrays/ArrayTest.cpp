// The array objects through their interfaces and late bound: counts, items, statistics,
// whole-array exchange, copies from any implementation, and their failures.
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
#include "support/TestSupport.h"

namespace quellar::arrays {
namespace {

using automation::TBstr;
using test::Invoke;
using test::kGet;
using test::kPut;
using test::Outcome;
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
  std::vector<double> Doubles() {
    LONG n = 0;
    doubles_->get_Count(&n);
    std::vector<double> out(static_cast<size_t>(n));
    for (LONG i = 0; i < n; ++i) doubles_->get_Item(i, &out[static_cast<size_t>(i)]);
    return out;
  }
  std::vector<BYTE> Bytes() {
    LONG n = 0;
    bytes_->get_Count(&n);
    std::vector<BYTE> out(static_cast<size_t>(n));
    for (LONG i = 0; i < n; ++i) bytes_->get_Item(i, &out[static_cast<size_t>(i)]);
    return out;
  }
  struct Stats {
    double sum, mean, min, max;
    LONG minIndex, maxIndex;
  };
  Stats Statistics() {
    Stats s{};
    EXPECT_EQ(doubles_->Sum(&s.sum), S_OK);
    EXPECT_EQ(doubles_->Mean(&s.mean), S_OK);
    EXPECT_EQ(doubles_->Min(&s.min), S_OK);
    EXPECT_EQ(doubles_->Max(&s.max), S_OK);
    EXPECT_EQ(doubles_->MinIndex(&s.minIndex), S_OK);
    EXPECT_EQ(doubles_->MaxIndex(&s.maxIndex), S_OK);
    return s;
  }

  long baseline_ = 0;
  Ref<IDoubleArray> doubles_;
  Ref<IByteArray> bytes_;
};

// A safe array variant of any element type and bounds, owned by the test.
struct SafeArrayVariant {
  VARIANT v;
  SafeArrayVariant(VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds, VARTYPE tag = 0) {
    VariantInit(&v);
    SAFEARRAY* psa = SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data());
    V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | (tag ? tag : vt));
    V_ARRAY(&v) = psa;
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
    const Stats s = Statistics();
    SCOPED_TRACE(testing::PrintToString(c.values));
    if (std::isnan(c.sum)) {
      EXPECT_TRUE(std::isnan(s.sum));
      EXPECT_TRUE(std::isnan(s.mean));
    } else {
      EXPECT_EQ(s.sum, c.sum);
      EXPECT_EQ(s.mean, c.values.empty() ? 0 : c.sum / static_cast<double>(c.values.size()));
    }
    EXPECT_EQ(s.min, c.min);
    EXPECT_EQ(s.max, c.max);
    EXPECT_EQ(s.minIndex, c.minIndex);
    EXPECT_EQ(s.maxIndex, c.maxIndex);
  }
  SetDoubles({-5, -3, -3});
  EXPECT_DOUBLE_EQ(Statistics().mean, -11.0 / 3.0);
}

TEST_F(ArrayTest, ItemOutsideTheArrayFailsAndTouchesNothing) {
  SetDoubles({1, 2, 3});
  for (LONG index : {-1, 3, 4, INT_MAX, INT_MIN}) {
    double value = 77;
    EXPECT_EQ(doubles_->get_Item(index, &value), DISP_E_BADINDEX) << index;
    EXPECT_EQ(value, 0) << index;  // the out result is cleared first
    EXPECT_EQ(doubles_->put_Item(index, 5), DISP_E_BADINDEX) << index;
    BYTE b = 7;
    EXPECT_EQ(bytes_->get_Item(index, &b), DISP_E_BADINDEX);
    EXPECT_EQ(bytes_->put_Item(index, 1), DISP_E_BADINDEX);
  }
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2, 3}));
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

  // Late bound, the same failure arrives as DISP_E_EXCEPTION with EXCEPINFO.
  Outcome o;
  Invoke(o, doubles_.get(), DISPID_VALUE, kGet, {test::VI4(9)});
  EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(o.excep.scode, DISP_E_BADINDEX);
  EXPECT_EQ(o.Description(), "Index 9 is outside the array of 0 items");
  EXPECT_EQ(o.Source(), "Quellar.DoubleArray");
  Outcome big;
  Invoke(big, bytes_.get(), 1, kPut, {test::VI4(INT_MAX)});
  EXPECT_EQ(big.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(big.excep.scode, E_OUTOFMEMORY);
}

TEST_F(ArrayTest, AsVariantRoundTripsAndTakesBoundsFromTheArray) {
  VARIANT v;
  ASSERT_EQ(doubles_->get_AsVariant(&v), S_OK);  // empty: bounds 0..-1
  LONG lo = 9, hi = 9;
  SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
  SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, -1);
  VariantClear(&v);
  SafeArrayVariant a(VT_R8, {{4, 1}});  // bounds 1..4
  for (int i = 0; i < 4; ++i) a.Data<double>()[i] = 10 + i;
  ASSERT_EQ(doubles_->put_AsVariant(a.v), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{10, 11, 12, 13}));
  ASSERT_EQ(doubles_->get_AsVariant(&v), S_OK);
  ASSERT_EQ(V_VT(&v), VT_ARRAY | VT_R8);
  SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
  EXPECT_EQ(hi, 3);
  EXPECT_EQ(static_cast<double*>(V_ARRAY(&v)->pvData)[3], 13);
  VariantClear(&v);
  SafeArrayVariant b(VT_UI1, {{3, -7}});
  b.Data<BYTE>()[0] = 0xFF;
  b.Data<BYTE>()[2] = 0x01;
  ASSERT_EQ(bytes_->put_AsVariant(b.v), S_OK);
  EXPECT_EQ(Bytes(), (std::vector<BYTE>{0xFF, 0, 0x01}));
  ASSERT_EQ(bytes_->get_AsVariant(&v), S_OK);
  EXPECT_EQ(V_VT(&v), VT_ARRAY | VT_UI1);
  EXPECT_EQ(static_cast<BYTE*>(V_ARRAY(&v)->pvData)[0], 0xFF);
  VariantClear(&v);
}

TEST_F(ArrayTest, AsVariantPutIgnoresEveryOtherVariant) {
  SetDoubles({1, 2});
  ASSERT_EQ(bytes_->put_Count(1), S_OK);
  ASSERT_EQ(bytes_->put_Item(0, 9), S_OK);
  SafeArrayVariant longs(VT_I4, {{2, 0}});
  SafeArrayVariant variants(VT_VARIANT, {{2, 0}});
  SafeArrayVariant twoDims(VT_R8, {{2, 0}, {2, 0}});
  SafeArrayVariant empty(VT_R8, {{0, 0}});
  SafeArrayVariant doublesForBytes(VT_R8, {{2, 0}});
  SafeArrayVariant bytesForDoubles(VT_UI1, {{2, 0}});
  SafeArrayVariant mislabelled(VT_I4, {{2, 0}}, VT_R8);  // tag says doubles, array holds longs
  SafeArrayVariant mislabelledBytes(VT_I2, {{2, 0}}, VT_UI1);
  VARIANT byRef;
  VariantInit(&byRef);
  SAFEARRAY* target = V_ARRAY(&doublesForBytes.v);
  V_VT(&byRef) = VT_ARRAY | VT_R8 | VT_BYREF;
  V_ARRAYREF(&byRef) = &target;
  VARIANT nullArray;
  VariantInit(&nullArray);
  V_VT(&nullArray) = VT_ARRAY | VT_R8;
  VARIANT scalar = test::VR8(5);
  VARIANT nothing = test::VEmpty();
  for (const VARIANT* v : {&longs.v, &variants.v, &twoDims.v, &empty.v, &bytesForDoubles.v,
                           &mislabelled.v, &byRef, &nullArray, &scalar, &nothing}) {
    EXPECT_EQ(doubles_->put_AsVariant(*v), S_OK) << V_VT(v);
  }
  for (const VARIANT* v :
       {&doublesForBytes.v, &longs.v, &empty.v, &mislabelledBytes.v, &byRef, &scalar}) {
    EXPECT_EQ(bytes_->put_AsVariant(*v), S_OK) << V_VT(v);
  }
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2}));
  EXPECT_EQ(Bytes(), (std::vector<BYTE>{9}));
}

TEST_F(ArrayTest, AsVariantLateBoundThroughScriptReferences) {
  SafeArrayVariant a(VT_R8, {{2, 0}});
  a.Data<double>()[0] = 6;
  a.Data<double>()[1] = 7;
  Outcome put;
  Invoke(put, doubles_.get(), 2, kPut, {test::VRef(&a.v)});  // a variable passed by reference
  ASSERT_EQ(put.hr, S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{6, 7}));
  Outcome get;
  Invoke(get, doubles_.get(), 2, kGet, {});
  ASSERT_EQ(get.hr, S_OK);
  EXPECT_EQ(V_VT(&get.result), VT_ARRAY | VT_R8);
  EXPECT_EQ(static_cast<double*>(V_ARRAY(&get.result)->pvData)[1], 7);
}

using test::TForeignArray;

TEST_F(ArrayTest, CopyFromAnyImplementation) {
  SetDoubles({8});
  EXPECT_EQ(doubles_->CopyFrom(nullptr), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{8}));

  TForeignArray foreign;
  foreign.items = {1, 2, 3, 4, 5};
  ASSERT_EQ(doubles_->CopyFrom(&foreign), S_OK);
  EXPECT_EQ(Doubles(), foreign.items);
  EXPECT_EQ(foreign.refs, 1u);

  // A foreign array has no storage interface for the library's own code.
  void* data = &data;
  EXPECT_EQ(foreign.QueryInterface(IID_IDoubleArrayData, &data), E_NOINTERFACE);

  ASSERT_EQ(doubles_->CopyFrom(doubles_.get()), S_OK);  // onto itself: unchanged
  EXPECT_EQ(Doubles(), foreign.items);

  Ref<IDoubleArray> copy;
  ASSERT_EQ(CreateDoubleArray(IID_IDoubleArray, copy.outVoid()), S_OK);
  ASSERT_EQ(copy->CopyFrom(doubles_.get()), S_OK);
  LONG n = 0;
  copy->get_Count(&n);
  EXPECT_EQ(n, 5);
}

TEST_F(ArrayTest, CopyFromStopsAtTheFirstFailureAndNeverWritesPastTheStorage) {
  TForeignArray failing;
  failing.items = {1, 2, 3, 4};
  failing.failAt = 2;
  EXPECT_EQ(doubles_->CopyFrom(&failing), E_FAIL);
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2, 0, 0}));  // count set, first items copied
  TForeignArray shrinking;                                  // empties the target while it is read
  shrinking.items = {1, 2, 3};
  shrinking.shrinkOnRead = doubles_.get();
  EXPECT_EQ(doubles_->CopyFrom(&shrinking), DISP_E_BADINDEX);
  EXPECT_TRUE(Doubles().empty());
}

TEST_F(ArrayTest, ByteArrayCopyAndLateBoundCopy) {
  ASSERT_EQ(bytes_->put_Count(3), S_OK);
  bytes_->put_Item(1, 200);
  Ref<IByteArray> other;
  ASSERT_EQ(CreateByteArray(IID_IByteArray, other.outVoid()), S_OK);
  EXPECT_EQ(other->CopyFrom(nullptr), S_OK);
  ASSERT_EQ(other->CopyFrom(bytes_.get()), S_OK);
  BYTE b = 0;
  other->get_Item(1, &b);
  EXPECT_EQ(b, 200);
  Outcome o;
  Invoke(o, doubles_.get(), 3, DISPATCH_METHOD, {test::VUnknown(other.get())});
  EXPECT_EQ(o.hr, DISP_E_TYPEMISMATCH);  // a byte array is no double array
  Outcome copy;
  Ref<IDoubleArray> source;
  ASSERT_EQ(CreateDoubleArray(IID_IDoubleArray, source.outVoid()), S_OK);
  source->put_Count(2);
  source->put_Item(1, 3.25);
  Invoke(copy, doubles_.get(), 3, DISPATCH_METHOD, {test::VUnknown(source.get(), VT_UNKNOWN)});
  ASSERT_EQ(copy.hr, S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{0, 3.25}));
  Outcome byteValue;
  Invoke(byteValue, bytes_.get(), 0, kPut, {test::VI4(0), test::VI4(256)});
  EXPECT_EQ(byteValue.hr, DISP_E_OVERFLOW);
  Outcome byteGet;
  Invoke(byteGet, bytes_.get(), 0, kGet, {test::VI4(1)});
  EXPECT_EQ(V_VT(&byteGet.result), VT_UI1);
  EXPECT_EQ(V_UI1(&byteGet.result), 200);
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
  // Every interface leads back to one identity.
  Ref<IUnknown> a, b;
  ASSERT_EQ(doubles_->QueryInterface(IID_IUnknown, a.outVoid()), S_OK);
  ASSERT_EQ(data->QueryInterface(IID_IUnknown, b.outVoid()), S_OK);
  EXPECT_EQ(a.get(), b.get());
}

TEST_F(ArrayTest, LibraryCreatesArraysThroughTheFactory) {
  Ref<IDoubleArray> viaFactory;
  ASSERT_EQ(automation::CreateInstance(CLSID_DoubleArray, IID_IDoubleArray, viaFactory.outVoid()),
            S_OK);
  Ref<IDoubleArrayData> data;
  EXPECT_EQ(viaFactory->QueryInterface(IID_IDoubleArrayData, data.outVoid()), S_OK);
}

}  // namespace
}  // namespace quellar::arrays
