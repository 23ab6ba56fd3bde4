// The readers of git's and gh's listings, on hand-made output.
#include <gtest/gtest.h>

#include "git/branch.h"
#include "git/log.h"
#include "git/pr.h"

namespace nivern_git {
namespace {

using nivern_protocol::message::GitState;
using namespace std::string_literals;

TEST(BranchList, TrimmedNonBlankLinesInOrder) {
  EXPECT_EQ(branch::list("  main \r\n\n\t\nfeature/x\nlast"),
            (std::vector<std::string>{"main", "feature/x", "last"}));
  EXPECT_EQ(branch::list("bad\xFF\n"), (std::vector<std::string>{"bad\uFFFD"}));
  EXPECT_TRUE(branch::list("").empty());
}

TEST(ParseLog, FiveFieldsPerLine) {
  EXPECT_EQ(log::FORMAT.size(), 25u);
  auto row = [](std::vector<std::string> fields) {
    std::string line = fields[0];
    for (std::size_t i = 1; i < fields.size(); ++i) line += "\x1f" + fields[i];
    return line;
  };
  auto commits = log::parse_log(row({"h1", "s1", "", " me ", "2 days ago"}) + "\r\n" +  // fields untrimmed
                                row({"h2", "s2", "sub", "ann"}) + "\n" +                // four fields: skipped
                                row({"h3", "s3", "a", "b", "c", "extra"}) + "\n\n");
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_EQ(commits[0].hash, "h1");
  EXPECT_EQ(commits[0].short_, "s1");
  EXPECT_EQ(commits[0].subject, "");
  EXPECT_EQ(commits[0].author, " me ");
  EXPECT_EQ(commits[0].when, "2 days ago");
  EXPECT_EQ(commits[1].hash, "h3");
  EXPECT_EQ(commits[1].when, "c");
}

TEST(ParseFiles, StatusRecordThenNameRecord) {
  auto files = log::parse_files("A\0new file\0D\0gone\0\0M\0src/a\\b\tc\n \0R100\0old\0moved\0M\0bad\xFF\0D"s);
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files[0].state, GitState::added);
  EXPECT_EQ(files[0].path, "new file");
  EXPECT_EQ(files[1].state, GitState::deleted);
  EXPECT_EQ(files[1].path, "gone");
  EXPECT_EQ(files[2].state, GitState::modified);
  EXPECT_EQ(files[2].path, "src/a\\b\tc\n ");
  EXPECT_EQ(files[3].state, GitState::modified);
  EXPECT_EQ(files[3].path, "moved");
  EXPECT_EQ(files[4].path, "bad\uFFFD");
}

TEST(ParsePullList, NumberTitleAndBranch) {
  EXPECT_EQ(pr::LIST_TEMPLATE.size(), 65u);
  auto pulls = pr::parse_list(
      " +12 \t Fix it \t topic \n"
      "13\tno branch field\n"
      "14\ttitle\tbranch\twith tab\n"
      "15\t\t\n"
      "-1\tneg\tb\n"
      "+\tsign\tb\n"
      "18446744073709551616\toverflow\tb\n"
      "18446744073709551615\tmax\tb");
  ASSERT_EQ(pulls.size(), 4u);
  EXPECT_EQ(pulls[0].number, 12u);
  EXPECT_EQ(pulls[0].title, "Fix it");
  EXPECT_EQ(pulls[0].branch, "topic");
  EXPECT_EQ(pulls[1].number, 14u);
  EXPECT_EQ(pulls[1].branch, "branch\twith tab");
  EXPECT_EQ(pulls[2].number, 15u);
  EXPECT_EQ(pulls[2].title, "");
  EXPECT_EQ(pulls[3].number, 18446744073709551615u);
}

}  // namespace
}  // namespace nivern_git
