#include "host/history/perf_data.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace VardokHost {

namespace {

bool space(char c) { return c == ' ' || c == '\t'; }

// A decimal number as the whole of text ("36.1", "-2", "1e3"); false for
// anything else.
bool number(std::string_view text, double* value) {
  if (text.empty() || text.size() > 64) return false;
  const std::string copy(text);
  char* end = nullptr;
  *value = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size() && std::isfinite(*value) && copy.find_first_of("xXnN") == std::string::npos;
}

struct Unit {
  const char* printed;
  const char* base;
  double factor;
};

constexpr Unit kUnits[] = {
    {"s", "seconds", 1},          {"ms", "seconds", 1e-3},
    {"us", "seconds", 1e-6},      {"%", "ratio", 1e-2},
    {"B", "bytes", 1},            {"KB", "bytes", 1024.0},
    {"MB", "bytes", 1048576.0},   {"GB", "bytes", 1073741824.0},
    {"TB", "bytes", 1099511627776.0}, {"c", "", 1},
};

}  // namespace

std::vector<PerfValue> perfValues(std::string_view output, size_t maxItems) {
  std::vector<PerfValue> values;
  const size_t lineEnd = output.find_first_of("\r\n");
  std::string_view line = output.substr(0, lineEnd);
  const size_t bar = line.find('|');
  if (bar == std::string_view::npos) return values;
  line.remove_prefix(bar + 1);
  size_t at = 0;
  while (at < line.size() && values.size() < maxItems) {
    while (at < line.size() && space(line[at])) ++at;
    if (at >= line.size()) break;
    // The label: quoted, or up to '='.
    std::string label;
    if (line[at] == '\'') {
      ++at;
      for (; at < line.size(); ++at) {
        if (line[at] == '\'') {
          if (at + 1 < line.size() && line[at + 1] == '\'') {
            label += '\'';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        label += line[at];
      }
    } else {
      while (at < line.size() && line[at] != '=' && !space(line[at])) label += line[at++];
    }
    // The rest of the item, to the next space.
    size_t end = at;
    while (end < line.size() && !space(line[end])) ++end;
    const std::string_view rest = line.substr(at, end - at);
    at = end;
    if (rest.empty() || rest[0] != '=' || label.empty()) continue;
    std::string_view value = rest.substr(1, rest.find(';') == std::string_view::npos ? std::string_view::npos
                                                                                      : rest.find(';') - 1);
    // The unit is what follows the number.
    size_t digits = value.size();
    while (digits > 0 && !(value[digits - 1] >= '0' && value[digits - 1] <= '9') && value[digits - 1] != '.') --digits;
    const std::string_view unit = value.substr(digits);
    double parsed;
    if (!number(value.substr(0, digits), &parsed)) continue;
    PerfValue item;
    item.label = label;
    item.value = parsed;
    for (const Unit& known : kUnits)
      if (unit == known.printed) {
        item.value = parsed * known.factor;
        item.unit = known.base;
      }
    values.push_back(item);
  }
  return values;
}

}  // namespace VardokHost
