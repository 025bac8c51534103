#pragma once
// The system's picture of the analyzer: what its two units last reported and what the system
// last asked them to set. Decoders read answer frames into it; encoders build command frames
// from it.
#include <cstdint>
#include <string>

#include "device/DrvFrame.h"

namespace quellar::device {

// Detector modes (EnumDetector) and the amplitude layout of the sample block that goes with 8.
constexpr int32_t kDetectorQuadrature = 0;
constexpr int32_t kDetectorAmplitude = 8;

// Answer and command codes of the state record.
constexpr uint8_t kCodeMasterID = 0x04;
constexpr uint8_t kCodeMasterSettings = 0x04;
constexpr uint8_t kCodeMagneticID = 0x80;
constexpr uint8_t kCodeSystemTemperature = 0x81;
constexpr uint8_t kCodeSampleTemperature = 0x82;
constexpr uint8_t kCodeMagneticSettingsAnswer = 0x83;
constexpr uint8_t kCodeAuxWord = 0x84;
constexpr uint8_t kCodeSampleSetpoint = 0x92;
constexpr uint8_t kCodeMagneticSettings = 0x93;

// A temperature word that means "no reading".
constexpr uint16_t kNoTemperature = 0x8000;

struct TDSMagneticState {
  std::string ID;
  double SampleSetpoint = 0.0;
  double SampleTemperature = 0.0;
  double SystemTemperature = 0.0;
  // Wider than its 0..255 wire byte, so a value out of range is limited, not wrapped.
  int32_t Nitrogen = 0;
  int32_t BiasRoughly = 0;
  int32_t BiasPrecise = 0;
  int32_t Gain = 0;
  int32_t AuxWord = 0;
};

struct TDSMasterState {
  std::string ID;
  int32_t Detector = kDetectorQuadrature;
  int32_t Filter = 0;
};

class TDriverState {
 public:
  TDSMagneticState Magnetic;
  TDSMasterState Master;

  // Each ignores a frame of another code or too short for its fields.
  void DecodeMasterID(const TDriverFrame& frame);
  void DecodeMagneticID(const TDriverFrame& frame);
  void DecodeSystemTemperature(const TDriverFrame& frame);
  void DecodeSampleTemperature(const TDriverFrame& frame);
  void DecodeMagneticSettings(const TDriverFrame& frame);
  void DecodeAuxWord(const TDriverFrame& frame);

  // Each resizes the frame (keeping its leading bytes) and fills code and payload.
  void EncodeMasterSettings(TDriverFrame& frame) const;
  void EncodeSampleSetpoint(TDriverFrame& frame) const;
  void EncodeMagneticSettings(TDriverFrame& frame) const;
};

}  // namespace quellar::device
