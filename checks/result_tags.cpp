#include "checks/result_tags.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
  // The same as replacing CR LF by LF and then LF by CR LF: every LF that
  // has no CR before it gets one. One pass to count, one to copy, and none
  // when nothing is missing.
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  size_t missing = 0;
  for (const char* lf = begin; (lf = static_cast<const char*>(std::memchr(lf, '\n', end - lf))); ++lf)
    if (lf == begin || lf[-1] != '\r') ++missing;
  if (missing == 0) return;

  std::string result(text.size() + missing, '\0');
  char* out = &result[0];
  const char* from = begin;
  for (const char* lf = begin; (lf = static_cast<const char*>(std::memchr(lf, '\n', end - lf))); ++lf) {
    if (lf != begin && lf[-1] == '\r') continue;
    std::memcpy(out, from, lf - from);
    out += lf - from;
    *out++ = '\r';
    *out++ = '\n';
    from = lf + 1;
  }
  std::memcpy(out, from, end - from);
  text.swap(result);
}

std::string getTagValue(const std::string& output, const std::string& key, const std::string& fallback) {
  // The output counts up to its first zero byte.
  const char* const begin = output.c_str();
  const size_t length = std::strlen(begin);
  // The first match can only start at the first opening tag and end at the
  // first closing tag after one byte of value: find both cheaply and let the
  // expression read just that span. Keys are plain words.
  const std::string_view text(begin, length);
  const std::string opening = "<velkaro:" + key + ">";
  const std::string closing = "</velkaro:" + key + ">";
  const size_t at = text.find(opening);
  if (at == std::string_view::npos) return fallback;
  const size_t close = text.find(closing, at + opening.size() + 1);
  if (close == std::string_view::npos) return fallback;

  const std::string pattern = "/" + opening + "(.+?)" + closing + "/s";
  Quorlin::RegEx regex;
  if (regex.match(pattern, std::string(text.substr(at, close + closing.size() - at))) > 0) return regex.getSub(1);
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
