// Request::decode: the envelope, the internally tagged `Call` and `GitAction` unions, and
// the binding of each field to a target of its own type.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/json_reader.h"
#include "protocol/message.h"
#include "protocol/tags.h"

namespace nivern_protocol::message {

namespace {

using json::Number;
using json::Reader;
using json::Value;

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

// A field's value goes through a pointer of the field's own type; `Decoder::bind_to` has
// one overload per pointer type, so a field cannot be read as anything but what it is.
using Target = std::variant<std::string*, std::optional<std::string>*, std::uint16_t*,
                            std::uint32_t*, std::uint64_t*, std::optional<std::uint64_t>*,
                            bool*, std::vector<std::string>*, LineEnding*, GitAction*>;

struct Field {
  std::string_view key;
  Target target;
};

// An absent optional field is simply absent.
bool is_optional(const Field& f) {
  return std::holds_alternative<std::optional<std::string>*>(f.target) ||
         std::holds_alternative<std::optional<std::uint64_t>*>(f.target);
}

// Field lists, in declared order, of every call and action with fields.
std::vector<Field> fields_of(Call::Hello& c) { return {{"version", &c.version}}; }
std::vector<Field> fields_of(Call::ListDir& c) { return {{"path", &c.path}}; }
std::vector<Field> fields_of(Call::Open& c) { return {{"path", &c.path}}; }
std::vector<Field> fields_of(Call::Save& c) {
  return {{"path", &c.path},
          {"text", &c.text},
          {"encoding", &c.encoding},
          {"line_ending", &c.line_ending},
          {"bom", &c.bom}};
}
std::vector<Field> fields_of(Call::Search& c) {
  return {{"path", &c.path},
          {"pattern", &c.pattern},
          {"case_sensitive", &c.case_sensitive},
          {"whole_word", &c.whole_word},
          {"regex", &c.regex},
          {"excludes", &c.excludes}};
}
std::vector<Field> fields_of(Call::Scan& c) {
  return {{"path", &c.path}, {"excludes", &c.excludes}};
}
std::vector<Field> fields_of(Call::Watch& c) {
  return {{"path", &c.path}, {"excludes", &c.excludes}};
}
std::vector<Field> fields_of(Call::GitStatus& c) { return {{"path", &c.path}}; }
std::vector<Field> fields_of(Call::GitShow& c) { return {{"path", &c.path}}; }
std::vector<Field> fields_of(Call::GitAction& c) {
  return {{"path", &c.path}, {"action", &c.action}};
}
std::vector<Field> fields_of(Call::PtyOpen& c) {
  return {{"path", &c.path}, {"rows", &c.rows}, {"cols", &c.cols}};
}
std::vector<Field> fields_of(Call::PtyInput& c) {
  return {{"pty", &c.pty}, {"bytes", &c.bytes}};
}
std::vector<Field> fields_of(Call::PtyResize& c) {
  return {{"pty", &c.pty}, {"rows", &c.rows}, {"cols", &c.cols}};
}
std::vector<Field> fields_of(Call::PtyClose& c) { return {{"pty", &c.pty}}; }
std::vector<Field> fields_of(Call::LspOpen& c) {
  return {{"path", &c.path}, {"language", &c.language}};
}
std::vector<Field> fields_of(Call::LspInput& c) {
  return {{"lsp", &c.lsp}, {"bytes", &c.bytes}};
}
std::vector<Field> fields_of(Call::LspClose& c) { return {{"lsp", &c.lsp}}; }

std::vector<Field> fields_of(GitAction::Stage& a) { return {{"paths", &a.paths}}; }
std::vector<Field> fields_of(GitAction::Unstage& a) { return {{"paths", &a.paths}}; }
std::vector<Field> fields_of(GitAction::Discard& a) {
  return {{"tracked", &a.tracked}, {"untracked", &a.untracked}};
}
std::vector<Field> fields_of(GitAction::Commit& a) { return {{"message", &a.message}}; }
std::vector<Field> fields_of(GitAction::Publish& a) { return {{"branch", &a.branch}}; }
std::vector<Field> fields_of(GitAction::Switch& a) { return {{"name", &a.name}}; }
std::vector<Field> fields_of(GitAction::Create& a) { return {{"name", &a.name}}; }
std::vector<Field> fields_of(GitAction::PullRequestCreate& a) { return {{"title", &a.title}}; }
std::vector<Field> fields_of(GitAction::PullRequestUrl& a) { return {{"number", &a.number}}; }
std::vector<Field> fields_of(GitAction::Log& a) { return {{"limit", &a.limit}}; }
std::vector<Field> fields_of(GitAction::CommitFiles& a) { return {{"hash", &a.hash}}; }
std::vector<Field> fields_of(GitAction::Amend& a) { return {{"message", &a.message}}; }
std::vector<Field> fields_of(GitAction::StageText& a) {
  return {{"path", &a.path}, {"text", &a.text}};
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

// The keys that some alternative of `Variant` has as a field: the members of an object
// worth remembering while its tag is not yet known.
template <class Variant>
const std::vector<std::string_view>& field_keys() {
  static const std::vector<std::string_view> keys = [] {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < std::variant_size_v<Variant>; ++i) {
      Variant v = make_alternative<Variant>(i);
      std::visit(
          [&](auto& alt) {
            for (const Field& f : fields_of(alt))
              if (std::find(out.begin(), out.end(), f.key) == out.end()) out.push_back(f.key);
          },
          v);
    }
    return out;
  }();
  return keys;
}

// Where the value of an object member or array element starts, to be bound once the
// whole container has been read; `bound` when it was bound on the way already.
struct Spot {
  Spot(std::string_view k, std::size_t a) : key(k), at(a) {}
  std::string_view key;  // objects only
  std::size_t at;
  bool bound = false;
  std::optional<std::string> text;  // a string value read before the call's tag
};

// The members of an object worth binding later: for each key in `keys`, its first two
// occurrences (matching stops at a second one, "duplicate field"). Nothing else is kept,
// so an object's size costs no memory beyond a few spots.
class Spots {
 public:
  explicit Spots(const std::vector<std::string_view>& keys) : keys_(keys), counts_(keys.size()) {}

