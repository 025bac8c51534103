#include "device/DrvState.h"

#include <algorithm>
#include <cmath>

#include "errors/Asserts.h"

namespace quellar::device {

namespace {

constexpr Tag kTagDecodeMasterID = "{FC99EB65-CFA2-476C-B532-AF19973B0372}";
constexpr Tag kTagDecodeMagneticID = "{C94D8268-B3BB-4100-8C4D-09413895D101}";
constexpr Tag kTagDecodeSystemTemperature = "{8EB8BAEB-07AC-411E-9104-E141FCEA3F57}";
constexpr Tag kTagDecodeSampleTemperature = "{D4C4E15E-876C-45D4-9286-79769748972F}";
constexpr Tag kTagDecodeMagneticSettings = "{E050BE4D-9DAA-46B4-9D8A-C7CD8BD50144}";
constexpr Tag kTagDecodeAuxWord = "{FBBA8070-4D92-4C63-A92D-D3E8937BA22F}";
constexpr Tag kTagEncodeMasterSettings = "{5B13E04C-5809-43E7-8F2D-3B64CA586902}";
constexpr Tag kTagEncodeSampleSetpoint = "{E380FBF7-DF3A-495F-ABB9-72A726FC9BBD}";
constexpr Tag kTagEncodeMagneticSettings = "{2FF6FB90-B0AB-4517-B99B-64CDAEC02E6F}";

// Items separated by single zeros and ended by a double zero; kept joined by '/'. Without
// the double zero the field keeps what it had.
void DecodeIdentification(const TDriverFrame& frame, uint8_t code, std::string& field) {
  if (frame.Command() != code || frame.Size() < 1) return;
  std::string text(reinterpret_cast<const char*>(frame.Data()) + 1,
                   static_cast<size_t>(frame.Size() - 1));
  const size_t end = text.find(std::string(2, '\0'));
  if (end == std::string::npos) return;
  text.resize(end);
  std::replace(text.begin(), text.end(), '\0', '/');
  field = text;
}

// Tenths of a degree; 0x8000 means the unit has no reading.
void DecodeTemperature(const TDriverFrame& frame, uint8_t code, double& field) {
  if (frame.Command() != code || frame.Size() < 3) return;
  const uint16_t v = frame.Word(1);
  field = v == kNoTemperature ? 0.0 : v / 10.0;
}

// 12-bit settings travel left-aligned in 16-bit words.
int32_t Setting12(const TDriverFrame& frame, size_t at) {
  return std::clamp<int32_t>(frame.Word(at) >> 4, 0, 4095);
}
uint16_t Word12(int32_t value) {
  return static_cast<uint16_t>(std::clamp<int32_t>(value, 0, 4095) << 4);
}

}  // namespace

void TDriverState::DecodeMasterID(const TDriverFrame& frame) {
  Guarded(kTagDecodeMasterID, [&] { DecodeIdentification(frame, kCodeMasterID, Master.ID); });
}

void TDriverState::DecodeMagneticID(const TDriverFrame& frame) {
  Guarded(kTagDecodeMagneticID, [&] { DecodeIdentification(frame, kCodeMagneticID, Magnetic.ID); });
}

void TDriverState::DecodeSystemTemperature(const TDriverFrame& frame) {
  Guarded(kTagDecodeSystemTemperature,
          [&] { DecodeTemperature(frame, kCodeSystemTemperature, Magnetic.SystemTemperature); });
}

void TDriverState::DecodeSampleTemperature(const TDriverFrame& frame) {
  Guarded(kTagDecodeSampleTemperature,
          [&] { DecodeTemperature(frame, kCodeSampleTemperature, Magnetic.SampleTemperature); });
}

void TDriverState::DecodeMagneticSettings(const TDriverFrame& frame) {
  Guarded(kTagDecodeMagneticSettings, [&] {
    if (frame.Command() != kCodeMagneticSettingsAnswer || frame.Size() < 8) return;
    Magnetic.Nitrogen = frame[1];
    Magnetic.BiasRoughly = Setting12(frame, 2);
    Magnetic.BiasPrecise = Setting12(frame, 4);
    Magnetic.Gain = Setting12(frame, 6);
  });
}

void TDriverState::DecodeAuxWord(const TDriverFrame& frame) {
  Guarded(kTagDecodeAuxWord, [&] {
    if (frame.Command() != kCodeAuxWord || frame.Size() < 3) return;
    Magnetic.AuxWord = frame.Word(1);
  });
}

void TDriverState::EncodeMasterSettings(TDriverFrame& frame) const {
  Guarded(kTagEncodeMasterSettings, [&] {
    frame.Resize(3);
    frame[0] = kCodeMasterSettings;
    frame[1] = static_cast<uint8_t>((Master.Detector & 0x08) | (Master.Filter & 0x03));
    // The analyzer gives this byte no meaning; send a defined value, never a leftover.
    frame[2] = 0;
  });
}

void TDriverState::EncodeSampleSetpoint(TDriverFrame& frame) const {
  Guarded(kTagEncodeSampleSetpoint, [&] {
    frame.Resize(3);
    frame[0] = kCodeSampleSetpoint;
    // Tenths of a degree, to the nearest; a value outside the 16-bit field is limited to it.
    const double tenths = std::nearbyint(Magnetic.SampleSetpoint * 10.0);
    const uint16_t word =
        std::isnan(tenths) ? 0 : static_cast<uint16_t>(std::clamp(tenths, 0.0, 65535.0));
    frame.SetWord(1, word);
  });
}

void TDriverState::EncodeMagneticSettings(TDriverFrame& frame) const {
  Guarded(kTagEncodeMagneticSettings, [&] {
    frame.Resize(8);
    frame[0] = kCodeMagneticSettings;
    frame[1] = static_cast<uint8_t>(std::clamp<int32_t>(Magnetic.Nitrogen, 0, 255));
    frame.SetWord(2, Word12(Magnetic.BiasRoughly));
    frame.SetWord(4, Word12(Magnetic.BiasPrecise));
    frame.SetWord(6, Word12(Magnetic.Gain));
  });
}

}  // namespace quellar::device
