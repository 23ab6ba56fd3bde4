// Base64 of byte payloads: standard alphabet, '=' padding, canonical form required.
#include <array>
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

std::string bad(const std::string& what) { return "bad bytes on the wire: " + what; }
std::string invalid_symbol(unsigned char c, std::size_t offset) {
  return bad("Invalid symbol " + std::to_string(c) + ", offset " + std::to_string(offset) + ".");
}

}  // namespace

std::string encode_bytes(std::string_view bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    std::uint32_t v = std::uint32_t{p[i]} << 16;
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = '=';
    out[o++] = '=';
  } else if (n - i == 2) {
    std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8);
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = '=';
  }
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
  out.reserve((len + 3) / 4 * 3);
  for (std::size_t i = 0; i < body; i += 4) {
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      std::int8_t x = kValues[s[i + j]];
      if (x < 0) return std::unexpected(invalid_symbol(s[i + j], i + j));
      v = (v << 6) | static_cast<std::uint32_t>(x);
    }
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
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
