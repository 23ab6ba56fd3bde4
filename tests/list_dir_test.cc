// list_dir seen from the editor's side: the root's ignore files as the session read them
// at start-up, the listed directory's own .gitignore, ordering, sizes and error texts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness/editor.h"
#include "harness/replies.h"
#include "harness/temp_tree.h"

namespace {

using nivern_test::Editor;
using nivern_test::entries_reply;
using nivern_test::entry;
using nivern_test::error_reply;
using nivern_test::json_string;
using nivern_test::response;
using nivern_test::TempTree;

class ListDir : public ::testing::Test {
 protected:
  void start() { editor_ = std::make_unique<Editor>(std::vector<std::string>{t_.path()}); }
  std::string list(const std::string& path, std::uint64_t id = 2) {
    return editor_->call(id, R"({"call":"list_dir","path":)" + json_string(path) + "}");
  }

  TempTree t_;
  std::unique_ptr<Editor> editor_;
};

TEST_F(ListDir, OrderSizesAndHiddenEntries) {
  t_.file("B", "bbb");
  t_.file("a", "a");
  t_.file("C");
  t_.dir("z");
  t_.dir(".git");
  t_.dir(".github");
  t_.file(".env", "K=V\n");
  t_.link("z", "to-z");
  start();
  EXPECT_EQ(list(t_.path()), entries_reply(2, entry(".github", true, 0) + "," + entry("z", true, 0) + "," +
                                                  entry(".env", false, 4) + "," + entry("a", false, 1) + "," +
                                                  entry("B", false, 3) + "," + entry("C", false, 0) + "," +
                                                  entry("to-z", false, 1)));
}

TEST_F(ListDir, RootIgnoreFilesReadAtStartUp) {
  t_.file(".gitignore", "*.log\ntarget/\n");
  t_.file(".ignore", "!keep.log\n");
  t_.file("a.log");
  t_.file("keep.log");
  t_.dir("target");
  t_.file("sub/target");
  t_.file("sub/b.log");
  t_.file("sub/keep.log");
  start();
  EXPECT_EQ(list(t_.path()),
            entries_reply(2, entry("sub", true, 0) + "," + entry(".gitignore", false, 14) + "," +
                                 entry(".ignore", false, 10) + "," + entry("keep.log", false, 0)));
  EXPECT_EQ(list(t_ / "sub", 3),
            entries_reply(3, entry("keep.log", false, 0) + "," + entry("target", false, 0)));
  // Edits after start-up do not reach the root matcher; the listed directory's own
  // .gitignore is read afresh at every call.
  t_.file(".ignore", "");
  t_.file("sub/.gitignore", "target\n");
  EXPECT_EQ(list(t_ / "sub", 4),
            entries_reply(4, entry(".gitignore", false, 7) + "," + entry("keep.log", false, 0)));
}

TEST_F(ListDir, IgnoredDirectoryListsWhatItsOwnPathsAllow) {
  t_.file(".gitignore", "build/\n*.o\n");
  t_.file("build/a.o");
  t_.file("build/b.txt");
  start();
  EXPECT_EQ(list(t_ / "build"), entries_reply(2, entry("b.txt", false, 0)));
}

TEST_F(ListDir, EmptyDirectory) {
  t_.dir("empty");
  start();
  EXPECT_EQ(list(t_ / "empty"), entries_reply(2, ""));
}

TEST_F(ListDir, ErrorTexts) {
  t_.file("plain", "x");
  start();
  EXPECT_EQ(list(t_ / "plain"),
            error_reply(2, "cannot list " + t_ / "plain" + ": Not a directory (os error 20)"));
  EXPECT_EQ(list(t_ / "missing", 3),
            error_reply(3, "cannot list " + t_ / "missing" + ": No such file or directory (os error 2)"));
  EXPECT_EQ(
      editor_->call(4, R"({"call":"list_dir","path":"a\u0000b"})"),
      error_reply(4, std::string("cannot list a\0b", 15) + ": file name contained an unexpected NUL byte"));
}

TEST_F(ListDir, NamesThatAreNotUtf8AreShownWithReplacementCharacters) {
  t_.file("b");
  t_.file("a\xff");
  start();
  EXPECT_EQ(list(t_.path()), entries_reply(2, entry("a\xef\xbf\xbd", false, 0) + "," + entry("b", false, 0)));
}

}  // namespace
