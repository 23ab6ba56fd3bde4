// The facts the matcher takes from a pattern: its smart-case facts and the literal
// sequence every match contains.
#include "vfs/search/regex_facts.h"

#include <cstdint>
#include <vector>

#include "vfs/search/unicode_class.h"

namespace nivern_vfs::regex {

CaseFacts case_facts(const Ast& ast) {
  CaseFacts facts;
  auto literal = [&](char32_t c) {
    facts.any_literal = true;
    if (unicode::is_uppercase(c)) facts.any_uppercase = true;
  };
  std::vector<std::uint32_t> stack{ast.root};
  while (!stack.empty()) {
    const Node& n = ast.at(stack.back());
    stack.pop_back();
    if (n.kind == NodeKind::literal) literal(n.c);
    // Unicode and Perl classes hold no literals; everything else may contain some.
    if (n.kind == NodeKind::unicode_class || n.kind == NodeKind::perl_class) continue;
    for (std::uint32_t child : n.children) stack.push_back(child);
  }
  return facts;
}

LiteralFacts literal_facts(const Hir& hir) {
  LiteralFacts facts;
  bool plain = true;
  auto brk = [&] {
    plain = false;
    facts.atoms.push_back(Atom{0, false, true});
  };
  // Walks the top-level sequence, entering groups.
  auto walk = [&](auto&& self, std::uint32_t i) -> void {
    const HirNode& n = hir.at(i);
    switch (n.kind) {
      case HirKind::empty:
        return;
      case HirKind::literal:
        facts.atoms.push_back(Atom{n.c, n.cls != NO_CLASS, false});
        return;
      case HirKind::group:
        self(self, n.children[0]);
        return;
      case HirKind::concat:
        for (std::uint32_t child : n.children) self(self, child);
        return;
      case HirKind::repeat:
        // With at least one copy, the first follows what precedes it; what comes after
        // the repetition need not follow that copy.
        if (n.min >= 1) self(self, n.children[0]);
        brk();
        return;
      default:
        brk();
        return;
    }
  };
  walk(walk, hir.root);
  facts.literal_only = plain && !facts.atoms.empty();
  facts.bytes = hir.bytes;
  return facts;
}

}  // namespace nivern_vfs::regex