  // The key as kept, when this occurrence of `key` is worth a spot.
  std::optional<std::string_view> worth(std::string_view key) {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] != key) continue;
      if (counts_[i] == 2) return std::nullopt;
      ++counts_[i];
      return keys_[i];
    }
    return std::nullopt;
  }

  std::vector<Spot> list;

 private:
  const std::vector<std::string_view>& keys_;
  std::vector<std::uint8_t> counts_;
};

const Field* find_field(const std::vector<Field>& fields, std::string_view key) {
  for (const Field& f : fields)
    if (f.key == key) return &f;
  return nullptr;
}

template <class T>
constexpr std::string_view unsigned_name() {
  if constexpr (std::is_same_v<T, std::uint16_t>) return "u16";
  else if constexpr (std::is_same_v<T, std::uint32_t>) return "u32";
  else return "u64";
}

// --- the decoder ---------------------------------------------------------------

// A request is read in two steps. First each array or object of the call is read to its
// end with every syntax check, remembering only where the values of its fields start
// (`Spots`): syntax faults and the call's tag come first, and a value the call does not
// use is checked and dropped. Then each field is bound from its remembered place
// (`bind_to`) over text known to be well-formed, so only faults about the data remain;
// they take their position where the envelope is left. A string field met after the tag
// is read straight into its target on the first step, as it can only fail on syntax.
struct Decoder {
  Reader r;

  // The next byte after whitespace, 0 at the end.
  unsigned char peek() {
    auto c = r.skip_ws();
    return c ? *c : 0;
  }

  bool invalid_type(const std::string& found, std::string_view expected) {
    return r.data_error("invalid type: " + found + ", expected " + std::string(expected));
  }

  // A value of the wrong type where `expected` was due: described, and a fault.
  bool unexpected(std::string_view expected) {
    auto d = r.describe_unexpected();
    if (!d) return false;
    return invalid_type(*d, expected);
  }

  // Unsigned integers: integer kinds are range-checked, other kinds are the wrong type.
  template <class T>
  bool number_to(const Number& n, T& out) {
    if (n.kind == Value::Kind::unsigned_int && n.u <= std::numeric_limits<T>::max()) {
      out = static_cast<T>(n.u);
      return true;
    }
    if (n.kind == Value::Kind::unsigned_int || n.kind == Value::Kind::negative_int) {
      return r.data_error("invalid value: " + json::describe(n) + ", expected " +
                          std::string(unsigned_name<T>()));
    }
    return invalid_type(json::describe(n), unsigned_name<T>());
  }

