#include <gtest/gtest.h>

#include "protocol/message.h"

namespace nivern_protocol::message {
namespace {

std::string enc(std::uint64_t id, Reply r) { return Response{id, std::move(r)}.encode(); }

TEST(Encode, EnvelopeAndFieldlessReplies) {
  EXPECT_EQ(enc(9, Reply::Done{}), R"({"id":9,"reply":{"reply":"done"}})");
  EXPECT_EQ(enc(7, Reply::Hello{5, "macos", "aarch64"}),
            R"({"id":7,"reply":{"reply":"hello","version":5,"os":"macos","arch":"aarch64"}})");
  EXPECT_EQ(enc(0, Reply::Error{"unreadable request: EOF while parsing a value at line 1 column 0"}),
            R"({"id":0,"reply":{"reply":"error","message":"unreadable request: EOF while parsing a value at line 1 column 0"}})");
  EXPECT_EQ(enc(1, Reply::Saved{}), R"({"id":1,"reply":{"reply":"saved"}})");
  EXPECT_EQ(enc(1, Reply::Watching{}), R"({"id":1,"reply":{"reply":"watching"}})");
  EXPECT_EQ(enc(1, Reply::PtyExited{}), R"({"id":1,"reply":{"reply":"pty_exited"}})");
  EXPECT_EQ(enc(1, Reply::LspExited{}), R"({"id":1,"reply":{"reply":"lsp_exited"}})");
  EXPECT_EQ(enc(18446744073709551615u, Reply::Done{}), R"({"id":18446744073709551615,"reply":{"reply":"done"}})");
}

TEST(Encode, EveryReplyKeyOrder) {
  EXPECT_EQ(enc(1, Reply::Entries{{{"a", true, 0}, {"b.txt", false, 12}}}),
            R"({"id":1,"reply":{"reply":"entries","entries":[{"name":"a","is_dir":true,"len":0},{"name":"b.txt","is_dir":false,"len":12}]}})");
  EXPECT_EQ(enc(1, Reply::Text{"x\n", "UTF-8", LineEnding::crlf, true, false}),
            R"({"id":1,"reply":{"reply":"text","text":"x\n","encoding":"UTF-8","line_ending":"crlf","bom":true,"lossy":false}})");
  EXPECT_EQ(enc(1, Reply::Found{{{"p", 3, "t", 1, 2}}, true, 4}),
            R"({"id":1,"reply":{"reply":"found","matches":[{"path":"p","line":3,"text":"t","start":1,"end":2}],"truncated":true,"files":4}})");
  EXPECT_EQ(enc(1, Reply::Scanned{{"a", "b"}, false}),
            R"({"id":1,"reply":{"reply":"scanned","paths":["a","b"],"truncated":false}})");
  EXPECT_EQ(enc(1, Reply::Changed{{}}), R"({"id":1,"reply":{"reply":"changed","paths":[]}})");
  EXPECT_EQ(enc(1, Reply::GitStatus{}),
            R"({"id":1,"reply":{"reply":"git_status","repository":false,"branch":null,"upstream":null,"ahead":0,"behind":0,"entries":[]}})");
  Reply::GitStatus st{true, "main", "origin/main", 2, 1,
                      {{"a", GitState::modified, GitState::added, std::nullopt},
                       {"b", GitState::conflicted, std::nullopt, GitState::deleted}}};
  EXPECT_EQ(enc(1, st),
            R"({"id":1,"reply":{"reply":"git_status","repository":true,"branch":"main","upstream":"origin/main","ahead":2,"behind":1,"entries":[{"path":"a","state":"modified","staged":"added","unstaged":null},{"path":"b","state":"conflicted","staged":null,"unstaged":"deleted"}]}})");
  EXPECT_EQ(enc(1, Reply::GitDone{"Fetched.", {}, {}, std::nullopt, {}, {}}),
            R"({"id":1,"reply":{"reply":"git_done","said":"Fetched.","branches":[],"pulls":[],"open":null,"commits":[],"changed":[]}})");
  Reply::GitDone full{"s", {"main"}, {{7, "T", "b"}}, "https://x", {{"h", "s", "sub", "me", "now"}},
                      {{GitState::untracked, "f"}}};
  EXPECT_EQ(enc(1, full),
            R"({"id":1,"reply":{"reply":"git_done","said":"s","branches":["main"],"pulls":[{"number":7,"title":"T","branch":"b"}],"open":"https://x","commits":[{"hash":"h","short":"s","subject":"sub","author":"me","when":"now"}],"changed":[{"state":"untracked","path":"f"}]}})");
  EXPECT_EQ(enc(1, Reply::PtyOpened{"/bin/sh"}), R"({"id":1,"reply":{"reply":"pty_opened","shell":"/bin/sh"}})");
  EXPECT_EQ(enc(1, Reply::PtyOutput{""}), R"({"id":1,"reply":{"reply":"pty_output","bytes":""}})");
  EXPECT_EQ(enc(1, Reply::LspOpened{"rust-analyzer"}), R"({"id":1,"reply":{"reply":"lsp_opened","program":"rust-analyzer"}})");
  EXPECT_EQ(enc(1, Reply::LspOutput{"Zm9v"}), R"({"id":1,"reply":{"reply":"lsp_output","bytes":"Zm9v"}})");
  EXPECT_EQ(to_string(GitState::untracked), "untracked");
}

TEST(Encode, StringEscapes) {
  std::string s = "\"\\/\b\f\n\r\t";
  s += '\0';
  s += "\x01\x1f\x7f\xc3\xa9 plain text that is long enough to take the bulk path\x1b";
  EXPECT_EQ(enc(1, Reply::Error{s}),
            "{\"id\":1,\"reply\":{\"reply\":\"error\",\"message\":\"\\\"\\\\/\\b\\f\\n\\r\\t\\u0000\\u0001\\u001f\x7f\xc3\xa9"
            " plain text that is long enough to take the bulk path\\u001b\"}}");
  // Escapes at every offset around the eight-byte steps.
  for (std::size_t i = 0; i < 20; ++i) {
    std::string t(i, 'a');
    t += '"';
    t += std::string(20 - i, 'b');
    std::string want = "{\"id\":1,\"reply\":{\"reply\":\"error\",\"message\":\"" + std::string(i, 'a') + "\\\"" +
                       std::string(20 - i, 'b') + "\"}}";
    EXPECT_EQ(enc(1, Reply::Error{t}), want);
  }
}

}  // namespace
}  // namespace nivern_protocol::message

namespace nivern_protocol::message {
namespace {

// The reserved size is exact, and texts of many megabytes are escaped in parallel
// pieces, so a long text with every kind of escape must still come out byte for byte as
// the short-string path writes it.
TEST(Encode, LongTextsWithEveryEscapeMatchPieceByPiece) {
  std::string text;
  text.reserve(20'000'000);
  for (std::uint64_t i = 0; i < 20'000'000; ++i) text += static_cast<char>(i * 7919 % 256);
  std::string whole = Response{1, Reply::Error{text}}.encode();
  std::string pieces;
  for (std::size_t at = 0; at < text.size(); at += 1000) {
    std::string part = Response{1, Reply::Error{text.substr(at, 1000)}}.encode();
    pieces += part.substr(44, part.size() - 44 - 3);  // inside the quotes
  }
  EXPECT_EQ(whole, "{\"id\":1,\"reply\":{\"reply\":\"error\",\"message\":\"" + pieces + "\"}}");
  Reply::Text t{text, "UTF-8", LineEnding::lf, false, false};
  EXPECT_EQ((Response{1, t}.encode()), R"({"id":1,"reply":{"reply":"text","text":")" + pieces +
                                           R"(","encoding":"UTF-8","line_ending":"lf","bom":false,"lossy":false}})");

