// Text search seen from the editor's side, and compared with ripgrep on a generated tree.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness/editor.h"
#include "harness/replies.h"
#include "harness/temp_tree.h"
#include "protocol/json_reader.h"

namespace {

using nivern_protocol::json::Value;
using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::json_list;
using nivern_test::json_string;
using nivern_test::response;
using nivern_test::TempTree;

struct Query {
  Query(std::string p, bool re = false, bool word = false, bool cs = false, std::vector<std::string> ex = {})
      : pattern(std::move(p)), regex(re), whole_word(word), case_sensitive(cs), excludes(std::move(ex)) {}
  std::string pattern;
  bool regex;
  bool whole_word;
  bool case_sensitive;
  std::vector<std::string> excludes;
};

std::string search_call(const std::string& path, const Query& q) {
  return R"({"call":"search","path":)" + json_string(path) + R"(,"pattern":)" + json_string(q.pattern) +
         R"(,"case_sensitive":)" + (q.case_sensitive ? "true" : "false") + R"(,"whole_word":)" +
         (q.whole_word ? "true" : "false") + R"(,"regex":)" + (q.regex ? "true" : "false") +
         R"(,"excludes":)" + json_list(q.excludes) + "}";
}

const std::string kNothingFound = R"({"reply":"found","matches":[],"truncated":false,"files":0})";

struct Hit {
  std::string path;
  std::uint64_t line = 0;
  std::string text;
  std::uint64_t start = 0, end = 0;
  friend bool operator==(const Hit&, const Hit&) = default;
};

struct Found {
  std::vector<Hit> matches;
  bool truncated = false;
  std::uint64_t files = 0;
};

const Value& member(const Value& v, std::string_view key) {
  for (const auto& m : v.members) {
    if (m.first == key) return m.second;
  }
  ADD_FAILURE() << "no key " << key;
  static const Value none;
  return none;
}

/// The `found` reply of a frame, checked for its keys in their order.
Found parse_found(const std::string& frame) {
  Value v;
  nivern_protocol::json::Reader reader(frame);
  EXPECT_TRUE(reader.parse_value(v)) << frame.substr(0, 300);
  const Value& reply = member(v, "reply");
  EXPECT_EQ(member(reply, "reply").s, "found") << frame.substr(0, 300);
  Found f;
  for (const Value& m : member(reply, "matches").items) {
    EXPECT_EQ(m.members.size(), 5u);
    f.matches.push_back(Hit{member(m, "path").s, member(m, "line").u, member(m, "text").s,
                            member(m, "start").u, member(m, "end").u});
  }
  f.truncated = member(reply, "truncated").b;
  f.files = member(reply, "files").u;
  return f;
}

class SearchCall : public ::testing::Test {
 protected:
  std::string raw(const std::string& path, const Query& q) {
    return server_.call(++id_, search_call(path, q));
  }
  Found found(const std::string& path, const Query& q) { return parse_found(raw(path, q)); }
  std::vector<std::string> where(const TempTree& tree, const Query& q) {
    std::vector<std::string> out;
    for (const auto& h : found(tree.path(), q).matches) {
      out.push_back(h.path.substr(tree.path().size() + 1) + ":" + std::to_string(h.line));
    }
    return out;
  }

