#include <windows.h>

#include "tools/check/checks.h"

namespace VardokCheck {

std::string expandEnvironment(const std::string& text) {
  if (text.find('%') == std::string::npos) return text;
  std::string out(32768, '\0');
  const DWORD length = ExpandEnvironmentStringsA(text.c_str(), &out[0], static_cast<DWORD>(out.size()));
  if (length == 0 || length > out.size()) return text;
  out.resize(length - 1);
  return out;
}

double nowMs() {
  static const double perMs = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / perMs;
}

}  // namespace VardokCheck
