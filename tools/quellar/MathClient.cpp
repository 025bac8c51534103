#include "MathClient.h"

#include <charconv>
#include <fstream>
#include <iostream>
#include <sstream>

namespace quellar::tool {

namespace {
// The numbers of one line, or false when some field is not a number.
bool ParseRow(const std::string& line, std::vector<double>& row) {
  row.clear();
  std::string text = line.substr(0, line.find('#'));
  for (char& c : text)
    if (c == ',' || c == ';' || c == '\t' || c == '\r') c = ' ';
  std::istringstream fields(text);
  std::string field;
  while (fields >> field) {
    double v = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (ec != std::errc() || end != field.data() + field.size()) return false;
    row.push_back(v);
  }
  return true;
}
}  // namespace

Columns ReadColumns(const std::string& file, size_t columns, size_t required) {
  Columns out;
  out.values.resize(columns);
  std::ifstream stream;
  if (file != "-") {
    stream.open(file);
    if (!stream) {
      out.error = "cannot read '" + file + "'";
      return out;
    }
  }
  std::istream& in = file == "-" ? std::cin : stream;
  std::string line;
  std::vector<double> row;
  bool first = true;
  for (size_t number = 1; std::getline(in, line); ++number) {
    const bool parsed = ParseRow(line, row);
    if (row.empty() && parsed) continue;
    if (!parsed && first) {  // a header
      first = false;
      continue;
    }
    first = false;
    if (!parsed || row.size() < required) {
      out.error = file + ":" + std::to_string(number) + ": expected " + std::to_string(required) +
                  " numbers";
      return out;
    }
    for (size_t c = 0; c < columns; ++c) out.values[c].push_back(c < row.size() ? row[c] : 0.0);
  }
  if (in.bad()) out.error = "cannot read '" + file + "'";
  return out;
}

Array::Array(const std::vector<double>& values)
    : Object<IDoubleArray>("Quellar.DoubleArray", IID_IDoubleArray) {
  if (!get()) return;
  get()->put_Count(static_cast<LONG>(values.size()));
  for (size_t i = 0; i < values.size(); ++i) get()->put_Item(static_cast<LONG>(i), values[i]);
}

std::vector<double> Array::Values() const {
  LONG n = 0;
  get()->get_Count(&n);
  std::vector<double> out(static_cast<size_t>(n));
  for (LONG i = 0; i < n; ++i) get()->get_Item(i, &out[static_cast<size_t>(i)]);
  return out;
}

std::string Number(double value) {
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : "nan";
}

}  // namespace quellar::tool
