#include "vfs/search/search_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <random>

#include "harness/temp_tree.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"

namespace nivern_vfs::search {
namespace {

/// Everything the reader gives for `content`, read `capacity` bytes at a time.
std::string read_decoded(std::string_view content, std::size_t capacity) {
  nivern_test::TempTree tree;
  const std::string path = tree.file("f", content);
  nivern_support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  SearchReader reader;
  reader.reset(fd.get());
  std::string out, buf(capacity, '\0');
  for (;;) {
    auto n = reader.read(buf.data(), capacity);
    EXPECT_TRUE(n.has_value());
    if (!n || *n == 0) break;
    out.append(buf.data(), *n);
  }
  return out;
}

TEST(SearchReader, PassesPlainBytesThrough) {
  EXPECT_EQ(read_decoded("", 64), "");
  EXPECT_EQ(read_decoded("ab", 64), "ab");
  EXPECT_EQ(read_decoded("\xEF\xBB", 64), "\xEF\xBB");  // too short for a mark
  EXPECT_EQ(read_decoded("x\xEF\xBB\xBF", 64), "x\xEF\xBB\xBF");
  EXPECT_EQ(read_decoded(std::string("\0\xFF\xFE", 3), 64), std::string("\0\xFF\xFE", 3));
  EXPECT_EQ(read_decoded("caf\xE9", 64), "caf\xE9");  // not decoded
}

TEST(SearchReader, DropsAUtf8ByteOrderMark) {
  EXPECT_EQ(read_decoded("\xEF\xBB\xBF", 64), "");
  EXPECT_EQ(read_decoded("\xEF\xBB\xBFhi", 64), "hi");
  EXPECT_EQ(read_decoded("\xEF\xBB\xBF\xEF\xBB\xBFhi", 64), "\xEF\xBB\xBFhi");  // only one
  EXPECT_EQ(read_decoded("\xEF\xBB\xBF"
                     "caf\xE9",
                     64),
            "caf\xE9");  // bytes stay raw
}

TEST(SearchReader, TranscodesUtf16WithAByteOrderMark) {
  EXPECT_EQ(read_decoded("\xFF\xFE", 64), "");
  EXPECT_EQ(read_decoded("\xFE\xFF", 64), "");
  EXPECT_EQ(read_decoded(std::string("\xFF\xFEh\0i\0", 6), 64), "hi");
  EXPECT_EQ(read_decoded(std::string("\xFE\xFF\0h\0i", 6), 64), "hi");
  // A dangling last byte and a lone surrogate become U+FFFD.
  EXPECT_EQ(read_decoded(std::string("\xFF\xFEh\0i", 5), 64), "h\xEF\xBF\xBD");
  EXPECT_EQ(read_decoded(std::string("\xFF\xFE\x00\xD8x\0", 6), 64), "\xEF\xBF\xBDx");
  // A surrogate pair.
  EXPECT_EQ(read_decoded(std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), 64), "\xF0\x9F\x98\x80");
  // One U+FEFF right after the mark goes too; a second one, or U+FFFE, stays.
  EXPECT_EQ(read_decoded("\xFF\xFE\xFF\xFE", 64), "");
  EXPECT_EQ(read_decoded(std::string("\xFF\xFE\xFF\xFEh\0", 6), 64), "h");
  EXPECT_EQ(read_decoded(std::string("\xFE\xFF\xFE\xFF\0h", 6), 64), "h");
  EXPECT_EQ(read_decoded("\xFF\xFE\xFF\xFE\xFF\xFE", 64), "\xEF\xBB\xBF");
  EXPECT_EQ(read_decoded("\xFF\xFE\xFE\xFF", 64), "\xEF\xBF\xBE");
  EXPECT_EQ(read_decoded(std::string("\xFF\xFEh\0\xFF\xFE", 6), 64), "h\xEF\xBB\xBF");
}

TEST(SearchReader, Utf16ReadInPiecesEqualsTheWholeDecoding) {
  // Random code units with many surrogates, read through small buffers, so that pairs,
  // lone surrogates and odd lengths fall on every piece boundary.
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string units;
    const std::size_t n = rng() % 400;
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint16_t choices[] = {0x0061, 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0xDBFF, 0x000A};
      const std::uint16_t u = choices[rng() % 7];
      units += static_cast<char>(u & 0xFF);
      units += static_cast<char>(u >> 8);
    }
    if (rng() % 3 == 0) units += 'z';  // odd length
    const std::string want = nivern_text::decode_utf16(units, true);
    for (std::size_t capacity : {64u, 65u, 99u, 4096u}) {
      ASSERT_EQ(read_decoded("\xFF\xFE" + units, capacity), want) << round << " " << capacity;
    }
    std::string big_endian = units;
    for (std::size_t k = 0; k + 1 < big_endian.size(); k += 2)
      std::swap(big_endian[k], big_endian[k + 1]);
    ASSERT_EQ(read_decoded("\xFE\xFF" + big_endian, 64), nivern_text::decode_utf16(big_endian, false))
        << round;
  }
}

}  // namespace
}  // namespace nivern_vfs::search
