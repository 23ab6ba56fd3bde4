// `open` and `save` seen from the editor's side, on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/editor.h"
#include "harness/replies.h"
#include "harness/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::json_string;
using nivern_test::read_file;
using nivern_test::request;
using nivern_test::response;
using nivern_test::ServerProcess;
using nivern_test::TempTree;
using nivern_test::text_reply;
using nivern_test::write_file;

std::string saved_reply(std::uint64_t id) {
  return response(id, R"({"reply":"saved"})");
}

std::string open_call(std::string_view p) {
  return R"({"call":"open","path":)" + json_string(p) + "}";
}

std::string save_call(std::string_view p, std::string_view text, std::string_view label,
                      std::string_view line_ending = "lf", bool bom = false) {
  return R"({"call":"save","path":)" + json_string(p) + R"(,"text":)" + json_string(text) +
         R"(,"encoding":)" + json_string(label) + R"(,"line_ending":)" + json_string(line_ending) +
         R"(,"bom":)" + (bom ? "true" : "false") + "}";
}

/// A temporary directory and a greeted server for each test.
class OpenSave : public ::testing::Test {
 protected:
  void SetUp() override { editor_ = std::make_unique<Editor>(std::vector<std::string>{dir_.path()}); }
  void TearDown() override { editor_.reset(); }

  std::string path(std::string_view name) const { return dir_ / name; }

  std::string open(std::uint64_t id, std::string_view p) { return editor_->call(id, open_call(p)); }

  std::string save(std::uint64_t id, std::string_view p, std::string_view text, std::string_view label,
                   std::string_view line_ending = "lf", bool bom = false) {
    return editor_->call(id, save_call(p, text, label, line_ending, bom));
  }

  TempTree dir_{"nivern-open-save", "/tmp"};
  std::unique_ptr<Editor> editor_;
};

// ---- open ----

TEST_F(OpenSave, OpenDecodesAndReportsHowTheFileWasWritten) {
  write_file(path("empty"), "");
  EXPECT_EQ(open(1, path("empty")), text_reply(1, "", "UTF-8", "lf", false, false));

  write_file(path("crlf"), "one\r\ntwo\r\n\tthree \"q\"\n");
  EXPECT_EQ(open(2, path("crlf")), text_reply(2, "one\ntwo\n\tthree \"q\"\n", "UTF-8", "crlf", false, false));

  write_file(path("bom"), "\xEF\xBB\xBFh\xC3\xA9\n");
  EXPECT_EQ(open(3, path("bom")), text_reply(3, "h\xC3\xA9\n", "UTF-8", "lf", true, false));

  write_file(path("bom-lossy"),
             "\xEF\xBB\xBF"
             "a\xFF");
  EXPECT_EQ(open(4, path("bom-lossy")), text_reply(4, "a\xEF\xBF\xBD", "UTF-8", "lf", true, true));

  write_file(path("latin"), "caf\xE9 \x80\r\n");
  EXPECT_EQ(open(5, path("latin")),
            text_reply(5, "caf\xC3\xA9 \xE2\x82\xAC\n", "windows-1252", "crlf", false, false));

  write_file(path("utf16be"), "\xFE\xFF\0h\0i\0\n"s);
  EXPECT_EQ(open(6, path("utf16be")), text_reply(6, "hi\n", "UTF-16BE", "lf", true, false));

  write_file(path("utf16le-guess"), "h\0i\0\r\0\n\0"s);
  EXPECT_EQ(open(7, path("utf16le-guess")), text_reply(7, "hi\n", "UTF-16LE", "crlf", false, false));
}

TEST_F(OpenSave, OpenFailuresNameThePathTwice) {
  const std::string missing = path("missing.txt");
  EXPECT_EQ(open(1, missing), error_reply(1, "cannot open " + missing + ": " + missing +
                                                 ": No such file or directory (os error 2)"));

  ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
  EXPECT_EQ(open(2, path("dangling")),
            error_reply(2, "cannot open " + path("dangling") + ": " + path("dangling") +
                               ": No such file or directory (os error 2)"));

  fs::create_directory(path("sub"));
  EXPECT_EQ(open(3, path("sub")),
            error_reply(3, "cannot open " + path("sub") + ": " + path("sub") + " is a directory"));
  ASSERT_EQ(::symlink(path("sub").c_str(), path("to-sub").c_str()), 0);
  EXPECT_EQ(open(4, path("to-sub")),
            error_reply(4, "cannot open " + path("to-sub") + ": " + path("to-sub") + " is a directory"));

  const std::string with_nul = path("a") + "\0b"s;
  EXPECT_EQ(open(5, with_nul), error_reply(5, "cannot open " + with_nul + ": " + with_nul +
                                                  ": file name contained an unexpected NUL byte"));

  write_file(path("file"), "x");
  EXPECT_EQ(open(6, path("file/below")),
            error_reply(6, "cannot open " + path("file/below") + ": " + path("file/below") +
                               ": Not a directory (os error 20)"));
}

