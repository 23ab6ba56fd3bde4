// docs/protocol.md against the message model: every call, git action and reply has its
// row with its fields in wire order, and every example exchange is what the decoder and
// the encoder make of it.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/json_reader.h"
#include "protocol/message.h"
#include "protocol/tags.h"

namespace nivern_protocol::message {
namespace {

std::string read_doc() {
  std::ifstream in(NIVERN_SOURCE_DIR "/docs/protocol.md");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split(std::string_view s, std::string_view sep) {
  std::vector<std::string> out;
  for (std::size_t at = 0;;) {
    std::size_t next = s.find(sep, at);
    out.emplace_back(s.substr(at, next - at));
    if (next == std::string_view::npos) return out;
    at = next + sep.size();
  }
}

std::string trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

// The text under the heading "## {title}", up to the next such heading.
std::string section(const std::string& doc, std::string_view title) {
  std::size_t at = doc.find("\n## " + std::string(title) + "\n");
  if (at == std::string::npos) return {};
  return doc.substr(at, doc.find("\n## ", at + 1) - at);
}

// The cells of the table row "| {index} | `{tag}` | ...", without the first two.
std::vector<std::string> row(const std::string& text, std::size_t index, std::string_view tag) {
  std::string head = "\n| " + std::to_string(index) + " | `" + std::string(tag) + "` |";
  std::size_t at = text.find(head);
  if (at == std::string::npos) return {};
  at += head.size();
  std::vector<std::string> cells = split(text.substr(at, text.find('\n', at) - at), "|");
  for (auto& c : cells) c = trim(c);
  return cells;
}

// A JSON value of each documented field type, for requests built from the tables.
std::string sample_of(std::string_view type) {
  if (type.starts_with("optional ")) return "null";
  if (type == "string" || type == "string (base64)") return "\"\"";
  if (type == "u16" || type == "u32" || type == "u64") return "1";
  if (type == "bool") return "false";
  if (type == "[string]") return "[]";
  if (type == "LineEnding") return "\"lf\"";
  if (type == "GitAction") return "[\"fetch\"]";
  ADD_FAILURE() << "unknown field type " << type;
  return "null";
}

// The object and the array form of a union member from its fields cell ("name: type, ...").
std::pair<std::string, std::string> forms(std::string_view key, std::string_view tag,
                                          const std::string& fields) {
  std::string object = "{\"" + std::string(key) + "\":\"" + std::string(tag) + "\"";
  std::string array = "[\"" + std::string(tag) + "\"";
  if (!fields.empty()) {
    for (const std::string& field : split(fields, ", ")) {
      auto parts = split(field, ": ");
      if (parts.size() != 2) {
        ADD_FAILURE() << "not a field: " << field;
        continue;
      }
      object += ",\"" + parts[0] + "\":" + sample_of(parts[1]);
      array += "," + sample_of(parts[1]);
    }
  }
  return {object + "}", array + "]"};
}

// The keys of the encoded reply `r` after its tag.
std::string reply_keys(const Reply& r) {
  std::string body = Response{0, r}.encode();
  json::Reader reader(body);
  json::Value v;
  if (!reader.parse_value(v)) return "unreadable";
  std::string keys;
  for (const auto& m : v.members[1].second.members) {
    if (m.first == "reply") continue;
    keys += (keys.empty() ? "" : ", ") + m.first;
  }
  return keys.empty() ? "(none)" : keys;
}

template <std::size_t... I>
std::vector<Reply> every_reply(std::index_sequence<I...>) {
  return {Reply(std::variant_alternative_t<I, Reply::Variant>{})...};
}

TEST(ProtocolDoc, EveryCallWithItsFieldsInWireOrder) {
  std::string calls = section(read_doc(), "Calls");
  for (std::size_t i = 0; i < CALL_TAGS.size(); ++i) {
    auto cells = row(calls, i, CALL_TAGS[i]);
    ASSERT_GE(cells.size(), 2u) << "no row for call " << CALL_TAGS[i];
    auto [object, array] = forms("call", CALL_TAGS[i], cells[0]);
    for (const std::string& call : {object, array}) {
      auto r = Request::decode("{\"id\":1,\"call\":" + call + "}");
      ASSERT_TRUE(r) << call << ": " << r.error();
      EXPECT_EQ(r->call.v.index(), i) << call;
    }
  }
}

TEST(ProtocolDoc, EveryGitActionWithItsFieldsInWireOrder) {
  std::string actions = section(read_doc(), "Git actions");
  for (std::size_t i = 0; i < ACTION_TAGS.size(); ++i) {
    auto cells = row(actions, i, ACTION_TAGS[i]);
    ASSERT_GE(cells.size(), 2u) << "no row for action " << ACTION_TAGS[i];
    auto [object, array] = forms("action", ACTION_TAGS[i], cells[0]);
    for (const std::string& action : {object, array}) {
      auto r = Request::decode(R"({"id":1,"call":["git_action","p",)" + action + "]}");
      ASSERT_TRUE(r) << action << ": " << r.error();
      EXPECT_EQ(std::get<Call::GitAction>(r->call.v).action.v.index(), i) << action;
    }
  }
}

TEST(ProtocolDoc, EveryReplyWithItsFieldsInWireOrder) {
  std::string replies = section(read_doc(), "Replies and events");
  auto all = every_reply(std::make_index_sequence<REPLY_TAGS.size()>());
  for (std::size_t i = 0; i < REPLY_TAGS.size(); ++i) {
    auto cells = row(replies, i, REPLY_TAGS[i]);
    ASSERT_GE(cells.size(), 2u) << "no row for reply " << REPLY_TAGS[i];
    EXPECT_EQ(cells[0], reply_keys(all[i])) << REPLY_TAGS[i];
  }
}

// Every line "> {...}" is a request: it decodes, or the line "< ..." after it is the
// server's answer to an unreadable request. Every line "< {...}" is a response whose reply
// has the encoder's keys in the encoder's order. Every call and reply has an example.
TEST(ProtocolDoc, ExamplesAreWhatTheServerReadsAndWrites) {
  const std::string doc = read_doc();
  auto all = every_reply(std::make_index_sequence<REPLY_TAGS.size()>());
  std::set<std::size_t> calls, replies;
  std::vector<std::string> lines = split(doc, "\n");
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string_view line = lines[n];
    if (line.starts_with("> {") || line.starts_with("> [")) {
      auto r = Request::decode(line.substr(2));
      if (r) {
        calls.insert(r->call.v.index());
        continue;
      }
      ASSERT_LT(n + 1, lines.size());
      Response answer{0, Reply::Error{"unreadable request: " + r.error()}};
      EXPECT_EQ(lines[n + 1], "< " + answer.encode()) << line;
    } else if (line.starts_with("< {")) {
      json::Reader reader(line.substr(2));
      json::Value v;
      ASSERT_TRUE(reader.parse_value(v) && !reader.skip_ws()) << line << ": " << reader.error_text();
      ASSERT_EQ(v.members.size(), 2u) << line;
      ASSERT_EQ(v.members[0].first, "id") << line;
      ASSERT_EQ(v.members[1].first, "reply") << line;
      const json::Value& reply = v.members[1].second;
      ASSERT_FALSE(reply.members.empty()) << line;
      ASSERT_EQ(reply.members[0].first, "reply") << line;
      std::size_t i = std::find(REPLY_TAGS.begin(), REPLY_TAGS.end(), reply.members[0].second.s) - REPLY_TAGS.begin();
      ASSERT_LT(i, REPLY_TAGS.size()) << line;
      replies.insert(i);
      std::string keys;
      for (std::size_t k = 1; k < reply.members.size(); ++k) keys += (k > 1 ? ", " : "") + reply.members[k].first;
      EXPECT_EQ(keys.empty() ? "(none)" : keys, reply_keys(all[i])) << line;
    }
  }
  for (std::size_t i = 0; i < CALL_TAGS.size(); ++i) EXPECT_TRUE(calls.contains(i)) << "no example of " << CALL_TAGS[i];
  for (std::size_t i = 0; i < REPLY_TAGS.size(); ++i) EXPECT_TRUE(replies.contains(i)) << "no example of " << REPLY_TAGS[i];
}

}  // namespace
}  // namespace nivern_protocol::message
