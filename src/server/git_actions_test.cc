// git_action against real repositories: a local bare repository as the remote, and a
// fake `gh` on PATH that records its arguments and prints what the test gives it.
#include "server/git_actions.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "git/show.h"
#include "harness/test_repo.h"
#include "harness/frame_client.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_server::git {
namespace {

using nivern_git_test::commit_all;
using nivern_git_test::git;
using nivern_git_test::write_script;
using nivern_protocol::message::GitAction;
using nivern_protocol::message::Reply;
using nivern_protocol::message::Response;
using nivern_test::json_string;
using nivern_test::ScopedEnv;
using nivern_test::TempTree;
using nivern_test::write_file;
using A = GitAction;
using namespace std::string_literals;

// The reply as the editor reads it.
std::string wire(const Reply& r) {
  return Response{1, r}.encode();
}

std::string done(
    const std::string& said,
    const std::string& rest = R"("branches":[],"pulls":[],"open":null,"commits":[],"changed":[])") {
  return R"({"id":1,"reply":{"reply":"git_done","said":)" + json_string(said) + "," + rest + "}}";
}

// A `branches` reply naming exactly "main" and "topic"; both were committed in the same
// second, so either may come first.
bool lists_main_and_topic(const std::string& reply) {
  const std::string rest = R"(],"pulls":[],"open":null,"commits":[],"changed":[])";
  return reply == done("", R"("branches":["main","topic")" + rest) ||
         reply == done("", R"("branches":["topic","main")" + rest);
}

std::string error(const std::string& message) {
  return R"({"id":1,"reply":{"reply":"error","message":)" + json_string(message) + "}}";
}

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}

TEST(Names, OneFileNameOrACount) {
  EXPECT_EQ(names({"/w/src/main.rs"}), "main.rs");
  EXPECT_EQ(names({"/w/src/"}), "src");
  EXPECT_EQ(names({"/w/src/."}), "src");
  EXPECT_EQ(names({"/w/.."}), "/w/..");
  EXPECT_EQ(names({"/"}), "/");
  EXPECT_EQ(names({""}), "");
  EXPECT_EQ(names({"/w/bad\xFF"}), "bad\uFFFD");
  EXPECT_EQ(names({}), "0 files");
  EXPECT_EQ(names({"a", "b", "c"}), "3 files");
}

class GitActions : public nivern_git_test::RepoTest {
 protected:
  std::string act(const GitAction& a) { return wire(git::act(repo_, a)); }
  std::string staged() { return git(repo_, {"diff", "--cached", "--name-only", "-z"}); }
  std::string head() { return git(repo_, {"rev-parse", "--short", "HEAD"}).substr(0, 7); }
};

TEST_F(GitActions, StageUnstageAndDiscard) {
  const std::string odd = "-n \"q\" \nx";  // a dash, spaces, quotes and a newline
  for (const char* f : {"a", "b", "c", "d"}) write_file(repo_ + "/" + f, "1\n");
  write_file(repo_ + "/" + odd, "1\n");
  commit_all(repo_, "first");
  for (const char* f : {"a", "b", "c", "d"}) write_file(repo_ + "/" + f, "2\n");
  write_file(repo_ + "/" + odd, "2\n");

  EXPECT_EQ(act(A::Stage{{repo_ + "/" + odd}}), done("Staged " + odd + "."));
  EXPECT_EQ(staged(), odd + '\0');
  EXPECT_EQ(act(A::Stage{{}}), done("Staged 0 files."));
  EXPECT_EQ(act(A::Stage{{repo_ + "/a", repo_ + "/b", repo_ + "/c"}}), done("Staged 3 files."));
  EXPECT_EQ(staged(), odd + '\0' + "a\0b\0c\0"s);
  EXPECT_EQ(act(A::Stage{{dir_ / "outside"}}),
            error(dir_ / "outside: '" + dir_ / "outside' is outside repository at '" + repo_ + "'"));

  EXPECT_EQ(act(A::Unstage{{repo_ + "/b"}}), done("Unstaged b."));
  EXPECT_EQ(staged(), odd + '\0' + "a\0c\0"s);
  EXPECT_EQ(act(A::UnstageAll{}), done("Unstaged everything."));
  EXPECT_EQ(staged(), "");
  EXPECT_EQ(act(A::StageAll{}), done("Staged everything."));
  EXPECT_EQ(staged(), odd + '\0' + "a\0b\0c\0d\0"s);
  git(repo_, {"reset", "-q"});

  write_file(repo_ + "/new/junk", "x");
  EXPECT_EQ(act(A::Discard{{repo_ + "/a"}, {repo_ + "/new"}}), done("Discarded changes to 2 files."));
  EXPECT_EQ(read(repo_ + "/a"), "1\n");
  EXPECT_FALSE(exists(repo_ + "/new"));
  EXPECT_EQ(act(A::Discard{{}, {}}), done("Discarded changes to 0 files."));
  EXPECT_EQ(act(A::Discard{{repo_ + "/missing"}, {}}),
            error("pathspec 'missing' did not match any file(s) known to git"));
}

