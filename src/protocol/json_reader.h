#pragma once
/// A strict JSON reader over one frame body, with the exact error texts and positions
/// the editor sees in "unreadable request: {}".
///
/// Single-threaded; one `Reader` per body. Every `parse_*`/`read_*` returns false at the
/// first fault and leaves the fault in `error()`; nothing is read after that. Syntax
/// faults carry their position at once. Faults about the data ("missing field", ...)
/// are raised without one and get it when they leave the innermost array or object
/// being read (`fix_position`), after that container's closing was attempted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/json_number.h"

namespace nivern_protocol::json {

/// A JSON value read whole by `parse_value`, object members in their order (the decoder
/// never builds one; tests read replies with it).
struct Member;

struct Value {
  using Kind = ValueKind;
  Kind kind = Kind::null;
  bool b = false;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
  std::string s;
  std::vector<Value> items;     // array
  std::vector<Member> members;  // object, in order
};

struct Member {
  std::string first;  // the key
  Value second;
};

/// How a value is shown inside "invalid type: {}, ..." and "invalid value: {}, ...".
std::string describe(const Value& v);
std::string describe(const Number& n);
std::string describe_float(double f);
std::string describe_string(std::string_view s);

class Reader {
 public:
  explicit Reader(std::string_view body);

  // --- the fault --------------------------------------------------------------
  bool failed() const { return failed_; }
  /// "message at line L column C".
  std::string error_text() const;
  /// Records a fault at the current position (after what was consumed).
  bool error(std::string msg);
  /// Records a fault just after the next byte (or at the end).
  bool peek_error(std::string msg);
  /// Records a fault about the data; its position is set by `fix_position`.
  bool data_error(std::string msg);
  /// Gives an unpositioned fault the current position.
  void fix_position();

  // --- cursor -----------------------------------------------------------------
  /// Skips JSON whitespace; the next byte, or nullopt at the end.
  std::optional<unsigned char> skip_ws();
  void eat() { ++pos_; }
  bool at_end() const { return pos_ >= end_; }
  std::size_t position() const { return pos_; }
  /// Moves the cursor back to a place already read, to read a value again once it is
  /// known what it should become.
  void seek(std::size_t pos) { pos_ = pos; }

  // --- containers ---------------------------------------------------------------
  /// At '[' or '{': counts one level of nesting and consumes the bracket.
  /// Fails with "recursion limit exceeded" at the 128th level.
  bool enter();
  void leave() { ++remaining_depth_; }
  /// Attempts to close an object: skips whitespace and consumes '}' when it comes next.
  bool end_map();
  /// Attempts to close an array: skips whitespace, consumes ']' when it comes next,
  /// and otherwise reports what follows.
  bool end_seq();
  /// Before each key of an object. `first` tracks the first key. Sets `more` false
  /// at the closing '}' (not consumed); otherwise the cursor stands on the key's quote.
  bool next_key(bool& first, bool& more);
  /// Between key and value.
  bool parse_colon();
  /// Before each element of an array; `more` false at the closing ']' (not consumed).
  bool next_element(bool& first, bool& more);

  // --- values -----------------------------------------------------------------
  /// At '"': reads a string, unescaped, that must be valid UTF-8.
  bool parse_string(std::string& out);
  /// Reads any value whole, with the nesting limit.
  bool parse_value(Value& out);
  /// Reads a value with every check of `parse_value` (nesting limit, string escapes and
  /// UTF-8, number range) and the same faults, but keeps nothing.
  bool check_value();
  /// After the first letter of `null`, `true` or `false` was eaten: the rest of the word.
  bool parse_ident(std::string_view rest);
  /// Reads a value for well-formedness only: no nesting limit, no UTF-8 check.
  bool ignore_value();
  /// At '-' or a digit (the '-' not yet consumed), see `read_number`.
  bool parse_number(Number& out);
  /// Reads a scalar or string for an "invalid type" fault, or stands before a bracket.
  /// Returns the description of the value found (empty when a syntax fault was raised).
  std::optional<std::string> describe_unexpected();

 private:
  /// Records a fault at byte `at`.
  bool fault_at(std::size_t at, std::string msg);
  std::string_view body() const { return {reinterpret_cast<const char*>(base_), end_}; }
  std::size_t string_extent(std::size_t from) const;
  bool check_string();
  template <bool kWrite>
  bool unescape_into(char*& o);
  bool parse_escape(char*& o);
  bool parse_unicode_escape(char*& o);
  bool decode_hex_escape(std::uint16_t& out);
  bool ignore_string();
  bool ignore_escape();
  bool ignore_number();

  const unsigned char* base_;
  std::size_t pos_ = 0;
  std::size_t end_;
  int remaining_depth_ = 128;

  bool failed_ = false;
  bool positioned_ = false;
  std::size_t error_pos_ = 0;
  std::string message_;
};

}  // namespace nivern_protocol::json