  Editor server_{{"/tmp"}};
  std::uint64_t id_ = 0;
};

TEST_F(SearchCall, EmptyPatternAndBadRegex) {
  // An empty pattern is answered without a walk, even over the whole file system.
  EXPECT_EQ(raw("/", {"", true, true, true}), response(1, kNothingFound));
  EXPECT_EQ(raw("/no/such/dir", {"x", false, false, false}), response(2, kNothingFound));
  EXPECT_EQ(raw("/tmp", {"(abc", true}),
            error_reply(3, "cannot search: regex parse error:\n    (?:(abc)\n    ^\nerror: unclosed group"));
  EXPECT_EQ(raw("/tmp", {"a{2,1}", true, true}),
            error_reply(4,
                        "cannot search: regex parse error:\n    (?:a{2,1})\n        ^^^^^\nerror: invalid "
                        "repetition count range, the start must be <= the end"));
  std::string many;
  for (int k = 0; k < 5000; ++k) many += "\\w";
  EXPECT_EQ(raw("/tmp", {many, true}),
            error_reply(5, "cannot search: compiled regex exceeds size limit of 104857600"));
}

TEST_F(SearchCall, OneMatchWithEveryKey) {
  TempTree tree;
  tree.file("f.txt", "x\r\nsay a.b and a.b\r\n");
  EXPECT_EQ(raw(tree.path(), {"a.b"}),
            R"({"id":1,"reply":{"reply":"found","matches":[{"path":)" + json_string(tree / "f.txt") +
                R"(,"line":2,"text":"say a.b and a.b","start":4,"end":7}],"truncated":false,"files":1}})");
}

TEST_F(SearchCall, RepliesKeepTheMatchesThatFitOneFrame) {
  TempTree tree;
  const std::string line = "needle" + std::string(14'000, 'x');
  std::string content;
  for (int i = 0; i < 5000; ++i) content += line + "\n";
  tree.file("long.txt", content);
  // 5000 long matches would take about 70 MB: the reply holds the first ones that fit.
  auto reply_with = [&](int n) {
    std::string reply = R"({"id":1,"reply":{"reply":"found","matches":[)";
    for (int i = 1; i <= n; ++i) {
      reply += (i > 1 ? "," : "") + std::string(R"({"path":)") + json_string(tree / "long.txt") +
               R"(,"line":)" + std::to_string(i) + R"(,"text":")" + line + R"(","start":0,"end":6})";
    }
    return reply + R"(],"truncated":true,"files":1}})";
  };
  const std::string got = raw(tree.path(), {"needle"});
  int kept = 0;
  for (std::size_t at = 0; (at = got.find("{\"path\":", at)) != std::string::npos; ++at) ++kept;
  EXPECT_EQ(got, reply_with(kept));
  EXPECT_LE(got.size(), 67108864u);
  EXPECT_GT(reply_with(kept + 1).size(), 67108864u - 64);

  // A line too long for any frame is left out; the other file's match stays.
  TempTree two;
  std::string minified(72u << 20, ';');
  minified.replace(1000, 6, "needle");
  two.file("a.min.js", minified);
  two.file("b.txt", "one\nthe needle\n");
  minified = std::string();
  EXPECT_EQ(raw(two.path(), {"needle"}),
            R"({"id":2,"reply":{"reply":"found","matches":[{"path":)" + json_string(two / "b.txt") +
                R"(,"line":2,"text":"the needle","start":4,"end":10}],"truncated":true,"files":1}})");
  EXPECT_EQ(raw(tree.path(), {"absent"}), response(3, kNothingFound));
}

TEST_F(SearchCall, LiteralsRegexesCaseAndWords) {
  TempTree tree;
  tree.file("a", "a.b\naxb\nfoo #~- bar\n");
  tree.file("b", "FOO\nFoo\nfoo\n");
  tree.file("c", "cat sat\n(cat)\nconcat\n");
  EXPECT_EQ(where(tree, {"a.b"}), (std::vector<std::string>{"a:1"}));
  EXPECT_EQ(where(tree, {"a.b", true}), (std::vector<std::string>{"a:1", "a:2"}));
  EXPECT_EQ(where(tree, {"#~-"}), (std::vector<std::string>{"a:3"}));
  EXPECT_EQ(where(tree, {"foo"}), (std::vector<std::string>{"a:3", "b:1", "b:2", "b:3"}));
  EXPECT_EQ(where(tree, {"Foo"}), (std::vector<std::string>{"b:2"}));
  EXPECT_EQ(where(tree, {"foo", false, false, true}), (std::vector<std::string>{"a:3", "b:3"}));
  EXPECT_EQ(where(tree, {"cat", false, true}), (std::vector<std::string>{"c:1", "c:2"}));
  const Found f = found(tree.path(), {"cat", false, true});
  EXPECT_EQ(f.matches[1].start, 1u);
  EXPECT_EQ(f.matches[1].end, 4u);
}

TEST_F(SearchCall, EncodingsBinaryFilesAndLinks) {
  TempTree tree;
  tree.file("bom8",
            "\xEF\xBB\xBF"
            "cat\n");
  tree.file("utf16", std::string("\xFF\xFE\xE9\0c\0a\0t\0\n\0", 12));
  tree.file("bin", std::string("x\0cat\n", 6));
  tree.file("latin1", "cat caf\xE9\n");
  tree.file("latin1-elsewhere", "cat\ncaf\xE9\n");
  ASSERT_EQ(::symlink((tree / "bom8").c_str(), (tree / "link").c_str()), 0);
  const Found f = found(tree.path(), {"cat"});
  ASSERT_EQ(f.matches.size(), 3u);
  EXPECT_EQ(f.matches[0], (Hit{tree / "bom8", 1, "cat", 0, 3}));
  EXPECT_EQ(f.matches[1], (Hit{tree / "latin1-elsewhere", 1, "cat", 0, 3}));
  EXPECT_EQ(f.matches[2], (Hit{tree / "utf16", 1,
                               "\xC3\xA9"
                               "cat",
                               2, 5}));
  EXPECT_EQ(f.files, 3u);
  // A root that is a regular file is searched alone.
  EXPECT_EQ(found(tree / "bom8", {"cat"}).matches.size(), 1u);
}

TEST_F(SearchCall, TheLimitAndTheCut) {
  TempTree tree;
  std::string big;
  for (int k = 0; k < 6000; ++k) big += "hit\n";
  tree.file("a/big", big);
  tree.file("b/small", "hit\n");
  const Found f = found(tree.path(), {"hit"});
  ASSERT_EQ(f.matches.size(), 5000u);
  EXPECT_TRUE(f.truncated);
  EXPECT_EQ(f.files, 1u);  // b/small sorts after all 5000 kept matches
  for (std::size_t k = 0; k < f.matches.size(); ++k) {
    ASSERT_EQ(f.matches[k].line, k + 1);
    ASSERT_EQ(f.matches[k].path, tree / "a/big");
  }
  // Exclusions; a set that does not build is ignored.
  EXPECT_EQ(found(tree.path(), {"hit", false, false, false, {"big"}}).matches.size(), 1u);
  EXPECT_EQ(found(tree.path(), {"hit", false, false, false, {"big", "[abc"}}).matches.size(), 5000u);
}

// ---- comparison with ripgrep ------------------------------------------------------

/// Whether ripgrep can be run; in CI it must be there (the setup installs it).
bool have_rg() {
  const bool found = std::system("rg --version >/dev/null 2>&1") == 0;
  const char* ci = std::getenv("CI");
  if (!found && ci != nullptr && std::string_view(ci) == "true") {
    ADD_FAILURE() << "rg is not installed";
  }
  return found;
}

/// ripgrep's matches as (path, line, text without trailing CR, first match's column).
std::vector<Hit> rg_hits(const std::string& root, const Query& q) {
  std::string cmd =
      "rg --no-config --hidden --no-ignore-parent --no-require-git --color never "
      "--no-heading --with-filename --null -n --column";
  cmd += q.case_sensitive ? " -s" : " -S";
  if (!q.regex) cmd += " -F";
  if (q.whole_word) cmd += " -w";
  std::string pattern;
  for (char c : q.pattern) pattern += c == '\'' ? std::string("'\\''") : std::string(1, c);
  cmd += " -e '" + pattern + "' '" + root + "'";
  std::vector<Hit> out;
  FILE* p = ::popen(cmd.c_str(), "r");
  EXPECT_NE(p, nullptr);
  std::string all;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) all.append(buf, n);
  ::pclose(p);
  std::size_t at = 0;
  while (at < all.size()) {
    const std::size_t nul = all.find('\0', at);
    const std::size_t line_end = all.find('\n', at);
    if (nul == std::string::npos || nul > line_end) {  // a note such as "binary file matches"
      at = line_end == std::string::npos ? all.size() : line_end + 1;
      continue;
    }
    const std::size_t c1 = all.find(':', nul);
    const std::size_t c2 = all.find(':', c1 + 1);
    const std::size_t lf = all.find('\n', c2);
    Hit h;
    h.path = all.substr(at, nul - at);
    h.line = std::stoull(all.substr(nul + 1, c1 - nul - 1));
    h.start = std::stoull(all.substr(c1 + 1, c2 - c1 - 1)) - 1;
    h.text = all.substr(c2 + 1, lf - c2 - 1);
    while (!h.text.empty() && h.text.back() == '\r') h.text.pop_back();
    out.push_back(std::move(h));
    at = lf + 1;
  }
  std::sort(out.begin(), out.end(),
            [](const Hit& a, const Hit& b) { return a.path != b.path ? a.path < b.path : a.line < b.line; });
  return out;
}

/// Compares each query's matches with ripgrep's: paths, lines, texts and first columns.
void expect_like_rg(const Found& got, const std::vector<Hit>& want, const Query& q) {
  ASSERT_EQ(got.matches.size(), want.size()) << q.pattern;
  for (std::size_t k = 0; k < want.size(); ++k) {
    const Hit& g = got.matches[k];
    ASSERT_EQ(g.path, want[k].path) << q.pattern;
    ASSERT_EQ(g.line, want[k].line) << q.pattern << " " << g.path;
    ASSERT_EQ(g.text, want[k].text) << q.pattern << " " << g.path;
    ASSERT_EQ(g.start, want[k].start) << q.pattern << " " << g.path << ":" << g.line;
  }
}

TEST_F(SearchCall, AgreesWithRipgrepOnAGeneratedTree) {
  if (!have_rg()) GTEST_SKIP() << "rg is not installed";
  TempTree tree;
  std::mt19937 rng(2024);
  const char* words[] = {"cat",    "Cat", "CAT", "concat", "cat_x", "foo_bar", "fooo_baz",
                         "x.y",    "xzy", "é",   "naïve",  "error", "Error",   "ERROR",
                         "errors", "-",   " ",   "\t",     "(",     ")",       "λcat"};
  for (int f = 0; f < 60; ++f) {
    std::string content;
    const int lines = 1 + static_cast<int>(rng() % 40);
    for (int l = 0; l < lines; ++l) {
      const int n = static_cast<int>(rng() % 8);
      for (int k = 0; k < n; ++k) content += words[rng() % std::size(words)];
      content += rng() % 4 == 0 ? "\r\n" : "\n";
    }
    // Names sort the same bytewise and by component: no '-' or '.' before a '/'.
    tree.file(
        "d" + std::to_string(f % 5) + "/sub" + std::to_string(f % 3) + "/f" + std::to_string(f) + ".txt",
        content);
  }
  tree.file(".gitignore", "*.log\n");
  tree.file("skip.log", "cat error\n");
  tree.file(".hidden/h.txt", "cat error\n");
  const Query queries[] = {
      {"cat", false, false, true},        {"cat", false, false, false},        {"Cat", false, false, false},
      {"cat", false, true, false},        {"CAT", false, true, false},         {"x.y", false, false, false},
      {"error", false, true, false},      {"fo+_\\w+", true, false, true},     {"^cat", true, false, true},
      {"cat$", true, false, false},       {"[a-z]+_[a-z]", true, false, true}, {"na\\w+e", true, false, true},
      {"\\(cat\\)|é", true, false, true}, {"errors?", true, true, false},      {"λcat", false, true, true},
  };
  for (const auto& q : queries) {
    const std::vector<Hit> want = rg_hits(tree.path(), q);
    const Found got = found(tree.path(), q);
    ASSERT_LT(got.matches.size(), 5000u);
    EXPECT_FALSE(got.truncated);
    expect_like_rg(got, want, q);
  }
}

TEST_F(SearchCall, AgreesWithRipgrepOnUnicodeSyntaxAndBinaryFiles) {
  if (!have_rg()) GTEST_SKIP() << "rg is not installed";
  TempTree tree;
  tree.file("accents.txt", "éS\nS x\nSé\naé\ncafé au lait\nbx\nax\n5z\naq\n1q\nfoo\nnaïve\n");
  tree.file("cyrillic.txt", "привет мир\nскажи Привет!\nприветствие\nПРИВЕТ\nёж_ёж\n");
  tree.file("cjk.txt", "中文字\n说中文\n中 文\n日本語のテキスト\n");
  tree.file("short.txt", "ab\nend\r\nend\r\r\n😀-[x],αβγ\na e b\n");
  // The same lines ending in CR LF: the carriage return is part of what the query sees.
  for (const char* name : {"accents.txt", "cyrillic.txt", "cjk.txt", "short.txt"}) {
    std::string crlf;
    for (char c : nivern_test::read_file(tree / name)) {
      crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    tree.file(std::string("crlf/") + name, crlf);
  }
  // 64 KiB of lines fill the first buffer; the NUL comes in the second fill.
  std::string kept = "cat\n";
  for (int k = 0; k < 16382; ++k) kept += "---\n";
  kept += "cat\ncat x\ncat";
  kept += '\0';
  tree.file("bin/kept", kept);
  tree.file("bin/lost", std::string("axb\nx\0y\n", 8));
  const Query queries[] = {
      {"\\bS", true, false, true},
      {"S\\b", true, false, true},
      {"\\Bé", true, false, true},
      {"\\bcafé\\b", true, false, true},
      {"[a-z&&[^aeiou]]x", true},
      {"[a[0-9]]z", true},
      {"[\\w--\\d]q", true},
      {"(?x) f o o", true},
      {"\\p{Letter}é", true},
      {"\\p{Alphabetic}ï", true},
      {"привет", false, true, false},
      {"ПРИВЕТ", false, false, false},
      {"\\bёж\\b", true},
      {"文", false, true, true},
      {"\\p{Han}+", true},
      {"\\p{sc=Hiragana}", true},
      {"\\b\\w+\\b$", true, false, true},
      {"\\bca", true},
      {"cat", false, false, true},
      {"axb", false, false, true},
      // Patterns that only the exact matcher decides.
      {"a{1001}", true},
      {"x{99999}", true},
      {"\\be\\b", true},
      {"\\w\\b$", true},
      {"é\\B", true},
      {"(?:\\bя|ж\\b){1001}", true},
  };
  for (const auto& q : queries) expect_like_rg(found(tree.path(), q), rg_hits(tree.path(), q), q);
}

/// ripgrep's matches with the whole span of each line's first match (its JSON output),
/// for a case-sensitive regex.
std::vector<Hit> rg_spans(const std::string& root, const Query& q) {
  std::string pattern;
  for (char c : q.pattern) pattern += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const std::string cmd = "rg --no-config --json -s" + std::string(q.whole_word ? " -w" : "") +
                          " -e '" + pattern + "' '" + root + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  EXPECT_NE(p, nullptr);
  std::vector<Hit> out;
  char* line = nullptr;
  std::size_t cap = 0;
  while (::getline(&line, &cap, p) > 0) {
    Value v;
    nivern_protocol::json::Reader reader{std::string_view(line)};
    EXPECT_TRUE(reader.parse_value(v)) << line;
    if (member(v, "type").s != "match") continue;
    const Value& data = member(v, "data");
    const Value& first = member(data, "submatches").items.at(0);
    Hit h{member(member(data, "path"), "text").s, member(data, "line_number").u,
          member(member(data, "lines"), "text").s, member(first, "start").u,
          member(first, "end").u};
    while (!h.text.empty() && (h.text.back() == '\n' || h.text.back() == '\r')) h.text.pop_back();
    out.push_back(std::move(h));
  }
  std::free(line);
  ::pclose(p);
  std::sort(out.begin(), out.end(), [](const Hit& a, const Hit& b) {
    return a.path != b.path ? a.path < b.path : a.line < b.line;
  });
  return out;
}

TEST_F(SearchCall, WithoutUnicodeBytesMatchAndSpansCountBytesLikeRipgrep) {
  if (!have_rg()) GTEST_SKIP() << "rg is not installed";
  TempTree tree;
  tree.file("t.txt", "a日 本\n日本語\ncafé\nxé\néé\nplain\na 日 b\n\u212A\nK\n");
  tree.file("u.txt", "naïve\nCAFÉ\n");
  const Query queries[] = {
      {"(?-u:[\\x80-\\xFF])", true, false, true}, {"(?-u).", true, false, true},
      {"(?-u:\\xE6)", true, false, true},           {"(?-u)\\xA9$", true, false, true},
      {"(?-u)\\xc3\\xa9", true, false, true},      {"(?-u:[^a-z])", true, false, true},
      {"(?-u:\\W)+", true, false, true},            {"(?-u:.)\\w", true, false, true},
      {"\\b(?-u:[\\x80-\\xFF])", true, false, true}, {"(?-u:[\\x80-\\xFF])\\b", true, false, true},
      {"(?i-u)[k]", true, false, true},             {"(?-u:[\\x80-\\xFF]+)", true, true, true},
      {"\\b(?-u:.)", true, true, true},
  };
  for (const auto& q : queries) {
    const std::vector<Hit> want = rg_spans(tree.path(), q);
    ASSERT_FALSE(want.empty()) << q.pattern;
    EXPECT_EQ(found(tree.path(), q).matches, want) << q.pattern;
  }
  // Characters above ASCII stand for their UTF-8 bytes (ripgrep's older syntax refuses
  // them), without case folding.
  const std::string t = tree / "t.txt";
  EXPECT_EQ(found(tree.path(), {"(?-u)é", true, false, true}).matches,
            (std::vector<Hit>{{t, 3, "café", 3, 5}, {t, 4, "xé", 1, 3}, {t, 5, "éé", 0, 2}}));
  EXPECT_EQ(found(tree.path(), {"(?i-u)é", true}).matches,
            (std::vector<Hit>{{t, 3, "café", 3, 5}, {t, 4, "xé", 1, 3}, {t, 5, "éé", 0, 2}}));
  EXPECT_EQ(found(tree.path(), {"(?-u).\\x{e9}", true}).matches,
            (std::vector<Hit>{{t, 3, "café", 2, 5}, {t, 4, "xé", 0, 3}, {t, 5, "éé", 1, 4}}));

  // A matching line that is not UTF-8 leaves its file out; elsewhere such bytes do not
  // matter.
  const Query high{"(?-u:[\\x80-\\xFF])", true};
  const std::vector<Hit> valid_only = found(tree.path(), high).matches;
  tree.file("latin1", "caf\xE9\n");
  tree.file("mixed", "x \xFF\n\xE6\x97\xA5\n");
  EXPECT_EQ(found(tree.path(), high).matches, valid_only);
  EXPECT_EQ(found(tree.path(), {"(?-u:\\xE6\\x97)", true}).matches,
            (std::vector<Hit>{{tree / "mixed", 2, "日", 0, 2},
                              {t, 1, "a日 本", 1, 3},
                              {t, 2, "日本語", 0, 2},
                              {t, 7, "a 日 b", 2, 4}}));
}

TEST_F(SearchCall, AFileWhereEveryLineMatchesIsReadOnlyToItsLimit) {
  TempTree tree;
  const std::string path = tree / "big";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  const std::string chunk = [] {
    std::string c;
    for (int k = 0; k < 100000; ++k) c += "a hit here\n";
    return c;
  }();
  for (int k = 0; k < 100; ++k) ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), f), chunk.size());
  std::fclose(f);  // 110 MB
  const Found got = found(tree.path(), {"hit"});
  EXPECT_EQ(got.matches.size(), 5000u);
  EXPECT_TRUE(got.truncated);
  // The peak resident memory of the whole server.
  std::FILE* status =
      std::fopen(("/proc/" + std::to_string(server_.process().pid()) + "/status").c_str(), "r");
  ASSERT_NE(status, nullptr);
  char line[256];
  long peak_kb = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &peak_kb) == 1) break;
  }
  std::fclose(status);
  ASSERT_GT(peak_kb, 0);
  EXPECT_LT(peak_kb, 100 * 1024);
}

TEST_F(SearchCall, WhereTheRulesDifferFromRipgrepDefaults) {
  if (!have_rg()) GTEST_SKIP() << "rg is not installed";
  TempTree tree;
  // ripgrep prints a matching line that is not UTF-8; the search leaves the file out.
  tree.file("latin1", "cat caf\xE9\n");
  EXPECT_EQ(rg_hits(tree.path(), {"cat"}).size(), 1u);
  EXPECT_TRUE(found(tree.path(), {"cat"}).matches.empty());

  // ripgrep keeps a line's carriage return in its text; the search removes it.
  TempTree crlf;
  crlf.file("f", "cat\r\n");
  EXPECT_EQ(found(crlf.path(), {"cat"}).matches[0].text, "cat");
}

}  // namespace