TEST_F(GitActions, PathsAreFileNamesNeverPatterns) {
  for (const char* f : {"a.txt", "b.txt"}) write_file(repo_ + "/" + f, "1\n");
  ::chmod((repo_ + "/a.txt").c_str(), 0755);
  commit_all(repo_, "first");
  for (const char* f : {"a.txt", "b.txt"}) write_file(repo_ + "/" + f, "2\n");
  for (const char* f : {"u1.txt", "u2.txt", "*.txt"}) write_file(repo_ + "/" + f, "new\n");
  auto status = [&] { return git(repo_, {"status", "--porcelain", "-z", "--untracked-files=all"}); };
  const std::string untouched = " M a.txt\0 M b.txt\0?? *.txt\0?? u1.txt\0?? u2.txt\0"s;
  ASSERT_EQ(status(), untouched);

  EXPECT_EQ(act(A::Stage{{repo_ + "/*.txt"}}), done("Staged *.txt."));
  EXPECT_EQ(staged(), "*.txt"s + '\0');
  EXPECT_EQ(act(A::Unstage{{repo_ + "/*.txt"}}), done("Unstaged *.txt."));
  EXPECT_EQ(status(), untouched);
  // The index mode is that of "*.txt" itself, not of the executable a.txt it would match.
  EXPECT_EQ(act(A::StageText{repo_ + "/*.txt", "picked\n"}), done("Staged the selected lines."));
  EXPECT_EQ(git(repo_, {"ls-files", "-s", "--", ":(literal)*.txt"}).substr(0, 7), "100644 ");
  git(repo_, {"reset", "-q", "--", ":(literal)*.txt"});

  EXPECT_EQ(act(A::Discard{{}, {repo_ + "/:(top)"}}), done("Discarded changes to :(top)."));
  EXPECT_EQ(act(A::Discard{{repo_ + "/:/"}, {}}),
            error("pathspec ':' did not match any file(s) known to git"));
  EXPECT_EQ(status(), untouched);
  EXPECT_EQ(act(A::Discard{{}, {repo_ + "/*.txt"}}), done("Discarded changes to *.txt."));
  EXPECT_EQ(status(), " M a.txt\0 M b.txt\0?? u1.txt\0?? u2.txt\0"s);
}

TEST_F(GitActions, NoRepositoryOrNoCommits) {
  std::filesystem::create_directories(dir_ / "plain");
  EXPECT_EQ(wire(git::act(dir_ / "plain", A::Commit{""})),
            error("not in a repository"));  // before any field check

  write_file(repo_ + "/a", "x");
  write_file(repo_ + "/b", "x");
  git(repo_, {"add", "-A"});
  // No HEAD to restore from: the paths are taken out of the index instead.
  EXPECT_EQ(act(A::Unstage{{repo_ + "/a"}}), done("Unstaged a."));
  EXPECT_EQ(git(repo_, {"ls-files"}), "b\n");
  EXPECT_EQ(act(A::UnstageAll{}), done("Unstaged everything."));
  EXPECT_EQ(git(repo_, {"ls-files"}), "");
  EXPECT_EQ(act(A::Log{10}), done(""));
  EXPECT_EQ(act(A::UndoCommit{}), error("your current branch 'main' does not have any commits yet"));
  EXPECT_EQ(act(A::CommitFiles{"HEAD"}), error("'git <command> [<revision>...] -- [<file>...]'"));
}

