// The shared end-to-end client: replies found by id among the events of a shell, whose
// output and end are kept under the id that opened it.
#include "harness/editor.h"

#include <gtest/gtest.h>

#include "harness/replies.h"

namespace {

using nivern_test::done_reply;
using nivern_test::Editor;
using nivern_test::response;

TEST(Editor, RepliesByIdAndEventsByTheirSource) {
  Editor e({"/tmp"}, {"SHELL=/bin/sh"});
  ASSERT_EQ(e.call(1, R"({"call":"pty_open","path":"/tmp","rows":24,"cols":80})"),
            response(1, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  // "printf 'a%sb\n' x" echoes as typed; only its result holds "axb".
  EXPECT_EQ(e.call(2, R"({"call":"pty_input","pty":1,"bytes":"cHJpbnRmICdhJXNiXG4nIHgK"})"), done_reply(2));
  EXPECT_TRUE(e.until([&] { return e.output(1).find("axb") != std::string::npos; })) << e.output(1);
  EXPECT_EQ(e.call(3, R"({"call":"pty_input","pty":1,"bytes":"ZXhpdAo="})"), done_reply(3));
  EXPECT_TRUE(e.until([&] { return e.exits(1) == 1; }));
  EXPECT_EQ(e.events(1).back(), response(1, R"({"reply":"pty_exited"})"));
  EXPECT_TRUE(e.events(2).empty());
  EXPECT_EQ(e.call(4, R"({"call":"pty_resize","pty":7,"rows":1,"cols":1})"),
            nivern_test::error_reply(4, "no such shell"));
}

}  // namespace
