#include "protocol/json_number.h"

#include <climits>
#include <cmath>
#include <optional>
#include <string_view>

namespace nivern_protocol::json {

namespace {

#include "protocol/pow10.inc"

inline bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// a * 10 + b would exceed max.
template <class T>
bool overflows(T a, T b, T max) {
  return a >= max / 10 && (a > max / 10 || b > max % 10);
}

// One number's cursor over the body; the first fault is kept with its position.
class Scanner {
 public:
  Scanner(std::string_view body, std::size_t pos)
      : base_(reinterpret_cast<const unsigned char*>(body.data())), pos_(pos), end_(body.size()) {}

  bool parse_number(Number& out);
  bool ignore_number();

  std::size_t position() const { return pos_; }
  std::optional<NumberFault> fault() const { return fault_; }

 private:
  void eat() { ++pos_; }
  // A fault after what was consumed.
  bool error(std::string_view msg) {
    fault_ = NumberFault{msg, pos_ < end_ ? pos_ : end_};
    return false;
  }
  // A fault just after the next byte (or at the end).
  bool peek_error(std::string_view msg) {
    fault_ = NumberFault{msg, pos_ + 1 < end_ ? pos_ + 1 : end_};
    return false;
  }

  bool parse_integer(bool positive, Number& out);
  bool parse_after_significand(bool positive, std::uint64_t significand, Number& out);
  bool parse_long_integer(bool positive, std::uint64_t significand, Number& out);
  bool parse_decimal(bool positive, std::uint64_t significand, int exponent, Number& out);
  bool parse_decimal_overflow(bool positive, std::uint64_t significand, int exponent, Number& out);
  bool parse_exponent(bool positive, std::uint64_t significand, int starting, Number& out);
  bool float_from_parts(bool positive, std::uint64_t significand, int exponent, Number& out);
  bool ignore_integer();
  bool ignore_decimal();
  bool ignore_exponent();

  const unsigned char* base_;
  std::size_t pos_;
  std::size_t end_;
  std::optional<NumberFault> fault_;
};

bool Scanner::parse_number(Number& out) {
  if (base_[pos_] == '-') {
    eat();
    return parse_integer(false, out);
  }
  return parse_integer(true, out);
}

bool Scanner::parse_integer(bool positive, Number& out) {
  if (pos_ >= end_) return error("EOF while parsing a value");
  unsigned char c = base_[pos_++];
  if (c == '0') {
    if (pos_ < end_ && is_digit(base_[pos_])) return peek_error("invalid number");
    return parse_after_significand(positive, 0, out);
  }
  if (c < '1' || c > '9') return error("invalid number");
  std::uint64_t significand = c - '0';
  while (pos_ < end_ && is_digit(base_[pos_])) {
    std::uint64_t digit = base_[pos_] - '0';
    if (overflows<std::uint64_t>(significand, digit, UINT64_MAX))
      return parse_long_integer(positive, significand, out);
    eat();
    significand = significand * 10 + digit;
  }
  return parse_after_significand(positive, significand, out);
}

bool Scanner::parse_after_significand(bool positive, std::uint64_t significand, Number& out) {
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  if (c == '.') return parse_decimal(positive, significand, 0, out);
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, 0, out);
  if (positive) {
    out.kind = ValueKind::unsigned_int;
    out.u = significand;
    return true;
  }
  // -0 and anything beyond the signed range become floating point.
  std::int64_t neg = static_cast<std::int64_t>(0 - significand);
  if (neg >= 0) {
    out.kind = ValueKind::floating;
    out.f = -static_cast<double>(significand);
  } else {
    out.kind = ValueKind::negative_int;
    out.i = neg;
  }
  return true;
}

bool Scanner::parse_long_integer(bool positive, std::uint64_t significand, Number& out) {
  int exponent = 0;
  for (;;) {
    unsigned char c = pos_ < end_ ? base_[pos_] : 0;
    if (is_digit(c)) {
      eat();
      ++exponent;
    } else if (c == '.') {
      return parse_decimal(positive, significand, exponent, out);
    } else if (c == 'e' || c == 'E') {
      return parse_exponent(positive, significand, exponent, out);
    } else {
      return float_from_parts(positive, significand, exponent, out);
    }
  }
}

bool Scanner::parse_decimal(bool positive, std::uint64_t significand, int before, Number& out) {
  eat();  // '.'
  int after = 0;
  while (pos_ < end_ && is_digit(base_[pos_])) {
    std::uint64_t digit = base_[pos_] - '0';
    if (overflows<std::uint64_t>(significand, digit, UINT64_MAX))
      return parse_decimal_overflow(positive, significand, before + after, out);
    eat();
    significand = significand * 10 + digit;
    --after;
  }
  if (after == 0) {
    if (pos_ >= end_) return peek_error("EOF while parsing a value");
    return peek_error("invalid number");
  }
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, before + after, out);
  return float_from_parts(positive, significand, before + after, out);
}

