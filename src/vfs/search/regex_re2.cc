// The RE2 spelling of a translated pattern: classes as RE2 bracket expressions (or, in
// byte form, for RE2's Latin-1 mode), anchors per the anchor mode, and what RE2 cannot
// express left out as a superset for the exact program to confirm.
#include "vfs/search/regex_re2.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <string>
#include <vector>

#include "vfs/search/regex_bytes.h"

namespace nivern_vfs::regex {
namespace {

void append_char(std::string& out, char32_t c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
    out += static_cast<char>(c);
    return;
  }
  char buf[16];
  const int len = std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(c));
  out.append(buf, static_cast<std::size_t>(len));
}

/// A class of code points, or with `top` 0xFF of bytes (for RE2's Latin-1 mode).
///
/// `r` holds no surrogates. A class of code points matches valid UTF-8 only: RE2 reads
/// a range that runs from 0x80 to the last code point as any lead byte with any
/// continuation bytes (encoded surrogates, over-long forms and code points past
/// U+10FFFF included), and its negated brackets hold the surrogates again. So a negated
/// spelling names the surrogates among what it leaves out, and no spelled range spans
/// them, which keeps every range RE2 compiles to exact UTF-8 forms.
void append_class(std::string& out, const Ranges& r, char32_t top = 0x10FFFF) {
  if (r.empty()) {
    out += top == 0xFF ? "[^\\x00-\\x{FF}]" : "[^\\x00-\\x{10FFFF}]";
    return;
  }
  // The complement (surrogates included) when it is shorter.
  Ranges complement;
  char32_t next = 0;
  for (const auto& [lo, hi] : r) {
    if (lo > next) complement.emplace_back(next, lo - 1);
    next = hi + 1;
  }
  if (next <= top) complement.emplace_back(next, top);
  const bool negate = complement.size() < r.size();
  const Ranges& items = negate ? complement : r;
  out += negate ? "[^" : "[";
  for (const auto& [lo, hi] : items) {
    append_char(out, lo);
    if (hi != lo) {
      out += '-';
      append_char(out, hi);
    }
  }
  out += ']';
}

/// Which nodes hold a counted repetition ({n}, {n,}, {n,m} other than ?, * and +).
std::vector<bool> counted_nodes(const Hir& hir) {
  std::vector<bool> counted(hir.nodes.size(), false);
  // Children come before parents in the node table.
  for (std::size_t i = 0; i < hir.nodes.size(); ++i) {
    const HirNode& n = hir.nodes[i];
    bool c = n.kind == HirKind::repeat && !(n.max == UNBOUNDED && n.min <= 1) &&
             !(n.min == 0 && n.max == 1);
    for (std::uint32_t child : n.children) c = c || counted[child];
    counted[i] = c;
  }
  return counted;
}

/// RE2 refuses counts over 1000, and nested counted repetitions whose product is over
/// 1000: such a repetition is spelled without its counts (a superset) and checked by
/// the exact program.
bool re2_counts(const HirNode& n, const std::vector<bool>& counted) {
  return !counted[n.children[0]] && n.min <= 1000 && (n.max == UNBOUNDED || n.max <= 1000);
}

/// The assertions RE2 has; its word boundaries are the ASCII ones.
bool re2_has_look(Look l) {
  return l == Look::start_text || l == Look::end_text || l == Look::start_line ||
         l == Look::end_line || l == Look::word_ascii || l == Look::not_word_ascii;
}

class Re2Writer {
 public:
  Re2Writer(const Hir& hir, AnchorMode mode) : hir_(hir), mode_(mode), counted_(counted_nodes(hir)) {}

  std::string run(std::size_t* nodes) {
    std::string out;
    write(hir_.root, out);
    if (nodes != nullptr) *nodes = nodes_;
    return out;
  }

