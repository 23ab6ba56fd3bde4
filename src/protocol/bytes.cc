// Base64 of byte payloads: standard alphabet, '=' padding, canonical form required.
#include <array>
#include <cstring>
#include <string>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "protocol/message.h"

namespace nivern_protocol::message {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> make_values() {
  std::array<std::int8_t, 256> v{};
  for (auto& x : v) x = -1;
  for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return v;
}
constexpr auto kValues = make_values();

// Each table gives a symbol's six bits already in place for its position in a group of
// four; a symbol outside the alphabet sets kBad, so one test checks a whole group.
constexpr std::uint32_t kBad = 0x8000'0000;
using DecodeTable = std::array<std::uint32_t, 256>;
constexpr DecodeTable make_decode(int shift) {
  DecodeTable t{};
  for (int c = 0; c < 256; ++c)
    t[c] = kValues[c] < 0 ? kBad : static_cast<std::uint32_t>(kValues[c]) << shift;
  return t;
}
constexpr DecodeTable kDecode0 = make_decode(18), kDecode1 = make_decode(12), kDecode2 = make_decode(6),
                      kDecode3 = make_decode(0);

// The two symbols of every 12-bit value, so three bytes take two lookups.
constexpr std::array<char, 8192> make_pairs() {
  std::array<char, 8192> t{};
  for (int v = 0; v < 4096; ++v) {
    t[2 * v] = kAlphabet[v >> 6];
    t[2 * v + 1] = kAlphabet[v & 63];
  }
  return t;
}
constexpr auto kPairs = make_pairs();

std::string bad(const std::string& what) { return "bad bytes on the wire: " + what; }
std::string invalid_symbol(unsigned char c, std::size_t offset) {
  return bad("Invalid symbol " + std::to_string(c) + ", offset " + std::to_string(offset) + ".");
}

#if defined(__x86_64__)
// Sixteen symbols at a time with SSSE3 byte shuffles (the method of Muła and Lemire):
// each 32-bit lane takes one group of three bytes, its four 6-bit indices are moved into
// place with multiplies, and a shuffle table maps index ranges to alphabet offsets.
const bool kSsse3 = __builtin_cpu_supports("ssse3");

// Encodes whole groups while 16 input bytes can be loaded; returns the bytes consumed.
[[gnu::target("ssse3")]] std::size_t encode_wide(const unsigned char* p, std::size_t n, char* dst) {
  const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  const __m128i offsets =
      _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                    '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 12, dst += 16) {
    __m128i in = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), spread);
    __m128i hi = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    __m128i lo = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    __m128i idx = _mm_or_si128(hi, lo);
    __m128i range = _mm_subs_epu8(idx, _mm_set1_epi8(51));
    range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), idx), _mm_set1_epi8(13)));
    __m128i out = _mm_add_epi8(_mm_shuffle_epi8(offsets, range), idx);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), out);
  }
  return i;
}

// Decodes blocks of 16 symbols up to `len` (a multiple of 4), writing 16 bytes for every
// 12 (the caller leaves room). Stops before a block with a symbol outside the alphabet;
// returns the symbols consumed.
[[gnu::target("ssse3")]] std::size_t decode_wide(const unsigned char* s, std::size_t len, char* dst) {
  auto in_range = [](__m128i c, char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(hi + 1))));
  };
  const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16, dst += 12) {
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i upper = in_range(c, 'A', 'Z'), lower = in_range(c, 'a', 'z'), digit = in_range(c, '0', '9');
    __m128i plus = _mm_cmpeq_epi8(c, _mm_set1_epi8('+')), slash = _mm_cmpeq_epi8(c, _mm_set1_epi8('/'));
    __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
    if (_mm_movemask_epi8(valid) != 0xFFFF) break;
    __m128i shift = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(upper, _mm_set1_epi8(-65)), _mm_and_si128(lower, _mm_set1_epi8(-71))),
        _mm_or_si128(
            _mm_and_si128(digit, _mm_set1_epi8(4)),
            _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi8(19)), _mm_and_si128(slash, _mm_set1_epi8(16)))));
    __m128i values = _mm_add_epi8(c, shift);
    __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi8(words, pack));
  }
  return i;
}

// Thirty-two symbols at a time with AVX2, validated and translated by nibble lookups:
// a symbol is in the alphabet when the classes of its low and high nibbles share no bit,
// and its high nibble (with '/' told apart) picks the offset that turns it into its value.
// Stops before a block with a symbol outside the alphabet; writes 32 bytes for every 24
// (the caller leaves room); returns the symbols consumed.
const bool kAvx2 = __builtin_cpu_supports("avx2");

[[gnu::target("avx2")]] std::size_t decode_avx2(const unsigned char* s, std::size_t len, char* dst) {
  const __m256i low_class = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                             0x1A, 0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11,
                                             0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i high_class = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                              0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08,
                                              0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i offsets = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                           -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i slash = _mm256_set1_epi8(0x2F);
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                                        10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  std::size_t i = 0;
  for (; i + 32 <= len; i += 32, dst += 24) {
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    __m256i high = _mm256_and_si256(_mm256_srli_epi32(c, 4), slash);  // 0x2F keeps the nibble and bit 5 clear
    __m256i low = _mm256_and_si256(c, slash);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(low_class, low), _mm256_shuffle_epi8(high_class, high))) break;
    __m256i shift = _mm256_shuffle_epi8(offsets, _mm256_add_epi8(_mm256_cmpeq_epi8(c, slash), high));
    __m256i values = _mm256_add_epi8(c, shift);
    __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), lanes));
  }
  return i;
}
#endif

}  // namespace