  template <class T>
  bool read_unsigned(T& out) {
    unsigned char c = peek();
    if (c != '-' && !(c >= '0' && c <= '9')) return unexpected(unsigned_name<T>());
    Number n;
    return r.parse_number(n) && number_to(n, out);
  }

  // --- binding one value to its target ------------------------------------------

  bool bind(Target t) {
    return std::visit([&](auto* target) { return bind_to(*target); }, t);
  }

  bool bind_to(std::string& out) {
    if (peek() != '"') return unexpected("a string");
    return r.parse_string(out);
  }
  bool bind_to(std::optional<std::string>& out) {
    unsigned char c = peek();
    if (c == 'n') return true;
    if (c != '"') return unexpected("a string");
    return r.parse_string(out.emplace());
  }
  bool bind_to(std::uint16_t& out) { return read_unsigned(out); }
  bool bind_to(std::uint32_t& out) { return read_unsigned(out); }
  bool bind_to(std::uint64_t& out) { return read_unsigned(out); }
  bool bind_to(std::optional<std::uint64_t>& out) {
    if (peek() == 'n') return true;
    std::uint64_t n;
    if (!read_unsigned(n)) return false;
    out = n;
    return true;
  }
  bool bind_to(bool& out) {
    unsigned char c = peek();
    if (c != 't' && c != 'f') return unexpected("a boolean");
    out = c == 't';
    r.eat();
    return r.parse_ident(out ? "rue" : "alse");
  }
  bool bind_to(std::vector<std::string>& out) {
    if (peek() != '[') return unexpected("a sequence");
    if (!r.enter()) return false;
    bool first = true, more = false;
    for (;;) {
      if (!r.next_element(first, more)) return false;
      if (!more) break;
      if (peek() != '"') return unexpected("a string");
      if (!r.parse_string(out.emplace_back())) return false;
    }
    r.leave();
    return r.end_seq();
  }

  // "lf" or "crlf", as a string or as a map with that single key and a unit value.
  bool bind_to(LineEnding& out) {
    std::string name;
    std::optional<std::size_t> unit;
    unsigned char c = peek();
    if (c == '"') {
      if (!r.parse_string(name)) return false;
    } else if (c == '{') {
      if (!r.enter()) return false;
      bool first = true, more = false;
      std::size_t members = 0;
      for (;;) {
        if (!r.next_key(first, more)) return false;
        if (!more) break;
        std::string key;
        if (!r.parse_string(key) || !r.parse_colon()) return false;
        if (members++ == 0) {
          name = std::move(key);
          unit = r.position();
        }
        if (!r.check_value()) return false;
      }
      r.leave();
      if (!r.end_map()) return false;
      if (members != 1) return r.data_error("invalid value: map, expected map with a single key");
    } else {
      return unexpected("string or map");
    }
    if (name == "lf") {
      out = LineEnding::lf;
    } else if (name == "crlf") {
      out = LineEnding::crlf;
    } else {
      return r.data_error("unknown variant `" + name + "`, expected `lf` or `crlf`");
    }
    if (!unit) return true;
    r.seek(*unit);
    c = peek();
    if (c == 'n') return true;
    if (c != '{') return unexpected("unit");
    r.eat();
    if (peek() == '}') return true;
    return invalid_type("map", "unit");
  }

