// Request::decode: the envelope, the internally tagged `Call` and `GitAction` unions, and
// the matching of buffered fields against each member's record.
#include <array>
#include <limits>
#include <cstdlib>
#include <string>

#include "protocol/json_reader.h"
#include "protocol/message.h"

namespace nivern_protocol::message {

namespace {

using json::Number;
using json::Reader;
using json::Value;

constexpr std::array<std::string_view, 17> kCallTags = {
    "hello",    "list_dir",  "open",      "save",       "search",    "scan",
    "watch",    "git_status", "git_show", "git_action", "pty_open",  "pty_input",
    "pty_resize", "pty_close", "lsp_open", "lsp_input",  "lsp_close"};
constexpr std::array<std::string_view, 17> kCallNames = {
    "Hello",   "ListDir",  "Open",      "Save",      "Search",  "Scan",
    "Watch",   "GitStatus", "GitShow",  "GitAction", "PtyOpen", "PtyInput",
    "PtyResize", "PtyClose", "LspOpen", "LspInput",  "LspClose"};

constexpr std::array<std::string_view, 23> kActionTags = {
    "stage",  "stage_all", "unstage",  "unstage_all", "discard", "commit",
    "fetch",  "pull",      "push",     "publish",     "branches", "switch",
    "create", "pull_request_create", "pull_request_url", "pull_requests", "log",
    "commit_files", "stash", "stash_pop", "amend", "undo_commit", "stage_text"};
constexpr std::array<std::string_view, 23> kActionNames = {
    "Stage",  "StageAll", "Unstage", "UnstageAll", "Discard", "Commit",
    "Fetch",  "Pull",     "Push",    "Publish",    "Branches", "Switch",
    "Create", "PullRequestCreate", "PullRequestUrl", "PullRequests", "Log",
    "CommitFiles", "Stash", "StashPop", "Amend", "UndoCommit", "StageText"};

template <std::size_t N>
std::string one_of(const std::array<std::string_view, N>& tags) {
  std::string out = "one of ";
  for (std::size_t i = 0; i < N; ++i) {
    if (i) out += ", ";
    out += '`';
    out += tags[i];
    out += '`';
  }
  return out;
}

template <std::size_t N>
int find_tag(const std::array<std::string_view, N>& tags, std::string_view s) {
  for (std::size_t i = 0; i < N; ++i)
    if (tags[i] == s) return static_cast<int>(i);
  return -1;
}

std::string elements(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " element" : " elements");
}

// --- where a field's value goes --------------------------------------------

enum class Type { string, u16, u32, u64, boolean, strings, line_ending, action, opt_u64, opt_string };

struct Field {
  std::string_view key;
  Type type;
  void* slot;
};

// Field lists, in declared order, of every call and action with fields.
std::vector<Field> fields_of(Call::Hello& c) { return {{"version", Type::u32, &c.version}}; }
std::vector<Field> fields_of(Call::ListDir& c) { return {{"path", Type::string, &c.path}}; }
std::vector<Field> fields_of(Call::Open& c) { return {{"path", Type::string, &c.path}}; }
std::vector<Field> fields_of(Call::Save& c) {
  return {{"path", Type::string, &c.path},
          {"text", Type::string, &c.text},
          {"encoding", Type::string, &c.encoding},
          {"line_ending", Type::line_ending, &c.line_ending},
          {"bom", Type::boolean, &c.bom}};
}
std::vector<Field> fields_of(Call::Search& c) {
  return {{"path", Type::string, &c.path},
          {"pattern", Type::string, &c.pattern},
          {"case_sensitive", Type::boolean, &c.case_sensitive},
          {"whole_word", Type::boolean, &c.whole_word},
          {"regex", Type::boolean, &c.regex},
          {"excludes", Type::strings, &c.excludes}};
}
std::vector<Field> fields_of(Call::Scan& c) {
  return {{"path", Type::string, &c.path}, {"excludes", Type::strings, &c.excludes}};
}
std::vector<Field> fields_of(Call::Watch& c) {
  return {{"path", Type::string, &c.path}, {"excludes", Type::strings, &c.excludes}};
}
std::vector<Field> fields_of(Call::GitStatus& c) { return {{"path", Type::string, &c.path}}; }
std::vector<Field> fields_of(Call::GitShow& c) { return {{"path", Type::string, &c.path}}; }
std::vector<Field> fields_of(Call::GitAction& c) {
  return {{"path", Type::string, &c.path}, {"action", Type::action, &c.action}};
}
std::vector<Field> fields_of(Call::PtyOpen& c) {
  return {{"path", Type::string, &c.path}, {"rows", Type::u16, &c.rows}, {"cols", Type::u16, &c.cols}};
}
std::vector<Field> fields_of(Call::PtyInput& c) {
  return {{"pty", Type::u64, &c.pty}, {"bytes", Type::string, &c.bytes}};
}
std::vector<Field> fields_of(Call::PtyResize& c) {
  return {{"pty", Type::u64, &c.pty}, {"rows", Type::u16, &c.rows}, {"cols", Type::u16, &c.cols}};
}
std::vector<Field> fields_of(Call::PtyClose& c) { return {{"pty", Type::u64, &c.pty}}; }
std::vector<Field> fields_of(Call::LspOpen& c) {
  return {{"path", Type::string, &c.path}, {"language", Type::string, &c.language}};
}
std::vector<Field> fields_of(Call::LspInput& c) {
  return {{"lsp", Type::u64, &c.lsp}, {"bytes", Type::string, &c.bytes}};
}
std::vector<Field> fields_of(Call::LspClose& c) { return {{"lsp", Type::u64, &c.lsp}}; }

std::vector<Field> fields_of(GitAction::Stage& a) { return {{"paths", Type::strings, &a.paths}}; }
std::vector<Field> fields_of(GitAction::Unstage& a) { return {{"paths", Type::strings, &a.paths}}; }
std::vector<Field> fields_of(GitAction::Discard& a) {
  return {{"tracked", Type::strings, &a.tracked}, {"untracked", Type::strings, &a.untracked}};
}
std::vector<Field> fields_of(GitAction::Commit& a) { return {{"message", Type::string, &a.message}}; }
std::vector<Field> fields_of(GitAction::Publish& a) { return {{"branch", Type::string, &a.branch}}; }
std::vector<Field> fields_of(GitAction::Switch& a) { return {{"name", Type::string, &a.name}}; }
std::vector<Field> fields_of(GitAction::Create& a) { return {{"name", Type::string, &a.name}}; }
std::vector<Field> fields_of(GitAction::PullRequestCreate& a) { return {{"title", Type::string, &a.title}}; }
std::vector<Field> fields_of(GitAction::PullRequestUrl& a) { return {{"number", Type::opt_u64, &a.number}}; }
std::vector<Field> fields_of(GitAction::Log& a) { return {{"limit", Type::u64, &a.limit}}; }
std::vector<Field> fields_of(GitAction::CommitFiles& a) { return {{"hash", Type::string, &a.hash}}; }
std::vector<Field> fields_of(GitAction::Amend& a) { return {{"message", Type::opt_string, &a.message}}; }
std::vector<Field> fields_of(GitAction::StageText& a) {
  return {{"path", Type::string, &a.path}, {"text", Type::string, &a.text}};
}
// Alternatives without fields.
template <class T>
std::vector<Field> fields_of(T&) {
  return {};
}

template <class Variant, std::size_t I = 0>
Variant make_alternative(std::size_t index) {
  if constexpr (I < std::variant_size_v<Variant>) {
    if (index == I) return Variant(std::in_place_index<I>);
    return make_alternative<Variant, I + 1>(index);
  } else {
    std::abort();  // index checked against the tag table
  }
}

// --- the decoder ---------------------------------------------------------------

struct Decoder {
  Reader r;

