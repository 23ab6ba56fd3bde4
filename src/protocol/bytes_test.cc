#include <gtest/gtest.h>

#include "protocol/message.h"

namespace nivern_protocol::message {
namespace {

std::string decode_error(std::string_view text) {
  auto r = decode_bytes(text);
  return r ? "ok" : r.error();
}

TEST(Bytes, Encode) {
  EXPECT_EQ(encode_bytes("foo"), "Zm9v");
  EXPECT_EQ(encode_bytes("\xff"), "/w==");
  EXPECT_EQ(encode_bytes("\xff\xfe"), "//4=");
  EXPECT_EQ(encode_bytes(""), "");
}

TEST(Bytes, RoundTripsEveryLengthAndByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t n = 0; n <= all.size(); ++n) {
    auto text = encode_bytes(all.substr(0, n));
    ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
    auto back = decode_bytes(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, all.substr(0, n));
  }
}

TEST(Bytes, LongPayloadsRoundTripAndReportTheFirstBadSymbol) {
  // Long enough for the wide paths, at every length modulo their block sizes.
  std::string all;
  std::uint32_t x = 1;
  for (int i = 0; i < 600; ++i) {
    x = x * 1664525u + 1013904223u;
    all += static_cast<char>(x >> 24);
  }
  for (std::size_t n = 0; n <= all.size(); ++n) {
    std::string text = encode_bytes(all.substr(0, n));
    std::string slow;
    for (std::size_t i = 0; i < n; i += 3) slow += encode_bytes(all.substr(i, std::min<std::size_t>(3, n - i)));
    ASSERT_EQ(text, slow) << n;
    ASSERT_EQ(decode_bytes(text).value_or("?"), all.substr(0, n)) << n;
  }
  std::string text = encode_bytes(all);
  for (std::size_t at = 0; at + 4 < text.size(); at += 13) {
    for (char bad : {'-', '\x80', '=', '\0', '@', '[', '`', '{', ':', '*', ',', '.'}) {
      std::string broken = text;
      broken[at] = bad;
      EXPECT_EQ(decode_error(broken), "bad bytes on the wire: Invalid symbol " +
                                          std::to_string(static_cast<unsigned char>(bad)) + ", offset " +
                                          std::to_string(at) + ".");
    }
  }
}

TEST(Bytes, DecodeFaults) {
  EXPECT_EQ(*decode_bytes("Zm9v"), "foo");
  EXPECT_EQ(*decode_bytes(""), "");
  EXPECT_EQ(decode_error("Zm9"), "bad bytes on the wire: Invalid padding");
  EXPECT_EQ(decode_error("Zg="), "bad bytes on the wire: Invalid padding");
  EXPECT_EQ(decode_error("Zm9v\n"), "bad bytes on the wire: Invalid symbol 10, offset 4.");
  EXPECT_EQ(decode_error("Zm-v"), "bad bytes on the wire: Invalid symbol 45, offset 2.");
  EXPECT_EQ(decode_error("Z"), "bad bytes on the wire: Invalid input length: 1");
  EXPECT_EQ(decode_error("Zm9vZ"), "bad bytes on the wire: Invalid input length: 5");
  EXPECT_EQ(decode_error("Zh=="), "bad bytes on the wire: Invalid last symbol 104, offset 1.");
  EXPECT_EQ(decode_error("Zm9="), "bad bytes on the wire: Invalid last symbol 57, offset 2.");
  EXPECT_EQ(decode_error("===="), "bad bytes on the wire: Invalid symbol 61, offset 0.");
  EXPECT_EQ(decode_error("Zm=v"), "bad bytes on the wire: Invalid symbol 61, offset 2.");
  EXPECT_EQ(decode_error("Z=9v"), "bad bytes on the wire: Invalid symbol 61, offset 1.");
  EXPECT_EQ(decode_error("Zm9v=Zm9"), "bad bytes on the wire: Invalid symbol 61, offset 4.");
  EXPECT_EQ(decode_error("Zg==Zg=="), "bad bytes on the wire: Invalid symbol 61, offset 2.");
  EXPECT_EQ(decode_error("Zm9vZm9v!"), "bad bytes on the wire: Invalid symbol 33, offset 8.");
  EXPECT_EQ(decode_error("Zg=a"), "bad bytes on the wire: Invalid symbol 61, offset 2.");
}

}  // namespace
}  // namespace nivern_protocol::message