TEST_F(OpenSave, OpenRefusesWhatIsNotARegularFileAtOnce) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(open(1, path("fifo")),
            error_reply(1, "cannot open " + path("fifo") + ": " + path("fifo") + " is not a regular file"));
  EXPECT_EQ(open(2, "/dev/null"), error_reply(2, "cannot open /dev/null: /dev/null is not a regular file"));
  // The session goes on.
  write_file(path("after"), "ok");
  EXPECT_EQ(open(3, path("after")), text_reply(3, "ok", "UTF-8", "lf", false, false));
}

TEST_F(OpenSave, OpenSizeLimit) {
  // Sparse files: nothing is written to disk.
  const std::string below = path("below"), at = path("at");
  ASSERT_EQ(::truncate((write_file(below, ""), below).c_str(), 268'435'455), 0);
  ASSERT_EQ(::truncate((write_file(at, ""), at).c_str(), 268'435'456), 0);
  // Passes the size test, then its zero bytes look binary.
  EXPECT_EQ(open(1, below), error_reply(1, "a binary file cannot be opened as text yet"));
  EXPECT_EQ(open(2, at), error_reply(2, "too large to open as text yet"));
}

TEST_F(OpenSave, BinaryRule) {
  write_file(path("nul"), "\0"s);
  EXPECT_EQ(open(1, path("nul")), error_reply(1, "a binary file cannot be opened as text yet"));

  std::string utf16le_odd = "h\0i\0!"s;  // UTF-16LE without a mark, odd length
  write_file(path("odd"), utf16le_odd);
  EXPECT_EQ(open(2, path("odd")), error_reply(2, "a binary file cannot be opened as text yet"));
  write_file(path("odd-marked"), "\xFF\xFE" + utf16le_odd);
  EXPECT_EQ(open(3, path("odd-marked")), text_reply(3, "hi\xEF\xBF\xBD", "UTF-16LE", "lf", true, true));

  // Longer than the sample and odd: the sample passes, decoding makes no guess and the
  // NUL characters are valid UTF-8.
  std::string long_odd;
  for (int i = 0; i < 5000; ++i) long_odd += "a\0"s;
  long_odd += "b";
  write_file(path("long-odd"), long_odd);
  EXPECT_EQ(open(4, path("long-odd")), text_reply(4, long_odd, "UTF-8", "lf", false, false));

  // A NUL after the sample is never looked at.
  std::string late_nul(9000, 'x');
  late_nul += '\0';
  write_file(path("late-nul"), late_nul);
  EXPECT_EQ(open(5, path("late-nul")), text_reply(5, late_nul, "UTF-8", "lf", false, false));

  // Binary data with zeros in both parity classes.
  write_file(path("elf"),
             "\x7F"
             "ELF" +
                 std::string(12, '\0'));
  EXPECT_EQ(open(6, path("elf")), error_reply(6, "a binary file cannot be opened as text yet"));
}

/// Plain lines with CR LF endings, so the reply's size can be worked out exactly.
std::string crlf_lines(std::size_t bytes) {
  const std::string line = "the quick brown fox jumps over the lazy dog 0123456789\r\n";
  std::string s;
  s.reserve(bytes + line.size());
  while (s.size() + line.size() <= bytes) s += line;
  return s;
}

TEST_F(OpenSave, LargeFileThatFitsOneFrame) {
  const std::string content = crlf_lines(60'000'000);
  write_file(path("big"), content);
  std::string normalised;
  for (char c : content) {
    if (c != '\r') normalised += c;
  }
  EXPECT_EQ(open(1, path("big")), text_reply(1, normalised, "UTF-8", "crlf", false, false));
}

TEST_F(OpenSave, ReplyOverTheFrameLimitIsRefusedAndTheSessionGoesOn) {
  write_file(path("huge"), crlf_lines(80'000'000));         // its text alone is over the limit
  write_file(path("tabs"), std::string(40'000'000, '\t'));  // fits, but not once each tab is escaped
  EXPECT_EQ(open(1, path("huge")), error_reply(1, "too large to open as text yet"));
  EXPECT_EQ(open(2, path("tabs")), error_reply(2, "too large to open as text yet"));
  EXPECT_EQ(editor_->call(3, R"({"call":"hello","version":5})"),
            nivern_test::hello_reply(3));  // answered: the session goes on
}

