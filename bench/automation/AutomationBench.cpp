// Late-bound calls through Invoke (a controller property, array items), and whole-array exchange of
// 10^6 doubles as a safe array compared with a plain memory copy of the same size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "arrays/PrtArray.h"
#include "automation/objects/PrtController.h"

namespace {

using quellar::arrays::CreateDoubleArray;

IDoubleArray* NewArray(LONG count) {
  IDoubleArray* array = nullptr;
  CreateDoubleArray(IID_IDoubleArray, reinterpret_cast<void**>(&array));
  array->put_Count(count);
  for (LONG i = 0; i < count; ++i) array->put_Item(i, i * 0.5);
  return array;
}

// A property get on the controller by DISPID, as a script engine calls it after its name lookup.
void BM_LateBoundControllerActive(benchmark::State& state) {
  IDispatch* controller = nullptr;
  quellar::automation::CreateController(IID_IDispatch, reinterpret_cast<void**>(&controller));
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (auto _ : state) {
    controller->Invoke(6, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(V_BOOL(&result));
  }
  controller->Release();
}
BENCHMARK(BM_LateBoundControllerActive);

void BM_LateBoundItemGet(benchmark::State& state) {
  IDoubleArray* array = NewArray(1000);
  IDispatch* dispatch = array;
  VARIANT index;
  VariantInit(&index);
  V_VT(&index) = VT_I4;
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS params{&index, nullptr, 1, 0};
  LONG i = 0;
  for (auto _ : state) {
    V_I4(&index) = i;
    i = (i + 7) % 1000;
    dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                     &result, nullptr, nullptr);
    benchmark::DoNotOptimize(V_R8(&result));
  }
  array->Release();
}
BENCHMARK(BM_LateBoundItemGet);

// As a script engine passes a variable: a reference to a variant.
void BM_LateBoundItemGetByRef(benchmark::State& state) {
  IDoubleArray* array = NewArray(1000);
  IDispatch* dispatch = array;
  VARIANT variable;
  VariantInit(&variable);
  V_VT(&variable) = VT_I4;
  VARIANT index;
  VariantInit(&index);
  V_VT(&index) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&index) = &variable;
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS params{&index, nullptr, 1, 0};
  LONG i = 0;
  for (auto _ : state) {
    V_I4(&variable) = i;
    i = (i + 7) % 1000;
    dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                     &result, nullptr, nullptr);
    benchmark::DoNotOptimize(V_R8(&result));
  }
  array->Release();
}
BENCHMARK(BM_LateBoundItemGetByRef);

void BM_EarlyBoundItemGet(benchmark::State& state) {
  IDoubleArray* array = NewArray(1000);
  LONG i = 0;
  double value = 0;
  for (auto _ : state) {
    array->get_Item(i, &value);
    i = (i + 7) % 1000;
    benchmark::DoNotOptimize(value);
  }
  array->Release();
}
BENCHMARK(BM_EarlyBoundItemGet);

constexpr LONG kMillion = 1000000;

void BM_AsVariantGet(benchmark::State& state) {
  IDoubleArray* array = NewArray(kMillion);
  for (auto _ : state) {
    VARIANT v;
    array->get_AsVariant(&v);
    benchmark::DoNotOptimize(V_ARRAY(&v)->pvData);
    VariantClear(&v);
  }
  state.SetBytesProcessed(state.iterations() * kMillion * sizeof(double));
  array->Release();
}
BENCHMARK(BM_AsVariantGet)->Unit(benchmark::kMicrosecond);

void BM_AsVariantPut(benchmark::State& state) {
  IDoubleArray* array = NewArray(kMillion);
  SAFEARRAY* psa = SafeArrayCreateVector(VT_R8, 0, kMillion);
  std::memset(psa->pvData, 1, kMillion * sizeof(double));
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_ARRAY | VT_R8;
  V_ARRAY(&v) = psa;
  for (auto _ : state) {
    array->put_AsVariant(v);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kMillion * sizeof(double));
  VariantClear(&v);
  array->Release();
}
BENCHMARK(BM_AsVariantPut)->Unit(benchmark::kMicrosecond);

// Baselines: a plain copy of the same bytes, into existing memory and into a new block.
void BM_MemcpyBaseline(benchmark::State& state) {
  std::vector<double> from(kMillion, 1.0), to(kMillion);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kMillion * sizeof(double));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kMillion * sizeof(double));
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMicrosecond);

void BM_AllocateAndCopyBaseline(benchmark::State& state) {
  std::vector<double> from(kMillion, 1.0);
  for (auto _ : state) {
    std::vector<double> to(from);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(state.iterations() * kMillion * sizeof(double));
}
BENCHMARK(BM_AllocateAndCopyBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace
