// Example client: one measurement on the analyzer at COM port N (default 7). It opens the
// controller, reads the analyzer's state, sends a free-induction program (a 90 degree impulse
// and 200 samples 1 us apart), runs four averaged analyses and prints the first samples with
// their time marks. On Linux the port is the device named by QUELLAR_COM<N>, for example a
// virtual analyzer started with `quellar sim --link /tmp/quellar-com7`.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ClientCom.h"

namespace {

// Holds one reference and releases it.
template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

std::string Text(BSTR text) {
  std::string out;
  for (UINT i = 0; text && i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
  return out;
}

bool Failed(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return false;
  std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
  return true;
}

int Measure(LONG port) {
  Ref<IController> controller;
  if (Failed(ClientCreate("Quellar.Controller", IID_IController, controller.out()), "Create"))
    return 1;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (Failed(controller->Open(port, &ok), "Open") || ok != VARIANT_TRUE) {
    std::fprintf(stderr, "No analyzer answers on COM%ld\n", static_cast<long>(port));
    return 1;
  }

  Ref<IState> state;
  controller->get_State(&state.p);
  BSTR master = nullptr, magnetic = nullptr;
  double sample = 0, system = 0;
  state->get_MasterID(&master);
  state->get_MagneticID(&magnetic);
  state->get_SampleTemperature(&sample);
  state->get_SystemTemperature(&system);
  std::printf("master unit   %s\nmagnetic unit %s\nsample %.1f C, system %.1f C\n",
              Text(master).c_str(), Text(magnetic).c_str(), sample, system);
  SysFreeString(master);
  SysFreeString(magnetic);

  Ref<IManager> manager;
  controller->get_Manager(&manager.p);
  manager->SetDetector(DETECTOR_QUADRATURE, &ok);
  manager->SetFilter(FILTER_300KGZ, &ok);

  Ref<ICompiler> compiler;
  controller->get_Compiler(&compiler.p);
  compiler->Clear();
  compiler->AddImpulse(3300, IMPULSE_PHASE_0, 8000);
  compiler->AddReading(200000, 1000);
  compiler->AddSilence(100000000);  // let the sample relax before the next run
  if (Failed(compiler->Send(&ok), "Send") || ok != VARIANT_TRUE) {
    std::fprintf(stderr, "The analyzer did not take the program\n");
    return 1;
  }

  Ref<IAnalysis> analysis;
  controller->get_Analysis(&analysis.p);
  if (Failed(analysis->Execute(5000, 0, 4, 0.0, &ok), "Execute") || ok != VARIANT_TRUE) {
    std::fprintf(stderr, "The analysis failed\n");
    return 1;
  }
  Ref<IDoubleArray> marks, re, im;
  ClientCreate("Quellar.DoubleArray", IID_IDoubleArray, marks.out());
  ClientCreate("Quellar.DoubleArray", IID_IDoubleArray, re.out());
  ClientCreate("Quellar.DoubleArray", IID_IDoubleArray, im.out());
  compiler->GetAllMarkers(marks.p);
  analysis->GetAllSamplesRE(re.p);
  analysis->GetAllSamplesIM(im.p);
  LONG count = 0;
  analysis->get_Count(&count);
  std::printf("%ld samples, mean of 4 runs\n    time/ns       re       im\n",
              static_cast<long>(count));
  for (LONG i = 0; i < count && i < 10; ++i) {
    double t = 0, x = 0, y = 0;
    marks->get_Item(i, &t);
    re->get_Item(i, &x);
    im->get_Item(i, &y);
    std::printf("%11.0f %8.1f %8.1f\n", t, x, y);
  }
  controller->Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const LONG port = argc > 1 ? std::atol(argv[1]) : 7;
  if (!ClientStart()) return 1;
  const int rc = Measure(port);
  ClientStop();
  return rc;
}
