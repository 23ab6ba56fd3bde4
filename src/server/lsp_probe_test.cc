#include "server/lsp_probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_server::lsp {
namespace {

using nivern_test::ScopedEnv;
using nivern_test::TempTree;

std::string refusal(const std::string& found, const std::string& dir = "/") {
  auto r = probe(found, dir, "svelteserver");
  return r ? "passed" : r.error();
}

TEST(LanguageTable, ExactLanguagesOnly) {
  ASSERT_EQ(LANGUAGE_SERVERS.size(), 4u);
  EXPECT_EQ(look_up("javascript")->program, "typescript-language-server");
  EXPECT_EQ(look_up("typescript")->args.size(), 1u);
  EXPECT_EQ(look_up("typescript")->args[0], "--stdio");
  EXPECT_TRUE(look_up("rust")->args.empty());
  EXPECT_EQ(look_up("rust ").error(), "no language server is configured for rust ");
}

TEST(PathSearch, EntriesInOrderDirectoriesSkippedNoExecuteCheck) {
  TempTree t;
  t.dir("a/svelteserver");
  std::string later = t.file("b/svelteserver", "not a program");
  {
    ScopedEnv path("PATH", (t / "missing:" + t / "a:" + t / "b/").c_str());
    EXPECT_EQ(find_on_path("svelteserver"), later);
  }
  {
    ScopedEnv path("PATH", nullptr);
    EXPECT_EQ(find_on_path("rust-analyzer").error(), "rust-analyzer is not installed, or is not on PATH");
  }
  // An empty entry stands for the current directory.
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(t.path().c_str()), 0);
  {
    ScopedEnv path("PATH", (t / "a:").c_str());
    EXPECT_EQ(find_on_path("b/svelteserver"), "b/svelteserver");
    EXPECT_EQ(program_path("b/svelteserver"), later);
  }
  ASSERT_EQ(::chdir(cwd), 0);
  std::free(cwd);
}

TEST(Probe, DetailIsTheFirstNonEmptyTrimmedErrorLine) {
  TempTree t;
  EXPECT_EQ(refusal(t.script("ok", "echo ignored >&2; exit 0")), "passed");
  EXPECT_EQ(refusal(t.script("lines", R"(printf '\n  \n  third line \r\nfourth\n' >&2; echo out; exit 1)")),
            "svelteserver is on PATH but would not start: third line");
  EXPECT_EQ(refusal(t.script("silent", "exit 1")),
            "svelteserver is on PATH but would not start: it exited with an error");
  EXPECT_EQ(refusal(t.script("killed", "kill -9 $$")),
            "svelteserver is on PATH but would not start: it exited with an error");
  // Runs in the call's directory when that is one, else in ours.
  std::string pwd = t.script("pwd", "pwd >&2; exit 1");
  EXPECT_EQ(refusal(pwd, t.path()), "svelteserver is on PATH but would not start: " + t.path());
  char* cwd = ::getcwd(nullptr, 0);
  EXPECT_EQ(refusal(pwd, t / "ok"), std::string("svelteserver is on PATH but would not start: ") + cwd);
  EXPECT_EQ(refusal(pwd, t.path() + std::string("\0x", 2)),
            std::string("svelteserver is on PATH but would not start: ") + cwd);
  std::free(cwd);
}

TEST(Probe, MissingToolchainComponent) {
  const std::string spaces(18, ' ');
  EXPECT_EQ(probe_refusal("rust-analyzer", "ERROR: Unknown Binary 'rust-analyzer' in toolchain 'beta'."),
            "rust-analyzer is not installed for beta." + spaces + "Run: rustup component add rust-analyzer");
  EXPECT_EQ(probe_refusal("rust-analyzer", "unknown binary for toolchain stable"),
            "rust-analyzer is not installed for this toolchain." + spaces +
                "Run: rustup component add rust-analyzer");
  EXPECT_EQ(probe_refusal("ra", "unknown binary in toolchain 'nightly and toolchain 'x'"),
            "ra is not installed for nightly and ." + spaces + "Run: rustup component add ra");
  EXPECT_EQ(probe_refusal("ra", "unknown binary in this Toolchain"),
            "ra is on PATH but would not start: unknown binary in this Toolchain");
  EXPECT_EQ(probe_refusal("ra", "toolchain 'x' is broken"),
            "ra is on PATH but would not start: toolchain 'x' is broken");
}

}  // namespace
}  // namespace nivern_server::lsp
