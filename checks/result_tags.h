// Reading a check's output: line endings, result tags and numbers.
// Platform-free; any thread.
//
// A result tag is "<velkaro:KEY>VALUE</velkaro:KEY>" anywhere in the output,
// with KEY one of "info", "notify", "icon" in lower case. The first tag of a
// key counts; its value (at least one character, may span lines) ends at the
// first closing tag of the same key. Tags stay in the output.
#pragma once

#include <cstdint>
#include <string>

#include "hostapi/protocol.h"

namespace Vardok {

// Replaces every occurrence of find, left to right; the inserted text is
// never searched again. Answers the number of replacements (0 for an empty
// find). Linear in the text's length.
int replaceAll(std::string& text, const std::string& find, const std::string& replacement);

// CR LF becomes LF, then every LF becomes CR LF; a lone CR stays. Reads
// 16 bytes at a time where the processor can.
void normalizeLineEndings(std::string& text);

// The value of the first tag of key, or fallback. The key goes into the
// pattern as it is. The output is read up to its first zero byte.
std::string getTagValue(const std::string& output, const std::string& key, const std::string& fallback);

// The first byte in [from, end) that equals byte, or end. Reads 16 bytes at
// a time where the processor can (the platform's memchr may not).
const char* findByte(const char* from, const char* end, char byte);

// The values of the three tags, each as getTagValue would give it, found in
// one pass over the output: info and notify fall back to the given texts,
// icon to an empty text.
struct ResultTags {
  std::string info;
  std::string notify;
  std::string icon;
};
ResultTags readTags(const std::string& output, const std::string& infoFallback, const std::string& notifyFallback);

// An integer with an optional '-' and, for base 255 (automatic), an
// optional '#' or "0x" prefix for hexadecimal; other bases are used as
// given. Reads like a 32-bit strtoul: leading white space skipped, stops at
// the first non-digit, 0 when there is none; the result wraps to 32 bits.
int32_t parseNumber(const std::string& text, int base);

// The status byte of an exit code: 0 all well, 0x41 a problem (1 to 9),
// 0x40 critical (10 and above, and every negative code).
uint8_t statusOf(int32_t exitCode);

}  // namespace Vardok
