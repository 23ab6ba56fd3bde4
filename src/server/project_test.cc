// The list_dir and scan handlers called directly: error texts and paths as the replies
// show them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/temp_tree.h"
#include "server/calls.h"
#include "text/byte_decoders.h"
#include "vfs/tree/scan.h"

namespace nivern_server {
namespace {

using nivern_test::TempTree;

std::string error_of(const Reply& r) {
  auto* e = std::get_if<Reply::Error>(&r.v);
  return e ? e->message : "<not an error>";
}

TEST(ListDirHandler, ErrorTextsShowThePathLossily) {
  TempTree t;
  t.file("f");
  Server server;
  EXPECT_EQ(error_of(list_dir(server, {t / "f"})), "cannot list " + t / "f" + ": Not a directory (os error 20)");
  EXPECT_EQ(error_of(list_dir(server, {t / "gone\xff"})),
            "cannot list " + t / "gone\xef\xbf\xbd" + ": No such file or directory (os error 2)");
}

TEST(ScanHandler, PathsOnlyLossyAndNeverAnError) {
  TempTree t;
  t.file("b\xff");
  t.file("a/x");
  Reply r = scan({t.path(), {}});
  auto* s = std::get_if<Reply::Scanned>(&r.v);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->paths.to_vector(), (std::vector<std::string>{t / "a/x", t / "b\xef\xbf\xbd"}));
  EXPECT_FALSE(s->truncated);
  Reply missing = scan({t / "missing", {"[bad"}});
  ASSERT_NE(std::get_if<Reply::Scanned>(&missing.v), nullptr);
  EXPECT_TRUE(std::get<Reply::Scanned>(missing.v).paths.empty());
}

// The root's bytes and each name are shown apart; the result must be the whole path
// shown at once, for a root that is not UTF-8 and names of every kind.
TEST(ScanHandler, LossyRootAndNamesShowAsWholePaths) {
  TempTree parent;
  std::string root = parent.dir("r\xe2\x82");  // a cut-off sequence at the end of the root
  TempTree t("t", root);
  std::vector<std::string> want;
  for (int i = 0; i < 700; ++i) {
    std::string name = "f" + std::to_string(i);
    if (i % 7 == 0) name += "\xff";
    if (i % 11 == 0) name = "\xc3" + name;
    if (i % 13 == 0) name += "\xc3\xa9";  // valid
    want.push_back(nivern_text::lossy_utf8(t.file("sub/" + name)));
  }
  std::sort(want.begin(), want.end());
  Reply r = scan({t.path(), {}});
  auto* s = std::get_if<Reply::Scanned>(&r.v);
  ASSERT_NE(s, nullptr);
  std::vector<std::string> got = s->paths.to_vector();
  // Shown paths sort differently from their bytes; compare as sets, then check the
  // order of the raw bytes through the scan itself.
  std::vector<std::string> sorted = got;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, want);
  EXPECT_EQ(s->paths.size(), 700u);
  EXPECT_EQ(s->paths.bytes(), [&] {
    std::size_t n = 0;
    for (const auto& p : want) n += p.size();
    return n;
  }());
  auto raw = nivern_vfs::walk::scan(t.path(), {}, nivern_vfs::walk::Sizes::skip);
  ASSERT_EQ(raw.entries.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i], nivern_text::lossy_utf8(raw.entries[i].path));
  }
}

}  // namespace
}  // namespace nivern_server