  bool invalid_type(const Value& v, std::string_view expected) {
    return r.data_error("invalid type: " + json::describe(v) + ", expected " + std::string(expected));
  }

  // Unsigned integers: integer kinds are range-checked, other kinds are the wrong type.
  template <class T>
  bool to_unsigned(const Value& v, T& out, std::string_view name) {
    if (v.kind == Value::Kind::unsigned_int && v.u <= std::numeric_limits<T>::max()) {
      out = static_cast<T>(v.u);
      return true;
    }
    if (v.kind == Value::Kind::unsigned_int || v.kind == Value::Kind::negative_int)
      return r.data_error("invalid value: " + json::describe(v) + ", expected " + std::string(name));
    return invalid_type(v, name);
  }

  bool to_line_ending(Value& v, LineEnding& out) {
    std::string name;
    Value* unit = nullptr;
    if (v.kind == Value::Kind::string) {
      name = v.s;
    } else if (v.kind == Value::Kind::object) {
      if (v.members.size() != 1)
        return r.data_error("invalid value: map, expected map with a single key");
      name = v.members[0].first;
      unit = &v.members[0].second;
    } else {
      return invalid_type(v, "string or map");
    }
    if (name == "lf") {
      out = LineEnding::lf;
    } else if (name == "crlf") {
      out = LineEnding::crlf;
    } else {
      return r.data_error("unknown variant `" + name + "`, expected `lf` or `crlf`");
    }
    if (unit && unit->kind != Value::Kind::null &&
        !(unit->kind == Value::Kind::object && unit->members.empty()))
      return invalid_type(*unit, "unit");
    return true;
  }

