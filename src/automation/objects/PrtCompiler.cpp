#include "automation/objects/PrtCompiler.h"

#include <algorithm>
#include <string>

#include "arrays/ArrayCore.h"
#include "automation/Bstr.h"
#include "automation/objects/ClientArrays.h"
#include "platform/Files.h"
#include "program/DrvConversions.h"

namespace quellar::automation {

namespace {
constexpr Tag kTagTimeMarks = "{D3F82574-503E-4C5F-BF02-B193A55E2F4F}";
constexpr Tag kTagClear = "{B35C2EC7-3D66-4B07-BB3E-5732DA2275FB}";
constexpr Tag kTagAddImpulse = "{A23681B4-B908-4957-8BE8-44301E73BFCF}";
constexpr Tag kTagAddSilence = "{51540A8D-7D2F-490C-BE26-DF76A6F0474A}";
constexpr Tag kTagAddReading = "{8B1DD3DE-45D4-48FE-A9C4-9A6FE567788F}";
constexpr Tag kTagSend = "{4394B9E1-F70C-41B7-A0AC-8CFC3271F707}";
constexpr Tag kTagSendIdle = "{DE40DDBE-4E7E-49A7-8661-AA603EFE0D5D}";
constexpr Tag kTagSave = "{85D498CA-A2C4-49F0-B515-A0393FD1249D}";
constexpr Tag kTagLoad = "{BBCC69D6-F975-436E-971F-8FF77C330170}";
constexpr Tag kTagGetAllMarkers = "{00923220-3D89-48A3-BB9B-DB7ACA75534E}";
constexpr Tag kTagSaveToByteArray = "{522044A0-0C5F-4AB9-8349-999694463751}";
constexpr Tag kTagLoadFromByteArray = "{4CDB799E-E7DB-4953-9AE9-02C1BFE41B72}";

bool Upload(device::TDriverController& driver, const std::vector<uint8_t>& code) {
  return driver.UploadProgram(code.data(), static_cast<int32_t>(code.size()));
}
}  // namespace

TQuellarCompiler::TQuellarCompiler(DeviceLinkPtr link)
    : TChildObject("Quellar.Compiler", std::move(link)) {}

bool TQuellarCompiler::CompileCode(bool idle, std::vector<uint8_t>& code) {
  code.clear();
  return program_.Compile(&code, idle);
}

HRESULT TQuellarCompiler::TooLong() const {
  return Failure(DISP_E_OVERFLOW, "The compiled program would be longer than " +
                                      std::to_string(program::kMaxCodeSize) + " bytes");
}

std::vector<double> TQuellarCompiler::Marks() const {
  const program::TProgramMarkers& markers = program_.Markers();
  std::vector<double> marks(static_cast<size_t>(markers.Count()));
  for (int32_t i = 0; i < markers.Count(); ++i) marks[static_cast<size_t>(i)] = markers.Mark(i);
  return marks;
}

HRESULT TQuellarCompiler::get_TimeMarks(VARIANT* Value) {
  if (!Value) return E_POINTER;
  VariantInit(Value);
  return OwnCall(kTagTimeMarks, [&]() -> HRESULT {
    if (arrays::ToVariant(Marks(), VT_R8, Value) != arrays::ArrayStatus::Ok)
      return Failure(E_OUTOFMEMORY, "Not enough memory for the time marks");
    return S_OK;
  });
}

HRESULT TQuellarCompiler::Clear() {
  return OwnCall(kTagClear, [&] { program_.Clear(); });
}

// Values the model refuses (too short, not finite, beyond 64 bits) are dropped silently.
HRESULT TQuellarCompiler::AddImpulse(DOUBLE Duration, LONG Phase, DOUBLE Silence) {
  return OwnCall(kTagAddImpulse, [&] {
    int64_t duration = 0, silence = 0;
    if (!program::RoundHalfEven(Duration, duration) ||
        !program::RoundHalfEven(std::max(Silence, program::kImpulseSilenceFloor), silence))
      return;
    program_.AddImpulse(program::PhaseCodeFromDegrees(Phase), duration, silence);
  });
}

HRESULT TQuellarCompiler::AddSilence(DOUBLE Duration) {
  return OwnCall(kTagAddSilence, [&] {
    int64_t duration = 0;
    if (program::RoundHalfEven(Duration, duration)) program_.AddSilence(duration);
  });
}

HRESULT TQuellarCompiler::AddReading(DOUBLE Duration, DOUBLE Interval) {
  return OwnCall(kTagAddReading, [&] {
    int64_t duration = 0, interval = 0;
    if (program::RoundHalfEven(Duration, duration) && program::RoundHalfEven(Interval, interval))
      program_.AddReading(duration, interval);
  });
}

HRESULT TQuellarCompiler::CompileAndSend(Tag tag, bool idle, VARIANT_BOOL* success) {
  if (!success) return E_POINTER;
  *success = VARIANT_FALSE;
  return DeviceCall(tag, [&](device::TDriverController& driver) {
    std::vector<uint8_t> code;
    // A program that does not fit is not sent at all: an empty upload would report success.
    if (CompileCode(idle, code) && Upload(driver, code)) *success = VARIANT_TRUE;
  });
}

HRESULT TQuellarCompiler::Send(VARIANT_BOOL* Success) {
  return CompileAndSend(kTagSend, false, Success);
}

HRESULT TQuellarCompiler::SendIdle(VARIANT_BOOL* Success) {
  return CompileAndSend(kTagSendIdle, true, Success);
}

HRESULT TQuellarCompiler::Save(BSTR FileName) {
  return OwnCall(kTagSave, [&]() -> HRESULT {
    std::vector<uint8_t> code;
    if (!CompileCode(false, code)) return TooLong();
    std::string error;
    if (!platform::ReplaceFile(FromBstr(FileName), code.data(), code.size(), error)) Raise(error);
    return S_OK;
  });
}

HRESULT TQuellarCompiler::Load(BSTR FileName, VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return DeviceCall(kTagLoad, [&](device::TDriverController& driver) {
    std::vector<uint8_t> code;
    std::string error;
    if (!platform::ReadWholeFile(FromBstr(FileName), code, error)) Raise(error);
    // Sent as they are: only code compiled here is held to the analyzer's limit.
    if (Upload(driver, code)) *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarCompiler::GetAllMarkers(IDoubleArray* Values) {
  return OwnCall(kTagGetAllMarkers, [&] {
    if (Values) FillDoubleArray(Values, Marks());
  });
}

HRESULT TQuellarCompiler::SaveToByteArray(IByteArray* CompiledProgram) {
  return OwnCall(kTagSaveToByteArray, [&]() -> HRESULT {
    if (!CompiledProgram) Raise(std::string("No byte array was given"), E_POINTER);
    std::vector<uint8_t> code;
    if (!CompileCode(false, code)) return TooLong();
    FillByteArray(CompiledProgram, code);
    return S_OK;
  });
}

HRESULT TQuellarCompiler::LoadFromByteArray(IByteArray* CompiledProgram, VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return DeviceCall(kTagLoadFromByteArray, [&](device::TDriverController& driver) {
    if (!CompiledProgram) Raise(std::string("No byte array was given"), E_POINTER);
    std::vector<uint8_t> code;
    // More than the upload can address is refused there anyway; no need to read it.
    if (ReadByteArray(CompiledProgram, device::TDriverController::kMaxProgramSize, code) &&
        Upload(driver, code))
      *Success = VARIANT_TRUE;
  });
}

}  // namespace quellar::automation
