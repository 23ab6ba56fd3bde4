// Base64 of byte payloads: standard alphabet, '=' padding, canonical form required.
#include <array>
#include <cstring>
#include <string>

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

}  // namespace

void append_encoded_bytes(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size(), start = out.size();
  out.resize_and_overwrite(start + (n + 2) / 3 * 4, [&](char* dst, std::size_t) {
    std::size_t i = 0, o = start;
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
  out.resize_and_overwrite((len + 3) / 4 * 3, [&](char* dst, std::size_t) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < body; i += 4, o += 3) {
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
  if (acc & ((1u << extra) - 1))
    return std::unexpected(bad("Invalid last symbol " + std::to_string(last_symbol) + ", offset " +
                               std::to_string(last_symbol_offset) + "."));
  acc >>= extra;
  for (std::size_t k = whole; k-- > 0;) out += static_cast<char>(acc >> (8 * k));
  return out;
}

}  // namespace nivern_protocol::message
