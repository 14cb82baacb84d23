#include "plugin/params.h"

#include "hostapi/item_text.h"

namespace Vardok {

namespace {

size_t skipToBreak(const std::string& text, size_t from) {
  while (from < text.size() && !endsVisibleText(text[from])) ++from;
  return from;
}

}  // namespace

std::string SetParam(const std::string& text, const std::string& key, const std::string& value) {
  size_t start = text.find('\x04');
  if (start == std::string::npos) start = 0;

  if (key.empty()) return value + text.substr(skipToBreak(text, start));

  const size_t at = text.find(key, start);
  if (at == std::string::npos) return text + key + value;
  // For a key that starts with 26 the scan stops at once, so the old pair
  // is kept behind the new one.
  const size_t rest = skipToBreak(text, at);
  return text.substr(0, at) + key + value + text.substr(rest);
}

bool HasParam(const std::string& text, const std::string& key) {
  if (!key.empty()) return text.find(key) != std::string::npos;
  return text.empty() || !endsVisibleText(text[0]);
}

}  // namespace Vardok
