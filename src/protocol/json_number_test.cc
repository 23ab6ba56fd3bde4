#include "protocol/json_number.h"

#include <gtest/gtest.h>

#include <string>

namespace nivern_protocol::json {
namespace {

// "kind value end" of a read number, or "message @ offset".
std::string read(std::string_view body) {
  std::size_t pos = 0;
  Number n;
  if (auto fault = read_number(body, pos, n))
    return std::string(fault->message) + " @ " + std::to_string(fault->at);
  switch (n.kind) {
    case ValueKind::unsigned_int:
      return "u " + std::to_string(n.u) + " " + std::to_string(pos);
    case ValueKind::negative_int:
      return "i " + std::to_string(n.i) + " " + std::to_string(pos);
    default:
      return "f " + std::to_string(n.f) + " " + std::to_string(pos);
  }
}

std::string skip(std::string_view body) {
  std::size_t pos = 0;
  if (auto fault = skip_number(body, pos))
    return std::string(fault->message) + " @ " + std::to_string(fault->at);
  return "end " + std::to_string(pos);
}

TEST(JsonNumber, KindsAndEnds) {
  EXPECT_EQ(read("18446744073709551615,"), "u 18446744073709551615 20");
  EXPECT_EQ(read("-9223372036854775808]"), "i -9223372036854775808 20");
  EXPECT_EQ(read("18446744073709551616"), "f 18446744073709551616.000000 20");
  EXPECT_EQ(read("-0}"), "f -0.000000 2");
  EXPECT_EQ(read("25e-1 "), "f 2.500000 5");
  EXPECT_EQ(read("1e-99999999999"), "f 0.000000 14");
}

TEST(JsonNumber, FaultsAndTheirOffsets) {
  EXPECT_EQ(read("-"), "EOF while parsing a value @ 1");
  EXPECT_EQ(read("01"), "invalid number @ 2");
  EXPECT_EQ(read("1.e5"), "invalid number @ 3");
  EXPECT_EQ(read("1E+"), "EOF while parsing a value @ 3");
  EXPECT_EQ(read("2e309"), "number out of range @ 5");
  // Skipping checks the grammar only, and meets the end of "-" as a bad number.
  EXPECT_EQ(skip("2e309,"), "end 5");
  EXPECT_EQ(skip("-"), "invalid number @ 1");
  EXPECT_EQ(skip("1.x"), "invalid number @ 3");
}

}  // namespace
}  // namespace nivern_protocol::json
