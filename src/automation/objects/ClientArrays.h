#pragma once
// The arrays a client hands to the device objects: filled or read through their interfaces,
// so any implementation works; arrays of this library are filled in one copy. A failing
// array call raises EQuellarError carrying the array's status. Only the client's own Count
// and Item calls touch its storage, so an array that changes its size meanwhile can make the
// call fail but never make us read or write outside anything.
#include <cstdint>
#include <span>
#include <vector>

#include "automation/Quellar_TLB.h"

namespace quellar::automation {

// Count := values.size(), then Item(i) := values[i].
void FillDoubleArray(IDoubleArray* target, std::span<const double> values);
void FillByteArray(IByteArray* target, std::span<const uint8_t> values);
// Item(0) .. Item(Count - 1); false (nothing read) when Count exceeds most.
bool ReadByteArray(IByteArray* source, size_t most, std::vector<uint8_t>& bytes);

}  // namespace quellar::automation
