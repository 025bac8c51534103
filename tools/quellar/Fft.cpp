// quellar fft: the normalised discrete Fourier transform of a CSV signal (real[,imaginary]
// per line) through the library's MathProcessor, one "bin,re,im,amplitude" line per bin.
#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>

#include "Commands.h"
#include "MathClient.h"

namespace quellar::tool {

namespace {

class FftCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "fft", "Fourier transform of a signal in CSV (real[,imaginary] per line), normalised by N");
    sub->add_option("FILE", file_, "CSV file, or - for standard input")->required();
    sub->footer(kExitStatusHelp);
    return sub;
  }

  int Run() override {
    const Columns signal = ReadColumns(file_, 2, 1);
    if (!signal.error.empty()) {
      std::cerr << "quellar: error: " << signal.error << "\n";
      return kExitUsage;
    }
    Object<IMathProcessor> math("Quellar.MathProcessor", IID_IMathProcessor);
    if (!math.get()) {
      std::cerr << "quellar: error: cannot create Quellar.MathProcessor\n";
      return kExitRefused;
    }
    Array re(signal.values[0]), im(signal.values[1]), outRe, outIm;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(math->FFT(re.get(), im.get(), outRe.get(), outIm.get(), &ok)) || !ok) {
      std::cerr << "quellar: error: no transform (an empty signal?)\n";
      return kExitRefused;
    }
    const std::vector<double> r = outRe.Values(), i = outIm.Values();
    std::cout << "bin,re,im,amplitude\n";
    for (size_t k = 0; k < r.size(); ++k)
      std::cout << k << "," << Number(r[k]) << "," << Number(i[k]) << ","
                << Number(std::hypot(r[k], i[k])) << "\n";
    return kExitOk;
  }

 private:
  std::string file_;
};

}  // namespace

std::unique_ptr<Command> MakeFftCommand() {
  return std::make_unique<FftCommand>();
}

}  // namespace quellar::tool
