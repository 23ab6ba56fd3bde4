#pragma once
/// What the matcher learns from a pattern before running it: whether smart case makes
/// it case-insensitive, and a literal sequence every match contains, for prefiltering.
///
/// Threading: pure functions over values; safe from any thread.
#include <vector>

#include "vfs/search/regex_syntax.h"
#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {

/// The smart-case facts of a pattern: whether it has a literal character (classes
/// included) and whether one of them is uppercase.
struct CaseFacts {
  bool any_literal = false;
  bool any_uppercase = false;
};
[[nodiscard]] CaseFacts case_facts(const Ast& ast);

/// A literal sequence every match contains, for prefiltering.
struct Atom {
  char32_t c = 0;
  bool folded = false;  // matched case-insensitively
  bool brk = false;     // something other than a literal stands here
};
struct LiteralFacts {
  /// The top-level sequence of the pattern.
  std::vector<Atom> atoms;
  /// The pattern is nothing but those literals.
  bool literal_only = false;
  /// The atoms are bytes (a pattern in byte form), not code points.
  bool bytes = false;
};
[[nodiscard]] LiteralFacts literal_facts(const Hir& hir);

}  // namespace nivern_vfs::regex