  // Sizes without writing: exact below the bound, and a limit that the text passes
  // gives nothing.
  const std::size_t size = whole.size();
  EXPECT_EQ(json_string_size(text, SIZE_MAX), pieces.size() + 2);
  EXPECT_GT(json_string_size(text, 1000), 1000u);
  EXPECT_EQ((Response{1, Reply::Error{text}}.encode_within(size)), whole);
  EXPECT_EQ((Response{1, Reply::Error{text}}.encode_within(size - 1)), std::nullopt);
  EXPECT_EQ((Response{1, Reply::Error{"ab"}}.encode_within(8)), std::nullopt);
}

TEST(Encode, SizeOfOneMatchAsAFoundReplyWritesIt) {
  const TextMatch m{"dir/\"q\".txt", 12345, "tab\there\x01", 3, 99};
  const std::string none = Response{1, Reply::Found{{}, false, 1}}.encode();
  const std::string one = Response{1, Reply::Found{{m}, false, 1}}.encode();
  EXPECT_EQ(encoded_size(m, SIZE_MAX), one.size() - none.size());
  EXPECT_GT(encoded_size(m, 10), 10u);
}

}  // namespace
}  // namespace nivern_protocol::message

namespace nivern_protocol::message {
namespace {

TEST(StringList, KeepsEachStringWholeAndInOrder) {
  StringList l;
  EXPECT_TRUE(l.empty());
  EXPECT_EQ(l.begin(), l.end());
  l.reserve(4, 6);
  l.push_back("ab");
  l.push_back("");  // an empty string is a string of its own
  l.push_back(std::string_view("c\0d", 3));
  l.push_back("");
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l.bytes(), 5u);
  EXPECT_EQ(l[0], "ab");
  EXPECT_EQ(l[1], "");
  EXPECT_EQ(l[2], std::string_view("c\0d", 3));
  EXPECT_EQ(l[3], "");
  EXPECT_EQ(l.to_vector(), (std::vector<std::string>{"ab", "", std::string("c\0d", 3), ""}));
  EXPECT_EQ(std::distance(l.begin(), l.end()), 4);
  EXPECT_EQ(l.begin()[2], l[2]);
  EXPECT_EQ(*(l.end() - 1), "");
}

TEST(StringList, EqualOnlyWithTheSameStrings) {
  EXPECT_EQ((StringList{"a", "bc"}), (StringList{"a", "bc"}));
  EXPECT_NE((StringList{"a", "bc"}), (StringList{"ab", "c"}));  // same bytes, other split
  EXPECT_NE((StringList{"a", ""}), (StringList{"a"}));
  EXPECT_NE((StringList{"a"}), (StringList{}));
  StringList built;
  built.push_back("a");
  built.push_back("bc");
  EXPECT_EQ(built, (StringList{"a", "bc"}));
}

// Many paths, some needing escapes: the whole reply is what the list of its pieces gives.
TEST(Encode, ScannedPathsOfAWholeTree) {
  StringList paths;
  std::string want = R"({"id":3,"reply":{"reply":"scanned","paths":[)";
  for (int i = 0; i < 50000; ++i) {
    std::string p = "/root/dir" + std::to_string(i % 97) + "/file-" + std::to_string(i);
    std::string shown = p;
    if (i % 1000 == 0) {
      p += "\"\\\n";
      shown += "\\\"\\\\\\n";
    }
    paths.push_back(p);
    want += (i ? ",\"" : "\"") + shown + "\"";
  }
  want += R"(],"truncated":true}})";
  EXPECT_EQ(enc(3, Reply::Scanned{std::move(paths), true}), want);
  EXPECT_EQ(enc(4, Reply::Scanned{{""}, false}), R"({"id":4,"reply":{"reply":"scanned","paths":[""],"truncated":false}})");
}

}  // namespace
}  // namespace nivern_protocol::message
