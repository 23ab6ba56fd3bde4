#include "text/replace.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace nivern_text::replace {
namespace {

using namespace std::string_literals;

TEST(TemporaryPath, SiblingOfTheTarget) {
  EXPECT_EQ(temp_path_for("x.txt"), ".x.txt.nivern-tmp");
  EXPECT_EQ(temp_path_for("/a/b/x.txt"), "/a/b/.x.txt.nivern-tmp");
  EXPECT_EQ(temp_path_for("/x"), "/.x.nivern-tmp");
  EXPECT_EQ(temp_path_for("a/b/"), "a/.b.nivern-tmp");
  EXPECT_EQ(temp_path_for("a//b"), "a/.b.nivern-tmp");
  EXPECT_EQ(temp_path_for("a/./b"), "a/.b.nivern-tmp");
  EXPECT_EQ(temp_path_for("a/b/."), "a/.b.nivern-tmp");
  EXPECT_EQ(temp_path_for("./x"), "./.x.nivern-tmp");
  EXPECT_EQ(temp_path_for("a/.."), "a/.file.nivern-tmp");
  EXPECT_EQ(temp_path_for(".."), ".file.nivern-tmp");
  EXPECT_EQ(temp_path_for("."), ".file.nivern-tmp");
  EXPECT_EQ(temp_path_for("/"), "./.file.nivern-tmp");
  EXPECT_EQ(temp_path_for(""), "./.file.nivern-tmp");
  EXPECT_EQ(temp_path_for("d/caf\xC3\xA9"), "d/.caf\xC3\xA9.nivern-tmp");
  EXPECT_EQ(temp_path_for("d/caf\xE9"), "d/.file.nivern-tmp");

  // Unique siblings: the usual name with the tag while it fits a file name, else short.
  EXPECT_EQ(unique_temp_path("/a/.x.nivern-tmp", "0f"), "/a/.x.nivern-tmp.0f");
  EXPECT_EQ(unique_temp_path(".x.nivern-tmp", "0f"), ".x.nivern-tmp.0f");
  const std::string fits(252, 'n'), over(253, 'n');
  EXPECT_EQ(unique_temp_path("d/" + fits, "0f"), "d/" + fits + ".0f");
  EXPECT_EQ(unique_temp_path("d/" + over, "0f"), "d/.nivern-tmp.0f");
}

TEST(AclModeBits, OwnerOwningGroupWithinTheMaskAndOthers) {
  auto acl = [](std::initializer_list<std::pair<unsigned, unsigned>> entries) {
    std::string v("\x02\0\0\0", 4);
    for (auto [tag, perm] : entries) v += std::string{static_cast<char>(tag), 0, static_cast<char>(perm), 0, 0, 0, 0, 0};
    return v;
  };
  EXPECT_EQ(acl_mode_bits(acl({{0x01, 6}, {0x02, 7}, {0x04, 6}, {0x10, 4}, {0x20, 0}})), 0640u);
  EXPECT_EQ(acl_mode_bits(acl({{0x01, 7}, {0x04, 5}, {0x20, 1}})), 0751u);
  EXPECT_EQ(acl_mode_bits(acl({{0x01, 7}, {0x20, 1}})), std::nullopt);  // no owning group
  EXPECT_EQ(acl_mode_bits("\x01\0\0\0"s), std::nullopt);
  EXPECT_EQ(acl_mode_bits(acl({{0x01, 7}}).substr(0, 9)), std::nullopt);
}

}  // namespace
}  // namespace nivern_text::replace
