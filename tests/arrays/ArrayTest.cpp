// The array objects through their interfaces.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "arrays/ArrayCore.h"
#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/LateBoundTestSupport.h"
#include "support/ForeignDoubleArray.h"

namespace quellar::arrays {
namespace {

using test::Items, test::Ref;

class ArrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDoubleArray(IID_IDoubleArray, doubles_.outVoid()), S_OK);
    ASSERT_EQ(CreateByteArray(IID_IByteArray, bytes_.outVoid()), S_OK);
  }
  void SetDoubles(const std::vector<double>& values) {
    ASSERT_EQ(doubles_->put_Count(static_cast<LONG>(values.size())), S_OK);
    for (size_t i = 0; i < values.size(); ++i)
      ASSERT_EQ(doubles_->put_Item(static_cast<LONG>(i), values[i]), S_OK);
  }
  std::vector<double> Doubles() { return Items<double>(doubles_.get()); }

  Ref<IDoubleArray> doubles_;
  Ref<IByteArray> bytes_;
};

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
      {{2, 7, 7, 1}, 17, 1, 7, 3, 1},
      {{nan, 4, nan, 2}, nan, 2, 4, 3, 1},
      // At or beyond a start value an element is never chosen by that search.
      {{inf, 1.7e308}, inf, 1.7e308, inf, -1, 0},
      {{-inf, -1.7e308}, -inf, -inf, -1.7e308, 0, -1},
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
    const double n = static_cast<double>(c.values.size()), expectedMean = n ? c.sum / n : 0;
    EXPECT_TRUE(std::isnan(c.sum) ? std::isnan(sum) && std::isnan(mean)
                                  : sum == c.sum && mean == expectedMean)
        << sum << " " << mean;
    EXPECT_EQ(std::make_tuple(min, max, minIndex, maxIndex),
              std::make_tuple(c.min, c.max, c.minIndex, c.maxIndex));
  }
}

TEST_F(ArrayTest, BadIndexesAndCountsFailAndTouchNothing) {
  SetDoubles({1, 2, 3});
  for (LONG index : {-1, 3}) {
    double value = 77;
    EXPECT_EQ(doubles_->get_Item(index, &value), DISP_E_BADINDEX) << index;
    EXPECT_EQ(value, 0) << index;  // the out result is cleared first
    EXPECT_EQ(doubles_->put_Item(index, 5), DISP_E_BADINDEX) << index;
  }
  test::TakenErrorInfo info = test::TakeErrorInfo();
  EXPECT_EQ(info.text, "Index 3 is outside the array of 3 items from Quellar.DoubleArray");
  EXPECT_TRUE(info.guid == IID_IDoubleArray);
  EXPECT_EQ(bytes_->put_Count(-3), E_INVALIDARG);
  EXPECT_EQ(test::TakeErrorInfo().text, "Count -3 is negative from Quellar.ByteArray");
  EXPECT_EQ(doubles_->put_Count(INT_MAX), E_OUTOFMEMORY);
  EXPECT_EQ(test::TakeErrorInfo().text,
            "Not enough memory for 2147483647 items from Quellar.DoubleArray");
  EXPECT_EQ(doubles_->put_Count(static_cast<LONG>(MaxCount<double>() + 1)), E_OUTOFMEMORY);
  EXPECT_EQ(Doubles(), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(doubles_->get_Item(0, nullptr), E_POINTER);
}

TEST_F(ArrayTest, AsVariantRoundTripsAndIgnoresEveryOtherVariant) {
  SafeArrayVariant a(VT_R8, {{4, 1}});  // bounds 1..4
  for (int i = 0; i < 4; ++i) a.Data<double>()[i] = 10 + i;
  ASSERT_EQ(doubles_->put_AsVariant(a.v), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{10, 11, 12, 13}));
  VARIANT out;
  ASSERT_EQ(doubles_->get_AsVariant(&out), S_OK);
  ASSERT_EQ(V_VT(&out), VT_ARRAY | VT_R8);
  const SAFEARRAYBOUND& bound = V_ARRAY(&out)->rgsabound[0];
  EXPECT_EQ(std::make_pair(bound.lLbound, bound.cElements), std::make_pair(0, 4u));
  EXPECT_EQ(static_cast<double*>(V_ARRAY(&out)->pvData)[3], 13);
  VariantClear(&out);
  SafeArrayVariant b(VT_UI1, {{3, -7}});
  b.Data<BYTE>()[0] = 0xFF;
  b.Data<BYTE>()[2] = 0x01;
  ASSERT_EQ(bytes_->put_AsVariant(b.v), S_OK);
  EXPECT_EQ(Items<BYTE>(bytes_.get()), (std::vector<BYTE>{0xFF, 0, 0x01}));
  SafeArrayVariant c(VT_R8, {{1, 0}});
  c.Data<double>()[0] = 6;
  ASSERT_EQ(doubles_->put_AsVariant(c.v), S_OK);
  EXPECT_EQ(Doubles(), (std::vector<double>{6}));
  SafeArrayVariant longs(VT_I4, {{2, 0}}), twoDims(VT_R8, {{2, 0}, {2, 0}}), empty(VT_R8, {{0, 0}});
  SafeArrayVariant narrower(VT_I4, {{2, 0}}, VT_R8);  // tag says doubles, array holds longs
  SafeArrayVariant integers(VT_I8, {{2, 0}}, VT_R8);  // as wide as doubles, still no doubles
  VARIANT nullArray = test::Make(VT_ARRAY | VT_R8, nullptr), scalar = test::VR8(5);
  for (const VARIANT* v :
       {&longs.v, &twoDims.v, &empty.v, &narrower.v, &integers.v, &nullArray, &scalar}) {
    EXPECT_EQ(doubles_->put_AsVariant(*v), S_OK) << V_VT(v);
  }
  EXPECT_EQ(Doubles(), (std::vector<double>{6}));
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

TEST_F(ArrayTest, CountKeepsTheFirstItemsAndStorageIsShared) {
  SetDoubles({4.5, 3, 9});
  ASSERT_EQ(doubles_->put_Count(1), S_OK);
  ASSERT_EQ(doubles_->put_Count(2), S_OK);  // grows with zeros
  Ref<IDoubleArrayData> data;
  ASSERT_EQ(doubles_->QueryInterface(IID_IDoubleArrayData, data.outVoid()), S_OK);
  std::vector<double>* storage = nullptr;
  ASSERT_EQ(data->GetValues(&storage), S_OK);
  storage->push_back(7);
  EXPECT_EQ(Doubles(), (std::vector<double>{4.5, 0, 7}));
  EXPECT_EQ(data->GetValues(nullptr), E_POINTER);
}

}  // namespace
}  // namespace quellar::arrays