  bool convert(Value& v, const Field& f) {
    switch (f.type) {
      case Type::string:
        if (v.kind != Value::Kind::string) return invalid_type(v, "a string");
        *static_cast<std::string*>(f.slot) = std::move(v.s);
        return true;
      case Type::u16: return to_unsigned(v, *static_cast<std::uint16_t*>(f.slot), "u16");
      case Type::u32: return to_unsigned(v, *static_cast<std::uint32_t*>(f.slot), "u32");
      case Type::u64: return to_unsigned(v, *static_cast<std::uint64_t*>(f.slot), "u64");
      case Type::boolean:
        if (v.kind != Value::Kind::boolean) return invalid_type(v, "a boolean");
        *static_cast<bool*>(f.slot) = v.b;
        return true;
      case Type::strings: {
        if (v.kind != Value::Kind::array) return invalid_type(v, "a sequence");
        auto& out = *static_cast<std::vector<std::string>*>(f.slot);
        out.reserve(v.items.size());
        for (auto& item : v.items) {
          if (item.kind != Value::Kind::string) return invalid_type(item, "a string");
          out.push_back(std::move(item.s));
        }
        return true;
      }
      case Type::line_ending: return to_line_ending(v, *static_cast<LineEnding*>(f.slot));
      case Type::action: return to_action(v, *static_cast<GitAction*>(f.slot));
      case Type::opt_u64: {
        auto& out = *static_cast<std::optional<std::uint64_t>*>(f.slot);
        if (v.kind == Value::Kind::null) return true;
        std::uint64_t n;
        if (!to_unsigned(v, n, "u64")) return false;
        out = n;
        return true;
      }
      case Type::opt_string: {
        auto& out = *static_cast<std::optional<std::string>*>(f.slot);
        if (v.kind == Value::Kind::null) return true;
        if (v.kind != Value::Kind::string) return invalid_type(v, "a string");
        out = std::move(v.s);
        return true;
      }
    }
    return false;
  }

