#pragma once
/// The intermediate form the size model counts: the translated pattern simplified as
/// the regex library simplifies it before compiling (concatenated literals merge,
/// nested concatenations and alternations flatten, alternations of single characters or
/// classes become one class, a common leading part of the branches is factored out,
/// x{1} is x). Internal to the size model (regex_size.cc).
///
/// Threading: a value built once and then only read.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex::sizing {

/// A length that is not known (unbounded, or nothing can match).
inline constexpr std::uint64_t NO_LEN = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t utf8_len(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

enum class Kind : std::uint8_t { empty, literal, cls, look, repeat, capture, concat, alternation };

struct Expr {
  Kind kind = Kind::empty;
  bool greedy = true;
  /// Every match starts at the start of the text / ends at its end.
  bool starts_anchored = false;
  bool ends_anchored = false;
  /// cls: the ranges are bytes, matched by one state (a pattern without Unicode).
  bool byte = false;
  Look look = Look::start_text;
  /// literal: offset into the byte pool; cls: class index; repeat: min; capture: number.
  std::uint32_t a = 0;
  /// literal: length; repeat: max.
  std::uint32_t b = 0;
  /// repeat, capture, concat, alternation: the sub-expressions, in the pool.
  std::uint32_t subs = 0;
  std::uint32_t count = 0;
  std::uint64_t min_len = 0;
  std::uint64_t max_len = 0;
};

/// The library's intermediate form of a translated pattern.
class Simplified {
 public:
  Simplified(const Hir& hir, bool whole_word) : classes_(hir.classes) {
    root_ = lower(hir, hir.root);
    if (whole_word) {
      root_ = concat({look(Look::start_half_unicode), root_, look(Look::end_half_unicode)});
    }
  }

  [[nodiscard]] std::uint32_t root() const { return root_; }
  [[nodiscard]] const Expr& at(std::uint32_t i) const { return exprs_[i]; }
  [[nodiscard]] std::uint32_t sub(const Expr& e, std::uint32_t k) const { return pool_[e.subs + k]; }
  [[nodiscard]] std::string_view bytes(const Expr& e) const {
    return std::string_view(bytes_).substr(e.a, e.b);
  }
  [[nodiscard]] const Ranges& ranges(const Expr& e) const { return classes_[e.a]; }

 private:
  std::uint32_t add(Expr e) {
    exprs_.push_back(e);
    return static_cast<std::uint32_t>(exprs_.size() - 1);
  }
  std::uint32_t with_subs(Expr e, const std::vector<std::uint32_t>& subs);
  std::vector<std::uint32_t> subs_of(const Expr& e) const {
    return {pool_.begin() + e.subs, pool_.begin() + e.subs + e.count};
  }
  std::uint32_t lower(const Hir& hir, std::uint32_t i);
  std::uint32_t empty() { return add(Expr{}); }
  std::uint32_t literal(std::string_view b);
  std::uint32_t literal_char(char32_t c);
  /// A class: nothing matches an empty one, and one character is a literal.
  std::uint32_t cls(std::uint32_t index, bool byte = false);
  std::uint32_t new_class(Ranges r, bool byte = false) {
    classes_.push_back(std::move(r));
    return cls(static_cast<std::uint32_t>(classes_.size() - 1), byte);
  }
  std::uint32_t look(Look l);
  std::uint32_t repeat(std::uint32_t sub, std::uint32_t min, std::uint32_t max, bool greedy);
  /// Flattens nested concatenations, drops empty items and merges adjacent literals.
  std::uint32_t concat(const std::vector<std::uint32_t>& items);
  /// Flattens nested alternations; single characters or classes become one class; a
  /// leading part common to every branch is factored out.
  std::uint32_t alternation(const std::vector<std::uint32_t>& items);
  std::optional<std::uint32_t> lift_common_prefix(const std::vector<std::uint32_t>& alts);
  /// Structural equality; two capture groups are never equal (their numbers differ).
  bool equal(std::uint32_t x, std::uint32_t y) const;
  static std::size_t utf8_len_of_lead(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  }
  static char32_t decode(std::string_view b);
  static Ranges canonical(Ranges r);

  std::vector<Ranges> classes_;
  std::vector<Expr> exprs_;
  std::vector<std::uint32_t> pool_;
  std::string bytes_;
  std::uint32_t captures_ = 0;
  std::uint32_t root_ = 0;
};

}  // namespace nivern_vfs::regex::sizing
