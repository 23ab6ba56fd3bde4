#include "server/files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "harness/temp_tree.h"
#include "server/calls.h"
#include "text/byte_decoders.h"

namespace nivern_server {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using nivern_test::read_file;
using nivern_test::write_file;

std::string message_of(const Reply& r) {
  if (auto* e = std::get_if<Reply::Error>(&r.v)) return e->message;
  if (std::holds_alternative<Reply::Saved>(r.v)) return "saved";
  if (auto* t = std::get_if<Reply::Text>(&r.v)) return "text:" + t->text;
  return "other reply";
}

/// Runs `body` in a child process and returns what it printed. The child first drops to
/// the unprivileged user when running as root (permission checks do not apply to root)
/// and applies `limits`.
std::string in_child(const std::function<std::string()>& body, const std::function<void()>& limits = [] {}) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    limits();
    std::string out = body();
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

class Files : public ::testing::Test {
 protected:
  // Reachable by the unprivileged user of `in_child`.
  void SetUp() override { ::chmod(dir_.path().c_str(), 0777); }
  std::string path(std::string_view name) const { return dir_ / name; }
  nivern_test::TempTree dir_{"nivern-files", "/tmp"};
};

TEST(BinaryRule, Samples) {
  EXPECT_FALSE(files::looks_binary(""));
  EXPECT_FALSE(files::looks_binary("plain text"));
  EXPECT_TRUE(files::looks_binary("\0"s));
  EXPECT_FALSE(files::looks_binary("\xEF\xBB\xBF\0"s));
  EXPECT_FALSE(files::looks_binary("\xFF\xFE\0"s));
  EXPECT_FALSE(files::looks_binary("\xFE\xFF" "a"s + "\0"s));
  EXPECT_TRUE(files::looks_binary("\xEF\xBB\0"s));       // not a whole mark, odd length
  EXPECT_FALSE(files::looks_binary("h\0i\0"s));          // UTF-16LE
  EXPECT_FALSE(files::looks_binary("\0h\0i"s));          // UTF-16BE
  EXPECT_TRUE(files::looks_binary("\0\0"s));             // both parity classes
  EXPECT_TRUE(files::looks_binary("a\0bcdefg"s));        // one zero in eight: not a quarter
  EXPECT_TRUE(files::looks_binary("h\0i\0!"s));          // odd length
}

TEST(LeastTextSize, NoDecodingMakesLessOfTheFile) {
  EXPECT_EQ(files::least_text_size("plain", 1000), 1000u);
  EXPECT_EQ(files::least_text_size("\xEF\xBB\xBFmarked", 1000), 997u);
  EXPECT_EQ(files::least_text_size("\xFF\xFE" "a\0"s, 1000), 499u);
  EXPECT_EQ(files::least_text_size(std::string("a\0b\0", 4), 1000), 500u);  // guessed UTF-16
  EXPECT_EQ(files::least_text_size(std::string("a\0b\0", 4), 1001), 1001u);  // odd: never UTF-16
}

TEST_F(Files, ContentReadIsBounded) {
  write_file(path("f"), std::string(100, 'x'));
  auto whole = files::read_content(path("f"), 101);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->size(), 100u);
  auto refused = files::read_content(path("f"), 100);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, files::ReadFailure::Kind::too_large);

  // A file that reports size 0 yet has content: read to its end, up to the limit, even
  // when it holds more than its status said.
  auto status = files::read_content("/proc/self/status");
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(status->find("Name:"), std::string::npos);
  auto grown = files::read_content("/proc/self/status", 64);
  ASSERT_FALSE(grown.has_value());
  EXPECT_EQ(grown.error().kind, files::ReadFailure::Kind::too_large);
}

TEST_F(Files, OpenReadsAFileWhoseSizeSaysNothing) {
  Reply r = open_file({.path = "/proc/self/status"});
  ASSERT_TRUE(std::holds_alternative<Reply::Text>(r.v));
  EXPECT_NE(std::get<Reply::Text>(r.v).text.find("Name:"), std::string::npos);
}

TEST_F(Files, OpenWithoutPermission) {
  write_file(path("secret"), "s");
  ::chmod(path("secret").c_str(), 0);
  EXPECT_EQ(in_child([&] { return message_of(open_file({.path = path("secret")})); }),
            "cannot open " + path("secret") + ": " + path("secret") + ": Permission denied (os error 13)");
}

TEST_F(Files, SaveIntoAReadOnlyDirectory) {
  fs::create_directory(path("ro"));
  write_file(path("ro/x.txt"), "old");
  ::chmod(path("ro").c_str(), 0555);
  EXPECT_EQ(in_child([&] {
              return message_of(save_file({.path = path("ro/x.txt"), .text = "new", .encoding = "utf-8"}));
            }),
            "cannot save " + path("ro/x.txt") + ": " + path("ro/.x.txt.nivern-tmp") +
                ": Permission denied (os error 13)");
  EXPECT_EQ(read_file(path("ro/x.txt")), "old");
}

TEST_F(Files, SaveThatCannotKeepTheGroupGivesTheNewGroupNoMoreThanOthers) {
  // Owned by root, writable by everyone but readable by its group only: the save of an
  // unprivileged user makes a file of that user's group, which must not read it.
  write_file(path("g.txt"), "old");
  ASSERT_EQ(::chmod(path("g.txt").c_str(), 0642), 0);
  EXPECT_EQ(in_child([&] { return message_of(save_file({.path = path("g.txt"), .text = "new", .encoding = "utf-8"})); }),
            "saved");
  struct stat st;
  ASSERT_EQ(::stat(path("g.txt").c_str(), &st), 0);
  if (::geteuid() == 0) {  // the child ran as 65534
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0602u);
  }
  EXPECT_EQ(read_file(path("g.txt")), "new");
}

TEST_F(Files, Utf16TextIsMeasuredInSlicesAsDecodingMakesIt) {
  // A surrogate pair across the first slice's end, then a lone lead and a last odd byte.
  std::string units;
  for (std::size_t i = 0; i < (1u << 19) - 1; ++i) units += "a\0"s;
  units += "\x3D\xD8\x00\xDE" "\x2D\x4E" "\x00\xD8" "z"s;
  write_file(path("u16"), "\xFF\xFE" + units);
  auto fd = files::open_for_reading(path("u16"));
  ASSERT_TRUE(fd);
  const auto layout = files::utf16_layout("\xFF\xFE"s, units.size() + 2);
  ASSERT_TRUE(layout);
  EXPECT_EQ(files::utf16_text_size(fd->get(), *layout), nivern_text::decode_utf16(units, true).size());
  EXPECT_FALSE(files::utf16_layout("\xEF\xBB\xBF\xFF\xFE"s, 100));
  EXPECT_FALSE(files::utf16_layout("a\0b\0"s, 1001));
}

TEST_F(Files, FailedWriteRemovesTheTemporaryFileAndLeavesTheTarget) {
  write_file(path("t.txt"), "old content");
  const std::string text(100'000, 'n');
  // The file-size limit makes the write fail as a full disk would.
  std::string message = in_child(
      [&] { return message_of(save_file({.path = path("t.txt"), .text = text, .encoding = "utf-8"})); },
      [] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &lim);
      });
  EXPECT_EQ(message, "cannot save " + path("t.txt") + ": " + path(".t.txt.nivern-tmp") +
                         ": File too large (os error 27)");
  EXPECT_EQ(read_file(path("t.txt")), "old content");
  EXPECT_FALSE(std::filesystem::exists(path(".t.txt.nivern-tmp")));
}

}  // namespace
}  // namespace nivern_server