bool Scanner::parse_decimal_overflow(bool positive, std::uint64_t significand, int exponent, Number& out) {
  while (pos_ < end_ && is_digit(base_[pos_])) eat();
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent, out);
  return float_from_parts(positive, significand, exponent, out);
}

bool Scanner::parse_exponent(bool positive, std::uint64_t significand, int starting, Number& out) {
  eat();  // 'e'
  bool positive_exp = true;
  if (pos_ < end_ && base_[pos_] == '+') {
    eat();
  } else if (pos_ < end_ && base_[pos_] == '-') {
    eat();
    positive_exp = false;
  }
  if (pos_ >= end_) return error("EOF while parsing a value");
  unsigned char c = base_[pos_++];
  if (!is_digit(c)) return error("invalid number");
  int exp = c - '0';
  while (pos_ < end_ && is_digit(base_[pos_])) {
    int digit = base_[pos_] - '0';
    eat();
    if (overflows<int>(exp, digit, INT_MAX)) {
      // Too many exponent digits: zero or out of range.
      if (significand != 0 && positive_exp) return error("number out of range");
      while (pos_ < end_ && is_digit(base_[pos_])) eat();
      out.kind = ValueKind::floating;
      out.f = positive ? 0.0 : -0.0;
      return true;
    }
    exp = exp * 10 + digit;
  }
  long long final_exp =
      positive_exp ? static_cast<long long>(starting) + exp : static_cast<long long>(starting) - exp;
  if (final_exp > INT_MAX) final_exp = INT_MAX;
  if (final_exp < INT_MIN) final_exp = INT_MIN;
  return float_from_parts(positive, significand, static_cast<int>(final_exp), out);
}

bool Scanner::float_from_parts(bool positive, std::uint64_t significand, int exponent, Number& out) {
  double f = static_cast<double>(significand);
  for (;;) {
    unsigned idx =
        exponent == INT_MIN ? 0x80000000u : static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    if (idx <= 308) {
      if (exponent >= 0) {
        f *= kPow10[idx];
        if (std::isinf(f)) return error("number out of range");
      } else {
        f /= kPow10[idx];
      }
      break;
    }
    if (f == 0) break;
    if (exponent >= 0) return error("number out of range");
    f /= 1e308;
    exponent += 308;
  }
  out.kind = ValueKind::floating;
  out.f = positive ? f : -f;
  return true;
}

bool Scanner::ignore_number() {
  if (base_[pos_] == '-') eat();
  return ignore_integer();
}

bool Scanner::ignore_integer() {
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  if (pos_ < end_) ++pos_;
  if (c == '0') {
    if (pos_ < end_ && is_digit(base_[pos_])) return peek_error("invalid number");
  } else if (c >= '1' && c <= '9') {
    while (pos_ < end_ && is_digit(base_[pos_])) eat();
  } else {
    return error("invalid number");
  }
  c = pos_ < end_ ? base_[pos_] : 0;
  if (c == '.') return ignore_decimal();
  if (c == 'e' || c == 'E') return ignore_exponent();
  return true;
}

bool Scanner::ignore_decimal() {
  eat();
  bool digit = false;
  while (pos_ < end_ && is_digit(base_[pos_])) {
    eat();
    digit = true;
  }
  if (!digit) return peek_error("invalid number");
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  if (c == 'e' || c == 'E') return ignore_exponent();
  return true;
}

bool Scanner::ignore_exponent() {
  eat();
  if (pos_ < end_ && (base_[pos_] == '+' || base_[pos_] == '-')) eat();
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  if (pos_ < end_) ++pos_;
  if (!is_digit(c)) return error("invalid number");
  while (pos_ < end_ && is_digit(base_[pos_])) eat();
  return true;
}

}  // namespace

std::optional<NumberFault> read_number(std::string_view body, std::size_t& pos, Number& out) {
  Scanner s(body, pos);
  bool ok = s.parse_number(out);
  pos = s.position();
  return ok ? std::nullopt : s.fault();
}

std::optional<NumberFault> skip_number(std::string_view body, std::size_t& pos) {
  Scanner s(body, pos);
  bool ok = s.ignore_number();
  pos = s.position();
  return ok ? std::nullopt : s.fault();
}

}  // namespace nivern_protocol::json
