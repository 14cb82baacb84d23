#include "host/lib/display_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <unordered_set>

#include "protocol/result_protocol.h"

namespace VardokHost {

namespace {

constexpr size_t kLongestTag = 1024;
constexpr size_t kLongestEntity = 12;
constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kEllipsis = "...";

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// One character of UTF-8 at text[*at], moving *at past it. A byte that
// starts no well-formed sequence (a stray continuation, an overlong form, a
// surrogate, a cut end) is U+FFFD and one byte.
char32_t nextCharacter(std::string_view text, size_t* at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*at);
  if (lead < 0x80) {
    ++*at;
    return lead;
  }
  size_t length = 0;
  char32_t c = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, least = 0x10000;
  }
  bool wellFormed = length != 0 && *at + length <= text.size();
  for (size_t i = 1; wellFormed && i < length; ++i) {
    wellFormed = (byte(*at + i) & 0xC0) == 0x80;
    c = (c << 6) | (byte(*at + i) & 0x3F);
  }
  if (!wellFormed || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++*at;
    return kReplacement;
  }
  *at += length;
  return c;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Characters that steer or hide text rather than show it: the C0 and C1
// controls, DEL, the soft hyphen, zero-width and direction marks, the
// direction embeddings, overrides and isolates (which could turn a line
// around), the byte order mark and the interlinear annotation marks.
bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

bool isLineBreak(char32_t c) { return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x2028 || c == 0x2029; }

bool isSpace(char32_t c) {
  return c == ' ' || c == '\t' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The cleaned text as it is written: a space or a line break waits until
// something visible follows it, so that runs collapse and nothing is left
// at either end.
class Writer {
 public:
  Writer(size_t maxBytes, size_t maxChars, bool firstLineOnly)
      : _maxBytes(maxBytes), _maxChars(maxChars), _firstLineOnly(firstLineOnly) {}

  bool full() const { return _full; }
  void space() { _space = true; }
  void lineBreak() {
    if (_out.empty()) return;
    if (_firstLineOnly) _full = true;
    _break = true;
  }
  void put(char32_t c) {
    if (_full) return;
    if (isLineBreak(c)) return lineBreak();
    if (isSpace(c)) return space();
    if (isControl(c)) return;
    const bool parted = !_out.empty() && (_break || _space);
    const size_t chars = parted ? 2 : 1;
    const size_t bytes = (parted ? 1 : 0) + (c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4);
    if (_chars + chars > _maxChars || _out.size() + bytes + kEllipsis.size() > _maxBytes) return cut();
    if (parted) _out += _break ? '\n' : ' ';
    appendUtf8(_out, c);
    _chars += chars;
    _space = _break = false;
  }
  std::string take() { return std::move(_out); }

 private:
  void cut() {
    _out += kEllipsis.substr(0, _maxBytes > _out.size() ? _maxBytes - _out.size() : 0);
    _full = true;
  }

  const size_t _maxBytes, _maxChars;
  const bool _firstLineOnly;
  std::string _out;
  size_t _chars = 0;
  bool _space = false, _break = false, _full = false;
};

// The common named entities; an unknown name is left as it stands.
char32_t namedEntity(std::string_view name) {
  static const struct {
    std::string_view name;
    char32_t c;
  } kNamed[] = {{"amp", '&'},       {"lt", '<'},       {"gt", '>'},       {"quot", '"'},     {"apos", '\''},
                {"nbsp", 0xA0},     {"copy", 0xA9},    {"reg", 0xAE},     {"trade", 0x2122}, {"hellip", 0x2026},
                {"ndash", 0x2013},  {"mdash", 0x2014}, {"laquo", 0xAB},   {"raquo", 0xBB},   {"euro", 0x20AC},
                {"deg", 0xB0},      {"middot", 0xB7},  {"bull", 0x2022},  {"lsquo", 0x2018}, {"rsquo", 0x2019},
                {"ldquo", 0x201C},  {"rdquo", 0x201D}, {"times", 0xD7},   {"shy", 0xAD},     {"sect", 0xA7}};
  for (const auto& entity : kNamed)
    if (entity.name == name) return entity.c;
  return 0;
}

// An entity at text[at] ('&'), "&name;", "&#233;" or "&#xE9;": its
// character and *end past it, or 0 when there is none there. A number
// that is no character is U+FFFD.
char32_t readEntity(std::string_view text, size_t at, size_t* end) {
  size_t semicolon = at + 1;
  while (semicolon < text.size() && semicolon - at <= kLongestEntity && text[semicolon] != ';') ++semicolon;
  if (semicolon >= text.size() || text[semicolon] != ';' || semicolon == at + 1) return 0;
  const std::string_view name = text.substr(at + 1, semicolon - at - 1);
  *end = semicolon + 1;
  if (name[0] != '#') return namedEntity(name);
  const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return 0;
  uint32_t value = 0;
  for (char d : digits) {
    const int digit = isAsciiDigit(d) ? d - '0' : hex && isAsciiLetter(d) && lowerAscii(d) <= 'f' ? lowerAscii(d) - 'a' + 10 : -1;
    if (digit < 0) return 0;
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return kReplacement;
  return value;
}

// Where "</name" next begins at or after from, any case; npos when never.
size_t findClosing(std::string_view text, std::string_view name, size_t from) {
  for (size_t at = text.find("</", from); at != std::string_view::npos; at = text.find("</", at + 2)) {
    size_t i = 0;
    while (i < name.size() && at + 2 + i < text.size() && lowerAscii(text[at + 2 + i]) == name[i]) ++i;
    if (i == name.size()) return at;
  }
  return std::string_view::npos;
}

// The '>' that ends a tag whose name ends at from: outside a quoted
// attribute value, within kLongestTag of the tag's start, before any
// other '<' (also inside quotes, so that no '<' is looked at twice); npos
// when there is none.
size_t tagEnd(std::string_view text, size_t start, size_t from) {
  const size_t limit = std::min(text.size(), start + kLongestTag);
  char quote = 0;
  bool afterEquals = false;
  for (size_t i = from; i < limit; ++i) {
    const char c = text[i];
    if (c == '<') return std::string_view::npos;
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '>') {
      return i;
    } else if ((c == '"' || c == '\'') && afterEquals) {
      quote = c;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      afterEquals = c == '=';
    }
  }
  return std::string_view::npos;
}

bool partsLines(std::string_view name) {
  static const std::unordered_set<std::string_view> kBlocks = {
      "br",      "p",     "div",    "h1",     "h2",        "h3",       "h4",     "h5",     "h6",      "li",
      "ul",      "ol",    "dl",     "dt",     "dd",        "tr",       "table",  "thead",  "tbody",   "tfoot",
      "title",   "hr",    "pre",    "blockquote", "section", "article", "header", "footer", "nav",    "main",
      "aside",   "form",  "fieldset", "legend", "address", "figure",   "figcaption", "body", "head",  "html",
      "center",  "option", "textarea", "caption"};
  return kBlocks.count(name) != 0;
}

// Markup at text[at] ('<'): acts on it (line breaks, a space) and answers
// where the text goes on after it, or 0 when the '<' is text. lastIconClose
// is where the text's last closing icon tag begins (npos: none), so that an
// icon tag left open is passed over without a search through the rest.
size_t skipMarkup(std::string_view text, size_t at, size_t lastIconClose, Writer& out) {
  if (text.compare(at, 4, "<!--") == 0) {
    const size_t end = text.find("-->", at + 4);
    return end == std::string_view::npos ? text.size() : end + 3;
  }
  size_t i = at + 1;
  const bool closing = i < text.size() && text[i] == '/';
  if (closing) ++i;
  if (i >= text.size()) return 0;
  const bool declaration = !closing && (text[i] == '!' || text[i] == '?');
  if (!declaration && !isAsciiLetter(text[i])) return 0;
  size_t nameEnd = declaration ? i + 1 : i;
  char lowered[16];
  size_t nameLength = 0;
  while (nameEnd < text.size() && (isAsciiLetter(text[nameEnd]) || isAsciiDigit(text[nameEnd]) ||
                                   text[nameEnd] == ':' || text[nameEnd] == '-' || text[nameEnd] == '_')) {
    if (nameLength < sizeof lowered) lowered[nameLength] = lowerAscii(text[nameEnd]);
    ++nameLength, ++nameEnd;
  }
  // A name too long for any this reader knows stands for none of them.
  const std::string_view name(lowered, nameLength <= sizeof lowered ? nameLength : 0);
  const size_t end = tagEnd(text, at, nameEnd);
  if (end == std::string_view::npos) return 0;
  const std::string_view tag = text.substr(at, end + 1 - at);

  // The result tags part lines; the icon's number is nothing to read.
  static const struct {
    std::string opening, closing;
    bool read;
  } kResultTags[] = {{Vardok::openingTag(Vardok::kInfoTag), Vardok::closingTag(Vardok::kInfoTag), true},
                     {Vardok::openingTag(Vardok::kNotifyTag), Vardok::closingTag(Vardok::kNotifyTag), true},
                     {Vardok::openingTag(Vardok::kIconTag), Vardok::closingTag(Vardok::kIconTag), false}};
  static const std::string kResultPrefix = kResultTags[0].opening.substr(1, kResultTags[0].opening.find(':'));
  for (const auto& result : kResultTags) {
    if (name.compare(0, kResultPrefix.size(), kResultPrefix) != 0) break;
    if (tag != result.opening && tag != result.closing) continue;
    out.lineBreak();
    if (result.read || closing) return end + 1;
    if (lastIconClose == std::string_view::npos || lastIconClose <= end) return end + 1;
    const size_t value = text.find(result.closing, end + 1);
    return value == std::string_view::npos ? end + 1 : value + result.closing.size();
  }
  // Scripts and styles are no text at all.
  if (!closing && (name == "script" || name == "style")) {
    const size_t close = findClosing(text, name, end + 1);
    if (close == std::string_view::npos) return text.size();
    const size_t closeEnd = text.find('>', close);
    return closeEnd == std::string_view::npos ? text.size() : closeEnd + 1;
  }
  if (name == "td" || name == "th")
    out.space();
  else if (partsLines(name))
    out.lineBreak();
  return end + 1;
}

std::string clean(std::string_view text, Writer out) {
  static const std::string kIconClose = Vardok::closingTag(Vardok::kIconTag);
  const size_t lastIconClose = text.rfind(kIconClose);
  size_t at = 0;
  while (at < text.size() && !out.full()) {
    if (text[at] == '<') {
      if (const size_t next = skipMarkup(text, at, lastIconClose, out)) {
        at = next;
        continue;
      }
    } else if (text[at] == '&') {
      size_t next = 0;
      if (const char32_t c = readEntity(text, at, &next)) {
        out.put(c);
        at = next;
        continue;
      }
    }
    out.put(nextCharacter(text, &at));
  }
  return out.take();
}

}  // namespace

std::string intervalWords(int64_t seconds) {
  constexpr int64_t kHour = 3600, kDay = 24 * kHour;
  if (seconds < 0) return "about 49.7 days";
  if (seconds < kHour) return std::to_string(seconds) + " s";
  if (seconds < 2 * kDay) {
    std::string words = std::to_string(seconds / kHour) + " h";
    if (seconds % kHour / 60) words += " " + std::to_string(seconds % kHour / 60) + " min";
    if (seconds % 60) words += " " + std::to_string(seconds % 60) + " s";
    return words;
  }
  if (seconds % kDay == 0) return std::to_string(seconds / kDay) + " days";
  // Tenths of a day, rounded.
  const int64_t tenths = (seconds * 10 + kDay / 2) / kDay;
  return "about " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " days";
}

std::string displayText(std::string_view utf8, size_t maxBytes) {
  return clean(utf8, Writer(maxBytes, std::numeric_limits<size_t>::max(), false));
}

std::string displayLine(std::string_view utf8, size_t maxChars) {
  return clean(utf8, Writer(std::numeric_limits<size_t>::max(), maxChars, true));
}

std::string runTimeWords(double ms) {
  char text[32];
  if (ms < 10)
    std::snprintf(text, sizeof text, "%.1f ms", ms);
  else if (ms < 10000)
    std::snprintf(text, sizeof text, "%.0f ms", ms);
  else
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000);
  return text;
}

std::string uptimeText(double ratio) {
  if (!(ratio >= 0 && ratio <= 1)) return "-";
  if (ratio == 1) return "100%";
  if (ratio == 0) return "0%";
  // Two decimals, cut rather than rounded at the ends: 99.999% is not 100%.
  double percent = std::floor(ratio * 10000) / 100;
  if (percent <= 0) percent = 0.01;
  char text[16];
  std::snprintf(text, sizeof text, "%.2f%%", percent);
  return text;
}

}  // namespace VardokHost
