// Ignore and config files that are not small regular files (a named pipe, a link to
// /dev/zero, a huge sparse file) at every place the session reads one: start-up, the
// listing, the scan and the search all answer as if those files were unreadable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness/editor.h"
#include "harness/replies.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace {

using nivern_test::Editor;
using nivern_test::entries_reply;
using nivern_test::entry;
using nivern_test::json_string;
using nivern_test::response;
using nivern_test::scanned_reply;
using nivern_test::ScopedEnv;
using nivern_test::TempTree;

enum class Kind { fifo, zero, sparse };

constexpr std::uint64_t SPARSE_SIZE = std::uint64_t{1} << 40;

/// A file of `kind` at `rel` (parents made); its length as a listing reports it.
std::uint64_t plant(const TempTree& t, const std::string& rel, Kind kind) {
  t.file(rel);  // parents, then replaced below
  const std::string path = t / rel;
  ::unlink(path.c_str());
  switch (kind) {
    case Kind::fifo:
      EXPECT_EQ(::mkfifo(path.c_str(), 0644), 0);
      return 0;
    case Kind::zero:
      t.link("/dev/zero", rel);
      return 9;
    case Kind::sparse: {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(SPARSE_SIZE)), 0);
      ::close(fd);
      return SPARSE_SIZE;
    }
  }
  return 0;
}

std::string hit(const std::string& path) {
  return R"({"path":)" + json_string(path) + R"(,"line":1,"text":"needle","start":0,"end":6})";
}

TEST(HostileFiles, EveryReaderTreatsThemAsUnreadable) {
  for (Kind kind : {Kind::fifo, Kind::zero, Kind::sparse}) {
    SCOPED_TRACE(static_cast<int>(kind));
    TempTree t;
    TempTree home;
    std::uint64_t len = 0;
    for (const char* rel : {".gitignore", ".ignore", ".git/info/exclude", "sub/.gitignore", "sub/.ignore"}) {
      len = plant(t, rel, kind);
    }
    t.file("a.txt", "needle\n");
    t.file("sub/hit.txt", "needle\n");
    for (const char* rel : {".gitconfig", ".config/git/config", ".config/git/ignore"}) plant(home, rel, kind);
    ScopedEnv global("GIT_CONFIG_GLOBAL", nullptr);
    Editor server({t.path()}, {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + (home / ".config")});  // greeted

    EXPECT_EQ(server.call(1, R"({"call":"list_dir","path":)" + json_string(t.path()) + "}"),
              entries_reply(1, entry("sub", true, 0) + "," + entry(".gitignore", false, len) + "," +
                                   entry(".ignore", false, len) + "," + entry("a.txt", false, 7)));
    EXPECT_EQ(server.call(2, R"({"call":"list_dir","path":)" + json_string(t / "sub") + "}"),
              entries_reply(2, entry(".gitignore", false, len) + "," + entry(".ignore", false, len) + "," +
                                   entry("hit.txt", false, 7)));
    std::vector<std::string> paths;
    for (const char* rel : {".git/info/exclude", ".gitignore", ".ignore", "a.txt", "sub/.gitignore",
                            "sub/.ignore", "sub/hit.txt"}) {
      paths.push_back(t / rel);
    }
    EXPECT_EQ(server.call(3, R"({"call":"scan","path":)" + json_string(t.path()) + R"(,"excludes":[]})"),
              scanned_reply(3, paths));
    EXPECT_EQ(
        server.call(4, R"({"call":"search","path":)" + json_string(t.path()) +
                           R"(,"pattern":"needle","case_sensitive":true,"whole_word":false,"regex":false,)"
                           R"("excludes":[]})"),
        response(4, R"({"reply":"found","matches":[)" + hit(t / "a.txt") + "," + hit(t / "sub/hit.txt") +
                        R"(],"truncated":false,"files":2})"));
    server.process().close_stdin();
    EXPECT_EQ(server.process().wait(), 0);
  }
}

}  // namespace
