#include "support/small_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "harness/temp_tree.h"

namespace nivern_support {
namespace {

using nivern_test::TempTree;

std::string error_of(const std::string& path, std::size_t limit = SMALL_FILE_LIMIT) {
  auto got = read_small_file(path, limit);
  return got ? "read " + std::to_string(got->size()) + " bytes" : got.error().text();
}

TEST(SmallFile, ReadsRegularFilesAndLinksToThemWithinTheLimit) {
  TempTree t;
  t.file("a", "one\ntwo\n");
  t.link("a", "link");
  EXPECT_EQ(read_small_file(t / "a").value(), "one\ntwo\n");
  EXPECT_EQ(read_small_file(t / "link").value(), "one\ntwo\n");
  EXPECT_EQ(read_small_file(t / "a", 8).value(), "one\ntwo\n");
  int dir = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(read_small_file_at(dir, "a").value(), "one\ntwo\n");
  ::close(dir);
  t.file("empty");
  EXPECT_EQ(read_small_file(t / "empty").value(), "");
  // Size 0 by its status, and its text only for a first read at offset 0.
  EXPECT_EQ(read_small_file("/proc/sys/fs/pipe-max-size").value().back(), '\n');
}

TEST(SmallFile, RefusesWhatIsNotASmallRegularFile) {
  TempTree t;
  ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
  t.link("/dev/zero", "zero");
  t.dir("dir");
  // A sparse file: huge by its size, nothing on disk.
  int fd = ::open((t / "sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 40), 0);
  ::close(fd);
  t.file("nine", "123456789");

  EXPECT_EQ(error_of(t / "fifo"), NOT_A_REGULAR_FILE);  // returns at once: nobody writes
  EXPECT_EQ(error_of(t / "zero"), NOT_A_REGULAR_FILE);
  EXPECT_EQ(error_of(t / "dir"), "Is a directory (os error 21)");
  EXPECT_EQ(error_of(t / "sparse"), "File too large (os error 27)");
  EXPECT_EQ(error_of(t / "nine", 8), "File too large (os error 27)");
  EXPECT_EQ(error_of(t / "missing"), "No such file or directory (os error 2)");
  EXPECT_EQ(error_of(std::string("a\0b", 3)), "Invalid argument (os error 22)");
}

/// The pieces of a streamed file: data as it came, each hole as "<hole>".
std::string pieces_of(const std::string& path, std::size_t* count = nullptr) {
  std::string seen;
  auto done = read_file_pieces(path, [&](FilePiece p) {
    EXPECT_LE(p.bytes.size(), std::size_t{64} << 10);
    seen += p.hole ? std::string("<hole>") : std::string(p.bytes);
    if (count) ++*count;
  });
  return done ? seen : done.error().text();
}

TEST(FilePieces, StreamsAnySizeInBoundedPieces) {
  TempTree t;
  std::string big;
  while (big.size() < (SMALL_FILE_LIMIT + 100'000)) big += "line " + std::to_string(big.size()) + "\n";
  t.file("big", big);
  std::size_t count = 0;
  EXPECT_EQ(pieces_of(t / "big", &count), big);
  EXPECT_GE(count, big.size() / (std::size_t{64} << 10));
  t.file("empty");
  EXPECT_EQ(pieces_of(t / "empty"), "");
}

TEST(FilePieces, HolesAreNamedNotRead) {
  TempTree t;
  int fd = ::open((t / "sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "one\n", 4, 0), 4);
  ASSERT_EQ(::pwrite(fd, "two\n", 4, off_t{1} << 24), 4);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 25), 0);
  ::close(fd);
  std::string seen = pieces_of(t / "sparse");
  // Data comes in whole blocks, so NUL bytes may pad it; holes are never read.
  std::erase(seen, '\0');
  EXPECT_EQ(seen, "one\n<hole>two\n<hole>");
}

TEST(FilePieces, RefusesWhatIsNotARegularFile) {
  TempTree t;
  ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
  t.link("/dev/zero", "zero");
  t.dir("dir");
  EXPECT_EQ(pieces_of(t / "fifo"), NOT_A_REGULAR_FILE);
  EXPECT_EQ(pieces_of(t / "zero"), NOT_A_REGULAR_FILE);
  EXPECT_EQ(pieces_of(t / "dir"), "Is a directory (os error 21)");
  EXPECT_EQ(pieces_of(t / "missing"), "No such file or directory (os error 2)");
  EXPECT_EQ(pieces_of(std::string("a\0b", 3)), "Invalid argument (os error 22)");
}

}  // namespace
}  // namespace nivern_support
