#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "protocol/message.h"

namespace nivern_protocol::message {
namespace {

// The decoder's error text for `body`, or "ok".
std::string error_of(std::string_view body) {
  auto r = Request::decode(body);
  return r ? std::string("ok") : r.error();
}

Request decoded(std::string_view body) {
  auto r = Request::decode(body);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? std::move(*r) : Request{};
}

const char* kAllCalls =
    "one of `hello`, `list_dir`, `open`, `save`, `search`, `scan`, `watch`, `git_status`, "
    "`git_show`, `git_action`, `pty_open`, `pty_input`, `pty_resize`, `pty_close`, `lsp_open`, "
    "`lsp_input`, `lsp_close`";

// A call object inside a valid envelope for id 1.
std::string call(std::string_view c) { return "{\"id\":1,\"call\":" + std::string(c) + "}"; }
// Its error text without the position.
std::string call_error(std::string_view c) {
  std::string e = error_of(call(c));
  auto at = e.rfind(" at line ");
  return at == std::string::npos ? e : e.substr(0, at);
}

TEST(Envelope, EmptyAndWhitespaceBodies) {
  EXPECT_EQ(error_of(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(error_of("  \n\t "), "EOF while parsing a value at line 2 column 2");
  EXPECT_EQ(error_of("\r\n"), "EOF while parsing a value at line 2 column 0");
}

TEST(Envelope, MissingAndDuplicateFields) {
  EXPECT_EQ(error_of("{}"), "missing field `id` at line 1 column 2");
  EXPECT_EQ(error_of(R"({"id":1})"), "missing field `call` at line 1 column 8");
  EXPECT_EQ(error_of(R"({"call":{"call":"hello","version":5}})"), "missing field `id` at line 1 column 37");
  EXPECT_EQ(error_of(R"({"id":1,"id":2})"), "duplicate field `id` at line 1 column 12");
  EXPECT_EQ(error_of(R"({"id":1,"call":{"call":"hello","version":5},"call":1})"),
            "duplicate field `call` at line 1 column 50");
  EXPECT_EQ(error_of(R"({"ID":1})"), "missing field `id` at line 1 column 8");
}

TEST(Envelope, AcceptedForms) {
  for (auto body : {R"({"extra":[1,2],"call":{"version":5,"call":"hello"},"id":3})",
                    R"([3,{"call":"hello","version":5}])", R"([3,["hello",5]])",
                    R"({"id":3,"call":{"call":"hello","version":5}})",
                    " \t\r\n{ \"id\" : 3 , \"call\" : [ \"hello\" , 5 ] } \n",
                    R"({"x":1,"x":{"deep":[[[[]]]]},"id":3,"call":["hello",5]})",
                    R"({"i\u0064":3,"call":{"c\u0061ll":"hel\u006co","version":5}})"}) {
    Request r = decoded(body);
    EXPECT_EQ(r.id, 3u) << body;
    ASSERT_EQ(r.call.v.index(), 0u) << body;
    EXPECT_EQ(std::get<Call::Hello>(r.call.v).version, 5u) << body;
  }
}

TEST(Envelope, ArrayFormLengthAndTrailing) {
  EXPECT_EQ(error_of("[]"), "invalid length 0, expected struct Request with 2 elements at line 1 column 2");
  EXPECT_EQ(error_of("[3]"), "invalid length 1, expected struct Request with 2 elements at line 1 column 3");
  EXPECT_EQ(error_of(R"([3,["hello",5],0])"), "trailing characters at line 1 column 16");
  EXPECT_EQ(error_of(R"([3,["hello",5],])"), "trailing comma at line 1 column 16");
  EXPECT_EQ(error_of(R"([3 ["hello",5]])"), "expected `,` or `]` at line 1 column 4");
  EXPECT_EQ(error_of(R"([3,)"), "EOF while parsing a value at line 1 column 3");
  EXPECT_EQ(error_of(R"([3,["hello",5])"), "EOF while parsing a list at line 1 column 14");
}

TEST(Envelope, NotAnEnvelope) {
  EXPECT_EQ(error_of("5"), "invalid type: integer `5`, expected struct Request at line 1 column 1");
  EXPECT_EQ(error_of(R"("hi")"), "invalid type: string \"hi\", expected struct Request at line 1 column 4");
  EXPECT_EQ(error_of("null"), "invalid type: null, expected struct Request at line 1 column 4");
  EXPECT_EQ(error_of("x"), "expected value at line 1 column 1");
  EXPECT_EQ(error_of("nul"), "EOF while parsing a value at line 1 column 3");
  EXPECT_EQ(error_of("nulL"), "expected ident at line 1 column 4");
}

TEST(Envelope, TrailingCharacters) {
  std::string ok = R"({"id":1,"call":["hello",5]})";
  EXPECT_EQ(error_of(ok + " \n x"), "trailing characters at line 2 column 2");
  EXPECT_EQ(error_of(ok + "{}"), "trailing characters at line 1 column 28");
  EXPECT_EQ(error_of(ok + "\n\n"), "ok");
}

TEST(Envelope, ObjectSyntax) {
  EXPECT_EQ(error_of("{"), "EOF while parsing an object at line 1 column 1");
  EXPECT_EQ(error_of(R"({"id")"), "EOF while parsing an object at line 1 column 5");
  EXPECT_EQ(error_of(R"({"id" 1})"), "expected `:` at line 1 column 7");
  EXPECT_EQ(error_of(R"({"id":1 "call":1})"), "expected `,` or `}` at line 1 column 9");
  EXPECT_EQ(error_of(R"({"id":1,})"), "trailing comma at line 1 column 9");
  EXPECT_EQ(error_of(R"({1:2})"), "key must be a string at line 1 column 2");
  EXPECT_EQ(error_of(R"({"id":1,)"), "EOF while parsing a value at line 1 column 8");
  EXPECT_EQ(error_of(R"({"id":)"), "EOF while parsing a value at line 1 column 6");
}

TEST(Envelope, IdValues) {
  EXPECT_EQ(error_of(R"({"id":"7","call":1})"), "invalid type: string \"7\", expected u64 at line 1 column 9");
  EXPECT_EQ(error_of(R"({"id":-1})"), "invalid value: integer `-1`, expected u64 at line 1 column 8");
  EXPECT_EQ(error_of(R"({"id":3.0})"), "invalid type: floating point `3.0`, expected u64 at line 1 column 9");
  EXPECT_EQ(error_of(R"({"id":[1]})"), "invalid type: sequence, expected u64 at line 1 column 6");
  EXPECT_EQ(error_of(R"({"id":{}})"), "invalid type: map, expected u64 at line 1 column 6");
  EXPECT_EQ(error_of(R"({"id":true})"), "invalid type: boolean `true`, expected u64 at line 1 column 10");
  EXPECT_EQ(error_of(R"({"id":null})"), "invalid type: null, expected u64 at line 1 column 10");
  EXPECT_EQ(error_of(R"({"id":18446744073709551616})"),
            "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 26");
  EXPECT_EQ(decoded(R"({"id":18446744073709551615,"call":["hello",5]})").id, 18446744073709551615u);
  EXPECT_EQ(error_of(R"({"id":-0})"), "invalid type: floating point `-0.0`, expected u64 at line 1 column 8");
  EXPECT_EQ(error_of(R"({"id":5e0})"), "invalid type: floating point `5.0`, expected u64 at line 1 column 9");
}

TEST(Numbers, Syntax) {
  EXPECT_EQ(error_of(R"({"id":01})"), "invalid number at line 1 column 8");
  EXPECT_EQ(error_of(R"({"id":+1})"), "expected value at line 1 column 7");
  EXPECT_EQ(error_of(R"({"id":.5})"), "expected value at line 1 column 7");
  EXPECT_EQ(error_of(R"({"id":1.})"), "invalid number at line 1 column 9");
  EXPECT_EQ(error_of(R"({"id":1.)"), "EOF while parsing a value at line 1 column 8");
  EXPECT_EQ(error_of(R"({"id":1e})"), "invalid number at line 1 column 9");
  EXPECT_EQ(error_of(R"({"id":-})"), "invalid number at line 1 column 8");
  EXPECT_EQ(error_of(R"({"id":1e999})"), "number out of range at line 1 column 11");
  EXPECT_EQ(error_of(R"({"id":-1e999})"), "number out of range at line 1 column 12");
  EXPECT_EQ(error_of(R"({"id":1e-999})"), "invalid type: floating point `0.0`, expected u64 at line 1 column 12");
  EXPECT_EQ(error_of(R"({"id":1e300})"), "invalid type: floating point `1e300`, expected u64 at line 1 column 11");
  EXPECT_EQ(error_of(R"({"id":0.000001})"), "invalid type: floating point `1e-6`, expected u64 at line 1 column 14");
  EXPECT_EQ(error_of(R"({"id":0.5})"), "invalid type: floating point `0.5`, expected u64 at line 1 column 9");
  EXPECT_EQ(error_of(R"({"id":-9223372036854775808})"),
            "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 26");
  EXPECT_EQ(error_of(R"({"id":-9223372036854775809})"),
            "invalid type: floating point `-9.223372036854776e18`, expected u64 at line 1 column 26");
}

TEST(Strings, EscapesAndSurrogates) {
  Request r = decoded(R"({"id":1,"call":{"call":"open","path":"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"}})");
  EXPECT_EQ(std::get<Call::Open>(r.call.v).path, "a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(call_error(R"({"call":"open","path":"\x"})"), "invalid escape");
  EXPECT_EQ(error_of(call(R"({"call":"open","path":"\x"})")), "invalid escape at line 1 column 40");
  EXPECT_EQ(call_error(R"({"call":"open","path":"\u12G4"})"), "invalid escape");
  EXPECT_EQ(call_error(R"({"call":"open","path":"\udc00"})"), "lone leading surrogate in hex escape");
  EXPECT_EQ(call_error(R"({"call":"open","path":"\ud800x"})"), "unexpected end of hex escape");
  EXPECT_EQ(call_error(R"({"call":"open","path":"\ud800\n"})"), "unexpected end of hex escape");
  EXPECT_EQ(call_error(R"({"call":"open","path":"\ud800\u0041"})"), "lone leading surrogate in hex escape");
  EXPECT_EQ(error_of("{\"id\":1,\"call\":{\"call\":\"open\",\"path\":\"a\nb\"}}"),
            "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0");
  EXPECT_EQ(error_of(R"({"id":1,"call":{"call":"open","path":"ab)"), "EOF while parsing a string at line 1 column 40");
  EXPECT_EQ(error_of(R"({"id":1,"call":{"call":"open","path":"\u12)"), "EOF while parsing a string at line 1 column 42");
}

TEST(Strings, Utf8Checks) {
  // Invalid bytes in a string that is kept, and in a key.
  EXPECT_EQ(error_of("{\"id\":1,\"call\":{\"call\":\"open\",\"path\":\"a\xff\"}}"),
            "invalid unicode code point at line 1 column 41");
  EXPECT_EQ(error_of("{\"i\xc3\":1}"), "invalid unicode code point at line 1 column 5");
  EXPECT_EQ(error_of("{\"id\":1,\"call\":{\"call\":\"open\",\"path\":\"\xed\xa0\x80\"}}"),
            "invalid unicode code point at line 1 column 42");
  // Inside an unknown envelope key only the syntax counts.
  EXPECT_EQ(error_of("{\"x\":\"\xff\\ud800\",\"id\":1,\"call\":[\"hello\",5]}"), "ok");
  EXPECT_EQ(error_of("{\"x\":\"\\q\",\"id\":1}"), "invalid escape at line 1 column 8");
  // Valid multi-byte text passes through unchanged.
  Request r = decoded("{\"id\":1,\"call\":[\"open\",\"\xe6\x97\xa5\xe6\x9c\xac/\xf0\x9f\x98\x80.txt\"]}");
  EXPECT_EQ(std::get<Call::Open>(r.call.v).path, "\xe6\x97\xa5\xe6\x9c\xac/\xf0\x9f\x98\x80.txt");
}

TEST(Nesting, RecursionLimit) {
  auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  // 125 arrays inside the call object's unknown key: 127 levels with envelope and call.
  EXPECT_EQ(error_of(call("{\"call\":\"hello\",\"version\":5,\"x\":" + nested(125) + "}")), "ok");
  std::string deeper = call("{\"call\":\"hello\",\"version\":5,\"x\":" + nested(126) + "}");
  EXPECT_EQ(error_of(deeper), "recursion limit exceeded at line 1 column " +
                                  std::to_string(std::string("{\"id\":1,\"call\":{\"call\":\"hello\",\"version\":5,\"x\":").size() + 126));
  // Unknown envelope keys may nest without limit.
  EXPECT_EQ(error_of("{\"x\":" + nested(100000) + ",\"id\":1,\"call\":[\"hello\",5]}"), "ok");
  EXPECT_EQ(error_of("{\"x\":" + std::string(100000, '[')), "EOF while parsing a list at line 1 column 100005");
}

TEST(Ignored, SyntaxOfSkippedValues) {
  EXPECT_EQ(error_of(R"({"x":[1,],"id":1})"), "expected value at line 1 column 9");
  EXPECT_EQ(error_of(R"({"x":{"a":1,},"id":1})"), "key must be a string at line 1 column 13");
  EXPECT_EQ(error_of(R"({"x":{"a" 1},"id":1})"), "expected `:` at line 1 column 11");
  EXPECT_EQ(error_of(R"({"x":[1 2],"id":1})"), "expected `,` or `]` at line 1 column 9");
  EXPECT_EQ(error_of(R"({"x":1.,"id":1})"), "invalid number at line 1 column 8");
  EXPECT_EQ(error_of(R"({"x":tru,"id":1})"), "expected ident at line 1 column 9");
  EXPECT_EQ(error_of(R"({"x":1e999,"id":1,"call":["hello",5]})"), "ok");
}

TEST(CallTag, Forms) {
  EXPECT_EQ(error_of(call(R"("hello")")),
            "invalid type: string \"hello\", expected internally tagged enum Call at line 1 column 22");
  EXPECT_EQ(error_of(call("5")), "invalid type: integer `5`, expected internally tagged enum Call at line 1 column 16");
  EXPECT_EQ(error_of(call(R"({"call":"Hello","version":5})")),
            std::string("unknown variant `Hello`, expected ") + kAllCalls + " at line 1 column 30");
  EXPECT_EQ(error_of(call(R"({"call":0})")), "invalid type: integer `0`, expected variant identifier at line 1 column 24");
  EXPECT_EQ(error_of(call(R"({"call":["hello"]})")), "invalid type: sequence, expected variant identifier at line 1 column 23");
  EXPECT_EQ(error_of(call(R"({"version":5})")), "missing field `call` at line 1 column 28");
  EXPECT_EQ(error_of(call("[]")), "missing field `call` at line 1 column 17");
  EXPECT_EQ(error_of(call(R"({"call":"hello","call":"hello"})")), "duplicate field `call` at line 1 column 37");
  EXPECT_EQ(error_of(call(R"(["nope"])")), std::string("unknown variant `nope`, expected ") + kAllCalls + " at line 1 column 22");
}

TEST(CallFields, HelloMatching) {
  EXPECT_EQ(call_error(R"({"call":"hello","version":5,"version":5})"), "duplicate field `version`");
  EXPECT_EQ(error_of(R"({"id":1,"call":{"call":"hello"}})"), "missing field `version` at line 1 column 32");
  EXPECT_EQ(error_of(R"({"id":1,"call":{"call":"hello"},"x":0})"), "missing field `version` at line 1 column 31");
  EXPECT_EQ(error_of(R"({"id":1,"call":{"call":"hello"}  })"), "missing field `version` at line 1 column 34");
  EXPECT_EQ(error_of(R"([1,{"call":"hello"}])"), "missing field `version` at line 1 column 20");
  EXPECT_EQ(call_error(R"({"call":"hello","version":5,"x":null})"), "ok");
  EXPECT_EQ(call_error(R"(["hello"])"), "invalid length 0, expected struct variant Call::Hello with 1 element");
  EXPECT_EQ(call_error(R"(["hello",5,6])"), "invalid length 2, expected 1 element in sequence");
  EXPECT_EQ(call_error(R"({"call":"hello","version":4294967296})"), "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(call_error(R"({"call":"hello","version":"5"})"), "invalid type: string \"5\", expected u32");
  EXPECT_EQ(call_error(R"({"call":"hello","version":-5})"), "invalid value: integer `-5`, expected u32");
}

TEST(CallFields, EveryMemberDecodes) {
  auto r = decoded(call(R"({"path":"p","call":"save","text":"t","encoding":"UTF-8","line_ending":"crlf","bom":true})"));
  auto& save = std::get<Call::Save>(r.call.v);
  EXPECT_EQ(save.path, "p");
  EXPECT_EQ(save.text, "t");
  EXPECT_EQ(save.encoding, "UTF-8");
  EXPECT_EQ(save.line_ending, LineEnding::crlf);
  EXPECT_TRUE(save.bom);

  auto s = std::get<Call::Search>(decoded(call(R"(["search","d","q",true,false,true,["*.o","b"]])")).call.v);
  EXPECT_EQ(s.pattern, "q");
  EXPECT_TRUE(s.case_sensitive);
  EXPECT_FALSE(s.whole_word);
  EXPECT_TRUE(s.regex);
  EXPECT_EQ(s.excludes, (std::vector<std::string>{"*.o", "b"}));

  EXPECT_EQ(decoded(call(R"(["list_dir","d"])")).call.v.index(), 1u);
  EXPECT_EQ(decoded(call(R"(["open","d"])")).call.v.index(), 2u);
  EXPECT_EQ(decoded(call(R"(["scan","d",[]])")).call.v.index(), 5u);
  EXPECT_EQ(decoded(call(R"(["watch","d",[]])")).call.v.index(), 6u);
  EXPECT_EQ(decoded(call(R"(["git_status","d"])")).call.v.index(), 7u);
  EXPECT_EQ(decoded(call(R"(["git_show","d"])")).call.v.index(), 8u);
  EXPECT_EQ(decoded(call(R"(["git_action","d",["fetch"]])")).call.v.index(), 9u);
  auto po = std::get<Call::PtyOpen>(decoded(call(R"(["pty_open","d",65535,80])")).call.v);
  EXPECT_EQ(po.rows, 65535);
  EXPECT_EQ(po.cols, 80);
  auto pi = std::get<Call::PtyInput>(decoded(call(R"({"call":"pty_input","pty":18446744073709551615,"bytes":"!!"})")).call.v);
  EXPECT_EQ(pi.pty, 18446744073709551615u);
  EXPECT_EQ(pi.bytes, "!!");  // not base64: still a readable request
  EXPECT_EQ(decoded(call(R"(["pty_resize",1,2,3])")).call.v.index(), 12u);
  EXPECT_EQ(decoded(call(R"(["pty_close",1])")).call.v.index(), 13u);
  EXPECT_EQ(decoded(call(R"(["lsp_open","d","rust"])")).call.v.index(), 14u);
  EXPECT_EQ(decoded(call(R"(["lsp_input",1,""])")).call.v.index(), 15u);
  EXPECT_EQ(decoded(call(R"(["lsp_close",1])")).call.v.index(), 16u);
  EXPECT_EQ(std::get<Call::Open>(decoded(call(R"({"call":"open","path":"a","mode":1})")).call.v).path, "a");
}

TEST(CallFields, TypesAndCounts) {
  EXPECT_EQ(call_error(R"({"call":"open"})"), "missing field `path`");
  EXPECT_EQ(call_error(R"({"call":"open","path":"a","path":"b"})"), "duplicate field `path`");
  EXPECT_EQ(call_error(R"(["save","a.txt","x","UTF-8","lf",false])"), "ok");
  EXPECT_EQ(call_error(R"(["save","a.txt","x","UTF-8","lf"])"),
            "invalid length 4, expected struct variant Call::Save with 5 elements");
  EXPECT_EQ(call_error(R"(["save",1])"), "invalid type: integer `1`, expected a string");
  EXPECT_EQ(call_error(R"({"call":"search","path":"d","pattern":"q","case_sensitive":true,"whole_word":true,"regex":true})"),
            "missing field `excludes`");
  EXPECT_EQ(call_error(R"({"call":"scan","path":"d","excludes":null})"), "invalid type: null, expected a sequence");
  EXPECT_EQ(call_error(R"({"call":"scan","path":"d","excludes":["a",7]})"), "invalid type: integer `7`, expected a string");
  EXPECT_EQ(call_error(R"({"call":"pty_open","path":"d","rows":65536,"cols":1})"), "invalid value: integer `65536`, expected u16");
  EXPECT_EQ(call_error(R"({"call":"pty_open","path":"d","rows":-1,"cols":1})"), "invalid value: integer `-1`, expected u16");
  EXPECT_EQ(call_error(R"({"call":"pty_open","path":"d","rows":24.0,"cols":1})"), "invalid type: floating point `24.0`, expected u16");
  EXPECT_EQ(call_error(R"({"call":"pty_input","pty":"1","bytes":""})"), "invalid type: string \"1\", expected u64");
  EXPECT_EQ(call_error(R"({"call":"save","path":"a","text":"","encoding":"","line_ending":"lf","bom":1})"),
            "invalid type: integer `1`, expected a boolean");
  EXPECT_EQ(call_error(R"({"call":"open","path":{"a":1}})"), "invalid type: map, expected a string");

  const char* counts[][2] = {
      {R"(["list_dir"])", "invalid length 0, expected struct variant Call::ListDir with 1 element"},
      {R"(["open"])", "invalid length 0, expected struct variant Call::Open with 1 element"},
      {R"(["search","d"])", "invalid length 1, expected struct variant Call::Search with 6 elements"},
      {R"(["scan"])", "invalid length 0, expected struct variant Call::Scan with 2 elements"},
      {R"(["watch","d"])", "invalid length 1, expected struct variant Call::Watch with 2 elements"},
      {R"(["git_status"])", "invalid length 0, expected struct variant Call::GitStatus with 1 element"},
      {R"(["git_show"])", "invalid length 0, expected struct variant Call::GitShow with 1 element"},
      {R"(["git_action","d"])", "invalid length 1, expected struct variant Call::GitAction with 2 elements"},
      {R"(["pty_open","d",1])", "invalid length 2, expected struct variant Call::PtyOpen with 3 elements"},
      {R"(["pty_input",1])", "invalid length 1, expected struct variant Call::PtyInput with 2 elements"},
      {R"(["pty_resize",1])", "invalid length 1, expected struct variant Call::PtyResize with 3 elements"},
      {R"(["pty_close"])", "invalid length 0, expected struct variant Call::PtyClose with 1 element"},
      {R"(["lsp_open","d"])", "invalid length 1, expected struct variant Call::LspOpen with 2 elements"},
      {R"(["lsp_input",1])", "invalid length 1, expected struct variant Call::LspInput with 2 elements"},
      {R"(["lsp_close"])", "invalid length 0, expected struct variant Call::LspClose with 1 element"},
      {R"(["scan","d",[],1])", "invalid length 3, expected 2 elements in sequence"},
  };
  for (auto& [body, want] : counts) EXPECT_EQ(call_error(body), want) << body;
}

TEST(CallFields, LineEnding) {
  auto le = [](std::string_view v) {
    return call_error(R"({"call":"save","path":"a","text":"","encoding":"","bom":false,"line_ending":)" +
                      std::string(v) + "}");
  };
  for (auto ok : {R"("lf")", R"("crlf")", R"({"lf":null})", R"({"crlf":null})", R"({"lf":{}})", R"({"crlf":{}})"})
    EXPECT_EQ(le(ok), "ok") << ok;
  EXPECT_EQ(le(R"("LF")"), "unknown variant `LF`, expected `lf` or `crlf`");
  EXPECT_EQ(le(R"({"lf":null,"crlf":null})"), "invalid value: map, expected map with a single key");
  EXPECT_EQ(le("{}"), "invalid value: map, expected map with a single key");
  EXPECT_EQ(le(R"({"crlf":true})"), "invalid type: boolean `true`, expected unit");
  EXPECT_EQ(le(R"({"cr":null})"), "unknown variant `cr`, expected `lf` or `crlf`");
  EXPECT_EQ(le("0"), "invalid type: integer `0`, expected string or map");
  EXPECT_EQ(le("[]"), "invalid type: sequence, expected string or map");
  auto r = decoded(call(R"({"call":"save","path":"a","text":"","encoding":"","bom":false,"line_ending":{"crlf":{}}})"));
  EXPECT_EQ(std::get<Call::Save>(r.call.v).line_ending, LineEnding::crlf);
}

// The action of a git_action call, decoded or its error.
std::string action_error(std::string_view action) {
  return call_error(R"({"call":"git_action","path":".","action":)" + std::string(action) + "}");
}
GitAction action(std::string_view a) {
  auto r = decoded(call(R"({"call":"git_action","path":".","action":)" + std::string(a) + "}"));
  return std::get<Call::GitAction>(r.call.v).action;
}

TEST(GitActions, TagsAndIndexes) {
  EXPECT_EQ(action(R"({"action":"fetch"})").v.index(), 6u);
  EXPECT_EQ(action(R"({"action":6})").v.index(), 6u);
  EXPECT_EQ(action(R"({"action":"fetch","paths":["a"]})").v.index(), 6u);
  EXPECT_EQ(action(R"(["fetch"])").v.index(), 6u);
  EXPECT_EQ(action_error(R"(["fetch",1])"), "invalid length 1, expected 0 elements in sequence");
  EXPECT_EQ(action_error(R"({"action":23})"), "invalid value: integer `23`, expected variant index 0 <= i < 23");
  EXPECT_EQ(action_error(R"({"action":-1})"), "invalid type: integer `-1`, expected variant identifier");
  EXPECT_EQ(action_error(R"({"action":true})"), "invalid type: boolean `true`, expected variant identifier");
  EXPECT_EQ(action_error(R"("fetch")"), "invalid type: string \"fetch\", expected internally tagged enum GitAction");
  EXPECT_EQ(action_error("{}"), "missing field `action`");
  EXPECT_EQ(action_error("[]"), "missing field `action`");
  EXPECT_EQ(action_error(R"({"action":"Fetch"})"),
            "unknown variant `Fetch`, expected one of `stage`, `stage_all`, `unstage`, `unstage_all`, "
            "`discard`, `commit`, `fetch`, `pull`, `push`, `publish`, `branches`, `switch`, `create`, "
            "`pull_request_create`, `pull_request_url`, `pull_requests`, `log`, `commit_files`, `stash`, "
            "`stash_pop`, `amend`, `undo_commit`, `stage_text`");
  EXPECT_EQ(action_error(R"({"action":"stage","action":"fetch"})"), "duplicate field `action`");
  const char* tags[] = {"stage", "stage_all", "unstage", "unstage_all", "discard", "commit", "fetch", "pull",
                        "push", "publish", "branches", "switch", "create", "pull_request_create",
                        "pull_request_url", "pull_requests", "log", "commit_files", "stash", "stash_pop",
                        "amend", "undo_commit", "stage_text"};
  for (std::size_t i = 0; i < 23; ++i) {
    std::string full = std::string(R"({"action":")") + tags[i] +
                       R"(","paths":[],"tracked":[],"untracked":[],"message":"m","branch":"b","name":"n","title":"t","limit":1,"hash":"h","path":"p","text":"x"})";
    EXPECT_EQ(action(full).v.index(), i) << tags[i];
    EXPECT_EQ(action("{\"action\":" + std::to_string(i) + ",\"paths\":[],\"tracked\":[],\"untracked\":[],\"message\":\"m\",\"branch\":\"b\",\"name\":\"n\",\"title\":\"t\",\"limit\":1,\"hash\":\"h\",\"path\":\"p\",\"text\":\"x\"}").v.index(), i);
  }
}

TEST(GitActions, Fields) {
  EXPECT_EQ(std::get<GitAction::Log>(action(R"(["log",20])").v).limit, 20u);
  EXPECT_EQ(action_error(R"(["log",20,30])"), "invalid length 2, expected 1 element in sequence");
  EXPECT_EQ(action_error(R"({"action":"stage"})"), "missing field `paths`");
  EXPECT_TRUE(std::get<GitAction::Stage>(action(R"({"action":"stage","paths":[]})").v).paths.empty());
  EXPECT_EQ(action_error(R"({"action":"discard"})"), "missing field `tracked`");
  EXPECT_EQ(action_error(R"({"action":"discard","tracked":["a"]})"), "missing field `untracked`");
  EXPECT_EQ(action_error(R"(["discard",["a"]])"), "invalid length 1, expected struct variant GitAction::Discard with 2 elements");
  EXPECT_EQ(action_error(R"(["discard",[],[],[]])"), "invalid length 3, expected 2 elements in sequence");
  EXPECT_FALSE(std::get<GitAction::PullRequestUrl>(action(R"({"action":"pull_request_url"})").v).number);
  EXPECT_FALSE(std::get<GitAction::PullRequestUrl>(action(R"({"action":"pull_request_url","number":null})").v).number);
  EXPECT_EQ(std::get<GitAction::PullRequestUrl>(action(R"({"action":"pull_request_url","number":12})").v).number, 12u);
  EXPECT_EQ(action_error(R"(["pull_request_url"])"),
            "invalid length 0, expected struct variant GitAction::PullRequestUrl with 1 element");
  EXPECT_FALSE(std::get<GitAction::PullRequestUrl>(action(R"(["pull_request_url",null])").v).number);
  EXPECT_FALSE(std::get<GitAction::Amend>(action(R"({"action":"amend"})").v).message);
  EXPECT_EQ(std::get<GitAction::Amend>(action(R"({"action":"amend","message":""})").v).message, "");
  EXPECT_EQ(action_error(R"({"action":"commit"})"), "missing field `message`");
  EXPECT_EQ(action_error(R"({"action":"stage","paths":["a"],"paths":["b"]})"), "duplicate field `paths`");
  EXPECT_EQ(action_error(R"({"action":"log","limit":-1})"), "invalid value: integer `-1`, expected u64");
  EXPECT_EQ(action_error(R"({"action":"log","limit":"5"})"), "invalid type: string \"5\", expected u64");
  EXPECT_EQ(action_error(R"({"action":"stage","paths":"a"})"), "invalid type: string \"a\", expected a sequence");
  auto st = std::get<GitAction::StageText>(action(R"(["stage_text","f","body"])").v);
  EXPECT_EQ(st.path, "f");
  EXPECT_EQ(st.text, "body");
}

TEST(Descriptions, StringsInMessages) {
  EXPECT_EQ(call_error(R"({"call":"open","path":"q\"\\\t\r\n\u0000\u0001\u007f"} )"), "ok");
  EXPECT_EQ(call_error(R"({"call":"hello","version":"q\"\\\t\r\n\u0000\u0001\u001f\u007f\u0085é"})"),
            "invalid type: string \"q\\\"\\\\\\t\\r\\n\\0\\u{1}\\u{1f}\\u{7f}\\u{85}é\", expected u32");
}

// A value of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
long status_kib(std::string_view key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key)) return std::stol(line.substr(key.size()));
  ADD_FAILURE() << "no " << key;
  return 0;
}

TEST(Memory, MembersTheCallDoesNotUseAreCheckedAndDropped) {
  // 16 MiB: a long array under a key that other calls have as a field, before the tag,
  // and an unknown key after it.
  std::string body = R"({"id":1,"call":{"excludes":[)";
  while (body.size() < (16u << 20)) body += "0,";
  body += R"(0],"call":"hello","version":5,"x":[["a",{}]]}})";
  {
    std::ofstream reset("/proc/self/clear_refs");
    ASSERT_TRUE(reset << "5" << std::flush) << "cannot reset the peak resident size";
  }
  long before = status_kib("VmRSS:");
  EXPECT_EQ(error_of(body), "ok");
  EXPECT_LT(status_kib("VmHWM:") - before, 16 * 1024);
}

}  // namespace
}  // namespace nivern_protocol::message