TEST_F(GitActions, CommitAmendAndUndo) {
  write_file(repo_ + "/a", "1\n");
  git(repo_, {"add", "a"});
  EXPECT_EQ(act(A::Commit{" \n\t "}), error("a commit needs a message"));
  std::string reply = act(A::Commit{"\n  first  \n\n"});
  EXPECT_EQ(reply, done("Committed " + head() + "."));
  EXPECT_EQ(git(repo_, {"log", "-1", "--format=%B"}), "first\n\n");
  // The first commit cannot be undone: nothing before it to go back to.
  EXPECT_EQ(act(A::UndoCommit{}), error("'git <command> [<revision>...] -- [<file>...]'"));

  write_file(repo_ + "/b", "2\n");
  git(repo_, {"add", "b"});
  reply = act(A::Commit{"second"});
  EXPECT_EQ(reply, done("Committed " + head() + "."));
  reply = act(A::Amend{std::nullopt});
  EXPECT_EQ(reply, done("Amended " + head() + "."));
  reply = act(A::Amend{"  "});
  EXPECT_EQ(reply, done("Amended " + head() + "."));
  EXPECT_EQ(git(repo_, {"log", "-1", "--format=%s"}), "second\n");
  reply = act(A::Amend{" reworded "});
  EXPECT_EQ(reply, done("Amended " + head() + "."));
  EXPECT_EQ(git(repo_, {"log", "-1", "--format=%s"}), "reworded\n");

  EXPECT_EQ(act(A::UndoCommit{}), done("Undid reworded; its changes are staged."));
  EXPECT_EQ(git(repo_, {"log", "--format=%s"}), "first\n");
  EXPECT_EQ(staged(), "b"s + '\0');
}

TEST_F(GitActions, StashAndAConflictingPop) {
  write_file(repo_ + "/f", "base\n");
  commit_all(repo_, "base");
  EXPECT_EQ(act(A::Stash{}), error("there is nothing to stash"));
  write_file(repo_ + "/f", "stashed\n");
  EXPECT_EQ(act(A::Stash{}), done("Stashed."));
  EXPECT_EQ(read(repo_ + "/f"), "base\n");
  write_file(repo_ + "/f", "committed\n");
  commit_all(repo_, "other");
  EXPECT_EQ(act(A::StashPop{}), error("The stash entry is kept in case you need it again."));
  // Mid-merge, the index holds the conflict and a commit is refused.
  EXPECT_EQ(act(A::Commit{"x"}), error("Exiting because of an unresolved conflict."));
}

TEST_F(GitActions, StageTextKeepsTheIndexModeAndLeavesTheFileAlone) {
  write_file(repo_ + "/tool", "old\n");
  ::chmod((repo_ + "/tool").c_str(), 0755);
  commit_all(repo_, "first");
  write_file(repo_ + "/fresh", "on disk\n");

  EXPECT_EQ(act(A::StageText{repo_ + "/tool", "picked\r\nlines"}), done("Staged the selected lines."));
  EXPECT_EQ(act(A::StageText{repo_ + "/fresh", ""}), done("Staged the selected lines."));
  EXPECT_EQ(git(repo_, {"show", ":tool"}), "picked\r\nlines");
  EXPECT_EQ(git(repo_, {"show", ":fresh"}), "");
  std::string modes = git(repo_, {"ls-files", "-s"});
  EXPECT_NE(modes.find("100644 e69de29bb2d1d6434b8b29ae775ad8c2e48c5391 0\tfresh\n"), std::string::npos)
      << modes;
  EXPECT_NE(modes.find("100755 12c2b7bb48312555b18756e97af21828d60a02ed 0\ttool\n"), std::string::npos)
      << modes;
  EXPECT_EQ(read(repo_ + "/tool"), "old\n");
  EXPECT_EQ(read(repo_ + "/fresh"), "on disk\n");
}