  // Fields from the members of a buffered object: unknown keys skipped, a known key
  // twice refused, then the first absent field in declared order reported.
  bool match_object(std::vector<json::Member>& members,
                    const std::vector<Field>& fields) {
    std::vector<bool> seen(fields.size());
    for (auto& [key, value] : members) {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].key != key) continue;
        if (seen[i]) return r.data_error("duplicate field `" + key + "`");
        if (!convert(value, fields[i])) return false;
        seen[i] = true;
        break;
      }
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (seen[i]) continue;
      // An absent optional field is simply absent.
      if (fields[i].type == Type::opt_u64 || fields[i].type == Type::opt_string) continue;
      return r.data_error("missing field `" + std::string(fields[i].key) + "`");
    }
    return true;
  }

  // Fields by position: element i is field i.
  bool match_array(std::vector<Value>& items, const std::vector<Field>& fields,
                   const std::string& expected) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i >= items.size())
        return r.data_error("invalid length " + std::to_string(i) + ", expected " + expected);
      if (!convert(items[i], fields[i])) return false;
    }
    if (items.size() > fields.size())
      return r.data_error("invalid length " + std::to_string(items.size()) + ", expected " +
                          elements(fields.size()) + " in sequence");
    return true;
  }

  // --- GitAction, from a buffered value ---------------------------------------

  bool action_tag(Value& v, int& index) {
    if (v.kind == Value::Kind::string) {
      index = find_tag(kActionTags, v.s);
      if (index < 0)
        return r.data_error("unknown variant `" + v.s + "`, expected " + one_of(kActionTags));
      return true;
    }
    if (v.kind == Value::Kind::unsigned_int) {
      if (v.u >= kActionTags.size())
        return r.data_error("invalid value: integer `" + std::to_string(v.u) +
                            "`, expected variant index 0 <= i < 23");
      index = static_cast<int>(v.u);
      return true;
    }
    return invalid_type(v, "variant identifier");
  }

  bool to_action(Value& v, GitAction& out) {
    int index = -1;
    bool array_form = false;
    std::vector<json::Member> body;
    std::vector<Value> items;
    if (v.kind == Value::Kind::object) {
      for (auto& member : v.members) {
        if (member.first == "action") {
          if (index >= 0) return r.data_error("duplicate field `action`");
          if (!action_tag(member.second, index)) return false;
        } else {
          body.push_back(std::move(member));
        }
      }
      if (index < 0) return r.data_error("missing field `action`");
    } else if (v.kind == Value::Kind::array) {
      if (v.items.empty()) return r.data_error("missing field `action`");
      if (!action_tag(v.items[0], index)) return false;
      array_form = true;
      items.assign(std::make_move_iterator(v.items.begin() + 1), std::make_move_iterator(v.items.end()));
    } else {
      return invalid_type(v, "internally tagged enum GitAction");
    }
    out.v = make_alternative<GitAction::Variant>(static_cast<std::size_t>(index));
    return std::visit(
        [&](auto& alt) {
          auto fields = fields_of(alt);
          if (!array_form) return fields.empty() ? true : match_object(body, fields);
          std::string expected = "struct variant GitAction::" + std::string(kActionNames[index]) +
                                 " with " + elements(fields.size());
          return match_array(items, fields, expected);
        },
        out.v);
  }

  // --- reading straight from the text -----------------------------------------

  // The request id: an unsigned 64-bit integer.
  bool read_u64(std::uint64_t& out) {
    auto c = r.skip_ws();
    if (!c) return r.peek_error("EOF while parsing a value");
    bool ok;
    if (*c == '-' || (*c >= '0' && *c <= '9')) {
      Number n;
      if (!r.parse_number(n)) return false;
      Value v;
      v.kind = n.kind;
      v.u = n.u;
      v.i = n.i;
      v.f = n.f;
      ok = to_unsigned(v, out, "u64");
    } else {
      auto d = r.describe_unexpected();
      if (!d) return false;
      ok = r.data_error("invalid type: " + *d + ", expected u64");
    }
    r.fix_position();
    return ok;
  }

  // A call's tag: a string naming one of the calls.
  bool read_call_tag(int& index) {
    auto c = r.skip_ws();
    if (!c) return r.peek_error("EOF while parsing a value");
    bool ok;
    if (*c == '"') {
      std::string s;
      if (!r.parse_string(s)) return false;
      index = find_tag(kCallTags, s);
      ok = index >= 0 || r.data_error("unknown variant `" + s + "`, expected " + one_of(kCallTags));
    } else {
      auto d = r.describe_unexpected();
      if (!d) return false;
      ok = r.data_error("invalid type: " + *d + ", expected variant identifier");
    }
    r.fix_position();
    return ok;
  }

  // The call: read whole (tag and buffered fields), then matched against its member.
  bool read_call(Call& out) {
    auto c = r.skip_ws();
    if (!c) return r.peek_error("EOF while parsing a value");
    int index = -1;
    bool array_form = false;
    std::vector<json::Member> body;
    std::vector<Value> items;
    if (*c == '{') {
      if (!r.enter()) return false;
      bool first = true, more = false, ok = true;
      for (;;) {
        if (!r.next_key(first, more)) return false;
        if (!more) break;
        std::string key;
        if (!r.parse_string(key)) return false;
        if (key == "call") {
          if (index >= 0) {
            ok = r.data_error("duplicate field `call`");
            break;
          }
          if (!r.parse_colon() || !read_call_tag(index)) return false;
        } else {
          auto& member = body.emplace_back(json::Member{std::move(key), Value{}});
          if (!r.parse_colon() || !r.parse_value(member.second)) return false;
        }
      }
      if (ok && index < 0) ok = r.data_error("missing field `call`");
      r.leave();
      bool closed = r.end_map();
      r.fix_position();
      if (!ok || !closed) return false;
    } else if (*c == '[') {
      if (!r.enter()) return false;
      bool first = true, more = false, ok = true;
      if (!r.next_element(first, more)) return false;
      if (!more) {
        ok = r.data_error("missing field `call`");
      } else {
        if (!read_call_tag(index)) return false;
        for (;;) {
          if (!r.next_element(first, more)) return false;
          if (!more) break;
          if (!r.parse_value(items.emplace_back())) return false;
        }
      }
      r.leave();
      bool closed = r.end_seq();
      r.fix_position();
      if (!ok || !closed) return false;
      array_form = true;
    } else {
      auto d = r.describe_unexpected();
      if (!d) return false;
      r.data_error("invalid type: " + *d + ", expected internally tagged enum Call");
      r.fix_position();
      return false;
    }
    // Matching errors get their position where the envelope is left.
    out.v = make_alternative<Call::Variant>(static_cast<std::size_t>(index));
    return std::visit(
        [&](auto& member) {
          auto fields = fields_of(member);
          if (!array_form) return match_object(body, fields);
          std::string expected = "struct variant Call::" + std::string(kCallNames[index]) + " with " +
                                 elements(fields.size());
          return match_array(items, fields, expected);
        },
        out.v);
  }

  bool read_envelope_object(Request& out) {
    bool first = true, more = false, have_id = false, have_call = false;
    for (;;) {
      if (!r.next_key(first, more)) return false;
      if (!more) break;
      std::string key;
      if (!r.parse_string(key)) return false;
      if (key == "id") {
        if (have_id) return r.data_error("duplicate field `id`");
        if (!r.parse_colon() || !read_u64(out.id)) return false;
        have_id = true;
      } else if (key == "call") {
        if (have_call) return r.data_error("duplicate field `call`");
        if (!r.parse_colon() || !read_call(out.call)) return false;
        have_call = true;
      } else {
        // Unknown keys: checked for syntax only, any depth.
        if (!r.parse_colon() || !r.ignore_value()) return false;
      }
    }
    if (!have_id) return r.data_error("missing field `id`");
    if (!have_call) return r.data_error("missing field `call`");
    return true;
  }

  bool read_envelope_array(Request& out) {
    bool first = true, more = false;
    if (!r.next_element(first, more)) return false;
    if (!more) return r.data_error("invalid length 0, expected struct Request with 2 elements");
    if (!read_u64(out.id)) return false;
    if (!r.next_element(first, more)) return false;
    if (!more) return r.data_error("invalid length 1, expected struct Request with 2 elements");
    return read_call(out.call);
  }

  bool read_request(Request& out) {
    auto c = r.skip_ws();
    if (!c) return r.peek_error("EOF while parsing a value");
    if (*c == '{' || *c == '[') {
      if (!r.enter()) return false;
      bool ok = *c == '{' ? read_envelope_object(out) : read_envelope_array(out);
      r.leave();
      bool closed = *c == '{' ? r.end_map() : r.end_seq();
      r.fix_position();
      if (!ok || !closed) return false;
    } else {
      auto d = r.describe_unexpected();
      if (!d) return false;
      r.data_error("invalid type: " + *d + ", expected struct Request");
      r.fix_position();
      return false;
    }
    if (r.skip_ws()) return r.peek_error("trailing characters");
    return true;
  }
};

}  // namespace

std::expected<Request, std::string> Request::decode(std::string_view body) {
  Decoder d{Reader(body)};
  Request out;
  if (!d.read_request(out)) return std::unexpected(d.r.error_text());
  return out;
}

}  // namespace nivern_protocol::message