// ---- save ----

TEST_F(OpenSave, SaveResolvesLabels) {
  EXPECT_EQ(save(1, path("a"), "x", " UTF-8\t"), saved_reply(1));
  EXPECT_EQ(read_file(path("a")), "x");
  EXPECT_EQ(save(2, path("b"), "\xC3\xA9", "latin1"), saved_reply(2));
  EXPECT_EQ(read_file(path("b")), "\xE9");
  EXPECT_EQ(save(3, path("c"), "x", " Latin-1 "), error_reply(3, "unknown encoding  Latin-1 "));
  EXPECT_EQ(save(4, path("c"), "x", ""), error_reply(4, "unknown encoding "));
  EXPECT_FALSE(fs::exists(path("c")));
  EXPECT_FALSE(fs::exists(path(".c.nivern-tmp")));
}

TEST_F(OpenSave, SaveEncodingsMarksAndLineEndings) {
  EXPECT_EQ(save(1, path("u16"), "hi\n", "utf-16le"), saved_reply(1));
  EXPECT_EQ(read_file(path("u16")), "hi\n");  // without a mark: UTF-8 bytes
  EXPECT_EQ(save(2, path("kr"), "h\xC3\xA9", "iso-2022-kr", "lf", true), saved_reply(2));
  EXPECT_EQ(read_file(path("kr")), "h\xC3\xA9");  // replacement: UTF-8, never a mark
  EXPECT_EQ(save(3, path("w"), "\xE2\x82\xAC\xE4\xB8\xAD", "windows-1252"), saved_reply(3));
  EXPECT_EQ(read_file(path("w")), "\x80&#20013;");
  EXPECT_EQ(save(4, path("e1"), "", "utf-8", "lf", true), saved_reply(4));
  EXPECT_EQ(read_file(path("e1")), "\xEF\xBB\xBF");
  EXPECT_EQ(save(5, path("e2"), "", "utf-8"), saved_reply(5));
  EXPECT_EQ(read_file(path("e2")), "");
  EXPECT_EQ(save(6, path("crlf"), "a\nb", "utf-8", "crlf"), saved_reply(6));
  EXPECT_EQ(read_file(path("crlf")), "a\r\nb");
  EXPECT_EQ(save(7, path("crcrlf"), "a\r\nb\rc", "utf-8", "crlf"), saved_reply(7));
  EXPECT_EQ(read_file(path("crcrlf")), "a\r\r\nb\rc");
  EXPECT_EQ(save(8, path("w1252-bom"), "x", "windows-1252", "lf", true), saved_reply(8));
  EXPECT_EQ(read_file(path("w1252-bom")), "x");  // no mark outside UTF-8 and UTF-16
  EXPECT_EQ(save(9, path("u16le"), "h\xC3\xA9\n", "utf-16", "crlf", true), saved_reply(9));
  EXPECT_EQ(read_file(path("u16le")), "\xFF\xFEh\0\xE9\0\r\0\n\0"s);
  EXPECT_EQ(save(10, path("u16be"), "h\n", "UTF-16BE", "lf", true), saved_reply(10));
  EXPECT_EQ(read_file(path("u16be")), "\xFE\xFF\0h\0\n"s);
}

/// Saves `text` and opens it again: what `open` reports must let the editor save it the
/// same way, and the text must come back unchanged.
TEST_F(OpenSave, RoundTripsThroughOpen) {
  struct Case {
    const char* label;
    bool bom;
    const char* encoding;  // as `open` reports it
  };
  const Case cases[] = {
      {"utf-8", false, "UTF-8"},
      {"utf-8", true, "UTF-8"},
      {"utf-16le", true, "UTF-16LE"},
      {"utf-16be", true, "UTF-16BE"},
  };
  const std::string text = "first line \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\nsecond\n\tthird\n";
  std::uint64_t id = 1;
  for (const Case& c : cases) {
    for (const char* le : {"lf", "crlf"}) {
      const std::string p = path(std::string(c.label) + (c.bom ? "-bom-" : "-") + le);
      ASSERT_EQ(save(id, p, text, c.label, le, c.bom), saved_reply(id));
      ++id;
      EXPECT_EQ(open(id, p), text_reply(id, text, c.encoding, le, c.bom, false)) << p;
      ++id;
    }
  }
  // windows-1252 comes back as itself once the bytes are not UTF-8.
  const std::string latin =
      "na\xC3\xAFve caf\xC3\xA9 \xE2\x82\xAC"
      "5\nline\n";
  for (const char* le : {"lf", "crlf"}) {
    const std::string p = path(std::string("latin-") + le);
    ASSERT_EQ(save(id, p, latin, "windows-1252", le), saved_reply(id));
    ++id;
    EXPECT_EQ(open(id, p), text_reply(id, latin, "windows-1252", le, false, false));
    ++id;
  }
}