  bool bind_to(GitAction& out) {
    unsigned char c = peek();
    if (c != '{' && c != '[') return unexpected("internally tagged enum GitAction");
    if (!r.enter()) return false;
    bool first = true, more = false;
    int index = -1;
    Spots spots(field_keys<GitAction::Variant>());
    if (c == '{') {
      for (;;) {
        if (!r.next_key(first, more)) return false;
        if (!more) break;
        std::string key;
        if (!r.parse_string(key) || !r.parse_colon()) return false;
        if (key == "action") {
          if (index >= 0) return r.data_error("duplicate field `action`");
          if (!action_tag(index)) return false;
          continue;
        }
        if (auto kept = spots.worth(key)) spots.list.emplace_back(*kept, r.position());
        if (!r.check_value()) return false;
      }
      r.leave();
      if (!r.end_map()) return false;
      if (index < 0) return r.data_error("missing field `action`");
      out.v = make_alternative<GitAction::Variant>(static_cast<std::size_t>(index));
      return std::visit([&](auto& alt) { return bind_object(spots.list, fields_of(alt)); }, out.v);
    }
    if (!r.next_element(first, more)) return false;
    if (!more) return r.data_error("missing field `action`");
    if (!action_tag(index)) return false;
    out.v = make_alternative<GitAction::Variant>(static_cast<std::size_t>(index));
    return std::visit(
        [&](auto& alt) {
          auto fields = fields_of(alt);
          std::vector<Spot> items;
          std::size_t count = 0;
          for (;;) {
            if (!r.next_element(first, more)) return false;
            if (!more) break;
            if (count++ < fields.size()) items.emplace_back(std::string_view(), r.position());
            if (!r.check_value()) return false;
          }
          r.leave();
          if (!r.end_seq()) return false;
          std::string expected = "struct variant GitAction::" + std::string(ACTION_NAMES[index]) +
                                 " with " + elements(fields.size());
          return bind_array(items, count, fields, expected);
        },
        out.v);
  }

  // A git action's tag: its name, or its index as an unsigned integer.
  bool action_tag(int& index) {
    unsigned char c = peek();
    if (c == '"') {
      std::string s;
      if (!r.parse_string(s)) return false;
      index = find_tag(ACTION_TAGS, s);
      if (index < 0)
        return r.data_error("unknown variant `" + s + "`, expected " + one_of(ACTION_TAGS));
      return true;
    }
    if (c != '-' && !(c >= '0' && c <= '9')) return unexpected("variant identifier");
    Number n;
    if (!r.parse_number(n)) return false;
    if (n.kind != Value::Kind::unsigned_int) return invalid_type(json::describe(n), "variant identifier");
    if (n.u >= ACTION_TAGS.size()) {
      return r.data_error("invalid value: integer `" + std::to_string(n.u) +
                          "`, expected variant index 0 <= i < " + std::to_string(ACTION_TAGS.size()));
    }
    index = static_cast<int>(n.u);
    return true;
  }

  // --- binding remembered fields ----------------------------------------------------

