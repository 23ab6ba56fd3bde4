#include "git/status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "git/porcelain.h"
#include "git/state.h"
#include "harness/test_repo.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_git {
namespace {

using namespace std::string_literals;
using nivern_git_test::commit_all;
using nivern_git_test::git;
using nivern_git_test::init_repo;
using nivern_protocol::message::GitState;
using nivern_protocol::message::Reply;
using nivern_test::ScopedEnv;
using nivern_test::TempTree;
using nivern_test::write_file;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string word(std::optional<GitState> s) {
  if (!s) return "-";
  switch (*s) {
    case GitState::modified: return "modified";
    case GitState::added: return "added";
    case GitState::deleted: return "deleted";
    case GitState::untracked: return "untracked";
    case GitState::conflicted: return "conflicted";
  }
  return "?";
}

// "key state staged/unstaged", one string per entry, for readable comparisons.
std::string row(const std::string& key, GitState state, const status::Detail& d) {
  return key + " " + word(state) + " " + word(d.staged) + "/" + word(d.unstaged);
}

std::vector<std::string> rows(const status::Parsed& p) {
  std::vector<std::string> out;
  for (const auto& [k, e] : p.entries) out.push_back(row(k, e.state, e.detail));
  return out;
}

std::vector<std::string> rows(const Reply::GitStatus& r, std::string_view strip = {}) {
  std::vector<std::string> out;
  for (const auto& e : r.entries) {
    std::string key = e.path;
    if (!strip.empty() && key.starts_with(strip)) key = key.substr(strip.size());
    out.push_back(row(key, e.state, {e.staged, e.unstaged}));
  }
  return out;
}

// ---- tables and parsers, on hand-written records ----

TEST(StatusTables, EveryRowOfTheStateTable) {
  struct Row {
    const char* xy;
    const char* state;
    const char* detail;
  };
  const Row rows[] = {
      {"!U", "conflicted", "-/conflicted"}, {"!!", "-", "-/-"},
      {"??", "untracked", "-/untracked"},   {"?U", "conflicted", "-/conflicted"},
      {"?M", "-", "-/modified"},            {"UM", "conflicted", "-/conflicted"},
      {" A", "added", "-/added"},           {"AA", "conflicted", "-/conflicted"},
      {"MA", "modified", "modified/added"}, {"XA", "-", "-/added"},
      {" D", "deleted", "-/deleted"},       {"DD", "conflicted", "-/conflicted"},
      {"RD", "modified", "modified/deleted"}, {"!D", "-", "-/deleted"},
      {"AU", "conflicted", "-/conflicted"}, {"DU", "conflicted", "-/conflicted"},
      {"MM", "modified", "modified/modified"}, {"AM", "added", "added/modified"},
      {"A ", "added", "added/-"},           {"D ", "deleted", "deleted/-"},
      {"R ", "modified", "modified/-"},     {"C ", "added", "added/-"},
      {"T ", "modified", "modified/-"},     {" M", "modified", "-/modified"},
      {" T", "modified", "-/modified"},     {" R", "modified", "-/modified"},
      {" C", "added", "-/added"},           {"  ", "-", "-/-"},
      {"X ", "-", "-/-"},                   {"DM", "deleted", "deleted/modified"},
  };
  for (const Row& r : rows) {
    char x = r.xy[0], y = r.xy[1];
    status::Detail d = status::detail(x, y);
    EXPECT_EQ(word(state::overall(x, y)), r.state) << "'" << r.xy << "'";
    EXPECT_EQ(word(d.staged) + "/" + word(d.unstaged), r.detail) << "'" << r.xy << "'";
  }
}

TEST(StatusHeader, BranchUpstreamAndCounts) {
  using H = porcelain::Header;
  using S = std::optional<std::string>;
  EXPECT_EQ(porcelain::parse_header("main...origin/main [ahead 2, behind 1]"), (H{"main", "origin/main", 2, 1}));
  EXPECT_EQ(porcelain::parse_header("main"), (H{"main", S(), 0, 0}));
  EXPECT_EQ(porcelain::parse_header("main...origin/main [gone]"), (H{"main", "origin/main", 0, 0}));
  EXPECT_EQ(porcelain::parse_header("main...origin/main"), (H{"main", "origin/main", 0, 0}));
  EXPECT_EQ(porcelain::parse_header("main...origin/main [behind 12]"), (H{"main", "origin/main", 0, 12}));
  EXPECT_EQ(porcelain::parse_header("HEAD (no branch)"), (H{S(), S(), 0, 0}));
  EXPECT_EQ(porcelain::parse_header("No commits yet on trunk"), (H{"trunk", S(), 0, 0}));
  EXPECT_EQ(porcelain::parse_header("Initial commit on old"), (H{"old", S(), 0, 0}));
  // An unborn branch that already has an upstream: the name stops at "...".
  EXPECT_EQ(porcelain::parse_header("No commits yet on main...origin/main [gone]"), (H{"main", "origin/main", 0, 0}));
  EXPECT_EQ(porcelain::parse_header("  spaced  \n"), (H{"spaced", S(), 0, 0}));
  EXPECT_EQ(porcelain::parse_header("b... [ahead 1]"), (H{"b", S(), 1, 0}));
  EXPECT_EQ(porcelain::parse_header("b [odd]"), (H{"b", S(), 0, 0}));
  EXPECT_EQ(porcelain::parse_header(""), (H{S(), S(), 0, 0}));
  EXPECT_EQ(porcelain::parse_header("b\xFF...u"), (H{"b\uFFFD", "u", 0, 0}));
}

TEST(StatusHeader, CountsReadLeniently) {
  auto counts = [](const char* bracket) {
    porcelain::Header h = porcelain::parse_header("b...u [" + std::string(bracket));
    return std::pair(h.ahead, h.behind);
  };
  using P = std::pair<std::uint64_t, std::uint64_t>;
  EXPECT_EQ(counts("ahead +3, behind  4 ]]]"), P(3, 4));
  EXPECT_EQ(counts("ahead 18446744073709551615]"), P(18446744073709551615ull, 0));
  EXPECT_EQ(counts("ahead 18446744073709551616]"), P(0, 0));  // overflow
  EXPECT_EQ(counts("ahead +]"), P(0, 0));
  EXPECT_EQ(counts("ahead -1, behind x]"), P(0, 0));
  EXPECT_EQ(counts("ahead 1, ahead 5]"), P(5, 0));  // the later item wins
  EXPECT_EQ(counts("ahead 7, behind 2, gone]"), P(7, 2));
  EXPECT_EQ(counts("ahead1]"), P(0, 0));
}

TEST(StatusPaths, AbsoluteJoinsNonEmptyPieces) {
  EXPECT_EQ(porcelain::absolute("/w", "src/a.rs"), "/w/src/a.rs");
  EXPECT_EQ(porcelain::absolute("/w/", "dir/"), "/w/dir");
  EXPECT_EQ(porcelain::absolute("/w", "a//b/./../c"), "/w/a/b/./../c");
  EXPECT_EQ(porcelain::absolute("", "x/y"), "x/y");
  EXPECT_EQ(porcelain::absolute("/", "x"), "/x");
  EXPECT_EQ(porcelain::absolute("/w\xFF", "n\xFEme"), "/w\uFFFD/n\uFFFDme");
}

TEST(StatusParse, RecordsAndTheirSources) {
  std::string out =
      "## main...origin/main [ahead 1]\0"
      "M  staged.txt\0"
      " M unstaged.txt\0"
      "R  new name\0old name\0"
      "C  copy\0original\0"
      " R wt-renamed\0wt-source\0"
      "RM moved\0from\0"
      "?? untracked dir/\0"
      "!! ignored\0"
      "x\0"                 // too short
      "MMX bad\0"           // third byte not a space
      "   \0"               // too short
      "  nothing\0"         // no state
      "R  zzz-last\0"s;     // a rename with no source after it
  status::Parsed p = status::parse("/w", out);
  ASSERT_TRUE(p.header.has_value());
  EXPECT_EQ(*p.header, (porcelain::Header{"main", "origin/main", 1, 0}));
  EXPECT_THAT(rows(p), ElementsAre("/w/copy added added/-",
                                   "/w/from deleted deleted/-",
                                   "/w/moved modified modified/modified",
                                   "/w/new name modified modified/-",
                                   "/w/old name deleted deleted/-",
                                   "/w/staged.txt modified modified/-",
                                   "/w/unstaged.txt modified -/modified",
                                   "/w/untracked dir untracked -/untracked",
                                   "/w/wt-renamed modified -/modified",
                                   "/w/zzz-last modified modified/-"));
}

TEST(StatusParse, SourceIsConsumedEvenWhenTheEntryIsSkipped) {
  // "!R" and "?C" have no state, but their sources must not be read as records.
  std::string out = "!R skipped\0?? looks-like-a-record\0?C skipped\0 M also-a-source\0 M real\0"s;
  EXPECT_THAT(rows(status::parse("/w", out)), ElementsAre("/w/real modified -/modified"));
}

TEST(StatusParse, LastRecordWinsAndKeysAreInByteOrder) {
  std::string out = " M a/b\0 M a.txt\0?? a-dir/\0 M a.txt\0M  a.txt\0 M \xC3\xA9\0 M Z\0"s;
  EXPECT_THAT(rows(status::parse("r", out)), ElementsAre("r/Z modified -/modified",
                                                         "r/a-dir untracked -/untracked",
                                                         "r/a.txt modified modified/-",
                                                         "r/a/b modified -/modified",
                                                         "r/\xC3\xA9 modified -/modified"));
}

TEST(StatusParse, EmptyOrGarbledOutputGivesNothing) {
  EXPECT_FALSE(status::parse("/w", "").header.has_value());
  EXPECT_THAT(rows(status::parse("/w", "")), IsEmpty());
  EXPECT_THAT(rows(status::parse("/w", "\0\0\0fatal: not a git repository\n"s)), IsEmpty());
}

// ---- against real git ----

class RealStatus : public nivern_git_test::RepoTest {
 protected:
  Reply::GitStatus status(const std::string& path) { return status::query(path); }
  std::vector<std::string> entries(const std::string& path) { return rows(status(path), repo_ + "/"); }
};

TEST_F(RealStatus, NoRepositoryIsNotAnError) {
  Reply::GitStatus r = status(dir_ / "not-a-repo/file");
  EXPECT_FALSE(r.repository);
  EXPECT_EQ(r.branch, std::nullopt);
  EXPECT_EQ(r.upstream, std::nullopt);
  EXPECT_EQ(r.ahead, 0u);
  EXPECT_EQ(r.behind, 0u);
  EXPECT_THAT(r.entries, IsEmpty());
}

TEST_F(RealStatus, RepositoryWithoutCommits) {
  write_file(repo_ + "/new.txt", "x");
  write_file(repo_ + "/staged.txt", "x");
  git(repo_, {"add", "staged.txt"});
  Reply::GitStatus r = status(repo_ + "/new.txt");
  EXPECT_TRUE(r.repository);
  EXPECT_EQ(r.branch, "main");
  EXPECT_EQ(r.upstream, std::nullopt);
  EXPECT_THAT(rows(r, repo_ + "/"), ElementsAre("new.txt untracked -/untracked", "staged.txt added added/-"));
}

TEST_F(RealStatus, EveryLocalChangeGitPrints) {
  for (const char* f : {"mod", "staged", "both", "gone", "staged-gone", "old", "wt-old", "kind", "orig"}) {
    write_file(repo_ + "/" + f, std::string(f) + "\nline two\nline three\n");
  }
  commit_all(repo_, "base");
  git(repo_, {"config", "status.renames", "copies"});
  write_file(repo_ + "/mod", "changed\n");
  write_file(repo_ + "/staged", "changed\n");
  write_file(repo_ + "/both", "changed\n");
  git(repo_, {"add", "staged", "both"});
  write_file(repo_ + "/both", "changed again\n");
  std::filesystem::remove(repo_ + "/gone");
  git(repo_, {"rm", "-q", "staged-gone"});
  git(repo_, {"mv", "old", "renamed"});
  git(repo_, {"mv", "wt-old", "moved"});
  write_file(repo_ + "/moved", "wt-old\nline two\nline three\nplus\n");
  std::filesystem::remove(repo_ + "/kind");
  std::filesystem::create_symlink("mod", repo_ + "/kind");
  write_file(repo_ + "/orig", "orig\nline two\nline three\nmore\n");
  std::filesystem::copy_file(repo_ + "/orig", repo_ + "/copied");
  git(repo_, {"add", "orig", "copied"});
  write_file(repo_ + "/added", "new\n");
  git(repo_, {"add", "added"});
  write_file(repo_ + "/added", "new and edited\n");
  write_file(repo_ + "/intent", "new\n");
  git(repo_, {"add", "-N", "intent"});
  write_file(repo_ + "/loose.txt", "u\n");
  write_file(repo_ + "/newdir/inner/file", "u\n");
  write_file(repo_ + "/.gitignore", "*.log\n");
  write_file(repo_ + "/skip.log", "ignored\n");

  EXPECT_THAT(entries(repo_ + "/mod"), ElementsAre(".gitignore untracked -/untracked",
                                                   "added added added/modified",
                                                   "both modified modified/modified",
                                                   "copied added added/-",
                                                   "gone deleted -/deleted",
                                                   "intent added -/added",
                                                   "kind modified -/modified",
                                                   "loose.txt untracked -/untracked",
                                                   "mod modified -/modified",
                                                   "moved modified modified/modified",
                                                   "newdir untracked -/untracked",
                                                   "old deleted deleted/-",
                                                   "orig modified modified/-",
                                                   "renamed modified modified/-",
                                                   "staged modified modified/-",
                                                   "staged-gone deleted deleted/-",
                                                   "wt-old deleted deleted/-"));
}

TEST_F(RealStatus, EveryKindOfMergeConflict) {
  for (const char* f : {"uu", "ud", "du", "rr"}) write_file(repo_ + "/" + f, std::string(f) + " base\n");
  commit_all(repo_, "base");
  git(repo_, {"checkout", "-q", "-b", "theirs"});
  write_file(repo_ + "/uu", "theirs\n");
  git(repo_, {"rm", "-q", "ud"});
  write_file(repo_ + "/du", "theirs\n");
  git(repo_, {"mv", "rr", "rr-theirs"});
  write_file(repo_ + "/aa", "theirs\n");
  commit_all(repo_, "theirs");
  git(repo_, {"checkout", "-q", "main"});
  write_file(repo_ + "/uu", "ours\n");
  write_file(repo_ + "/ud", "ours\n");
  git(repo_, {"rm", "-q", "du"});
  git(repo_, {"mv", "rr", "rr-ours"});
  write_file(repo_ + "/aa", "ours\n");
  commit_all(repo_, "ours");
  git(repo_, {"merge", "-q", "theirs"}, /*must_succeed=*/false);

  Reply::GitStatus r = status(repo_);
  EXPECT_EQ(r.branch, "main");
  EXPECT_THAT(rows(r, repo_ + "/"), ElementsAre("aa conflicted -/conflicted",        // AA
                                                "du conflicted -/conflicted",        // DU
                                                "rr conflicted -/conflicted",        // DD
                                                "rr-ours conflicted -/conflicted",   // AU
                                                "rr-theirs conflicted -/conflicted", // UA
                                                "ud conflicted -/conflicted",        // UD
                                                "uu conflicted -/conflicted"));      // UU
}

TEST_F(RealStatus, UpstreamAheadBehindAndGone) {
  write_file(repo_ + "/f", "1\n");
  commit_all(repo_, "one");
  std::string clone = dir_ / "clone";
  git(dir_.path(), {"clone", "-q", repo_, clone});
  commit_all(repo_, "upstream moves on");
  commit_all(clone, "local one");
  commit_all(clone, "local two");
  git(clone, {"fetch", "-q"});
  Reply::GitStatus r = status(clone + "/f");
  EXPECT_EQ(r.branch, "main");
  EXPECT_EQ(r.upstream, "origin/main");
  EXPECT_EQ(r.ahead, 2u);
  EXPECT_EQ(r.behind, 1u);

  git(repo_, {"checkout", "-q", "-b", "other"});
  git(repo_, {"branch", "-q", "-D", "main"});
  git(clone, {"fetch", "-q", "--prune"});
  r = status(clone);
  EXPECT_EQ(r.branch, "main");
  EXPECT_EQ(r.upstream, "origin/main");  // "[gone]" says nothing about counts
  EXPECT_EQ(r.ahead, 0u);
  EXPECT_EQ(r.behind, 0u);
}

TEST_F(RealStatus, CloneOfAnEmptyRepositoryNamesItsBranchAlone) {
  std::string bare = dir_ / "empty.git";
  git(dir_.path(), {"init", "-q", "--bare", bare});
  std::string clone = dir_ / "clone";
  git(dir_.path(), {"clone", "-q", bare, clone});
  Reply::GitStatus r = status(clone);
  EXPECT_EQ(r.branch, "main");
  EXPECT_EQ(r.upstream, "origin/main");
}

TEST_F(RealStatus, DetachedHeadShowsTheShortHash) {
  write_file(repo_ + "/f", "1\n");
  commit_all(repo_, "one");
  std::string hash = git(repo_, {"rev-parse", "HEAD"});
  git(repo_, {"checkout", "-q", "--detach"});
  Reply::GitStatus r = status(repo_);
  EXPECT_EQ(r.branch, hash.substr(0, 7));
  EXPECT_EQ(r.upstream, std::nullopt);
}

TEST_F(RealStatus, WorktreeAndSubmoduleGitFiles) {
  write_file(repo_ + "/f", "1\n");
  commit_all(repo_, "one");
  std::string wt = dir_ / "wt";
  git(repo_, {"worktree", "add", "-q", "-b", "side", wt});
  write_file(wt + "/f", "changed in the worktree\n");
  Reply::GitStatus r = status(wt + "/f");
  EXPECT_TRUE(r.repository);
  EXPECT_EQ(r.branch, "side");
  EXPECT_THAT(rows(r, wt + "/"), ElementsAre("f modified -/modified"));

  std::string lib = dir_ / "lib";
  init_repo(lib);
  write_file(lib + "/l", "lib\n");
  commit_all(lib, "lib");
  git(repo_, {"submodule", "add", "-q", lib, "sub"});
  write_file(repo_ + "/sub/l", "edited in the submodule\n");
  ASSERT_TRUE(std::filesystem::is_regular_file(repo_ + "/sub/.git"));
  r = status(repo_ + "/sub/l");
  EXPECT_TRUE(r.repository);
  EXPECT_EQ(r.branch, "main");
  EXPECT_THAT(rows(r, repo_ + "/sub/"), ElementsAre("l modified -/modified"));
}

TEST_F(RealStatus, AwkwardFileNamesRoundTrip) {
  const std::string names[] = {"with space", "quote\"d", "new\nline", "tab\there", "caf\xC3\xA9", "back\\slash"};
  for (const auto& n : names) write_file(repo_ + "/" + n, "x");
  write_file(repo_ + "/bad\xFFname", "x");
  EXPECT_THAT(entries(repo_), ElementsAre("back\\slash untracked -/untracked",
                                          "bad\uFFFDname untracked -/untracked",
                                          "caf\xC3\xA9 untracked -/untracked",
                                          "new\nline untracked -/untracked",
                                          "quote\"d untracked -/untracked",
                                          "tab\there untracked -/untracked",
                                          "with space untracked -/untracked"));
}

TEST_F(RealStatus, KeysFollowTheWorkDirectoryAsReached) {
  write_file(repo_ + "/sub/f", "x");
  auto here = std::filesystem::current_path();
  std::filesystem::current_path(repo_);
  Reply::GitStatus r = status("sub/f");
  std::filesystem::current_path(here);
  EXPECT_TRUE(r.repository);
  EXPECT_THAT(rows(r), ElementsAre("sub untracked -/untracked"));
}

TEST_F(RealStatus, GitThatCannotStartOrFails) {
  write_file(repo_ + "/f", "x");
  {
    TempTree empty;
    ScopedEnv path("PATH", empty.path().c_str());
    Reply::GitStatus r = status(repo_);
    EXPECT_TRUE(r.repository);
    EXPECT_EQ(r.branch, "main");
    EXPECT_EQ(r.upstream, std::nullopt);
    EXPECT_THAT(r.entries, IsEmpty());
  }
  // A ".git" file naming a directory that is not there: git fails, HEAD cannot be read.
  std::string broken = dir_ / "broken";
  write_file(broken + "/.git", "gitdir: nowhere");
  write_file(broken + "/f", "x");
  Reply::GitStatus r = status(broken + "/f");
  EXPECT_TRUE(r.repository);
  EXPECT_EQ(r.branch, std::nullopt);
  EXPECT_THAT(r.entries, IsEmpty());
  // HEAD of garbage: git refuses the repository, the reply is still well-formed.
  write_file(repo_ + "/.git/HEAD", "garbage\n");
  r = status(repo_);
  EXPECT_TRUE(r.repository);
  EXPECT_EQ(r.branch, std::nullopt);
  EXPECT_THAT(r.entries, IsEmpty());
}

}  // namespace
}  // namespace nivern_git
