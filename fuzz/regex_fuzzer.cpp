// Drives Quorlin::RegEx with arbitrary patterns, subjects and templates:
// compile, match, every sub-match, expansion and replacement.
//
// Input: pattern 0x01 subject 0x01 template; the template's first byte, if
// any, picks the replacement limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/regex/regex.h"

using Quorlin::RegEx;

namespace {

std::string nextPart(const std::string& data, size_t& position) {
  const size_t end = data.find('\x01', position);
  std::string part = data.substr(position, end == std::string::npos ? std::string::npos : end - position);
  position = end == std::string::npos ? data.size() : end + 1;
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  size_t position = 0;
  const std::string pattern = nextPart(data, position);
  const std::string subject = nextPart(data, position);
  const std::string replacement = nextPart(data, position);
  const int limit = replacement.empty() ? 0 : static_cast<int8_t>(replacement[0]) % 4;

  try {
    RegEx regex;
    const int count = regex.match(pattern, subject);
    for (int i = -1; i <= count + 1; ++i) regex.getSub(i);
    regex.expandReplacement(replacement);
    regex.replace(replacement, limit);
    regex.setSubject(subject + subject);
    regex.replace(replacement, 0);
  } catch (const RegEx::CompileException& e) {
    if (!e.message) __builtin_trap();
  }
  return 0;
}
