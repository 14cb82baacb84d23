#include "checks/line_endings.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#define VARDOK_SSE2 1
#endif
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#include <tmmintrin.h>
#define VARDOK_SHUFFLE 1
#endif

namespace Vardok {

namespace {

// The text is counted, and mended in place, in pieces of this size.
constexpr size_t kPiece = 4096;

// A line feed is bare unless the byte before it is a carriage return.
inline bool bareLineFeedAt(const char* begin, const char* at) { return *at == '\n' && (at == begin || at[-1] != '\r'); }

#ifdef VARDOK_SSE2
// 0xFF in each lane of cur that holds a bare line feed; prev holds the
// byte before each lane.
inline __m128i bareLineFeedLanes(__m128i cur, __m128i prev) {
  return _mm_andnot_si128(_mm_cmpeq_epi8(prev, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(cur, _mm_set1_epi8('\n')));
}

inline __m128i load(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
inline void store(char* at, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); }

// The bytes before each lane of the block at src: the first block of the
// text has none before it, so its own bytes one lane up (lane 0 zero).
inline __m128i bytesBefore(const char* begin, const char* src, __m128i cur) {
  return src == begin ? _mm_slli_si128(cur, 1) : load(src - 1);
}
#endif

// The bare line feeds of [p, end) in the text at begin.
size_t countBareLineFeeds(const char* begin, const char* p, const char* end) {
  size_t count = 0;
#ifdef VARDOK_SSE2
  // Each lane counts its bare line feeds down from zero (a match is -1)
  // for at most 255 blocks; then the lanes are summed.
  const __m128i zero = _mm_setzero_si128();
  __m128i lanes = zero;
  const auto sum = [&] {
    const __m128i sums = _mm_sad_epu8(_mm_sub_epi8(zero, lanes), zero);
    count += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    lanes = zero;
  };
  if (end - p >= 16) {
    const __m128i first = load(p);
    lanes = bareLineFeedLanes(first, bytesBefore(begin, p, first));
    p += 16;
  }
  // Two blocks a step, 127 steps between sums (254 blocks at most a lane).
  while (end - p >= 32) {
    for (int steps = 0; steps < 127 && end - p >= 32; ++steps, p += 32) {
      lanes = _mm_add_epi8(lanes, bareLineFeedLanes(load(p), load(p - 1)));
      lanes = _mm_add_epi8(lanes, bareLineFeedLanes(load(p + 16), load(p + 15)));
    }
    sum();
  }
  if (end - p >= 16) {
    lanes = _mm_add_epi8(lanes, bareLineFeedLanes(load(p), load(p - 1)));
    p += 16;
  }
  sum();
#endif
  for (; p < end; ++p) count += bareLineFeedAt(begin, p);
  return count;
}

// --- copying [src, end) of the text at begin to dst, mended ---
// Each answers the end of what it wrote, and may write up to 16 bytes past
// it: the caller leaves that room.

char* copyMendingByBytes(const char* begin, const char* src, const char* end, char* dst) {
  for (; src < end; ++src) {
    if (bareLineFeedAt(begin, src)) *dst++ = '\r';
    *dst++ = *src;
  }
  return dst;
}

#ifdef VARDOK_SSE2
// The stretches between bare line feeds, one 16-byte store each. A
// stretch's load reaches up to 15 bytes past its block, so the last 32
// bytes go byte by byte.
char* copyMendingSse2(const char* begin, const char* src, const char* end, char* dst) {
  for (; end - src >= 32; src += 16) {
    const __m128i cur = load(src);
    unsigned bare = static_cast<unsigned>(_mm_movemask_epi8(bareLineFeedLanes(cur, bytesBefore(begin, src, cur))));
    if (bare == 0) {
      store(dst, cur);
      dst += 16;
      continue;
    }
    unsigned done = 0;  // bytes of the block written
    while (bare) {
      const unsigned at = static_cast<unsigned>(__builtin_ctz(bare));
      bare &= bare - 1;
      store(dst, load(src + done));
      dst += at - done;
      *dst++ = '\r';
      done = at;
    }
    store(dst, load(src + done));
    dst += 16 - done;
  }
  return copyMendingByBytes(begin, src, end, dst);
}
#endif

#ifdef VARDOK_SHUFFLE
// For each pattern of bare line feeds in 8 bytes: the shuffle that spreads
// the 8 bytes (lanes 0-7) with a carriage return (lane 8) before each line
// feed, and how many bytes that makes.
struct ShuffleTable {
  alignas(16) uint8_t lanes[256][16];
  uint8_t length[256];
};

constexpr ShuffleTable makeShuffleTable() {
  ShuffleTable table{};
  for (unsigned pattern = 0; pattern < 256; ++pattern) {
    unsigned out = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if (pattern & (1u << i)) table.lanes[pattern][out++] = 8;
      table.lanes[pattern][out++] = static_cast<uint8_t>(i);
    }
    table.length[pattern] = static_cast<uint8_t>(out);
    for (; out < 16; ++out) table.lanes[pattern][out] = 0x80;  // zero
  }
  return table;
}

constexpr ShuffleTable kShuffles = makeShuffleTable();

__attribute__((target("ssse3"))) inline __m128i spread(__m128i eight, unsigned pattern) {
  return _mm_shuffle_epi8(eight, _mm_load_si128(reinterpret_cast<const __m128i*>(kShuffles.lanes[pattern])));
}

// Each block as two shuffles of 8 bytes: no branch per line feed.
__attribute__((target("ssse3"))) char* copyMendingShuffle(const char* begin, const char* src, const char* end,
                                                          char* dst) {
  const __m128i cr = _mm_set1_epi8('\r');
  for (; end - src >= 16; src += 16) {
    const __m128i cur = load(src);
    const unsigned bare = static_cast<unsigned>(_mm_movemask_epi8(bareLineFeedLanes(cur, bytesBefore(begin, src, cur))));
    if (bare == 0) {
      store(dst, cur);
      dst += 16;
      continue;
    }
    const unsigned low = bare & 0xFF, high = bare >> 8;
    store(dst, spread(_mm_unpacklo_epi64(cur, cr), low));
    dst += kShuffles.length[low];
    store(dst, spread(_mm_unpackhi_epi64(cur, cr), high));
    dst += kShuffles.length[high];
  }
  return copyMendingByBytes(begin, src, end, dst);
}

bool hasShuffle() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

char* copyMending(const char* begin, const char* src, const char* end, char* dst, bool shuffle) {
#ifdef VARDOK_SHUFFLE
  if (shuffle && hasShuffle()) return copyMendingShuffle(begin, src, end, dst);
#endif
  (void)shuffle;
#ifdef VARDOK_SSE2
  return copyMendingSse2(begin, src, end, dst);
#else
  return copyMendingByBytes(begin, src, end, dst);
#endif
}

// Into a new buffer of just the mended size: one pass, for a text with no
// room to grow (it would have to be copied anyway).
void copyForward(std::string& text, size_t missing, bool shuffle) {
  const size_t size = text.size();
  std::string mended(size + missing + 16, '\0');  // room for the last stores, cut off after
  copyMending(text.data(), text.data(), text.data() + size, &mended[0], shuffle);
  mended.resize(size + missing);
  text.swap(mended);
}

// Within the text's own spare room, from the end, a piece at a time. Each
// piece goes to its place, which is at or after where it was (the CRs
// still to come all go before it), so no byte is overwritten before it has
// been read: straight there when its place starts past its own bytes (the
// CRs still to come are at least a piece's worth), else through a small
// buffer. perPiece: the bare line feeds of each piece.
void mendInPlace(std::string& text, size_t missing, const std::vector<uint32_t>& perPiece, bool shuffle) {
  const size_t size = text.size(), total = size + missing;
  text.resize(total);  // within the capacity when the caller chose this
  char* const data = &text[0];
  alignas(16) char mended[2 * kPiece + 16];
  size_t shift = missing;  // CRs still to put in
  for (size_t i = perPiece.size(); i-- > 0 && shift > 0;) {
    const size_t from = i * kPiece, head = std::min(size, from + kPiece);
    const size_t made = head - from + perPiece[i];
    shift -= perPiece[i];
    char* const place = data + from + shift;
    const size_t after = total - (from + shift + made);
    if (shift >= head - from && after >= 16) {
      // The piece's place starts past its own bytes. The copy writes up to
      // 16 bytes past its end, over the next piece's beginning: those are
      // kept aside and put back.
      char kept[16];
      std::memcpy(kept, place + made, 16);
      copyMending(data, data + from, data + head, place, shuffle);
      std::memcpy(place + made, kept, 16);
    } else {
      copyMending(data, data + from, data + head, mended, shuffle);
      std::memcpy(place, mended, made);
    }
  }
}

}  // namespace

void normalizeLineEndings(std::string& text) { normalizeLineEndings(text, LineEndingMend::Chosen); }

void normalizeLineEndings(std::string& text, LineEndingMend how) {
  const size_t size = text.size();
  // Counted piece by piece, for mending in place.
  std::vector<uint32_t> perPiece((size + kPiece - 1) / kPiece);
  size_t missing = 0;
  for (size_t i = 0; i < perPiece.size(); ++i) {
    const char* const from = text.data() + i * kPiece;
    perPiece[i] = static_cast<uint32_t>(countBareLineFeeds(text.data(), from, from + std::min(kPiece, size - i * kPiece)));
    missing += perPiece[i];
  }
  if (missing == 0) return;
  switch (how) {
    case LineEndingMend::Chosen:
      // Room enough: no new buffer (a large one costs more than the pass,
      // its pages being new to the process). Else one forward copy.
      if (text.capacity() >= size + missing)
        mendInPlace(text, missing, perPiece, true);
      else
        copyForward(text, missing, true);
      return;
    case LineEndingMend::InPlace:
      if (text.capacity() < size + missing) text.reserve(size + missing);
      mendInPlace(text, missing, perPiece, true);
      return;
    case LineEndingMend::Forward: copyForward(text, missing, false); return;
    case LineEndingMend::ForwardShuffle: copyForward(text, missing, true); return;
  }
}

}  // namespace Vardok