TEST_F(GitActions, ABackslashIsPartOfTheName) {
  write_file(repo_ + "/a/b.txt", "slash\n");
  write_file(repo_ + "/a\\b.txt", "backslash\n");
  commit_all(repo_, "first");
  auto committed = [](const std::string& path) {
    auto r = nivern_git::show::committed(path, SIZE_MAX);
    return r ? wire(*r) : "over the limit";
  };
  EXPECT_EQ(
      committed(repo_ + "/a\\b.txt"),
      R"({"id":1,"reply":{"reply":"text","text":"backslash\n","encoding":"UTF-8","line_ending":"lf","bom":false,"lossy":false}})");

  write_file(repo_ + "/a/b.txt", "slash edited\n");
  write_file(repo_ + "/a\\b.txt", "backslash edited\n");
  write_file(repo_ + "/x/y.txt", "slash untracked\n");
  write_file(repo_ + "/x\\y.txt", "backslash untracked\n");
  EXPECT_EQ(act(A::Discard{{repo_ + "/a\\b.txt"}, {repo_ + "/x\\y.txt"}}),
            done("Discarded changes to 2 files."));
  EXPECT_EQ(read(repo_ + "/a\\b.txt"), "backslash\n");
  EXPECT_EQ(read(repo_ + "/a/b.txt"), "slash edited\n");
  EXPECT_FALSE(exists(repo_ + "/x\\y.txt"));
  EXPECT_EQ(read(repo_ + "/x/y.txt"), "slash untracked\n");

  write_file(repo_ + "/a\\b.txt", "backslash edited\n");
  EXPECT_EQ(act(A::Stage{{repo_ + "/a\\b.txt"}}), done("Staged a\\b.txt."));
  EXPECT_EQ(staged(), "a\\b.txt"s + '\0');
  EXPECT_EQ(act(A::StageText{repo_ + "/a\\b.txt", "picked\n"}), done("Staged the selected lines."));
  EXPECT_EQ(git(repo_, {"show", ":a\\b.txt"}), "picked\n");
  EXPECT_EQ(git(repo_, {"show", ":a/b.txt"}), "slash\n");
  EXPECT_EQ(read(repo_ + "/a\\b.txt"), "backslash edited\n");
  EXPECT_EQ(read(repo_ + "/a/b.txt"), "slash edited\n");
}

TEST_F(GitActions, StageTextRefusesSymbolicLinks) {
  write_file(repo_ + "/target.txt", "real\n");
  write_file(repo_ + "/was-a-file", "plain\n");
  std::filesystem::create_symlink("target.txt", repo_ + "/link.txt");
  commit_all(repo_, "first");
  // A file in the index that is a link on disk, and a link git does not know yet.
  std::filesystem::remove(repo_ + "/was-a-file");
  std::filesystem::create_symlink("target.txt", repo_ + "/was-a-file");
  std::filesystem::create_symlink("target.txt", repo_ + "/new-link");
  const std::string index = git(repo_, {"ls-files", "-s", "-z"});

  EXPECT_EQ(act(A::StageText{repo_ + "/link.txt", "edited\n"}),
            error("cannot stage lines of 'link.txt': it is a symbolic link"));
  EXPECT_EQ(act(A::StageText{repo_ + "/was-a-file", "edited\n"}),
            error("cannot stage lines of 'was-a-file': it is a symbolic link"));
  EXPECT_EQ(act(A::StageText{repo_ + "/new-link", "edited\n"}),
            error("cannot stage lines of 'new-link': it is a symbolic link"));
  // The index still says "link" even when a file has taken its place on disk.
  std::filesystem::remove(repo_ + "/link.txt");
  write_file(repo_ + "/link.txt", "now a file\n");
  EXPECT_EQ(act(A::StageText{repo_ + "/link.txt", "edited\n"}),
            error("cannot stage lines of 'link.txt': it is a symbolic link"));
  EXPECT_EQ(git(repo_, {"ls-files", "-s", "-z"}), index);

  // Whole links are staged as git stages them.
  EXPECT_EQ(act(A::Stage{{repo_ + "/new-link"}}), done("Staged new-link."));
  EXPECT_EQ(git(repo_, {"ls-files", "-s", "new-link"}).substr(0, 7), "120000 ");
}

TEST_F(GitActions, CommitFilesNamesFilesAsTheyAre) {
  const std::vector<std::string> names = {"back\\slash.txt", "plain.txt", "r\u00e9sum\u00e9.md",
                                          "say \"hi\".txt",  "tab\there.txt", "\u6570\u636e.txt"};
  for (const std::string& n : names) write_file(repo_ + "/" + n, "1\n");
  commit_all(repo_, "first");
  std::string changed;
  for (const std::string& n : names) {
    changed += (changed.empty() ? "" : ",") + R"({"state":"added","path":)"s + json_string(n) + "}";
  }
  EXPECT_EQ(act(A::CommitFiles{"HEAD"}),
            done("", R"("branches":[],"pulls":[],"open":null,"commits":[],"changed":[)" + changed + "]"));
}

