// The grammar of the texts of the host's interface items, for the plug-in
// that writes them (plugin/params.h: SetParam) and the hosts that read them.
//
// An item text is its visible text, then parameters: character 26
// (kParamMark), a key, '=' and a value, up to the next mark. A character
// below 8, or 26, ends the visible text. A host reads the first pair of a
// key (SetParam writes a new pair in front of the old one).
//
// Plain functions over Windows-1250 bytes; any thread.
#pragma once

#include <string>

#include "hostapi/protocol.h"

namespace Vardok {

// Whether c ends the visible text of an item text.
inline bool endsVisibleText(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 8 || c == kParamMark;
}

// The visible part of an item text.
inline std::string visibleItemText(const std::string& text) {
  size_t end = 0;
  while (end < text.size() && !endsVisibleText(text[end])) ++end;
  return text.substr(0, end);
}

// The value of the key's first parameter ("" when it has none).
inline std::string itemParam(const std::string& text, const std::string& key) {
  const std::string marker = std::string(1, kParamMark) + key + "=";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return std::string();
  const size_t from = at + marker.size();
  const size_t end = text.find(kParamMark, from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

}  // namespace Vardok
