#include "tools/check/remote_text.h"

namespace VardokCheck {

namespace {

constexpr std::string_view kOpening = "<velkaro:";
constexpr std::string_view kClosing = "</velkaro:";

}  // namespace

std::string withoutTags(std::string text) {
  for (const std::string_view tag : {kOpening, kClosing})
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) text[at] = '(';
  return text;
}

std::string remoteText(std::string_view text, size_t most) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() < most ? text.size() : most);
  bool cut = false;
  for (size_t i = 0; i < text.size() && !cut; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::string piece;
    if (c == '\n') {
      piece = "\\n";
    } else if (c == '\r') {
      piece = "\\r";
    } else if (c == '\t') {
      piece = "\\t";
    } else if (c < 0x20 || c == 0x7f || c == '|') {
      // '|' too: it would start performance data of the server's making.
      piece = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    } else {
      piece = static_cast<char>(c);
    }
    if (out.size() + piece.size() > most) {
      cut = true;
      break;
    }
    out += piece;
  }
  if (cut) {
    // Never half a character of UTF-8: a lead byte whose continuation
    // bytes did not all fit goes too.
    size_t lead = out.size();
    while (lead > 0 && (static_cast<unsigned char>(out[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0) {
      const unsigned char first = static_cast<unsigned char>(out[lead - 1]);
      const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
      if (length > 1 && out.size() - (lead - 1) < length) out.resize(lead - 1);
    }
    out += "...";
  }
  return withoutTags(std::move(out));
}

}  // namespace VardokCheck
