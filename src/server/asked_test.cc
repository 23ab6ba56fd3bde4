#include "server/asked.h"

#include <gtest/gtest.h>

namespace nivern_server {
namespace {

TEST(AsAsked, RootSpellingAndOtherPaths) {
  EXPECT_EQ(as_asked("/p/src/a", "/p/", "/p/"), "/p/src/a");
  EXPECT_EQ(as_asked("/p", "/p//", "/p//"), "/p");
  EXPECT_EQ(as_asked("/p/a\\b.txt", "/p", "/p"), "/p/a\\b.txt");  // a name character, not a separator
  EXPECT_EQ(as_asked("/", "/", "/"), "/");
  EXPECT_EQ(as_asked("/a", "/", "//"), "/a");
  EXPECT_EQ(as_asked("/q/a\\b\xff", "/p", "/p"), "/q/a\\b\xef\xbf\xbd");  // not under: as reported
  EXPECT_EQ(as_asked("/real/a", "link", "link"), "/real/a");
}

}  // namespace
}  // namespace nivern_server