  // Fields from an object's spots in member order: keys that are not fields skipped, a
  // field twice refused, then the first absent field in declared order reported. The
  // cursor ends where it was.
  bool bind_object(std::vector<Spot>& spots, const std::vector<Field>& fields) {
    std::size_t resume = r.position();
    std::vector<bool> seen(fields.size());
    bool ok = true;
    for (Spot& s : spots) {
      const Field* f = find_field(fields, s.key);
      if (!f) continue;
      std::size_t i = static_cast<std::size_t>(f - fields.data());
      if (seen[i]) {
        ok = r.data_error("duplicate field `" + std::string(s.key) + "`");
        break;
      }
      seen[i] = true;
      if (s.bound || (s.text && move_text(*s.text, f->target))) continue;
      r.seek(s.at);
      ok = bind(f->target);
      if (!ok) break;
    }
    r.seek(resume);
    if (!ok) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (seen[i] || is_optional(fields[i])) continue;
      return r.data_error("missing field `" + std::string(fields[i].key) + "`");
    }
    return true;
  }

  // A string read ahead into a string field; false for a field of another type.
  static bool move_text(std::string& text, Target t) {
    if (auto* s = std::get_if<std::string*>(&t)) {
      **s = std::move(text);
      return true;
    }
    if (auto* s = std::get_if<std::optional<std::string>*>(&t)) {
      **s = std::move(text);
      return true;
    }
    return false;
  }

  // Fields by position from `count` elements: element i is field i.
  bool bind_array(const std::vector<Spot>& items, std::size_t count,
                  const std::vector<Field>& fields, const std::string& expected) {
    std::size_t resume = r.position();
    bool ok = true;
    for (std::size_t i = 0; ok && i < fields.size(); ++i) {
      if (i >= count) {
        ok = r.data_error("invalid length " + std::to_string(i) + ", expected " + expected);
      } else if (!items[i].bound) {
        r.seek(items[i].at);
        ok = bind(fields[i].target);
      }
    }
    r.seek(resume);
    if (!ok) return false;
    if (count > fields.size()) {
      return r.data_error("invalid length " + std::to_string(count) + ", expected " +
                          elements(fields.size()) + " in sequence");
    }
    return true;
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
      ok = number_to(n, out);
    } else {
      auto d = r.describe_unexpected();
      if (!d) return false;
      ok = invalid_type(*d, "u64");
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
      index = find_tag(CALL_TAGS, s);
      ok = index >= 0 || r.data_error("unknown variant `" + s + "`, expected " + one_of(CALL_TAGS));
    } else {
      auto d = r.describe_unexpected();
      if (!d) return false;
      ok = invalid_type(*d, "variant identifier");
    }
    r.fix_position();
    return ok;
  }

  // One member or element of the call, checked. Its spot is marked bound when it is a
  // string for a string field, read straight into place; with `ahead` (the field is not
  // known yet), a string is kept in the spot, so that text is not read twice.
  bool read_call_value(const Field* f, Spot& spot, bool ahead = false) {
    if (ahead && peek() == '"') return r.parse_string(spot.text.emplace());
    if (f && peek() == '"') {
      std::string* into = nullptr;
      if (auto* s = std::get_if<std::string*>(&f->target)) into = *s;
      if (auto* s = std::get_if<std::optional<std::string>*>(&f->target)) into = &(*s)->emplace();
      if (into) {
        spot.bound = true;
        return r.parse_string(*into);
      }
    }
    return r.check_value();
  }

  // The call: its container read to the end, then its fields bound.
  bool read_call(Call& out) {
    auto c = r.skip_ws();
    if (!c) return r.peek_error("EOF while parsing a value");
    if (*c == '{') return read_call_object(out);
    if (*c == '[') return read_call_array(out);
    auto d = r.describe_unexpected();
    if (!d) return false;
    invalid_type(*d, "internally tagged enum Call");
    r.fix_position();
    return false;
  }

  bool read_call_object(Call& out) {
    if (!r.enter()) return false;
    int index = -1;
    std::vector<Field> fields;  // the call's, once its tag is read
    Spots spots(field_keys<Call::Variant>());
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
        out.v = make_alternative<Call::Variant>(static_cast<std::size_t>(index));
        fields = std::visit([](auto& member) { return fields_of(member); }, out.v);
        continue;
      }
      if (!r.parse_colon()) return false;
      auto kept = spots.worth(key);
      if (!kept) {
        if (!r.check_value()) return false;
        continue;
      }
      // Only a field's first occurrence may be read into place.
      const Field* f = find_field(fields, *kept);
      bool earlier = std::any_of(spots.list.begin(), spots.list.end(),
                                 [&](const Spot& s) { return s.key == *kept; });
      Spot& spot = spots.list.emplace_back(*kept, r.position());
      if (!read_call_value(earlier ? nullptr : f, spot, index < 0 && !earlier)) return false;
    }
    if (ok && index < 0) ok = r.data_error("missing field `call`");
    r.leave();
    bool closed = r.end_map();
    r.fix_position();
    if (!ok || !closed) return false;
    return bind_object(spots.list, fields);
  }

  bool read_call_array(Call& out) {
    if (!r.enter()) return false;
    bool first = true, more = false, ok = true;
    std::vector<Field> fields;
    std::vector<Spot> items;
    std::size_t count = 0;
    int index = -1;
    if (!r.next_element(first, more)) return false;
    if (!more) {
      ok = r.data_error("missing field `call`");
    } else {
      if (!read_call_tag(index)) return false;
      out.v = make_alternative<Call::Variant>(static_cast<std::size_t>(index));
      fields = std::visit([](auto& member) { return fields_of(member); }, out.v);
      items.reserve(fields.size());
      for (;;) {
        if (!r.next_element(first, more)) return false;
        if (!more) break;
        if (count < fields.size()) {
          Spot& spot = items.emplace_back(std::string_view(), r.position());
          if (!read_call_value(&fields[count], spot)) return false;
        } else if (!r.check_value()) {
          return false;
        }
        ++count;
      }
    }
    r.leave();
    bool closed = r.end_seq();
    r.fix_position();
    if (!ok || !closed) return false;
    std::string expected = "struct variant Call::" + std::string(CALL_NAMES[index]) + " with " +
                           elements(fields.size());
    return bind_array(items, count, fields, expected);
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
      invalid_type(*d, "struct Request");
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