/// The CJK encodings: `open` cannot recognise them, so the bytes on disk are checked
/// against the C library's converters, and `open` must still see the line endings.
TEST_F(OpenSave, CjkEncodingsWriteWhatIconvReadsBack) {
  struct Case {
    const char* label;
    const char* iconv_name;
    std::string text;
    const char* open_encoding;
  };
  const Case cases[] = {
      {"shift_jis", "CP932",
       "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88\n2"
       "\n",
       "windows-1252"},
      {"gbk", "GBK", "\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE6\x9C\xAC\n2\n", "windows-1252"},
      {"euc-kr", "CP949", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xED\x85\x8D\xEC\x8A\xA4\xED\x8A\xB8\n2\n",
       "windows-1252"},
      {"iso-2022-jp", "ISO-2022-JP", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\n2\n", "UTF-8"},
  };
  std::uint64_t id = 1;
  for (const Case& c : cases) {
    for (const char* le : {"lf", "crlf"}) {
      const std::string p = path(std::string(c.label) + "-" + le);
      ASSERT_EQ(save(id, p, c.text, c.label, le), saved_reply(id));
      ++id;
      const std::string back = p + ".utf8";
      const std::string cmd = "iconv -f " + std::string(c.iconv_name) + " -t UTF-8 " + p + " > " + back;
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
      std::string want = c.text;
      if (std::string(le) == "crlf") {
        want.clear();
        for (char ch : c.text) {
          if (ch == '\n') want += '\r';
          want += ch;
        }
      }
      EXPECT_EQ(read_file(back), want) << c.label << " " << le;
      const std::string reply = open(id++, p);
      EXPECT_NE(
          reply.find(std::string("\"encoding\":\"") + c.open_encoding + "\",\"line_ending\":\"" + le + "\""),
          std::string::npos)
          << reply;
    }
  }
}

TEST_F(OpenSave, SaveCreatesAndFailsWithThePathThatFailed) {
  EXPECT_EQ(save(1, path("new.txt"), "n", "utf-8"), saved_reply(1));
  EXPECT_EQ(read_file(path("new.txt")), "n");

  const std::string in_missing = path("missing/x.txt");
  EXPECT_EQ(save(2, in_missing, "x", "utf-8"),
            error_reply(2, "cannot save " + in_missing + ": " + path("missing/.x.txt.nivern-tmp") +
                               ": No such file or directory (os error 2)"));

  fs::create_directory(path("sub"));
  EXPECT_EQ(
      save(3, path("sub"), "x", "utf-8"),
      error_reply(3, "cannot save " + path("sub") + ": " + path("sub") + ": Is a directory (os error 21)"));
  EXPECT_FALSE(fs::exists(path(".sub.nivern-tmp")));  // removed after the failed rename

  const std::string with_nul = path("a") + "\0b"s;
  EXPECT_EQ(save(4, with_nul, "x", "utf-8"),
            error_reply(4, "cannot save " + with_nul + ": " + path(".a") + "\0b.nivern-tmp"s +
                               ": file name contained an unexpected NUL byte"));
}

TEST_F(OpenSave, SaveWritesThroughASymbolicLink) {
  fs::create_directory(path("real"));
  write_file(path("real/file.txt"), "old");
  ASSERT_EQ(::symlink("real/file.txt", path("link.txt").c_str()), 0);
  EXPECT_EQ(save(1, path("link.txt"), "new", "utf-8"), saved_reply(1));
  EXPECT_TRUE(fs::is_symlink(path("link.txt")));
  EXPECT_EQ(read_file(path("real/file.txt")), "new");
  EXPECT_FALSE(fs::exists(path(".link.txt.nivern-tmp")));
  EXPECT_FALSE(fs::exists(path("real/.file.txt.nivern-tmp")));

  // A dangling link is itself replaced by a regular file.
  ASSERT_EQ(::symlink("nowhere", path("dangling").c_str()), 0);
  EXPECT_EQ(save(2, path("dangling"), "d", "utf-8"), saved_reply(2));
  EXPECT_FALSE(fs::is_symlink(path("dangling")));
  EXPECT_EQ(read_file(path("dangling")), "d");
}

/// Names in `dir` that are not in `keep`.
std::vector<std::string> names_besides(const std::string& dir, const std::set<std::string>& keep) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!keep.contains(e.path().filename().string())) out.push_back(e.path().filename().string());
  }
  return out;
}

