#include "git/discover.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "git/head.h"
#include "git/path.h"
#include "harness/test_repo.h"
#include "harness/temp_tree.h"

namespace nivern_git {
namespace {

using namespace std::string_literals;
using nivern_test::TempTree;
using nivern_test::write_file;

TEST(Path, LexicalParent) {
  struct Row {
    const char* path;
    std::optional<std::string> parent;
  };
  const Row rows[] = {
      {"a/b", "a"},     {"a", ""},        {"", std::nullopt}, {"/", std::nullopt}, {"///", std::nullopt},
      {"/a", "/"},      {"/a/b/c", "/a/b"}, {"a/b/", "a"},    {"a/b/.", "a"},      {"a/./b", "a"},
      {"./a", "."},     {".", ""},        {"..", ""},         {"a/..", "a"},       {"../..", ".."},
      {"//a", "/"},     {"a//b", "a"},
  };
  for (const Row& r : rows) EXPECT_EQ(path::parent(r.path), r.parent) << r.path;
}

TEST(Path, JoinAddsOneSeparator) {
  EXPECT_EQ(path::join("", ".git"), ".git");
  EXPECT_EQ(path::join("/", ".git"), "/.git");
  EXPECT_EQ(path::join("a/", ".git"), "a/.git");
  EXPECT_EQ(path::join("a", "../b"), "a/../b");
  EXPECT_EQ(path::join("a", "/abs"), "/abs");
}

TEST(Path, StripPrefixComparesWholeComponents) {
  using R = std::optional<std::string_view>;
  EXPECT_EQ(path::strip_prefix("/w/src/a.rs", "/w"), R("src/a.rs"));
  EXPECT_EQ(path::strip_prefix("/w/src/a.rs", "/w/"), R("src/a.rs"));
  EXPECT_EQ(path::strip_prefix("/w//src/./a.rs", "/w/."), R("src/./a.rs"));
  EXPECT_EQ(path::strip_prefix("/work/a", "/w"), R());
  EXPECT_EQ(path::strip_prefix("/w", "/w"), R(""));
  EXPECT_EQ(path::strip_prefix("/w/", "/w"), R(""));
  EXPECT_EQ(path::strip_prefix("./x/y", "."), R("x/y"));
  EXPECT_EQ(path::strip_prefix("x/y", "."), R());
  EXPECT_EQ(path::strip_prefix("x/y", ""), R("x/y"));
  EXPECT_EQ(path::strip_prefix("/etc/x", "/"), R("etc/x"));
  EXPECT_EQ(path::strip_prefix("rel/x", "/rel"), R());
}

class Discover : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_ / "repo/.git"); }
  TempTree dir_;
};

TEST_F(Discover, FindsTheNearestGitDirectoryAsReached) {
  std::filesystem::create_directories(dir_ / "repo/a");
  std::string start = dir_ / "repo/src/deep/file.rs";  // neither needs to exist
  EXPECT_EQ(discover::find(start), (Repo{dir_ / "repo", dir_ / "repo/.git"}));
  EXPECT_EQ(discover::find(dir_ / "repo/"), (Repo{dir_ / "repo/", dir_ / "repo/.git"}));
  EXPECT_EQ(discover::find(dir_ / "repo/a/../b"), (Repo{dir_ / "repo/a/..", dir_ / "repo/a/../.git"}));
  EXPECT_EQ(discover::find(dir_ / "elsewhere"), std::nullopt);
  EXPECT_EQ(discover::find("/"), std::nullopt);
}

TEST_F(Discover, LinkedGitDirectoryIsFollowed) {
  std::filesystem::create_directories(dir_ / "real-git");
  std::filesystem::create_directories(dir_ / "linked");
  std::filesystem::create_directory_symlink(dir_ / "real-git", dir_ / "linked/.git");
  EXPECT_EQ(discover::find(dir_ / "linked/x"), (Repo{dir_ / "linked", dir_ / "linked/.git"}));
}

TEST_F(Discover, GitdirFiles) {
  std::string sub = dir_ / "repo/sub";
  write_file(sub + "/.git", "  gitdir:   ../.git/modules/sub \n");
  EXPECT_EQ(discover::find(sub + "/f"), (Repo{sub, sub + "/../.git/modules/sub"}));
  write_file(sub + "/.git", "gitdir: /abs/worktrees/w");
  EXPECT_EQ(discover::find(sub), (Repo{sub, "/abs/worktrees/w"}));
  // A ".git" file that says anything else ends the search, although the parent is a repository.
  for (std::string bad : {"gitdir:"s, "gitdir:   \n"s, "gitdir"s, "not a gitdir line"s, "GITDIR: x"s, ""s,
                          "gitdir: \xFF\xFE"s}) {
    write_file(sub + "/.git", bad);
    EXPECT_EQ(discover::find(sub + "/f"), std::nullopt) << bad;
  }
}

