#include "checks/line_endings.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Vardok {

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

}  // namespace Vardok
