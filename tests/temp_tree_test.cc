// The shared temporary trees of the test harness: what they make, and that nothing is
// left behind, even where a test took permissions away.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "harness/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using nivern_test::read_file;
using nivern_test::TempTree;
using nivern_test::write_file;

TEST(TempTree, MakesFilesDirectoriesAndLinksAndRemovesThemAll) {
  std::string root;
  {
    TempTree t("nivern-harness");
    root = t.path();
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(fs::path(root).filename().string().rfind("nivern-harness-", 0), 0u);
    EXPECT_EQ(t / "a/b", root + "/a/b");

    EXPECT_EQ(t.file("deep/er/f.txt", std::string("x\0y", 3)), root + "/deep/er/f.txt");
    EXPECT_EQ(read_file(t / "deep/er/f.txt"), std::string("x\0y", 3));
    t.file("deep/er/f.txt", "shorter");  // replaced, not appended
    EXPECT_EQ(read_file(t / "deep/er/f.txt"), "shorter");
    EXPECT_EQ(t.file("empty"), root + "/empty");
    EXPECT_EQ(fs::file_size(t / "empty"), 0u);

    EXPECT_EQ(t.dir("d/e"), root + "/d/e");
    EXPECT_TRUE(fs::is_directory(t / "d/e"));

    t.link("../deep", "links/to-deep");
    EXPECT_EQ(fs::read_symlink(t / "links/to-deep"), "../deep");
    EXPECT_EQ(read_file(t / "links/to-deep/er/f.txt"), "shorter");
  }
  EXPECT_FALSE(fs::exists(root));
}

TEST(TempTree, FreeHelpers) {
  TempTree t;
  write_file(t / "new/dir/x", "content");
  EXPECT_EQ(read_file(t / "new/dir/x"), "content");
  EXPECT_EQ(read_file(t / "missing"), "");
}

TEST(TempTree, FailuresFailTheTest) {
  TempTree t;
  t.file("plain", "x");
  EXPECT_NONFATAL_FAILURE(t.file("plain/under-a-file", "x"), "cannot make the parents of");
  EXPECT_NONFATAL_FAILURE(t.link("x", "plain"), "File exists (os error 17)");
}

// Directories without permissions are removed too. Permission checks do not bind root,
// so the tree is made and dropped by the unprivileged user in a child.
TEST(TempTree, RemovedEvenWhereAccessWasTakenAway) {
  TempTree shared("nivern-harness", "/tmp");
  ::chmod(shared.path().c_str(), 0777);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    std::optional<TempTree> t(std::in_place, "nivern-locked", shared.path());
    t->file("locked/inner/f", "x");
    t->file("locked/g", "x");
    ::chmod((*t / "locked/inner").c_str(), 0);
    ::chmod((*t / "locked").c_str(), 0);
    const std::string root = t->path();
    t.reset();
    ::_exit(fs::exists(shared / fs::path(root).filename().string()) ? 1 : 0);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the locked tree stayed; 2: could not drop to nobody";
  EXPECT_TRUE(fs::is_empty(shared.path()));
}

}  // namespace
