#include "checks/result_tags.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "support/regex/regex.h"

namespace Vardok {

int replaceAll(std::string& text, const std::string& find, const std::string& replacement) {
  if (find.empty()) return 0;
  size_t at = text.find(find);
  if (at == std::string::npos) return 0;

  // Built into a new text: replacing in place would move the tail once per
  // occurrence. Searching on after the found text is the same as searching
  // in place after the inserted replacement.
  std::string result;
  result.reserve(text.size());
  size_t from = 0;
  int count = 0;
  while (at != std::string::npos) {
    result.append(text, from, at - from);
    result += replacement;
    from = at + find.size();
    ++count;
    at = text.find(find, from);
  }
  result.append(text, from, std::string::npos);
  text.swap(result);
  return count;
}

void normalizeLineEndings(std::string& text) {
  replaceAll(text, "\r\n", "\n");
  replaceAll(text, "\n", "\r\n");
}

std::string getTagValue(const std::string& output, const std::string& key, const std::string& fallback) {
  const std::string pattern = "/<velkaro:" + key + ">(.+?)</velkaro:" + key + ">/s";
  Quorlin::RegEx regex;
  if (regex.match(pattern, output.c_str()) > 0) return regex.getSub(1);
  return fallback;
}

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
  // Unsigned first: a negative code is a huge number, so it is critical.
  if (static_cast<uint32_t>(exitCode) >= 10) return kStatusCritical;
  return exitCode > 0 ? kStatusProblem : kStatusOk;
}

}  // namespace Vardok
