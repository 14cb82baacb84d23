#include "checks/result_tags.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace Vardok {

namespace {

// strtoul with a 32-bit unsigned long, whatever the platform's width.
uint32_t strtoul32(const char* text, int base) {
  errno = 0;
  unsigned long value = strtoul(text, nullptr, base);
#if ULONG_MAX > 0xFFFFFFFFul
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const unsigned long magnitude = *p == '-' ? 0ul - value : value;
  if (errno == ERANGE || magnitude > 0xFFFFFFFFul) value = 0xFFFFFFFFul;
#endif
  return static_cast<uint32_t>(value);
}

}  // namespace

int32_t parseNumber(const std::string& text, int base) {
  const char* p = text.c_str();
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  if (base == 255) {
    if (*p == '#') {
      ++p;
      base = 16;
    } else if (p[0] == '0' && p[1] == 'x') {
      p += 2;
      base = 16;
    } else {
      base = 10;
    }
  }
  if (base < 0 || base == 1 || base > 36) return 0;  // strtoul would read nothing
  const uint32_t value = strtoul32(p, base);
  return static_cast<int32_t>(negative ? 0u - value : value);
}

uint8_t statusOf(int32_t exitCode) {
  switch (exitClassOf(exitCode)) {
    case ExitClass::Well: return kStatusOk;
    case ExitClass::Problem: return kStatusProblem;
    case ExitClass::Critical: break;
  }
  return kStatusCritical;
}

}  // namespace Vardok
