#include "vfs/search/search_literal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstring>

namespace nivern_vfs::search {
namespace {

// How common each byte is in source text, as a rank from 0 (rarest) to 255 (most
// common); measured once over a large tree of C headers. Only the order matters.
// clang-format off
constexpr std::uint8_t BYTE_RANK[256] = {
      0,   1,   2,   3,   4,   5,   6,   7,   8, 203, 245,   9, 156,  10,  11,  12,
     13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  26,  27,  28,
    255, 165, 184, 209, 161, 163, 178, 200, 233, 234, 237, 167, 232, 215, 208, 221,
    216, 207, 199, 191, 185, 197, 186, 176, 183, 193, 196, 210, 190, 189, 187, 162,
    172, 223, 201, 226, 212, 240, 206, 205, 192, 230, 169, 194, 227, 213, 229, 228,
    222, 170, 225, 242, 235, 202, 195, 177, 204, 188, 166, 174, 179, 173, 159, 253,
    164, 246, 214, 244, 243, 254, 238, 219, 231, 249, 171, 220, 241, 224, 251, 247,
    239, 175, 248, 250, 252, 236, 217, 198, 211, 218, 180, 182, 168, 181, 160,  29,
    154, 146, 127, 107, 108, 109, 135, 140, 124, 110,  30,  31,  32,  33,  97,  34,
    111, 125, 126, 141, 153,  35,  36, 128, 131, 148,  37,  38, 147, 149, 112, 137,
    113,  39,  40,  41, 142,  98,  42, 120, 138, 157,  43, 121,  99, 122, 100, 101,
    129, 132, 144, 102, 114,  44, 151, 115, 133, 103, 104, 116, 145, 105, 123, 106,
     45,  46, 158, 152, 117,  47,  48,  49, 118,  50,  51,  52,  53,  54, 139, 150,
    136, 134,  55,  56,  57,  58,  59,  60,  61,  62,  63,  64,  65,  66,  67,  68,
     69, 143, 155,  70, 119,  71,  72,  73,  74,  75,  76,  77,  78,  79,  80,  81,
    130,  82,  83,  84,  85,  86,  87,  88,  89,  90,  91,  92,  93,  94,  95,  96,
};
// clang-format on

bool is_ascii_letter(std::uint8_t b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }
std::uint8_t ascii_lower(std::uint8_t b) { return is_ascii_letter(b) ? (b | 0x20) : b; }

/// Rank of a needle byte: a folded letter is as common as its more common case.
int rank_of(std::uint8_t b, bool fold) {
  if (fold && is_ascii_letter(b)) {
    return std::max(BYTE_RANK[b | 0x20], BYTE_RANK[b & ~0x20]);
  }
  return BYTE_RANK[b];
}

}  // namespace

LiteralFinder::LiteralFinder(std::string_view needle, bool fold_ascii, Simd simd)
    : needle_(needle), fold_(fold_ascii) {
  assert(!needle_.empty());
  if (fold_) {
    for (char& c : needle_) c = static_cast<char>(ascii_lower(static_cast<std::uint8_t>(c)));
  }
  // Rarest position first; the second probe is the rarest position holding another byte
  // value (two probes on equal bytes filter nothing more), else the rarest other one.
  const std::size_t n = needle_.size();
  auto byte_at = [&](std::size_t i) { return static_cast<std::uint8_t>(needle_[i]); };
  for (std::size_t i = 1; i < n; ++i) {
    if (rank_of(byte_at(i), fold_) < rank_of(byte_at(i1_), fold_)) i1_ = i;
  }
  i2_ = i1_;
  int best = 1 << 20;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == i1_) continue;
    int r = rank_of(byte_at(i), fold_) + (byte_at(i) == byte_at(i1_) ? 512 : 0);
    if (r < best) {
      best = r;
      i2_ = i;
    }
  }
  b1_ = byte_at(i1_);
  b2_ = byte_at(i2_);
  m1_ = fold_ && is_ascii_letter(b1_) ? 0x20 : 0;
  m2_ = fold_ && is_ascii_letter(b2_) ? 0x20 : 0;
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (simd == Simd::best) find_ = __builtin_cpu_supports("avx2") ? &find_avx2 : &find_sse2;
  if (simd == Simd::sse2) find_ = &find_sse2;
#else
  (void)simd;
#endif
}

