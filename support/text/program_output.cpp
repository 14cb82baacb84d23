#include "support/text/program_output.h"

#include <algorithm>

#include <windows.h>

#include "support/text/byte_search.h"

namespace Quorlin {

namespace {

constexpr size_t kFirstChunk = 250;

bool isUtf16(const std::string& raw, bool* hasMark) {
  *hasMark = raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE';
  if (*hasMark) return true;
  const size_t first = std::min(raw.size(), kFirstChunk);
  if (first < 2) return false;
  for (size_t i = 1; i < first; i += 2)
    if (raw[i] != '\0') return false;
  return true;
}

std::string fromUtf16(const std::string& raw, size_t skip) {
  const auto* wide = reinterpret_cast<const wchar_t*>(raw.data() + skip);
  const int count = static_cast<int>((raw.size() - skip) / 2);
  if (count == 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, wide, count, &text[0], bytes, nullptr, nullptr);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

}  // namespace

std::string narrowOutput(std::string raw) {
  bool hasMark = false;
  if (isUtf16(raw, &hasMark)) return fromUtf16(raw, hasMark ? 2 : 0);
  const char* const end = raw.data() + raw.size();
  if (findByte(raw.data(), end, '\0') != end) raw.erase(std::remove(raw.begin(), raw.end(), '\0'), raw.end());
  return raw;
}

}  // namespace Quorlin
