#pragma once
/// One compiled glob of an ignore line, with the shape that lets matchers test the
/// common cases (exact name, extension, prefix, suffix) without running it.
///
/// Threading: a compiled `Glob` is immutable; `matches` may run on many threads at once.
///
/// Syntax: "?" one byte but "/"; "*" any run of bytes without "/"; "**/" at the start
/// any leading directories (none included); "/**/" inside one or more separators with
/// any directories between; "/**" at the end "/" and anything after; "**" alone
/// everything; other "**" as "*". A run of such "**" segments ("**/**", "a/**/**/b") is
/// one of them. "[...]" one byte of a class ("!" or "^" first negates, "a-z" ranges,
/// "]" first is literal, never "/"): the class holds the UTF-8 bytes of the characters
/// written in it, so "[é]" is one of the two bytes of "é", and a range between
/// characters of several bytes spans from the last byte of its first end to the first
/// byte of its second end, the other bytes of both ends standing alone. "{a,b}"
/// alternation, not nested; "\x" the byte x. Matching is on bytes, so names that are
/// not UTF-8 match like any other. Matching time is bounded by pattern size times text
/// size.
#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace nivern_vfs::glob {

/// How a glob can be tested cheaply.
enum class Shape : std::uint8_t {
  name,           // "**/" + literal: the last component equals `literal`
  name_suffix,    // "**/*" + literal: the last component ends with `literal`
  name_prefix,    // "**/" + literal + "*": the last component starts with `literal`
  name_glob,      // "**/" + a glob without "/": run on the last component only
  path,           // a literal: the whole path equals `literal`
  path_glob,      // anything else: run on the whole path
};

class Glob {
 public:
  /// `allow_unclosed_class`: an unclosed "[" is a literal "[" instead of an error.
  /// The error is the reason text, such as "unclosed character class; missing ']'".
  static std::expected<Glob, std::string> compile(std::string_view pattern,
                                                  bool allow_unclosed_class);

  [[nodiscard]] Shape shape() const { return shape_; }
  /// The literal of the name, name_suffix, name_prefix and path shapes.
  [[nodiscard]] const std::string& literal() const { return literal_; }

  /// Whole-text match. For the name shapes, `text` may be the whole path or only its
  /// last component; both give the same answer.
  [[nodiscard]] bool matches(std::string_view text) const;
  /// Match of the program alone against `text` (the last component for name_glob).
  [[nodiscard]] bool run(std::string_view text) const;

  enum class Op : std::uint8_t {
    byte,        // b == text[i]
    any_char,    // one byte, not "/"
    char_class,  // one byte of classes_[arg] (never "/")
    star,        // any run of bytes without "/"
    rec_prefix,  // empty, or anything ending in "/"
    rec_infix,   // "/", or "/" anything "/"
    rec_suffix,  // "/" followed by anything
    any_all,     // anything at all
    split,       // continue at each of targets_[arg .. arg+count)
    jump,        // continue at arg
    match,       // succeed at the end of the text
  };
  struct Inst {
    Op op;
    unsigned char b = 0;
    std::uint32_t arg = 0;
    std::uint32_t count = 0;
  };
  /// The bytes of a class, one bit each, negation applied and "/" left out.
  struct Class {
    std::array<std::uint64_t, 4> bits{};
    [[nodiscard]] bool has(unsigned char b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
  };

 private:
  Shape shape_ = Shape::path_glob;
  std::string literal_;
  std::vector<Inst> prog_;
  std::vector<Class> classes_;
  std::vector<std::uint32_t> targets_;
  bool loops_ = false;  // the program has a choice point; matching needs the memo
  // Necessary conditions checked before the program runs: the text starts with
  // `prefix_`, ends with `suffix_` and contains `inner_`.
  std::string prefix_;
  std::string suffix_;
  std::string inner_;

  friend struct Compiler;
};

}  // namespace nivern_vfs::glob