void append_encoded_bytes(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size(), start = out.size();
  out.resize_and_overwrite(start + (n + 2) / 3 * 4, [&](char* dst, std::size_t) {
    std::size_t i = 0, o = start;
#if defined(__x86_64__)
    if (kSsse3) {
      i = encode_wide(p, n, dst + o);
      o += i / 3 * 4;
    }
#endif
    for (; i + 3 <= n; i += 3, o += 4) {
      std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
      std::memcpy(dst + o, &kPairs[2 * (v >> 12)], 2);
      std::memcpy(dst + o + 2, &kPairs[2 * (v & 0xFFF)], 2);
    }
    if (n - i == 1) {
      std::uint32_t v = std::uint32_t{p[i]} << 4;
      std::memcpy(dst + o, &kPairs[2 * v], 2);
      std::memcpy(dst + o + 2, "==", 2);
      o += 4;
    } else if (n - i == 2) {
      std::uint32_t v = (std::uint32_t{p[i]} << 10) | (std::uint32_t{p[i + 1]} << 2);
      std::memcpy(dst + o, &kPairs[2 * (v >> 6)], 2);
      dst[o + 2] = kAlphabet[v & 63];
      dst[o + 3] = '=';
      o += 4;
    }
    return o;
  });
}

std::string encode_bytes(std::string_view bytes) {
  std::string out;
  append_encoded_bytes(out, bytes);
  return out;
}

std::expected<std::string, std::string> decode_bytes(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t len = text.size();
  if (len == 0) return std::string();

  // A lone trailing byte that can't be part of any group is reported first.
  if (len % 4 == 1 && s[len - 1] != '=' && kValues[s[len - 1]] < 0)
    return std::unexpected(invalid_symbol(s[len - 1], len - 1));

  std::size_t tail = len % 4 == 0 ? 4 : len % 4;
  std::size_t body = len - tail;
  std::string out;
  std::size_t bad_group = body;  // the first group holding a symbol outside the alphabet
  out.resize_and_overwrite((len + 3) / 4 * 3 + 16, [&](char* dst, std::size_t) {
    std::size_t i = 0, o = 0;
#if defined(__x86_64__)
    if (kAvx2) {
      i = decode_avx2(s, body, dst);
      o = i / 4 * 3;
    }
    if (kSsse3) {
      std::size_t k = decode_wide(s + i, body - i, dst + o);
      i += k;
      o += k / 4 * 3;
    }
#endif
    for (; i < body; i += 4, o += 3) {
      std::uint32_t v = kDecode0[s[i]] | kDecode1[s[i + 1]] | kDecode2[s[i + 2]] | kDecode3[s[i + 3]];
      if (v & kBad) {
        bad_group = i;
        break;
      }
      dst[o] = static_cast<char>(v >> 16);
      dst[o + 1] = static_cast<char>(v >> 8);
      dst[o + 2] = static_cast<char>(v);
    }
    return o;
  });
  if (bad_group < body) {
    for (std::size_t j = bad_group;; ++j)
      if (kValues[s[j]] < 0) return std::unexpected(invalid_symbol(s[j], j));
  }

  // The final part: symbols, then padding.
  std::size_t symbols = 0, padding = 0, first_pad = 0;
  std::uint32_t acc = 0;
  std::size_t last_symbol_offset = 0;
  unsigned char last_symbol = 0;
  for (std::size_t k = 0; k < tail; ++k) {
    std::size_t off = body + k;
    unsigned char c = s[off];
    if (c == '=') {
      if (k < 2) return std::unexpected(invalid_symbol('=', off));
      if (padding == 0) first_pad = off;
      ++padding;
      continue;
    }
    if (padding > 0) return std::unexpected(invalid_symbol('=', first_pad));
    std::int8_t x = kValues[c];
    if (x < 0) return std::unexpected(invalid_symbol(c, off));
    acc = (acc << 6) | static_cast<std::uint32_t>(x);
    last_symbol = c;
    last_symbol_offset = off;
    ++symbols;
  }
  if (symbols < 2) return std::unexpected(bad("Invalid input length: " + std::to_string(len)));
  if ((symbols + padding) % 4 != 0) return std::unexpected(bad("Invalid padding"));
  // Bits of the last symbol beyond whole output bytes must be zero.
  std::size_t bits = symbols * 6;
  std::size_t whole = bits / 8;
  std::size_t extra = bits - whole * 8;
  if (acc & ((1u << extra) - 1)) {
    return std::unexpected(bad("Invalid last symbol " + std::to_string(last_symbol) + ", offset " +
                               std::to_string(last_symbol_offset) + "."));
  }
  acc >>= extra;
  for (std::size_t k = whole; k-- > 0;) out += static_cast<char>(acc >> (8 * k));
  return out;
}

}  // namespace nivern_protocol::message
