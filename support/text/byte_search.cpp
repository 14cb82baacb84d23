#include "support/text/byte_search.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Quorlin {

const char* findByte(const char* from, const char* end, char byte) {
#ifdef __SSE2__
  const __m128i wanted = _mm_set1_epi8(byte);
  const auto hitsIn = [&](const char* at) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), wanted);
  };
  // 64 bytes a step while nothing is found; the block with the hit is then
  // found 16 bytes at a time.
  for (; end - from >= 64; from += 64) {
    const __m128i any = _mm_or_si128(_mm_or_si128(hitsIn(from), hitsIn(from + 16)),
                                     _mm_or_si128(hitsIn(from + 32), hitsIn(from + 48)));
    if (_mm_movemask_epi8(any)) break;
  }
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

const char* findText(const char* from, const char* end, std::string_view text) {
  while ((from = findByte(from, end, text[0])) != end) {
    if (static_cast<size_t>(end - from) < text.size()) return end;
    if (std::memcmp(from, text.data(), text.size()) == 0) return from;
    ++from;
  }
  return end;
}

}  // namespace Quorlin