TEST_F(Discover, OtherKindsOfGitEntryAreSteppedOver) {
  std::string sub = dir_ / "repo/sub";
  std::filesystem::create_directories(sub);
  ASSERT_EQ(::mkfifo((sub + "/.git").c_str(), 0644), 0);  // never opened: no hang
  EXPECT_EQ(discover::find(sub), (Repo{dir_ / "repo", dir_ / "repo/.git"}));
  std::filesystem::remove(sub + "/.git");
  std::filesystem::create_symlink(sub + "/dangling", sub + "/.git");
  EXPECT_EQ(discover::find(sub), (Repo{dir_ / "repo", dir_ / "repo/.git"}));
  // A NUL byte cannot name a file: that candidate is passed over like a missing one.
  EXPECT_EQ(discover::find(dir_ / "repo/a\0b"s), (Repo{dir_ / "repo", dir_ / "repo/.git"}));
}

TEST_F(Discover, RelativeStartEndsWithTheEmptyPath) {
  auto here = std::filesystem::current_path();
  std::filesystem::current_path(dir_ / "repo");
  auto from_file = discover::find("src/main.rs");
  auto from_dot = discover::find("./src");
  std::filesystem::current_path(dir_.path());
  auto outside = discover::find("x/y");
  std::filesystem::current_path(here);

  EXPECT_EQ(from_file, (Repo{"", ".git"}));
  EXPECT_EQ(from_dot, (Repo{".", "./.git"}));
  EXPECT_EQ(outside, std::nullopt);
}

TEST(Head, ParsesEveryForm) {
  using B = std::optional<std::string>;
  EXPECT_EQ(head::parse("ref: refs/heads/main\n"), B("main"));
  EXPECT_EQ(head::parse("ref: refs/heads/feature/deep/name"), B("feature/deep/name"));
  EXPECT_EQ(head::parse("ref: refs/heads/"), B(""));
  EXPECT_EQ(head::parse("ref:refs/heads/tight"), B("tight"));
  EXPECT_EQ(head::parse("ref: refs/remotes/origin/main"), B("refs/remotes/origin/main"));
  EXPECT_EQ(head::parse("ref:   \n"), B());
  EXPECT_EQ(head::parse("0123456789abcdef0123456789abcdef01234567\n"), B("0123456"));
  EXPECT_EQ(head::parse("ABCDEF0 trailing words"), B("ABCDEF0"));
  EXPECT_EQ(head::parse("abcde"), B());
  EXPECT_EQ(head::parse("abcdefg0123"), B());  // 'g' is not hexadecimal
  EXPECT_EQ(head::parse("   "), B());
  EXPECT_EQ(head::parse("garbage"), B());
  EXPECT_EQ(head::parse("\u3000abcdef01\u3000more"), B("abcdef0"));
}

TEST(Head, ReadsOnlyARegularUtf8File) {
  TempTree gitdir;
  EXPECT_EQ(head::read(gitdir.path()), std::nullopt);  // missing
  write_file(gitdir / "HEAD", "ref: refs/heads/topic\n");
  EXPECT_EQ(head::read(gitdir.path()), "topic");
  EXPECT_EQ(head::read(gitdir.path() + "/"), "topic");
  write_file(gitdir / "HEAD", "ref: refs/heads/\xFF\n");
  EXPECT_EQ(head::read(gitdir.path()), std::nullopt);
  std::filesystem::remove(gitdir / "HEAD");
  std::filesystem::create_directory(gitdir / "HEAD");
  EXPECT_EQ(head::read(gitdir.path()), std::nullopt);
  std::filesystem::remove(gitdir / "HEAD");
  ASSERT_EQ(::mkfifo((gitdir / "HEAD").c_str(), 0644), 0);
  EXPECT_EQ(head::read(gitdir.path()), std::nullopt);  // and no hang waiting for a writer
  std::filesystem::remove(gitdir / "HEAD");
  std::filesystem::create_symlink("/dev/zero", gitdir / "HEAD");
  EXPECT_EQ(head::read(gitdir.path()), std::nullopt);  // never read: not a regular file
  std::filesystem::remove(gitdir / "HEAD");
  write_file(gitdir / "HEAD", "ref: refs/heads/topic\n");
  std::filesystem::resize_file(gitdir / "HEAD", std::uintmax_t{1} << 40);  // sparse, over the cap
  EXPECT_EQ(head::read(gitdir.path()), std::nullopt);
}

TEST_F(Discover, AnOversizedGitdirFileIsNoRepository) {
  std::string sub = dir_ / "repo/sub";
  std::filesystem::create_directories(sub);
  write_file(sub + "/.git", "gitdir: ../.git\n");
  std::filesystem::resize_file(sub + "/.git", std::uintmax_t{1} << 40);
  EXPECT_EQ(discover::find(sub), std::nullopt);
}

}  // namespace
}  // namespace nivern_git
