#pragma once
// TQuellarCompiler, the Compiler class: the client's impulse program. It converts the
// client's doubles and degrees for the program model, compiles the program into program code
// and sends, saves or copies the code, and hands out the time marks of the last compilation.
#include <cstdint>
#include <vector>

#include "automation/objects/ChildObject.h"
#include "program/DrvCompilerBytecode.h"

namespace quellar::automation {

class TQuellarCompiler final : public TChildObject<ICompiler> {
 public:
  explicit TQuellarCompiler(DeviceLinkPtr link);

  HRESULT STDMETHODCALLTYPE get_TimeMarks(VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE Clear() override;
  HRESULT STDMETHODCALLTYPE AddImpulse(DOUBLE Duration, LONG Phase, DOUBLE Silence) override;
  HRESULT STDMETHODCALLTYPE AddSilence(DOUBLE Duration) override;
  HRESULT STDMETHODCALLTYPE AddReading(DOUBLE Duration, DOUBLE Interval) override;
  HRESULT STDMETHODCALLTYPE Send(VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE SendIdle(VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE Save(BSTR FileName) override;
  HRESULT STDMETHODCALLTYPE Load(BSTR FileName, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE GetAllMarkers(IDoubleArray* Values) override;
  HRESULT STDMETHODCALLTYPE SaveToByteArray(IByteArray* CompiledProgram) override;
  HRESULT STDMETHODCALLTYPE LoadFromByteArray(IByteArray* CompiledProgram,
                                              VARIANT_BOOL* Success) override;

 private:
  // Compiles the program (the time marks are replaced either way); false when the code would
  // be longer than the analyzer takes.
  bool CompileCode(bool idle, std::vector<uint8_t>& code);
  HRESULT CompileAndSend(Tag tag, bool idle, VARIANT_BOOL* success);
  HRESULT TooLong() const;
  std::vector<double> Marks() const;

  program::TProgramCompilerBytecode program_;
};

}  // namespace quellar::automation
