// quellar fit: one of the MathProcessor's built-in regressions on CSV points (x,y per line),
// printing the coefficients by the names of the model's formula.
#include <CLI/CLI.hpp>
#include <iostream>

#include "Commands.h"
#include "MathClient.h"

namespace quellar::tool {

namespace {

using Regression = HRESULT (IMathProcessor::*)(IDoubleArray*, IDoubleArray*, IDoubleArray*,
                                               VARIANT_BOOL*);
struct Model {
  const char* name;
  const char* formula;
  Regression method;
  std::vector<const char*> coefficients;  // in the order the object returns them
};

const Model kModels[] = {
    {"exp", "y = A*exp(-B*x)", &IMathProcessor::RegressionExp, {"A", "B"}},
    {"expconst", "y = A*exp(-B*x) + C", &IMathProcessor::RegressionExpConst, {"C", "A", "B"}},
    {"linear", "y = A + B*x", &IMathProcessor::RegressionLinear, {"A", "B"}},
    {"power", "y = A*x^B", &IMathProcessor::RegressionPower, {"A", "B"}},
    {"hill", "y = A*x^B/(C^B + x^B)", &IMathProcessor::RegressionHill, {"A", "C", "B"}},
};

class FitCommand final : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand("fit", "Fit a built-in model to CSV points (x,y per line)");
    std::vector<std::string> names;
    for (const Model& m : kModels) names.push_back(m.name);
    sub->add_option("MODEL", model_, "exp, expconst, linear, power or hill")
        ->required()
        ->check(CLI::IsMember(names));
    sub->add_option("FILE", file_, "CSV file, or - for standard input")->required();
    sub->add_flag("--json", json_, "Print one JSON object");
    sub->footer(
        "Models: exp y = A*exp(-B*x); expconst y = A*exp(-B*x) + C; linear y = A + B*x; "
        "power y = A*x^B; hill y = A*x^B/(C^B + x^B). A fit that fails exits with 1.\n" +
        std::string(kExitStatusHelp));
    return sub;
  }

  int Run() override {
    const Model* model = nullptr;
    for (const Model& m : kModels)
      if (model_ == m.name) model = &m;
    const Columns points = ReadColumns(file_, 2, 2);
    if (!points.error.empty()) {
      std::cerr << "quellar: error: " << points.error << "\n";
      return kExitUsage;
    }
    Object<IMathProcessor> math("Quellar.MathProcessor", IID_IMathProcessor);
    if (!math.get()) {
      std::cerr << "quellar: error: cannot create Quellar.MathProcessor\n";
      return kExitRefused;
    }
    Array x(points.values[0]), y(points.values[1]), coeffs;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED((math.get()->*model->method)(x.get(), y.get(), coeffs.get(), &ok)) || !ok) {
      std::cerr << "quellar: error: the " << model->name << " fit failed on "
                << points.values[0].size() << " points\n";
      return kExitRefused;
    }
    const std::vector<double> c = coeffs.Values();
    if (json_) {
      std::cout << "{\"model\": \"" << model->name << "\", \"formula\": \"" << model->formula
                << "\", \"points\": " << points.values[0].size();
      for (size_t i = 0; i < c.size(); ++i)
        std::cout << ", \"" << model->coefficients[i] << "\": " << Number(c[i]);
      std::cout << "}\n";
    } else {
      std::cout << "model: " << model->formula << "\npoints: " << points.values[0].size() << "\n";
      for (size_t i = 0; i < c.size(); ++i)
        std::cout << model->coefficients[i] << ": " << Number(c[i]) << "\n";
    }
    return kExitOk;
  }

 private:
  std::string model_, file_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeFitCommand() {
  return std::make_unique<FitCommand>();
}

}  // namespace quellar::tool
