#pragma once
/// JSON numbers in their strict form (no "+1", "01", ".5", "1." or "1e"), read from a
/// frame body with the fault texts and positions the editor sees.
///
/// Pure functions over the caller's text; no shared state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nivern_protocol::json {

/// What a JSON value is. Numbers keep their kind: unsigned, negative integer, or
/// floating point.
enum class ValueKind : std::uint8_t {
  null,
  boolean,
  unsigned_int,
  negative_int,
  floating,
  string,
  array,
  object
};

/// A number as read from the text.
struct Number {
  ValueKind kind = ValueKind::unsigned_int;  // unsigned_int, negative_int or floating
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
};

/// A fault in a number: "EOF while parsing a value", "invalid number" or "number out of
/// range", and the offset in the body it is reported at.
struct NumberFault {
  std::string_view message;
  std::size_t at = 0;
};

/// At '-' or a digit at `pos`: reads a number and moves `pos` past it. An integer stays
/// an integer when it fits (unsigned, or negative within 64-bit signed); -0, longer
/// integers, fractions and exponents become floating point.
[[nodiscard]] std::optional<NumberFault> read_number(std::string_view body, std::size_t& pos, Number& out);

/// At '-' or a digit at `pos`: moves `pos` past a number checked for its grammar only
/// (no range check).
[[nodiscard]] std::optional<NumberFault> skip_number(std::string_view body, std::size_t& pos);

}  // namespace nivern_protocol::json