TEST_F(GitActions, BranchesListsBranchesOnly) {
  write_file(repo_ + "/f", "1\n");
  commit_all(repo_, "one");
  git(repo_, {"switch", "-q", "-c", "topic"});
  git(repo_, {"tag", "topic"});  // makes "topic" ambiguous as a short name
  git(repo_, {"switch", "-q", "--detach", "HEAD"});
  std::string branches = act(A::Branches{});
  EXPECT_TRUE(lists_main_and_topic(branches)) << branches;
}

TEST_F(GitActions, BranchesAndHistory) {
  ScopedEnv dated("GIT_AUTHOR_DATE", "2001-02-03T04:05:06Z");  // a relative date that stays put
  write_file(repo_ + "/a", "1\n");
  commit_all(repo_, "one");
  write_file(repo_ + "/b", "1\n");
  git(repo_, {"rm", "-q", "a"});
  commit_all(repo_, "two");
  std::string full = git(repo_, {"rev-parse", "HEAD"}).substr(0, 40);

  EXPECT_EQ(act(A::Create{"   "}), error("a branch needs a name"));
  EXPECT_EQ(act(A::Create{"  topic "}), done("Started   topic  and switched to it."));
  EXPECT_EQ(git(repo_, {"branch", "--show-current"}), "topic\n");
  EXPECT_EQ(act(A::Create{"--detach"}), error("'--detach' is not a valid branch name"));
  EXPECT_EQ(act(A::Switch{"--detach"}), error("invalid reference: --detach"));
  EXPECT_EQ(git(repo_, {"branch", "--show-current"}), "topic\n");
  EXPECT_EQ(act(A::Switch{"main"}), done("Switched to main."));
  EXPECT_EQ(git(repo_, {"branch", "--show-current"}), "main\n");
  EXPECT_EQ(act(A::Switch{"no such"}), error("invalid reference: no such"));
  std::string branches = act(A::Branches{});
  EXPECT_TRUE(lists_main_and_topic(branches)) << branches;

  std::string when = git(repo_, {"log", "-1", "--format=%ar"});
  when.pop_back();
  EXPECT_EQ(act(A::Log{1}), done("", R"("branches":[],"pulls":[],"open":null,"commits":[{"hash":")" + full +
                                         R"(","short":")" + full.substr(0, 7) +
                                         R"(","subject":"two","author":"Nivern Test","when":")" + when +
                                         R"("}],"changed":[])"));
  EXPECT_EQ(act(A::Log{0}), done(""));
  EXPECT_EQ(
      act(A::CommitFiles{full}),
      done(
          "",
          R"("branches":[],"pulls":[],"open":null,"commits":[],"changed":[{"state":"deleted","path":"a"},{"state":"added","path":"b"}])"));
  // A "hash" that git would read as an option is refused as a revision.
  std::string victim = dir_ / "victim";
  EXPECT_EQ(act(A::CommitFiles{"--output=" + victim}),
            error("option '--output=" + victim + "' must come before non-option arguments"));
  EXPECT_FALSE(exists(victim));

  git(repo_, {"switch", "-q", "--detach", "HEAD~1"});
  EXPECT_EQ(act(A::Switch{"main"}), done("Switched to main."));
}

class Remotes : public GitActions {
 protected:
  void SetUp() override {
    GitActions::SetUp();
    bare_ = dir_ / "remote.git";
    git(dir_.path(), {"init", "-q", "--bare", bare_});
    write_file(repo_ + "/f", "1\n");
    commit_all(repo_, "one");
  }
  std::string remote_head() { return git(bare_, {"rev-parse", "main"}, false); }
  std::string bare_;
};

TEST_F(Remotes, PublishFetchPullAndPush) {
  EXPECT_EQ(act(A::Publish{"main"}), error("there is no remote to publish to"));
  git(repo_, {"remote", "add", "beta", dir_ / "nowhere.git"});
  git(repo_, {"remote", "add", "alpha", bare_});
  EXPECT_EQ(act(A::Publish{"main"}), done("Published main to alpha."));  // the first that git lists
  git(repo_, {"remote", "add", "origin", bare_});
  EXPECT_EQ(act(A::Publish{"main"}), done("Published main to origin."));
  EXPECT_EQ(remote_head(), git(repo_, {"rev-parse", "HEAD"}));
  EXPECT_EQ(git(repo_, {"rev-parse", "--abbrev-ref", "main@{upstream}"}), "origin/main\n");

  std::string other = dir_ / "other";
  git(dir_.path(), {"clone", "-q", bare_, other});
  write_file(other + "/g", "x");
  commit_all(other, "from elsewhere");
  git(other, {"push", "-q"});

  EXPECT_EQ(act(A::Fetch{}), done("Fetched."));
  EXPECT_EQ(git(repo_, {"rev-parse", "origin/main"}), remote_head());
  EXPECT_EQ(act(A::Pull{}), done("Pulled."));
  EXPECT_EQ(git(repo_, {"rev-parse", "HEAD"}), remote_head());
  write_file(repo_ + "/h", "x");
  commit_all(repo_, "mine");
  EXPECT_EQ(act(A::Push{}), done("Pushed."));
  EXPECT_EQ(remote_head(), git(repo_, {"rev-parse", "HEAD"}));
}

