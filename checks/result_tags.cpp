#include "checks/result_tags.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

namespace {

// Line feeds with no carriage return before them, in one 16-byte block:
// bit i stands for block[i]. previous is the byte before the block.
#ifdef __SSE2__
#define VARDOK_SSE2 1
inline unsigned bareLineFeeds(const char* block, char previous) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  const unsigned lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
  if (lf == 0) return 0;
  const unsigned cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
  // A line feed is bare unless the byte before it is a carriage return.
  return lf & ~((cr << 1) | (previous == '\r' ? 1u : 0u));
}
#endif

// The same, one byte at a time.
inline bool bareLineFeedAt(const char* begin, const char* at) { return *at == '\n' && (at == begin || at[-1] != '\r'); }

// Set bits of a 16-bit mask, without a library call on processors that
// have no population-count instruction.
inline unsigned bitCount16(unsigned mask) {
  mask = mask - ((mask >> 1) & 0x5555u);
  mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
  mask = (mask + (mask >> 4)) & 0x0F0Fu;
  return (mask + (mask >> 8)) & 0x1Fu;
}

// Up to 16 bytes to dst above src, overlapping or not: both halves are
// loaded before either is stored.
template <typename Word>
inline void moveTwoWords(char* dst, const char* src, size_t n) {
  Word first, last;
  std::memcpy(&first, src, sizeof first);
  std::memcpy(&last, src + n - sizeof last, sizeof last);
  std::memcpy(dst + n - sizeof last, &last, sizeof last);
  std::memcpy(dst, &first, sizeof first);
}

inline void moveShort(char* dst, const char* src, size_t n) {
  if (n >= 8) return moveTwoWords<uint64_t>(dst, src, n);
  if (n >= 4) return moveTwoWords<uint32_t>(dst, src, n);
  if (n >= 2) return moveTwoWords<uint16_t>(dst, src, n);
  if (n == 1) *dst = *src;
}

// Moves n bytes right by a few: dst is above src and may overlap it, so
// the copy runs from the end. (The C runtime's memmove of 32-bit Windows
// copies an overlap like this one byte at a time.)
inline void moveRight(char* dst, const char* src, size_t n) {
#ifdef VARDOK_SSE2
  // Each block is loaded before any store that could reach it: stores land
  // at least one byte above the blocks they were loaded from.
  while (n > 16) {
    n -= 16;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n)));
  }
  moveShort(dst, src, n);
#else
  std::memmove(dst, src, n);
#endif
}

size_t countBareLineFeeds(const char* begin, const char* end) {
  size_t count = 0;
  const char* p = begin;
#ifdef VARDOK_SSE2
  for (; end - p >= 16; p += 16) count += bitCount16(bareLineFeeds(p, p == begin ? '\0' : p[-1]));
#endif
  for (; p < end; ++p) count += bareLineFeedAt(begin, p);
  return count;
}

}  // namespace

void normalizeLineEndings(std::string& text) {
  // The same as replacing CR LF by LF and then LF by CR LF: every LF that
  // has no CR before it gets one. One pass counts them (none to do: done);
  // then the text grows by that many bytes, within the spare room a run's
  // output buffer usually has, and is mended in place from the end: each
  // stretch after a bare LF moves right once, by the number of CRs still to
  // be put before it. Both passes read 16 bytes at a time.
  const size_t size = text.size();
  const size_t missing = countBareLineFeeds(text.data(), text.data() + size);
  if (missing == 0) return;
  if (text.capacity() < size + missing) {
    // No room: one copy into a buffer of just the size needed (growing the
    // string itself would double its capacity).
    std::string grown;
    grown.reserve(size + missing);
    grown.append(text);
    text.swap(grown);
  }
  text.resize(size + missing);
  char* const data = &text[0];
  size_t shift = missing;  // CRs still to put in
  size_t tail = size;      // [0, tail) has not moved yet
  const auto mend = [&](size_t lf) {
    moveRight(data + lf + 1 + shift, data + lf + 1, tail - lf - 1);
    data[lf + shift] = '\n';
    data[lf + shift - 1] = '\r';
    --shift;
    tail = lf;
  };
  size_t head = size;  // bytes not yet looked at: [0, head)
#ifdef VARDOK_SSE2
  // Whole blocks from the end. Whatever moves lands at or after the line
  // feed it follows, so the bytes of a block below its mended line feeds,
  // and the byte before the block, are still the ones the mask was made of.
  for (; shift > 0 && head >= 16; head -= 16) {
    const size_t block = head - 16;
    unsigned bare = bareLineFeeds(data + block, block == 0 ? '\0' : data[block - 1]);
    while (bare) {
      const unsigned at = 31u - static_cast<unsigned>(__builtin_clz(bare));
      mend(block + at);
      bare &= ~(1u << at);
    }
  }
#endif
  while (shift > 0 && head > 0) {
    --head;
    if (bareLineFeedAt(data, data + head)) mend(head);
  }
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

const char* findByte(const char* from, const char* end, char byte) {
#ifdef VARDOK_SSE2
  const __m128i wanted = _mm_set1_epi8(byte);
  for (; end - from >= 16; from += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, wanted)));
    if (hits) return from + __builtin_ctz(hits);
  }
#endif
  for (; from < end; ++from)
    if (*from == byte) return from;
  return end;
}

namespace {

// The first occurrence of text in [from, end), or end.
const char* findText(const char* from, const char* end, std::string_view text) {
  while ((from = findByte(from, end, text[0])) != end) {
    if (static_cast<size_t>(end - from) < text.size()) return end;
    if (std::memcmp(from, text.data(), text.size()) == 0) return from;
    ++from;
  }
  return end;
}

}  // namespace

ResultTags readTags(const std::string& output, const std::string& infoFallback, const std::string& notifyFallback) {
  ResultTags tags{infoFallback, notifyFallback, std::string()};
  // The output counts up to its first zero byte.
  const char* const begin = output.data();
  const char* const end = findByte(begin, begin + output.size(), '\0');

  // One pass finds the first opening tag of each key; then each value ends
  // at the first closing tag of its key at least one byte later.
  static const std::string_view kOpen = "<velkaro:";
  struct Key {
    std::string_view name;
    std::string* value;
    bool seen;
  } keys[] = {{"info", &tags.info, false}, {"notify", &tags.notify, false}, {"icon", &tags.icon, false}};
  int left = 3;
  for (const char* at = findText(begin, end, kOpen); at != end && left > 0; at = findText(at + 1, end, kOpen)) {
    const char* const name = at + kOpen.size();
    for (Key& key : keys) {
      if (key.seen || static_cast<size_t>(end - name) <= key.name.size() ||
          std::memcmp(name, key.name.data(), key.name.size()) != 0 || name[key.name.size()] != '>')
        continue;
      key.seen = true;
      --left;
      const char* const from = name + key.name.size() + 1;
      const std::string closing = "</velkaro:" + std::string(key.name) + ">";
      if (from >= end) continue;
      const char* const close = findText(from + 1, end, closing);
      if (close != end) key.value->assign(from, close - from);
    }
  }
  return tags;
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
