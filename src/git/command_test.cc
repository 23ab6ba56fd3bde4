#include "git/command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "git/output.h"
#include "git/pr.h"
#include "harness/test_repo.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_git {
namespace {

using namespace std::string_literals;
using nivern_git_test::write_script;
using nivern_test::ScopedEnv;
using nivern_test::TempTree;

TEST(Output, LossyReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(output::lossy("plain ascii"), "plain ascii");
  EXPECT_EQ(output::lossy("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(output::lossy("a\xFF" "b"), "a\uFFFD" "b");
  // A truncated three-byte sequence is one subpart, one replacement.
  EXPECT_EQ(output::lossy("\xE2\x82x"), "\uFFFDx");
  // Surrogates and overlongs are ill-formed from their first byte on.
  EXPECT_EQ(output::lossy("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(output::lossy("\xC0\xAF"), "\uFFFD\uFFFD");
  EXPECT_EQ(output::lossy("\xF0\x9F\x98"), "\uFFFD");
  EXPECT_EQ(output::lossy("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(output::lossy("0123456789abcdef\xFF"), "0123456789abcdef\uFFFD");
  EXPECT_TRUE(output::valid_utf8("\xF0\x9F\x98\x80 and \0 nul"s));
  EXPECT_FALSE(output::valid_utf8("long ascii run before it \x80"));
}

TEST(Output, TrimTakesUnicodeWhiteSpace) {
  EXPECT_EQ(output::trim(" \t\r\n x y \n"), "x y");
  EXPECT_EQ(output::trim("\u00A0\u3000word\u2029\u0085"), "word");
  EXPECT_EQ(output::trim("\u200Bword"), "\u200Bword");  // zero-width space is not white space
  EXPECT_EQ(output::trim(" \u2003 "), "");
}

TEST(Output, TrimStaysInsideIllFormedText) {
  // Each input in a buffer of exactly its size: a read past the end is a sanitizer fault.
  auto trimmed = [](std::string_view s) {
    auto exact = std::make_unique<char[]>(s.size());
    std::memcpy(exact.get(), s.data(), s.size());
    return std::string(output::trim(std::string_view(exact.get(), s.size())));
  };
  EXPECT_EQ(trimmed("\xE2"), "\xE2");
  EXPECT_EQ(trimmed("\xF0\x9F\x98"), "\xF0\x9F\x98");
  EXPECT_EQ(trimmed(" \xE2\x80 "), "\xE2\x80");
  EXPECT_EQ(trimmed("\u2028\xE2\x80\xA8\xE2"), "\xE2");
  EXPECT_EQ(trimmed("\x80\u3000"), "\x80");
}

TEST(Said, TakesTheLastMeaningfulLineOfStandardError) {
  EXPECT_EQ(command::said("error: your local changes would be overwritten\nhint: commit first\nhint: or stash\n", ""),
            "your local changes would be overwritten");
  EXPECT_EQ(command::said("warning: one\nfatal: two\n", "ignored"), "two");
  EXPECT_EQ(command::said("fatal: fatal: doubled\n", ""), "fatal: doubled");
  EXPECT_EQ(command::said("error: fatal: mixed", ""), "fatal: mixed");
  EXPECT_EQ(command::said("  fatal: padded  \r\n\r\n", ""), "padded");
  EXPECT_EQ(command::said("fatal:  keeps inner space", ""), " keeps inner space");
  EXPECT_EQ(command::said("bad \xFF byte\n", ""), "bad \uFFFD byte");
}

TEST(Said, FallsBackToStandardOutputOnlyWhenStandardErrorIsEmpty) {
  EXPECT_EQ(command::said("", "  nothing to commit, working tree clean  \n"), "nothing to commit, working tree clean");
  EXPECT_EQ(command::said("\n  \n\t\n", "text that is not looked at\n"), "git refused");
  EXPECT_EQ(command::said("   hint: only a hint\n", ""), "git refused");
  EXPECT_EQ(command::said("Hint: capital is a message\n", ""), "Hint: capital is a message");
  EXPECT_EQ(command::said("", ""), "git refused");
}

class FakeTool : public ::testing::Test {
 protected:
  void SetUp() override { nivern_git_test::isolate_git(); }
  TempTree bin_;
  TempTree work_;
};

TEST_F(FakeTool, GitGetsDashCAndTheArgumentsAndNothingElse) {
  write_script(bin_ / "git", "for a in \"$@\"; do printf '<%s>' \"$a\"; done\n");
  ScopedEnv path("PATH", bin_.path().c_str());
  auto out = command::run("/some dir", {"status", "--short", "a b", ""});
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(*out, "<-C></some dir><status><--short><a b><>");
}

TEST_F(FakeTool, GitFailuresBecomeOneLine) {
  ScopedEnv path("PATH", bin_.path().c_str());
  write_script(bin_ / "git", "echo 'to out'\necho 'error: it broke' >&2\necho 'hint: try again' >&2\nexit 1\n");
  EXPECT_EQ(command::run(work_.path(), {"x"}), std::unexpected("it broke"s));
  write_script(bin_ / "git", "echo '  only output  '\nexit 3\n");
  EXPECT_EQ(command::run(work_.path(), {"x"}), std::unexpected("only output"s));
  // Killed by a signal: a failure even though nothing was said.
  write_script(bin_ / "git", "printf 'fine so far'\nkill -KILL $$\n");
  EXPECT_EQ(command::run(work_.path(), {"x"}), std::unexpected("fine so far"s));
  write_script(bin_ / "git", "exit 0\n");
  EXPECT_EQ(command::run(work_.path(), {"x"}), ""s);
}

TEST_F(FakeTool, GitMissingFromPath) {
  ScopedEnv path("PATH", bin_.path().c_str());
  EXPECT_EQ(command::run(work_.path(), {"status"}),
            std::unexpected("cannot run git: No such file or directory (os error 2)"s));
}

TEST(GitRun, RealGitOutputIsUntouchedAndItsComplaintsAreTrimmed) {
  TempTree repo;
  nivern_git_test::init_repo(repo.path());
  EXPECT_EQ(command::run(repo.path(), {"rev-parse", "--is-inside-work-tree"}), "true\n"s);
  EXPECT_EQ(command::run(repo.path(), {"checkout", "no-such-thing"}),
            std::unexpected("pathspec 'no-such-thing' did not match any file(s) known to git"s));
  EXPECT_EQ(command::run(repo / "absent", {"status"}),
            std::unexpected("cannot change to '" + (repo / "absent") + "': No such file or directory"));
}

TEST_F(FakeTool, GhRunsInTheDirectoryWithExactlyItsArguments) {
  ScopedEnv path("PATH", bin_.path().c_str());
  write_script(bin_ / "gh", "pwd\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done\n");
  auto out = pr::run(work_.path(), {"pr", "view", "12", "--json", "url", "--template", "{{.url}}"});
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(*out, std::filesystem::canonical(work_.path()).string() +
                      "\n<pr><view><12><--json><url><--template><{{.url}}>");
}

TEST_F(FakeTool, GhFailureMessages) {
  {
    ScopedEnv path("PATH", bin_.path().c_str());
    EXPECT_EQ(pr::run(work_.path(), {"pr", "list"}),
              std::unexpected("gh is not installed; get it from https://cli.github.com"s));
    // The directory, not gh, is missing: not an install problem.
    write_script(bin_ / "gh", "exit 0\n");
    EXPECT_EQ(pr::run(work_ / "absent", {"pr", "list"}),
              std::unexpected("cannot run gh: No such file or directory (os error 2)"s));

    write_script(bin_ / "gh", "echo 'lots of output'\nexit 1\n");
    EXPECT_EQ(pr::run(work_.path(), {"pr", "list"}), std::unexpected("gh refused"s));
    write_script(bin_ / "gh", "echo 'error: first' >&2\necho '  hint: kept as it is ' >&2\necho >&2\nexit 1\n");
    EXPECT_EQ(pr::run(work_.path(), {"pr", "list"}), std::unexpected("hint: kept as it is"s));
    write_script(bin_ / "gh", "echo 'error: no prefix removed' >&2\nexit 4\n");
    EXPECT_EQ(pr::run(work_.path(), {"pr", "list"}), std::unexpected("error: no prefix removed"s));
  }
  {
    write_script(bin_ / "gh", "exit 0\n");
    ::chmod((bin_ / "gh").c_str(), 0644);
    ScopedEnv path("PATH", bin_.path().c_str());
    EXPECT_EQ(pr::run(work_.path(), {"pr", "list"}), std::unexpected("cannot run gh: Permission denied (os error 13)"s));
  }
}

}  // namespace
}  // namespace nivern_git