TEST_F(Remotes, ABranchNamedLikeAnOptionIsNeverForced) {
  git(repo_, {"remote", "add", "origin", bare_});
  git(repo_, {"push", "-q", "origin", "main"});
  std::string other = dir_ / "other";
  git(dir_.path(), {"clone", "-q", bare_, other});
  write_file(other + "/g", "x");
  commit_all(other, "theirs");
  git(other, {"push", "-q"});
  std::string before = remote_head();
  write_file(repo_ + "/h", "x");
  commit_all(repo_, "diverged");

  EXPECT_EQ(act(A::Publish{"--force"}), error("failed to push some refs to '" + bare_ + "'"));
  EXPECT_EQ(remote_head(), before);
}

TEST_F(Remotes, PublishPushesExactlyTheNamedBranch) {
  git(repo_, {"remote", "add", "origin", bare_});
  git(repo_, {"push", "-q", "origin", "main", "main:feature"});
  std::string other = dir_ / "other";
  git(dir_.path(), {"clone", "-q", bare_, other});
  write_file(other + "/g", "x");
  commit_all(other, "theirs");
  git(other, {"push", "-q"});
  write_file(repo_ + "/h", "x");
  commit_all(repo_, "rewritten");  // a force would lose "theirs"
  git(repo_, {"branch", "--", "+foo"});
  auto refs = [&] { return git(bare_, {"for-each-ref", "--format=%(objectname) %(refname)"}); };
  const std::string before = refs();

  for (std::string name : {":feature", "main:refs/heads/injected", "HEAD:refs/tags/v9", "*", "ma*"}) {
    EXPECT_EQ(act(A::Publish{name}), error("'" + name + "' is not a valid branch name"));
  }
  EXPECT_EQ(act(A::Publish{"+main"}), error("failed to push some refs to '" + bare_ + "'"));
  EXPECT_EQ(refs(), before);

  EXPECT_EQ(act(A::Publish{"+foo"}), done("Published +foo to origin."));
  std::string foo = git(repo_, {"rev-parse", "refs/heads/+foo"});
  EXPECT_EQ(refs(), foo.substr(0, foo.size() - 1) + " refs/heads/+foo\n" + before);
  EXPECT_EQ(git(repo_, {"rev-parse", "--symbolic-full-name", "+foo@{upstream}"}),
            "refs/remotes/origin/+foo\n");
}

TEST_F(Remotes, ProgramsGitStartsAreNeverTakenFromTheWorkTree) {
  // ssh in the work tree and in a real PATH directory; PATH starts with an empty entry.
  std::string bin = dir_ / "bin";
  write_script(repo_ + "/ssh", "touch \"" + dir_ / "from-work-tree" + "\"\nexit 1\n");
  write_script(bin + "/ssh", "touch \"" + dir_ / "from-path" + "\"\nexit 1\n");
  git(repo_, {"remote", "add", "origin", "ssh://127.0.0.1/x.git"});
  ScopedEnv path("PATH", (":" + bin + ":/usr/bin:/bin").c_str());
  EXPECT_EQ(act(A::Fetch{}), error("and the repository exists."));
  EXPECT_FALSE(exists(dir_ / "from-work-tree"));
  EXPECT_TRUE(exists(dir_ / "from-path"));
}