TEST_F(OpenSave, SaveRefusesDevicesPipesAndSocketsDirectlyAndThroughLinks) {
  // A private device node with the numbers of the null device, a named pipe and a
  // socket; each is refused as itself and through a link, and stays what it was.
  ASSERT_EQ(::mknod(path("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0) << "CI runs the tests as root";
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = path("sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  std::uint64_t id = 0;
  for (const char* node : {"null", "fifo", "sock"}) {
    struct stat before;
    ASSERT_EQ(::lstat(path(node).c_str(), &before), 0);
    const std::string link = path(std::string(node) + ".log");
    ASSERT_EQ(::symlink(node, link.c_str()), 0);
    for (const std::string& p : {path(node), link}) {
      ++id;
      EXPECT_EQ(save(id, p, "text", "utf-8"),
                error_reply(id, "cannot save " + p + ": " + path(node) + " is not a regular file"));
    }
    struct stat after;
    ASSERT_EQ(::lstat(path(node).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << node;
    EXPECT_EQ(after.st_mode, before.st_mode) << node;
    EXPECT_EQ(after.st_rdev, before.st_rdev) << node;
    EXPECT_TRUE(fs::is_symlink(link));
  }
  ::close(sock);
  EXPECT_EQ(names_besides(dir_.path(), {"null", "fifo", "sock", "null.log", "fifo.log", "sock.log"}),
            std::vector<std::string>{});
}

TEST_F(OpenSave, LeftoversAtTheTemporaryNameAreNeverOpened) {
  // A named pipe (opening it would wait for ever), a hard link to another file, a link
  // and a regular file, each where a save would put its temporary file.
  ASSERT_EQ(::mkfifo(path(".f.txt.nivern-tmp").c_str(), 0644), 0);
  write_file(path("precious"), "keep");
  ASSERT_EQ(::link(path("precious").c_str(), path(".g.txt.nivern-tmp").c_str()), 0);
  ASSERT_EQ(::symlink(path("precious").c_str(), path(".l.txt.nivern-tmp").c_str()), 0);
  write_file(path(".t.txt.nivern-tmp"), "leftover from an earlier save, longer than the new text");
  for (const char* name : {"f.txt", "g.txt", "l.txt", "t.txt"}) {
    EXPECT_EQ(save(1, path(name), std::string("new ") + name, "utf-8"), saved_reply(1)) << name;
    EXPECT_EQ(read_file(path(name)), std::string("new ") + name);
  }
  EXPECT_EQ(read_file(path("precious")), "keep");
  EXPECT_TRUE(fs::is_fifo(path(".f.txt.nivern-tmp")));
  EXPECT_EQ(read_file(path(".t.txt.nivern-tmp")), "leftover from an earlier save, longer than the new text");
  EXPECT_EQ(
      names_besides(dir_.path(), {".f.txt.nivern-tmp", "precious", ".g.txt.nivern-tmp", ".l.txt.nivern-tmp",
                                  ".t.txt.nivern-tmp", "f.txt", "g.txt", "l.txt", "t.txt"}),
      std::vector<std::string>{});
}

TEST_F(OpenSave, ConcurrentSavesOfOneFileAreEachWholeAndEachTold) {
  // Two editor windows save one file at the same moment, round after round, while a
  // reader polls it: every read shows one whole version, never a mix or a cut.
  constexpr std::size_t kSize = 8u << 20;
  write_file(path("a.txt"), std::string(kSize, 'z'));
  Editor other({dir_.path()});
  std::atomic<bool> stop = false;
  std::atomic<int> torn = 0;
  std::thread reader([&] {
    while (!stop) {
      const std::string seen = read_file(path("a.txt"));
      if (seen.size() != kSize || seen.find_first_not_of(seen[0]) != std::string::npos) ++torn;
    }
  });
  auto save_of = [&](std::uint64_t id, char fill) {
    return request(id, save_call(path("a.txt"), std::string(kSize, fill), "utf-8"));
  };
  for (std::uint64_t round = 1; round <= 10; ++round) {
    const char mine = static_cast<char>('a' + round), theirs = static_cast<char>('A' + round);
    editor_->process().send(save_of(round, mine));
    other.process().send(save_of(round, theirs));
    EXPECT_EQ(editor_->process().read_frame().value_or(""), saved_reply(round));
    EXPECT_EQ(other.process().read_frame().value_or(""), saved_reply(round));
    const std::string now = read_file(path("a.txt"));
    EXPECT_TRUE(now == std::string(kSize, mine) || now == std::string(kSize, theirs)) << round;
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(names_besides(dir_.path(), {"a.txt"}), std::vector<std::string>{});
}

TEST_F(OpenSave, NamesUpToTheFileSystemsLimitSave) {
  for (std::size_t n : {243u, 244u, 250u, 255u}) {
    const std::string name(n, 'n');
    write_file(path(name), "old");
    EXPECT_EQ(save(1, path(name), "new", "utf-8"), saved_reply(1)) << n;
    EXPECT_EQ(read_file(path(name)), "new");
    std::filesystem::remove(path(name));
  }
  EXPECT_EQ(names_besides(dir_.path(), {}), std::vector<std::string>{});
}

/// A file's access ACL as the kernel stores it: version 2, then (tag, permissions, id).
std::string acl_value(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
  std::string v("\x02\0\0\0", 4);
  for (const auto& [tag, perm, id] : entries) {
    for (std::uint32_t x : {tag & 0xFF, tag >> 8, perm & 0xFF, perm >> 8, id & 0xFF, (id >> 8) & 0xFF,
                            (id >> 16) & 0xFF, id >> 24}) {
      v += static_cast<char>(x);
    }
  }
  return v;
}

std::optional<std::string> attribute(const std::string& file, const char* name) {
  char buf[256];
  const ssize_t n = ::getxattr(file.c_str(), name, buf, sizeof buf);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<std::size_t>(n));
}

TEST_F(OpenSave, SaveKeepsTheAclAndUserAttributes) {
  constexpr std::uint32_t kAll = 0xFFFFFFFF;
  // 0644 with user 1000 allowed to write: the mask makes `ls` show 0664.
  const std::string acl =
      acl_value({{0x01, 6, kAll}, {0x02, 6, 1000}, {0x04, 4, kAll}, {0x10, 6, kAll}, {0x20, 4, kAll}});
  write_file(path("shared.txt"), "old");
  ASSERT_EQ(::setxattr(path("shared.txt").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0)
      << std::strerror(errno);
  ASSERT_EQ(::setxattr(path("shared.txt").c_str(), "user.origin", "editor", 6, 0), 0) << std::strerror(errno);
  EXPECT_EQ(save(1, path("shared.txt"), "new", "utf-8"), saved_reply(1));
  EXPECT_EQ(read_file(path("shared.txt")), "new");
  EXPECT_EQ(attribute(path("shared.txt"), "system.posix_acl_access"), acl);
  EXPECT_EQ(attribute(path("shared.txt"), "user.origin"), "editor");
  struct stat st;
  ASSERT_EQ(::stat(path("shared.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);

  // A directory's default ACL is for new files: a private file saved inside stays private.
  ASSERT_EQ(::mkdir(path("open").c_str(), 0755), 0);
  const std::string wide = acl_value({{0x01, 7, kAll}, {0x04, 7, kAll}, {0x20, 7, kAll}});
  ASSERT_EQ(::setxattr(path("open").c_str(), "system.posix_acl_default", wide.data(), wide.size(), 0), 0);
  write_file(path("open/private.txt"), "old");
  (void)::removexattr(path("open/private.txt").c_str(), "system.posix_acl_access");
  ASSERT_EQ(::chmod(path("open/private.txt").c_str(), 0600), 0);
  EXPECT_EQ(save(2, path("open/private.txt"), "new", "utf-8"), saved_reply(2));
  EXPECT_EQ(attribute(path("open/private.txt"), "system.posix_acl_access"), std::nullopt);
  ASSERT_EQ(::stat(path("open/private.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(OpenSave, SaveAsRootKeepsTheOwner) {
  if (::geteuid() != 0) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") FAIL() << "CI runs the tests as root";
    GTEST_SKIP() << "needs root";
  }
  write_file(path("theirs.txt"), "old");
  ASSERT_EQ(::chown(path("theirs.txt").c_str(), 1000, 1000), 0);
  ASSERT_EQ(::chmod(path("theirs.txt").c_str(), 0640), 0);
  EXPECT_EQ(save(1, path("theirs.txt"), "new", "utf-8"), saved_reply(1));
  struct stat st;
  ASSERT_EQ(::stat(path("theirs.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1000u);
  EXPECT_EQ(st.st_gid, 1000u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(OpenSave, SaveKeepsThePermissionBitsOfTheFileItReplaces) {
  write_file(path("script.sh"), "#!/bin/sh\n");
  ASSERT_EQ(::chmod(path("script.sh").c_str(), 0754), 0);
  EXPECT_EQ(save(1, path("script.sh"), "#!/bin/sh\necho hi\n", "utf-8"), saved_reply(1));
  struct stat st;
  ASSERT_EQ(::stat(path("script.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0754u);

  // A new file gets the creation mode less the umask.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(save(2, path("fresh"), "x", "utf-8"), saved_reply(2));
  ASSERT_EQ(::stat(path("fresh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
}

// ---- memory ----

TEST(OpenMemory, RefusingAFileThatCannotFitCostsLittle) {
  // 0x80 bytes decode to three bytes each: far past a frame, which the size alone tells.
  const TempTree tree{"nivern-refuse", "/tmp"};
  write_file(tree / "big", std::string(268'435'455, '\x80'));
  Editor server({tree.path()});
  EXPECT_EQ(server.call(1, open_call(tree / "big")), error_reply(1, "too large to open as text yet"));
  std::filesystem::remove(tree / "big");
  // UTF-16 under twice the limit whose text (three bytes a character) is over it.
  std::string units;
  for (int i = 0; i < (127 << 19); ++i) units += "\x2D\x4E";
  write_file(tree / "u16", "\xFF\xFE" + units);
  units = std::string();
  EXPECT_EQ(server.call(2, open_call(tree / "u16")), error_reply(2, "too large to open as text yet"));
  if (nivern_test::kPeakMemoryIsMeaningful) {
    EXPECT_LT(nivern_test::peak_resident_bytes(server.process().pid()), 128u << 20);
  }
}

/// True when the server has stopped reading: requests wait unread in its input and none
/// of its threads runs.
bool stopped_reading(ServerProcess& server) {
  int unread = 0;
  if (::ioctl(server.stdin_fd(), FIONREAD, &unread) != 0 || unread == 0) return false;
  return nivern_test::threads_asleep(server.pid());
}

TEST(OpenMemory, RepliesTheEditorDoesNotReadStopTheRequests) {
  const TempTree tree{"nivern-unread", "/tmp"};
  std::string line(99, 'l');
  line += '\n';
  std::string content;
  for (int i = 0; i < 300'000; ++i) content += line;  // 30 MB
  write_file(tree / "f.txt", content);
  ServerProcess server{tree.path()};
  ASSERT_NE(server.hello(), "");
  constexpr int kOpens = 40;
  // Padded past the server's read buffer, so that unread requests stay in the pipe.
  std::string requests;
  for (int id = 1; id <= kOpens; ++id) {
    requests +=
        nivern_test::frame(R"({"id":)" + std::to_string(id) + R"(,"call":)" + open_call(tree / "f.txt") +
                           R"(,"pad":")" + std::string(16384, ' ') + "\"}");
  }
  std::thread writer([&] { server.write_raw(requests); });
  // The server stops with requests unread, well before holding all forty replies.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int calm = 0;
  while (calm < 5 && std::chrono::steady_clock::now() < deadline) {
    calm = stopped_reading(server) ? calm + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(calm, 5) << "the server never stopped reading";
  if (nivern_test::kPeakMemoryIsMeaningful) {
    EXPECT_LT(nivern_test::peak_resident_bytes(server.pid()), 448u << 20);
  }
  // Reading again: every reply comes, in order.
  const std::string want = text_reply(0, content, "UTF-8", "lf", false, false).substr(7);
  for (int id = 1; id <= kOpens; ++id) {
    const std::string reply = server.read_frame().value_or("");
    EXPECT_TRUE(reply.starts_with(R"({"id":)" + std::to_string(id) + ",") && reply.ends_with(want)) << id;
  }
  writer.join();
  if (nivern_test::kPeakMemoryIsMeaningful) {
    EXPECT_LT(nivern_test::peak_resident_bytes(server.pid()), 448u << 20);
  }
}

TEST(SaveOnAFullDisk, FailsWithoutLeavingTheTemporaryFile) {
  const TempTree tree{"nivern-full", "/tmp"};
  const std::string disk = tree.dir("disk");
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  write_file(disk + "/t.txt", "old");
  Editor server({disk});
  EXPECT_EQ(server.call(1, save_call(disk + "/t.txt", std::string(1 << 20, 'x'), "utf-8")),
            error_reply(1, "cannot save " + disk + "/t.txt: " + disk +
                               "/.t.txt.nivern-tmp: No space left on device (os error 28)"));
  EXPECT_EQ(read_file(disk + "/t.txt"), "old");
  EXPECT_FALSE(fs::exists(disk + "/.t.txt.nivern-tmp"));
  server.process().close_stdin();
  EXPECT_EQ(server.process().wait(), 0);
}

/// The order of the system calls of a save, seen through strace: the temporary file is
/// written and flushed before it takes the target's place, and the directory is flushed
/// after the rename.
TEST(OpenSaveDurability, FlushBeforeAndAfterTheRename) {
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    // The setup installs strace, so in CI a missing or unusable one is a failure.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") FAIL() << "strace cannot run here";
    GTEST_SKIP() << "strace cannot run here";
  }
  const TempTree tree{"nivern-durable", "/tmp"};
  const std::string& dir = tree.path();
  const std::string log = dir + "/strace.log";
  const std::string wrapper = dir + "/server.sh";
  // LeakSanitizer cannot run under a tracer; everything else still checks.
  write_file(wrapper,
             "#!/bin/sh\nexport ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"\nexec strace "
             "-f -qq -o " +
                 log + " -e trace=openat,fsync,fdatasync,rename,renameat,renameat2 " +
                 nivern_test::server_binary() + " \"$@\"\n");
  ASSERT_EQ(::chmod(wrapper.c_str(), 0755), 0);
  const std::string real = nivern_test::server_binary();
  ::setenv("NIVERN_SERVER_BIN", wrapper.c_str(), 1);
  {
    Editor server({dir});
    ::setenv("NIVERN_SERVER_BIN", real.c_str(), 1);
    const std::string target = dir + "/t.txt";
    EXPECT_EQ(server.call(1, save_call(target, "x", "utf-8")), saved_reply(1));
    server.process().close_stdin();
    EXPECT_EQ(server.process().wait(), 0);
  }
  const std::string trace = read_file(log);
  const std::string temp = "\"" + dir + "/.t.txt.nivern-tmp\"";
  std::size_t open_at = trace.find("openat(AT_FDCWD, " + temp);
  ASSERT_NE(open_at, std::string::npos) << trace;
  std::size_t line_end = trace.find('\n', open_at);
  std::string open_line = trace.substr(open_at, line_end - open_at);
  EXPECT_NE(open_line.find("O_NOFOLLOW"), std::string::npos) << open_line;
  EXPECT_NE(open_line.find("O_CLOEXEC"), std::string::npos) << open_line;
  std::string result_line = open_line;
  if (open_line.find("<unfinished") != std::string::npos) {
    // The result comes on the same thread's "resumed" line.
    const std::size_t line_start = trace.rfind('\n', open_at) + 1;  // npos + 1 is 0
    const std::string pid = trace.substr(line_start, trace.find(' ', line_start) - line_start);
    const std::size_t resumed = trace.find(pid + " <... openat resumed>", line_end);
    ASSERT_NE(resumed, std::string::npos) << trace;
    result_line = trace.substr(resumed, trace.find('\n', resumed) - resumed);
  }
  const std::string fd = result_line.substr(result_line.rfind("= ") + 2);
  // With other threads' calls in between, strace splits a call into "fsync(5 <unfinished
  // ...>" and a later "resumed" line.
  auto find_fsync = [&trace](const std::string& fd, std::size_t from) {
    for (std::size_t at = trace.find("fsync(" + fd, from); at != std::string::npos;
         at = trace.find("fsync(" + fd, at + 1)) {
      const char after = trace[at + 6 + fd.size()];
      if (after == ')' || after == ' ') return at;
    }
    return std::string::npos;
  };
  std::size_t sync_file = find_fsync(fd, line_end);
  std::size_t rename = trace.find("rename(" + temp, line_end);
  ASSERT_NE(sync_file, std::string::npos) << trace;
  ASSERT_NE(rename, std::string::npos) << trace;
  EXPECT_LT(sync_file, rename);
  std::size_t open_dir =
      trace.find("openat(AT_FDCWD, \"" + dir + "\", O_RDONLY|O_CLOEXEC|O_DIRECTORY", rename);
  ASSERT_NE(open_dir, std::string::npos) << trace;
  std::string dir_line = trace.substr(open_dir, trace.find('\n', open_dir) - open_dir);
  EXPECT_NE(find_fsync(dir_line.substr(dir_line.rfind("= ") + 2), open_dir), std::string::npos)
      << trace;
}

TEST(OpenSaveBareName, TemporaryFileInTheServersWorkingDirectory) {
  const TempTree tree{"nivern-bare", "/tmp"};
  const fs::path here = fs::current_path();
  fs::current_path(tree.path());  // the server starts in it
  {
    Editor server({tree.path()});
    fs::current_path(here);
    EXPECT_EQ(server.call(2, save_call("x.txt", "x", "utf-8")), saved_reply(2));
    EXPECT_EQ(read_file(tree / "x.txt"), "x");
    EXPECT_EQ(names_besides(tree.path(), {"x.txt"}), std::vector<std::string>{});
  }
  fs::current_path(here);
}

}  // namespace
