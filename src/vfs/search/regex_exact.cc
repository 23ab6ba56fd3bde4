#include "vfs/search/regex_exact.h"

#include <algorithm>
#include <cassert>

#include "text/utf8.h"

namespace nivern_vfs::regex {
namespace {

bool ascii_word(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

/// The code point that ends just before `at`, or nullopt at the start (valid UTF-8, `at`
/// on a character boundary).
std::optional<char32_t> char_before(std::string_view text, std::size_t at) {
  if (at == 0) return std::nullopt;
  std::size_t start = at - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return nivern_text::utf8_at(text, start);
}

std::optional<char32_t> char_at(std::string_view text, std::size_t at) {
  if (at >= text.size()) return std::nullopt;
  return nivern_text::utf8_at(text, at);
}

/// For a program over bytes, where `at` may fall inside a character and the text need
/// not be UTF-8: the character that starts at `at`, or nullopt where none well-formed
/// does.
std::optional<char32_t> any_char_at(std::string_view text, std::size_t at) {
  if (at >= text.size()) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  if (nivern_text::utf8_length(p + at, p + text.size()) == 0) return std::nullopt;
  return nivern_text::utf8_at(text, at);
}

/// ... and the one before `at`: the character that starts at the last byte before `at`
/// that is not a continuation byte (looking back at most 4 bytes), within the bytes
/// before `at`.
std::optional<char32_t> any_char_before(std::string_view text, std::size_t at) {
  if (at == 0) return std::nullopt;
  std::size_t start = at - 1;
  while (start > 0 && at - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  return any_char_at(text.substr(0, at), start);
}

}  // namespace

ExactProgram::ExactProgram(const Hir& hir, bool whole_word)
    : classes_(hir.classes), bytes_(hir.bytes) {
  for (const Ranges& r : classes_) {
    std::pair<std::uint64_t, std::uint64_t> bits{0, 0};
    for (auto [lo, hi] : r) {
      for (char32_t c = lo; c <= std::min<char32_t>(hi, 0x7F); ++c) {
        (c < 64 ? bits.first : bits.second) |= std::uint64_t{1} << (c % 64);
      }
    }
    ascii_.push_back(bits);
  }
  // Over bytes a match may start or end inside a character, where the half assertions
  // hold but no whole word does.
  if (whole_word && bytes_) emit(Inst{Op::word_edge, Look::start_text, 0, 0});
  if (whole_word && !bytes_) emit(Inst{Op::look, Look::start_half_unicode});
  compile(hir, hir.root);
  if (whole_word && bytes_) emit(Inst{Op::word_edge, Look::start_text, 0, 1});
  if (whole_word && !bytes_) emit(Inst{Op::look, Look::end_half_unicode});
  emit(Inst{Op::match});
}

std::uint32_t ExactProgram::emit(Inst inst) {
  prog_.push_back(inst);
  return static_cast<std::uint32_t>(prog_.size() - 1);
}

void ExactProgram::compile(const Hir& hir, std::uint32_t node) {
  const HirNode& n = hir.at(node);
  switch (n.kind) {
    case HirKind::empty:
      return;
    case HirKind::literal:
      if (n.cls != NO_CLASS) {
        emit(Inst{Op::cls, Look::start_text, 0, n.cls});
      } else {
        emit(Inst{Op::literal, Look::start_text, n.c});
      }
      return;
    case HirKind::cls:
      emit(Inst{Op::cls, Look::start_text, 0, n.cls});
      return;
    case HirKind::look:
      emit(Inst{Op::look, n.look});
      return;
    case HirKind::group:
      compile(hir, n.children[0]);
      return;
    case HirKind::concat:
      for (std::uint32_t child : n.children) compile(hir, child);
      return;
    case HirKind::alternation: {
      std::vector<std::uint32_t> jumps;
      for (std::size_t k = 0; k < n.children.size(); ++k) {
        if (k + 1 < n.children.size()) {
          const std::uint32_t split = emit(Inst{Op::split});
          prog_[split].x = split + 1;
          compile(hir, n.children[k]);
          jumps.push_back(emit(Inst{Op::jump}));
          prog_[split].y = static_cast<std::uint32_t>(prog_.size());
        } else {
          compile(hir, n.children[k]);
        }
      }
      for (std::uint32_t j : jumps) prog_[j].x = static_cast<std::uint32_t>(prog_.size());
      return;
    }
    case HirKind::repeat: {
      // Each kind of bound has its own fixed layout of splits: their order decides
      // which of several empty iterations is preferred, and so which match is found.
      const std::uint32_t sub = n.children[0];
      auto order = [&](std::uint32_t split, std::uint32_t body, std::uint32_t out) {
        prog_[split].x = n.greedy ? body : out;
        prog_[split].y = n.greedy ? out : body;
      };
      if (n.max == UNBOUNDED) {
        if (n.min == 0 && !can_be_empty(hir, sub)) {
          // L: split(x, out); x; jump L
          const std::uint32_t split = emit(Inst{Op::split});
          compile(hir, sub);
          emit(Inst{Op::jump, Look::start_text, 0, split});
          order(split, split + 1, static_cast<std::uint32_t>(prog_.size()));
          return;
        }
        if (n.min == 0) {
          // (x+)?: Q: split(x, E); x; P: split(x, E); E
          const std::uint32_t question = emit(Inst{Op::split});
          compile(hir, sub);
          const std::uint32_t plus = emit(Inst{Op::split});
          const auto end = static_cast<std::uint32_t>(prog_.size());
          order(question, question + 1, end);
          order(plus, question + 1, end);
          return;
        }
        // x{n-1} then x with a loop back into that last copy.
        for (std::uint32_t k = 0; k + 1 < n.min; ++k) compile(hir, sub);
        const auto last = static_cast<std::uint32_t>(prog_.size());
        compile(hir, sub);
        const std::uint32_t plus = emit(Inst{Op::split});
        order(plus, last, plus + 1);
        return;
      }
      for (std::uint32_t k = 0; k < n.min; ++k) compile(hir, sub);
      // Nested optional copies: (x(x(x)?)?)?; every skip leaves the whole chain.
      std::vector<std::uint32_t> splits;
      for (std::uint32_t k = n.min; k < n.max; ++k) {
        splits.push_back(emit(Inst{Op::split}));
        compile(hir, sub);
      }
      const auto end = static_cast<std::uint32_t>(prog_.size());
      for (std::uint32_t s : splits) order(s, s + 1, end);
      return;
    }
  }
}

bool ExactProgram::can_be_empty(const Hir& hir, std::uint32_t node) {
  const HirNode& n = hir.at(node);
  switch (n.kind) {
    case HirKind::literal:
    case HirKind::cls:
      return false;
    case HirKind::empty:
    case HirKind::look:
      return true;
    case HirKind::group:
      return can_be_empty(hir, n.children[0]);
    case HirKind::repeat:
      return n.min == 0 || can_be_empty(hir, n.children[0]);
    case HirKind::concat:
      return std::ranges::all_of(n.children, [&](std::uint32_t c) { return can_be_empty(hir, c); });
    case HirKind::alternation:
      return std::ranges::any_of(n.children, [&](std::uint32_t c) { return can_be_empty(hir, c); });
  }
  return true;
}

bool ExactProgram::class_has(std::uint32_t cls, char32_t c) const {
  if (c < 0x80) {
    const auto& bits = ascii_[cls];
    return ((c < 64 ? bits.first : bits.second) >> (c % 64)) & 1;
  }
  const Ranges& r = classes_[cls];
  auto it = std::upper_bound(r.begin(), r.end(), c,
                             [](char32_t v, const auto& range) { return v < range.first; });
  return it != r.begin() && c <= std::prev(it)->second;
}

bool ExactProgram::look_holds(Look look, std::string_view text, std::size_t at) const {
  const bool unicode = look == Look::word_unicode || look == Look::not_word_unicode ||
                       look == Look::start_word_unicode || look == Look::end_word_unicode ||
                       look == Look::start_half_unicode || look == Look::end_half_unicode;
  auto word = [&](std::optional<char32_t> c) {
    return c.has_value() && (unicode ? is_word_char(*c) : ascii_word(*c));
  };
  switch (look) {
    case Look::start_text:
      return at == 0;
    case Look::end_text:
      return at == text.size();
    case Look::start_line:
      return at == 0 || text[at - 1] == '\n';
    case Look::end_line:
      return at == text.size() || text[at] == '\n';
    case Look::start_line_crlf:
      return at == 0 || text[at - 1] == '\n' ||
             (text[at - 1] == '\r' && (at == text.size() || text[at] != '\n'));
    case Look::end_line_crlf:
      return at == text.size() || text[at] == '\r' ||
             (text[at] == '\n' && (at == 0 || text[at - 1] != '\r'));
    default:
      break;
  }
  const bool before = word(bytes_ ? any_char_before(text, at) : char_before(text, at));
  const bool after = word(bytes_ ? any_char_at(text, at) : char_at(text, at));
  switch (look) {
    case Look::word_ascii:
    case Look::word_unicode:
      return before != after;
    case Look::not_word_ascii:
    case Look::not_word_unicode:
      return before == after;
    case Look::start_word_ascii:
    case Look::start_word_unicode:
      return !before && after;
    case Look::end_word_ascii:
    case Look::end_word_unicode:
      return before && !after;
    case Look::start_half_ascii:
    case Look::start_half_unicode:
      return !before;
    case Look::end_half_ascii:
    case Look::end_half_unicode:
      return !after;
    default:
      return false;
  }
}

/// A whole word's edge: the end of the line, or a whole character that is not a word
/// character, on that side of `at`.
bool ExactProgram::word_edge_holds(bool start, std::string_view text, std::size_t at) {
  if (start ? at == 0 : at == text.size()) return true;
  const std::optional<char32_t> c = start ? any_char_before(text, at) : any_char_at(text, at);
  return c.has_value() && !is_word_char(*c);
}

void ExactProgram::add_thread(ExactScratch::List& list, std::vector<std::uint32_t>& stack,
                              std::uint32_t pc, std::size_t start, std::string_view text,
                              std::size_t at) const {
  stack.clear();
  stack.push_back(pc);
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    if (list.contains(p)) continue;
    list.sparse[p] = static_cast<std::uint32_t>(list.dense.size());
    list.dense.push_back(ExactScratch::Thread{p, start});
    const Inst& inst = prog_[p];
    switch (inst.op) {
      case Op::jump:
        stack.push_back(inst.x);
        break;
      case Op::split:
        stack.push_back(inst.y);
        stack.push_back(inst.x);
        break;
      case Op::look:
        if (look_holds(inst.look, text, at)) stack.push_back(p + 1);
        break;
      case Op::word_edge:
        if (word_edge_holds(inst.x == 0, text, at)) stack.push_back(p + 1);
        break;
      default:
        break;
    }
  }
}

std::optional<std::pair<std::size_t, std::size_t>> ExactProgram::find(
    std::string_view text, ExactScratch& scratch) const {
  auto& clist = scratch.current;
  auto& nlist = scratch.next;
  for (auto* list : {&clist, &nlist}) {
    list->dense.clear();
    if (list->sparse.size() < prog_.size()) list->sparse.assign(prog_.size(), 0);
  }
  std::optional<std::pair<std::size_t, std::size_t>> best;
  std::size_t at = 0;
  for (;;) {
    if (!best) add_thread(clist, scratch.stack, 0, at, text, at);
    if (clist.dense.empty()) break;
    const bool more = at < text.size();
    char32_t c = 0;
    std::size_t len = 0;
    if (more && bytes_) {
      len = 1;
      c = static_cast<unsigned char>(text[at]);
    } else if (more) {
      len = nivern_text::valid_utf8_length(static_cast<unsigned char>(text[at]));
      c = nivern_text::utf8_at(text, at);
    }
    nlist.dense.clear();
    for (std::size_t k = 0; k < clist.dense.size(); ++k) {
      const ExactScratch::Thread t = clist.dense[k];
      const Inst& inst = prog_[t.pc];
      bool step = false;
      switch (inst.op) {
        case Op::literal:
          step = more && c == inst.c;
          break;
        case Op::cls:
          step = more && class_has(inst.x, c);
          break;
        case Op::match:
          best = {t.start, at};
          k = clist.dense.size();  // threads of lower priority are dropped
          break;
        default:
          break;
      }
      if (step) add_thread(nlist, scratch.stack, t.pc + 1, t.start, text, at + len);
    }
    std::swap(clist, nlist);
    if (!more) break;
    at += len;
  }
  clist.dense.clear();
  return best;
}

}  // namespace nivern_vfs::regex
