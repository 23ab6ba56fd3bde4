#include "git/show.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/test_repo.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_git {
namespace {

using namespace std::string_literals;
using nivern_git_test::commit_all;
using nivern_git_test::git;
using nivern_protocol::message::LineEnding;
using nivern_protocol::message::Reply;
using nivern_test::ScopedEnv;
using nivern_test::TempTree;
using nivern_test::write_file;

TEST(RelativeTo, StripsTheWorkDirectoryByWholeComponents) {
  EXPECT_EQ(show::relative_to("/w", "/w/src/main.rs"), "src/main.rs");
  EXPECT_EQ(show::relative_to("/w/", "/w/src/"), "src");
  EXPECT_EQ(show::relative_to("/w", "/w"), "");
  EXPECT_EQ(show::relative_to("/w", "/work/x"), "/work/x");
  EXPECT_EQ(show::relative_to("/w", "/other/x"), "/other/x");
  EXPECT_EQ(show::relative_to("", "src/x"), "src/x");
  EXPECT_EQ(show::relative_to(".", "./src/x"), "src/x");
  EXPECT_EQ(show::relative_to("/w", "/w/dir\\file"), "dir\\file");  // one name
  EXPECT_EQ(show::relative_to("/w", "/w/bad\xFF"), "bad\uFFFD");
}

using Shown = std::expected<Reply, show::OverLimit>;

Shown committed(const std::string& path, std::size_t limit = SIZE_MAX) { return show::committed(path, limit); }

// The committed text of `shown`, or a failure showing what came instead.
std::string text_of(const Shown& shown) {
  if (!shown) return "over the limit";
  const Reply& reply = *shown;
  if (auto* t = std::get_if<Reply::Text>(&reply.v)) {
    EXPECT_EQ(t->encoding, "UTF-8");
    EXPECT_EQ(t->line_ending, LineEnding::lf);
    EXPECT_FALSE(t->bom);
    EXPECT_FALSE(t->lossy);
    return t->text;
  }
  if (auto* e = std::get_if<Reply::Error>(&reply.v)) return "error: " + e->message;
  return "unexpected reply";
}

std::string error_of(const Shown& shown) {
  if (!shown) return "over the limit";
  const Reply& reply = *shown;
  if (auto* e = std::get_if<Reply::Error>(&reply.v)) return e->message;
  return "not an error";
}

class Show : public nivern_git_test::RepoTest {};

TEST_F(Show, CommittedContentComesBackUnconverted) {
  write_file(repo_ + "/plain.txt", "one\ntwo\n");
  write_file(repo_ + "/crlf.txt", "\xEF\xBB\xBFwin\r\ndows\r\n");
  write_file(repo_ + "/nul.txt", "a\0b"s);
  write_file(repo_ + "/dir/with space \"q\"\nnl.txt", "awkward\n");
  commit_all(repo_, "one");
  write_file(repo_ + "/plain.txt", "edited since\n");

  EXPECT_EQ(text_of(committed(repo_ + "/plain.txt")), "one\ntwo\n");
  EXPECT_EQ(text_of(committed(repo_ + "/crlf.txt")), "\xEF\xBB\xBFwin\r\ndows\r\n");
  EXPECT_EQ(text_of(committed(repo_ + "/nul.txt")), "a\0b"s);
  EXPECT_EQ(text_of(committed(repo_ + "/dir/with space \"q\"\nnl.txt")), "awkward\n");
  // The repository is reached as "repo//dir/..", and the path is taken relative to that.
  EXPECT_EQ(text_of(committed(repo_ + "//dir/../plain.txt")), "one\ntwo\n");
}

TEST_F(Show, TreesAreListed) {
  write_file(repo_ + "/sub/a", "x");
  write_file(repo_ + "/top", "x");
  commit_all(repo_, "one");
  EXPECT_EQ(text_of(committed(repo_)), "tree HEAD:\n\nsub/\ntop\n");
  EXPECT_EQ(text_of(committed(repo_ + "/sub")), "tree HEAD:sub\n\na\n");
}

TEST_F(Show, ErrorMessages) {
  write_file(repo_ + "/kept", "x");
  write_file(repo_ + "/image.bin", "\x89PNG\r\n\x1A\n\xFF\xFE"s);
  commit_all(repo_, "one");
  write_file(repo_ + "/staged-only", "x");
  git(repo_, {"add", "staged-only"});
  write_file(repo_ + "/on-disk", "x");

  EXPECT_EQ(error_of(committed(dir_ / "elsewhere/f")), "not in a repository");
  EXPECT_EQ(error_of(committed(repo_ + "/staged-only")), "not in the last commit");
  EXPECT_EQ(error_of(committed(repo_ + "/on-disk")), "not in the last commit");
  EXPECT_EQ(error_of(committed(repo_ + "/never-existed")), "not in the last commit");
  EXPECT_EQ(error_of(committed(repo_ + "/image.bin")), "binary in the last commit");
  // A non-UTF-8 name reaches git with U+FFFD in it, so git cannot find it.
  write_file(repo_ + "/n\xFF", "x");
  commit_all(repo_, "two");
  EXPECT_EQ(error_of(committed(repo_ + "/n\xFF")), "not in the last commit");
}

TEST_F(Show, ContentOverTheLimitIsNotTaken) {
  write_file(repo_ + "/f", std::string(100, 'x'));
  commit_all(repo_, "one");
  EXPECT_EQ(text_of(committed(repo_ + "/f", 100)), std::string(100, 'x'));
  EXPECT_EQ(text_of(committed(repo_ + "/f", 99)), "over the limit");
}

TEST_F(Show, GitsOwnComplaintIsPassedOnWhole) {
  write_file(repo_ + "/f", "x");
  // No commit yet: git's message, "fatal: " kept.
  EXPECT_EQ(error_of(committed(repo_ + "/f")), "fatal: invalid object name 'HEAD'.");
  commit_all(repo_, "one");
  // A path that leaves the work tree reaches git as "../x", and git says why not.
  EXPECT_EQ(error_of(committed(repo_ + "/../x")), "fatal: '../x' is outside repository at '" + repo_ + "'");
}

TEST_F(Show, GitThatCannotStart) {
  write_file(repo_ + "/f", "x");
  commit_all(repo_, "one");
  TempTree empty;
  ScopedEnv path("PATH", empty.path().c_str());
  EXPECT_EQ(error_of(committed(repo_ + "/f")), "No such file or directory (os error 2)");
}

TEST_F(Show, BrokenGitdirGivesGitsWords) {
  std::string broken = dir_ / "broken";
  write_file(broken + "/.git", "gitdir: nowhere");
  Shown r = committed(broken + "/f");
  EXPECT_EQ(error_of(r), "fatal: not a git repository: " + broken + "/nowhere");
}

}  // namespace
}  // namespace nivern_git