 private:
  void write(std::uint32_t i, std::string& out) {
    const HirNode& n = hir_.at(i);
    ++nodes_;
    switch (n.kind) {
      case HirKind::empty:
        out += "(?:)";
        return;
      case HirKind::literal:
        if (n.cls != NO_CLASS) {
          append_class(out, hir_.classes[n.cls], top_);
          hold_high_byte(hir_.classes[n.cls], out);
        } else {
          append_char(out, n.c);
          hold_high_byte(Ranges{{n.c, n.c}}, out);
        }
        return;
      case HirKind::cls:
        append_class(out, hir_.classes[n.cls], top_);
        hold_high_byte(hir_.classes[n.cls], out);
        return;
      case HirKind::look:
        write_look(n.look, out);
        return;
      case HirKind::repeat:
        write_repeat(n, out);
        return;
      case HirKind::concat:
        out += "(?:";
        for (std::uint32_t child : n.children) write(child, out);
        out += ')';
        return;
      case HirKind::alternation:
        out += "(?:";
        for (std::size_t k = 0; k < n.children.size(); ++k) {
          if (k > 0) out += '|';
          write(n.children[k], out);
        }
        out += ')';
        return;
      case HirKind::group:
        out += "(?:";
        write(n.children[0], out);
        out += ')';
        return;
    }
  }

  /// In byte form, a piece that may match a byte above 0x7F is spelled as a repetition
  /// of one: RE2 takes a shared leading literal out of the branches of an alternation,
  /// and when such a literal begins the pattern, it searches for that literal as UTF-8
  /// rather than as Latin-1 bytes, missing every match. A repetition is never taken out
  /// as a literal, and RE2 reads it back as the piece itself.
  void hold_high_byte(const Ranges& r, std::string& out) {
    if (top_ != 0xFF || r.empty() || r.back().second < 0x80) return;
    out += "{1}";
    ++nodes_;
  }

  void write_look(Look l, std::string& out) const {
    const bool block = mode_ == AnchorMode::block;
    switch (l) {
      case Look::start_text:
        out += block ? "(?m:^)" : "^";
        return;
      case Look::end_text:
        out += block ? "(?m:$)" : "$";
        return;
      case Look::start_line:
        out += "(?m:^)";
        return;
      case Look::end_line:
        out += "(?m:$)";
        return;
      case Look::word_ascii:
        out += "\\b";
        return;
      case Look::not_word_ascii:
        out += "\\B";
        return;
      default:
        // Checked by the exact program; RE2 only finds candidates.
        out += "(?:)";
        return;
    }
  }

  void write_repeat(const HirNode& n, std::string& out) {
    std::string sub = "(?:";
    write(n.children[0], sub);
    sub += ')';
    const std::string_view lazy = n.greedy ? "" : "?";
    if (n.min == 0 && n.max == UNBOUNDED) {
      out += sub + "*" + std::string(lazy);
      return;
    }
    if (n.min == 1 && n.max == UNBOUNDED) {
      out += sub + "+" + std::string(lazy);
      return;
    }
    if (n.min == 0 && n.max == 1) {
      out += sub + "?" + std::string(lazy);
      return;
    }
    if (re2_counts(n, counted_)) {
      out += sub + "{" + std::to_string(n.min);
      if (n.max == UNBOUNDED) {
        out += ",";
      } else if (n.max != n.min) {
        out += "," + std::to_string(n.max);
      }
      out += "}" + std::string(lazy);
      return;
    }
    out += sub + (n.min == 0 ? "*" : "+");
  }

  const Hir& hir_;
  AnchorMode mode_;
  /// The largest character: a byte in byte form.
  char32_t top_ = hir_.bytes ? 0xFF : 0x10FFFF;
  std::vector<bool> counted_;
  std::size_t nodes_ = 0;
};

}  // namespace

bool re2_spells_exactly(const Hir& hir) {
  const std::vector<bool> counted = counted_nodes(hir);
  for (const HirNode& n : hir.nodes) {
    if (n.kind == HirKind::repeat && !re2_counts(n, counted)) return false;
    if (n.kind == HirKind::look && !re2_has_look(n.look)) return false;
  }
  return true;
}

std::string re2_non_word_class(bool exclude_line_feed, bool bytes) {
  const Ranges ranges = non_word_ranges(exclude_line_feed);
  if (bytes) return re2_utf8_class(ranges);
  std::string out;
  append_class(out, ranges);
  return out;
}

std::string to_re2(const Hir& hir, AnchorMode mode, std::size_t* nodes) {
  return Re2Writer(hir, mode).run(nodes);
}

}  // namespace nivern_vfs::regex
