#pragma once
// Byte searches for the reader's hot loop, eight bytes at a time. FGD lines are short (twenty
// to thirty bytes), where a library call costs more than the search itself.
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bytescan {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// The high bit of every byte of `word` that equals `c`. Bits above the lowest may be false
// (a borrow runs upwards), the lowest set bit is always exact.
inline uint64_t Equal(uint64_t word, unsigned char c) {
  const uint64_t x = word ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}

inline uint64_t Load(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;  // little-endian: byte i is bits 8i..8i+7
}

inline int FirstIndex(uint64_t bits) {
  return __builtin_ctzll(bits) >> 3;
}

// The first `c` in [p, end), or nullptr.
inline const char* Find(const char* p, const char* end, char c) {
  for (; end - p >= 8; p += 8)
    if (const uint64_t hit = Equal(Load(p), static_cast<unsigned char>(c)))
      return p + FirstIndex(hit);
  for (; p < end; ++p)
    if (*p == c) return p;
  return nullptr;
}

// True when the `n` bytes at a and b are equal; inline for the reader's short patterns.
inline bool Same(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8)
    if (Load(a) != Load(b)) return false;
  for (; n > 0; ++a, ++b, --n)
    if (*a != *b) return false;
  return true;
}

// Where a line's "<" bytes stand: the offset of the first, and a bit for each among the first
// 64 bytes (where nearly every FGD line ends).
struct ttags {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  static constexpr size_t kNear = 64;
  size_t first = kNone;
  uint64_t near = 0;  // bit i: a "<" at offset i
};

// One bit per byte (bit i for byte i) from the high bits of `highs`.
inline uint64_t ByteBits(uint64_t highs) {
  return ((highs >> 7) * 0x0102040810204080ull) >> 56;
}

// The first line end in [p, end), or nullptr; the "<" bytes before it, at offsets from `from`,
// are added to `tags`. One pass finds both.
inline const char* LineEnd(const char* p, const char* end, const char* from, ttags& tags) {
  auto note = [&](uint64_t bits, const char* at) {  // bits of "<" bytes from `at` on
    if (!bits) return;
    const size_t offset = at - from;
    if (tags.first == ttags::kNone) tags.first = offset + __builtin_ctzll(bits);
    if (offset < ttags::kNear) tags.near |= bits << offset;
  };
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i lt = _mm_set1_epi8('<');
  for (; end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned nl = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf)));
    unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lt)));
    if (nl) bits &= (nl & (~nl + 1)) - 1;  // only a "<" before the line end
    note(bits, p);
    if (nl) return p + __builtin_ctz(nl);
  }
#endif
  for (; end - p >= 8; p += 8) {
    const uint64_t word = Load(p);
    const uint64_t nl = Equal(word, '\n');
    // Exact per byte (no borrow): the high bit of each byte that is "<".
    const uint64_t x = word ^ (kOnes * '<');
    uint64_t bits = ByteBits(~(((x & ~kHighs) + ~kHighs) | x | ~kHighs));
    if (nl) bits &= (uint64_t{1} << FirstIndex(nl)) - 1;
    note(bits, p);
    if (nl) return p + FirstIndex(nl);
  }
  for (; p < end; ++p) {
    if (*p == '\n') return p;
    if (*p == '<') note(1, p);
  }
  return nullptr;
}

}  // namespace bytescan
