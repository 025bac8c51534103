#include "device/DrvResponse.h"

#include <cmath>

#include "device/DrvController.h"
#include "errors/Asserts.h"

namespace quellar::device {

namespace {

constexpr Tag kTagGetValue = "{83C2015C-0FBA-4F98-8A2D-9E25AA89F6FF}";
constexpr Tag kTagCreate = "{9F91BE4F-94F4-40EB-AF23-AC0E34088713}";
constexpr Tag kTagSetCount = "{7A369BAE-1AC3-4839-B30C-86884343D1C1}";
constexpr Tag kTagDecodeQuadrature = "{81A999D6-504D-4AB9-BE0F-F5946C116A1D}";
constexpr Tag kTagDecodeAmplitude = "{781A7C72-6732-4547-8029-A860CBF75771}";
constexpr Tag kTagReceive = "{7A85346A-9F13-48F9-9CED-E3563267C72F}";

constexpr uint16_t kValueMask = 0x3FF;
constexpr uint16_t kFlagBit = 0x400;

uint16_t WordA(const uint8_t* group) {
  return static_cast<uint16_t>(((group[1] & 0x0F) << 8) | group[0]);
}
uint16_t WordB(const uint8_t* group) {
  return static_cast<uint16_t>(((group[1] & 0xF0) << 4) | group[2]);
}

}  // namespace

double TDriverResponseSamples::GetValue(int32_t i) const {
  return Guarded(kTagGetValue, [&] { return static_cast<double>(Values[static_cast<size_t>(i)]); });
}

TDriverResponse::TDriverResponse() {
  Guarded(kTagCreate, [&] { SetCount(0); });
}

void TDriverResponse::SetCount(int32_t n) {
  Guarded(kTagSetCount, [&] {
    if (n < 0) Raise<EListError>("Sample count out of range");
    const size_t size = static_cast<size_t>(n);
    for (TDriverResponseSamples* s : {&Amplitude, &Real, &Imaginary}) {
      s->Values.resize(size);
      s->Flags.resize(size);
    }
    count_ = n;
  });
}

void TDriverResponse::DecodeQuadrature(const uint8_t* bytes, size_t size) {
  Guarded(kTagDecodeQuadrature, [&] {
    SetCount(static_cast<int32_t>(size / 3));
    for (size_t i = 0; i < static_cast<size_t>(count_); ++i) {
      const uint8_t* group = bytes + 3 * i;
      const uint16_t a = WordA(group);
      const uint16_t b = WordB(group);
      const int32_t re = a & kValueMask;
      const int32_t im = b & kValueMask;
      const bool fa = (a & kFlagBit) != 0;
      const bool fb = (b & kFlagBit) != 0;
      Real.Values[i] = static_cast<float>(re);
      Real.Flags[i] = fa;
      Imaginary.Values[i] = static_cast<float>(im);
      Imaginary.Flags[i] = fb;
      Amplitude.Values[i] = static_cast<float>(std::sqrt(static_cast<double>(re * re + im * im)));
      Amplitude.Flags[i] = fa || fb;
    }
  });
}

void TDriverResponse::DecodeAmplitude(const uint8_t* bytes, size_t size) {
  Guarded(kTagDecodeAmplitude, [&] {
    SetCount(static_cast<int32_t>(2 * size / 3));
    for (size_t i = 0; i < static_cast<size_t>(count_); ++i) {
      const uint8_t* group = bytes + 3 * (i / 2);
      // An odd count ends with word A of a group of which only bytes 0 and 1 exist.
      const uint16_t word = (i % 2 == 0) ? WordA(group) : WordB(group);
      const float value = static_cast<float>(word & kValueMask);
      const bool flag = (word & kFlagBit) != 0;
      Amplitude.Values[i] = value;
      Amplitude.Flags[i] = flag;
      Real.Values[i] = value;
      Real.Flags[i] = flag;
      Imaginary.Values[i] = 0.0f;
      Imaginary.Flags[i] = false;
    }
  });
}

bool TDriverResponse::Receive(TDriverController* controller) {
  return Guarded(kTagReceive, [&] {
    if (controller == nullptr) return false;
    std::vector<uint8_t> block;
    if (!controller->ReadSamples(&block)) return false;
    if (controller->State().Master.Detector == kDetectorAmplitude) {
      DecodeAmplitude(block.data(), block.size());
    } else {
      DecodeQuadrature(block.data(), block.size());
    }
    return true;
  });
}

}  // namespace quellar::device