class PullRequests : public GitActions {
 protected:
  void SetUp() override {
    GitActions::SetUp();
    bin_ = dir_ / "bin";
    std::filesystem::create_directories(bin_);
    write_script(bin_ + "/gh", "printf '%s\\0' \"$@\" > \"" + dir_ / "argv" + "\"\ncat \"" + dir_ / "out" +
                                   "\"\ncat \"" + dir_ / "err" + "\" >&2\nexit $(cat \"" + dir_ / "status" +
                                   "\")\n");
    answer("", "", 0);
  }
  // What the fake gh prints next, and its exit status.
  void answer(const std::string& out, const std::string& err, int status) {
    write_file(dir_ / "out", out);
    write_file(dir_ / "err", err);
    write_file(dir_ / "status", std::to_string(status));
  }
  std::vector<std::string> argv() {
    std::vector<std::string> args;
    std::string all = read(dir_ / "argv");
    for (std::size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1) {
      args.push_back(all.substr(at, end - at));
    }
    return args;
  }
  std::string bin_;
};

TEST_F(PullRequests, ListAddressAndCreate) {
  ScopedEnv path("PATH", (bin_ + ":/usr/bin:/bin").c_str());
  const std::string tmpl = "{{range .}}{{.number}}\t{{.title}}\t{{.headRefName}}{{\"\\n\"}}{{end}}";
  EXPECT_EQ(act(A::PullRequests{}), done("No open pull requests."));
  EXPECT_EQ(argv(), (std::vector<std::string>{"pr", "list", "--json", "number,title,headRefName",
                                              "--template", tmpl}));
  answer("7\tFix \"it\"\tfix\n12\tMore\tmore/work\n", "", 0);
  EXPECT_EQ(
      act(A::PullRequests{}),
      done(
          "",
          R"("branches":[],"pulls":[{"number":7,"title":"Fix \"it\"","branch":"fix"},{"number":12,"title":"More","branch":"more/work"}],"open":null,"commits":[],"changed":[])"));

  answer(" https://github.com/o/r/pull/7 \n", "", 0);
  EXPECT_EQ(
      act(A::PullRequestUrl{7}),
      done("",
           R"("branches":[],"pulls":[],"open":"https://github.com/o/r/pull/7","commits":[],"changed":[])"));
  EXPECT_EQ(argv(), (std::vector<std::string>{"pr", "view", "7", "--json", "url", "--template", "{{.url}}"}));
  answer("no address\n", "", 0);
  EXPECT_EQ(act(A::PullRequestUrl{std::nullopt}), error("that pull request has no address"));
  EXPECT_EQ(argv(), (std::vector<std::string>{"pr", "view", "--json", "url", "--template", "{{.url}}"}));

  EXPECT_EQ(act(A::PullRequestCreate{" \n "}), error("a pull request needs a title"));
  answer("Creating pull request for topic into main\n\nhttps://github.com/o/r/pull/8\n\n", "", 0);
  EXPECT_EQ(
      act(A::PullRequestCreate{" -d  --web "}),
      done("Opened a pull request: https://github.com/o/r/pull/8",
           R"("branches":[],"pulls":[],"open":"https://github.com/o/r/pull/8","commits":[],"changed":[])"));
  EXPECT_EQ(argv(), (std::vector<std::string>{"pr", "create", "--title", "-d  --web", "--body", ""}));
  answer("done\n", "", 0);
  EXPECT_EQ(
      act(A::PullRequestCreate{"t"}),
      done("Opened a pull request: ", R"("branches":[],"pulls":[],"open":"","commits":[],"changed":[])"));

  answer("out is not used\n", "could not find any remotes\n\n", 1);
  EXPECT_EQ(act(A::PullRequests{}), error("could not find any remotes"));
}

TEST_F(PullRequests, MissingGhIsNeverTakenFromTheProject) {
  TempTree empty;
  ScopedEnv path("PATH", empty.path().c_str());
  EXPECT_EQ(act(A::PullRequests{}), error("gh is not installed; get it from https://cli.github.com"));

  // The repository's own gh, reachable through an empty or a relative entry once the
  // child is in the work tree.
  write_script(repo_ + "/gh", "touch \"" + dir_ / "ran" + "\"\n");
  ScopedEnv unsafe("PATH", (empty.path() + ":.:").c_str());
  EXPECT_EQ(act(A::PullRequests{}), error("gh is not installed; get it from https://cli.github.com"));
  EXPECT_FALSE(exists(dir_ / "ran"));
  ScopedEnv found("PATH", (":" + bin_ + ":/usr/bin:/bin").c_str());
  EXPECT_EQ(act(A::PullRequests{}), done("No open pull requests."));
  EXPECT_FALSE(exists(dir_ / "ran"));
}

}  // namespace
}  // namespace nivern_server::git
