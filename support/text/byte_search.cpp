#include "support/text/byte_search.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Quorlin {

const char* findByte(const char* from, const char* end, char byte) {
#ifdef __SSE2__
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

const char* findText(const char* from, const char* end, std::string_view text) {
  while ((from = findByte(from, end, text[0])) != end) {
    if (static_cast<size_t>(end - from) < text.size()) return end;
    if (std::memcmp(from, text.data(), text.size()) == 0) return from;
    ++from;
  }
  return end;
}

}  // namespace Quorlin