bool LiteralFinder::matches_at(const char* at) const {
  if (!fold_) return std::memcmp(at, needle_.data(), needle_.size()) == 0;
  for (std::size_t i = 0; i < needle_.size(); ++i) {
    if (ascii_lower(static_cast<std::uint8_t>(at[i])) != static_cast<std::uint8_t>(needle_[i])) {
      return false;
    }
  }
  return true;
}

const char* LiteralFinder::find_scalar(const LiteralFinder& f, const char* begin, const char* end) {
  const std::size_t n = f.needle_.size();
  if (static_cast<std::size_t>(end - begin) < n) return nullptr;
  const char* last = end - n;
  if (f.m1_ == 0) {
    // Jump between occurrences of the rarest byte.
    const char* c = begin;
    while (c <= last) {
      const void* hit = std::memchr(c + f.i1_, f.b1_, static_cast<std::size_t>(last - c) + 1);
      if (hit == nullptr) return nullptr;
      c = static_cast<const char*>(hit) - f.i1_;
      if (f.matches_at(c)) return c;
      ++c;
    }
    return nullptr;
  }
  for (const char* c = begin; c <= last; ++c) {
    if ((static_cast<std::uint8_t>(c[f.i1_]) | f.m1_) == f.b1_ &&
        (static_cast<std::uint8_t>(c[f.i2_]) | f.m2_) == f.b2_ && f.matches_at(c)) {
      return c;
    }
  }
  return nullptr;
}

#if defined(__x86_64__)
const char* LiteralFinder::find_sse2(const LiteralFinder& f, const char* begin, const char* end) {
  const std::size_t n = f.needle_.size();
  if (static_cast<std::size_t>(end - begin) < n) return nullptr;
  const char* last = end - n;
  const std::size_t reach = std::max(f.i1_, f.i2_) + 16;
  const __m128i v1 = _mm_set1_epi8(static_cast<char>(f.b1_));
  const __m128i v2 = _mm_set1_epi8(static_cast<char>(f.b2_));
  const __m128i k1 = _mm_set1_epi8(static_cast<char>(f.m1_));
  const __m128i k2 = _mm_set1_epi8(static_cast<char>(f.m2_));
  const char* s = begin;
  while (static_cast<std::size_t>(end - s) >= reach) {
    __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + f.i1_));
    __m128i c2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + f.i2_));
    __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(c1, k1), v1),
                               _mm_cmpeq_epi8(_mm_or_si128(c2, k2), v2));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(eq));
    while (mask != 0) {
      const char* c = s + __builtin_ctz(mask);
      if (c > last) return nullptr;
      if (f.matches_at(c)) return c;
      mask &= mask - 1;
    }
    s += 16;
  }
  return find_scalar(f, s, end);
}

__attribute__((target("avx2"))) const char* LiteralFinder::find_avx2(const LiteralFinder& f,
                                                                     const char* begin,
                                                                     const char* end) {
  const std::size_t n = f.needle_.size();
  if (static_cast<std::size_t>(end - begin) < n) return nullptr;
  const char* last = end - n;
  const std::size_t reach = std::max(f.i1_, f.i2_) + 32;
  const __m256i v1 = _mm256_set1_epi8(static_cast<char>(f.b1_));
  const __m256i v2 = _mm256_set1_epi8(static_cast<char>(f.b2_));
  const __m256i k1 = _mm256_set1_epi8(static_cast<char>(f.m1_));
  const __m256i k2 = _mm256_set1_epi8(static_cast<char>(f.m2_));
  const char* s = begin;
  while (static_cast<std::size_t>(end - s) >= reach) {
    // Two vectors per step when both fit, so the loads of the second overlap the first.
    std::uint64_t mask = 0;
    std::size_t step = static_cast<std::size_t>(end - s) >= reach + 32 ? 64 : 32;
    for (std::size_t at = 0; at < step; at += 32) {
      const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + at + f.i1_));
      const __m256i c2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + at + f.i2_));
      const __m256i eq = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(c1, k1), v1),
                                          _mm256_cmpeq_epi8(_mm256_or_si256(c2, k2), v2));
      mask |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(eq)))
              << at;
    }
    while (mask != 0) {
      const char* c = s + __builtin_ctzll(mask);
      if (c > last) return nullptr;
      if (f.matches_at(c)) return c;
      mask &= mask - 1;
    }
    s += step;
  }
  return find_scalar(f, s, end);
}
#endif

}  // namespace nivern_vfs::search
