#include "vfs/search/regex_size.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/utf8.h"

namespace nivern_vfs::regex {
namespace {

constexpr std::uint64_t TRANSITION_BYTES = 8;
constexpr std::uint64_t BRANCH_BYTES = 4;
constexpr std::size_t FORWARD_CACHE_SLOTS = 10000;
constexpr std::size_t REVERSE_CACHE_SLOTS = 1000;
constexpr std::uint64_t FNV_INIT = 14695981039346656037ULL;
constexpr std::uint64_t FNV_PRIME = 1099511628211ULL;
/// A length that is not known (unbounded, or nothing can match).
constexpr std::uint64_t NO_LEN = std::numeric_limits<std::uint64_t>::max();

std::uint64_t utf8_len(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// ---- The simplified expression ----

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

  std::uint32_t with_subs(Expr e, const std::vector<std::uint32_t>& subs) {
    e.subs = static_cast<std::uint32_t>(pool_.size());
    e.count = static_cast<std::uint32_t>(subs.size());
    pool_.insert(pool_.end(), subs.begin(), subs.end());
    return add(e);
  }

  std::vector<std::uint32_t> subs_of(const Expr& e) const {
    return {pool_.begin() + e.subs, pool_.begin() + e.subs + e.count};
  }

  std::uint32_t lower(const Hir& hir, std::uint32_t i) {
    const HirNode& n = hir.at(i);
    switch (n.kind) {
      case HirKind::empty:
        return empty();
      case HirKind::literal:
        if (n.cls != NO_CLASS) return cls(n.cls, n.byte);
        if (n.byte) return literal(std::string(1, static_cast<char>(n.c)));
        return literal_char(n.c);
      case HirKind::cls:
        return cls(n.cls, n.byte);
      case HirKind::look:
        return look(n.look);
      case HirKind::repeat:
        return repeat(lower(hir, n.children[0]), n.min, n.max, n.greedy);
      case HirKind::group: {
        const std::uint32_t inner = lower(hir, n.children[0]);
        if (!n.capture) return inner;
        Expr e = exprs_[inner];
        e.kind = Kind::capture;
        e.a = ++captures_;
        return with_subs(e, {inner});
      }
      case HirKind::concat: {
        // Runs of plain characters go straight into one literal.
        std::vector<std::uint32_t> subs;
        std::string run;
        for (std::uint32_t child : n.children) {
          const HirNode& c = hir.at(child);
          if (c.kind == HirKind::literal && c.cls == NO_CLASS) {
            if (c.byte) {
              run.push_back(static_cast<char>(c.c));
            } else {
              nivern_text::append_utf8(run, c.c);
            }
            continue;
          }
          if (!run.empty()) subs.push_back(literal(run));
          run.clear();
          subs.push_back(lower(hir, child));
        }
        if (!run.empty()) subs.push_back(literal(run));
        return concat(subs);
      }
      case HirKind::alternation: {
        std::vector<std::uint32_t> subs;
        subs.reserve(n.children.size());
        for (std::uint32_t child : n.children) subs.push_back(lower(hir, child));
        return alternation(subs);
      }
    }
    return empty();
  }

  std::uint32_t empty() { return add(Expr{}); }

  std::uint32_t literal(std::string_view b) {
    if (b.empty()) return empty();
    Expr e;
    e.kind = Kind::literal;
    e.a = static_cast<std::uint32_t>(bytes_.size());
    e.b = static_cast<std::uint32_t>(b.size());
    e.min_len = e.max_len = b.size();
    bytes_.append(b);
    return add(e);
  }

  std::uint32_t literal_char(char32_t c) {
    std::string b;
    nivern_text::append_utf8(b, c);
    return literal(b);
  }

  /// A class: nothing matches an empty one, and one character is a literal.
  std::uint32_t cls(std::uint32_t index, bool byte = false) {
    const Ranges& r = classes_[index];
    Expr e;
    e.kind = Kind::cls;
    e.a = index;
    e.byte = byte;
    if (r.empty()) {
      e.min_len = e.max_len = NO_LEN;
      return add(e);
    }
    if (byte) {
      if (r.size() == 1 && r[0].first == r[0].second) {
        return literal(std::string(1, static_cast<char>(r[0].first)));
      }
      e.min_len = e.max_len = 1;
      return add(e);
    }
    if (r.size() == 1 && r[0].first == r[0].second) return literal_char(r[0].first);
    e.min_len = utf8_len(r.front().first);
    e.max_len = utf8_len(r.back().second);
    return add(e);
  }

  std::uint32_t new_class(Ranges r, bool byte = false) {
    classes_.push_back(std::move(r));
    return cls(static_cast<std::uint32_t>(classes_.size() - 1), byte);
  }

  std::uint32_t look(Look l) {
    Expr e;
    e.kind = Kind::look;
    e.look = l;
    e.starts_anchored = l == Look::start_text;
    e.ends_anchored = l == Look::end_text;
    return add(e);
  }

  std::uint32_t repeat(std::uint32_t sub, std::uint32_t min, std::uint32_t max, bool greedy) {
    const Expr s = exprs_[sub];
    // What can only match the empty string is matched at most once.
    if (s.max_len == 0) {
      min = std::min<std::uint32_t>(min, 1);
      max = std::min<std::uint32_t>(max, 1);
    }
    if (min == 0 && max == 0) return empty();
    if (min == 1 && max == 1) return sub;
    Expr e;
    e.kind = Kind::repeat;
    e.a = min;
    e.b = max;
    e.greedy = greedy;
    // The shortest match saturates; the longest is unknown when unbounded or too long.
    const bool min_overflows = s.min_len != 0 && min > (NO_LEN - 1) / s.min_len;
    e.min_len = s.min_len == NO_LEN ? NO_LEN : min_overflows ? NO_LEN - 1 : s.min_len * min;
    const bool max_overflows = s.max_len != 0 && max > (NO_LEN - 1) / s.max_len;
    e.max_len = max == UNBOUNDED || s.max_len == NO_LEN || max_overflows ? NO_LEN : s.max_len * max;
    e.starts_anchored = min > 0 && s.starts_anchored;
    e.ends_anchored = min > 0 && s.ends_anchored;
    return with_subs(e, {sub});
  }

  /// Flattens nested concatenations, drops empty items and merges adjacent literals.
  std::uint32_t concat(const std::vector<std::uint32_t>& items) {
    std::vector<std::uint32_t> flat;
    std::string run;
    bool in_run = false;
    auto flush = [&] {
      if (in_run) flat.push_back(literal(run));
      run.clear();
      in_run = false;
    };
    auto take = [&](std::uint32_t i) {
      const Expr& e = exprs_[i];
      if (e.kind == Kind::literal) {
        run.append(bytes(e));
        in_run = true;
      } else if (e.kind != Kind::empty) {
        flush();
        flat.push_back(i);
      }
    };
    for (std::uint32_t i : items) {
      if (exprs_[i].kind == Kind::concat) {
        for (std::uint32_t j : subs_of(exprs_[i])) take(j);
      } else {
        take(i);
      }
    }
    flush();
    if (flat.empty()) return empty();
    if (flat.size() == 1) return flat[0];
    Expr e;
    e.kind = Kind::concat;
    std::uint64_t min = 0, max = 0;
    for (std::uint32_t i : flat) {
      const Expr& x = exprs_[i];
      // Lengths past NO_LEN - 1 stay there (shortest) or become unknown (longest).
      const auto sum = [](std::uint64_t a, std::uint64_t b, std::uint64_t cap) {
        return a == NO_LEN || b == NO_LEN ? NO_LEN : a > NO_LEN - 1 - b ? cap : a + b;
      };
      min = sum(min, x.min_len, NO_LEN - 1);
      max = sum(max, x.max_len, NO_LEN);
    }
    e.min_len = min;
    e.max_len = max;
    for (std::uint32_t i : flat) {
      e.starts_anchored = e.starts_anchored || exprs_[i].starts_anchored;
      if (exprs_[i].max_len != 0) break;
    }
    for (auto it = flat.rbegin(); it != flat.rend(); ++it) {
      e.ends_anchored = e.ends_anchored || exprs_[*it].ends_anchored;
      if (exprs_[*it].max_len != 0) break;
    }
    return with_subs(e, flat);
  }

  /// Flattens nested alternations; single characters or classes become one class; a
  /// leading part common to every branch is factored out.
  std::uint32_t alternation(const std::vector<std::uint32_t>& items) {
    std::vector<std::uint32_t> flat;
    for (std::uint32_t i : items) {
      if (exprs_[i].kind == Kind::alternation) {
        for (std::uint32_t j : subs_of(exprs_[i])) flat.push_back(j);
      } else {
        flat.push_back(i);
      }
    }
    if (flat.empty()) return new_class({});
    if (flat.size() == 1) return flat[0];
    const bool all_chars = std::ranges::all_of(flat, [&](std::uint32_t i) {
      const Expr& e = exprs_[i];
      if (e.kind != Kind::literal) return false;
      const std::string_view b = bytes(e);
      return b.size() == utf8_len_of_lead(static_cast<unsigned char>(b[0]));
    });
    // Byte classes merge only with byte classes, code point classes with their own kind.
    const bool byte = exprs_[flat[0]].byte;
    const bool all_classes = std::ranges::all_of(
        flat, [&](std::uint32_t i) { return exprs_[i].kind == Kind::cls && exprs_[i].byte == byte; });
    if (all_chars || all_classes) {
      Ranges merged;
      for (std::uint32_t i : flat) {
        const Expr& e = exprs_[i];
        if (e.kind == Kind::literal) {
          const char32_t c = decode(bytes(e));
          merged.emplace_back(c, c);
        } else {
          const Ranges& r = ranges(e);
          merged.insert(merged.end(), r.begin(), r.end());
        }
      }
      return new_class(canonical(std::move(merged)), all_classes && byte);
    }
    if (auto lifted = lift_common_prefix(flat)) return *lifted;
    Expr e;
    e.kind = Kind::alternation;
    e.min_len = exprs_[flat[0]].min_len;
    e.max_len = exprs_[flat[0]].max_len;
    e.starts_anchored = e.ends_anchored = true;
    for (std::uint32_t i : flat) {
      const Expr& x = exprs_[i];
      e.min_len = e.min_len == NO_LEN || x.min_len == NO_LEN ? NO_LEN : std::min(e.min_len, x.min_len);
      e.max_len = e.max_len == NO_LEN || x.max_len == NO_LEN ? NO_LEN : std::max(e.max_len, x.max_len);
      e.starts_anchored = e.starts_anchored && x.starts_anchored;
      e.ends_anchored = e.ends_anchored && x.ends_anchored;
    }
    return with_subs(e, flat);
  }

  std::optional<std::uint32_t> lift_common_prefix(const std::vector<std::uint32_t>& alts) {
    for (std::uint32_t i : alts) {
      if (exprs_[i].kind != Kind::concat) return std::nullopt;
    }
    std::vector<std::uint32_t> prefix = subs_of(exprs_[alts[0]]);
    for (std::size_t k = 1; k < alts.size(); ++k) {
      const std::vector<std::uint32_t> items = subs_of(exprs_[alts[k]]);
      std::size_t common = 0;
      while (common < prefix.size() && common < items.size() && equal(prefix[common], items[common])) {
        ++common;
      }
      prefix.resize(common);
      if (prefix.empty()) return std::nullopt;
    }
    std::vector<std::uint32_t> rests;
    for (std::uint32_t i : alts) {
      const std::vector<std::uint32_t> items = subs_of(exprs_[i]);
      rests.push_back(concat({items.begin() + static_cast<std::ptrdiff_t>(prefix.size()), items.end()}));
    }
    prefix.push_back(alternation(rests));
    return concat(prefix);
  }

  /// Structural equality; two capture groups are never equal (their numbers differ).
  bool equal(std::uint32_t x, std::uint32_t y) const {
    if (x == y) return true;
    const Expr& a = exprs_[x];
    const Expr& b = exprs_[y];
    if (a.kind != b.kind) return false;
    switch (a.kind) {
      case Kind::empty:
        return true;
      case Kind::literal:
        return bytes(a) == bytes(b);
      case Kind::cls:
        return a.byte == b.byte && ranges(a) == ranges(b);
      case Kind::look:
        return a.look == b.look;
      case Kind::capture:
        return false;
      case Kind::repeat:
        if (a.a != b.a || a.b != b.b || a.greedy != b.greedy) return false;
        break;
      case Kind::concat:
      case Kind::alternation:
        if (a.count != b.count) return false;
        break;
    }
    for (std::uint32_t k = 0; k < a.count; ++k) {
      if (!equal(sub(a, k), sub(b, k))) return false;
    }
    return true;
  }

  static std::size_t utf8_len_of_lead(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  }

  static char32_t decode(std::string_view b) {
    const auto* u = reinterpret_cast<const unsigned char*>(b.data());
    switch (b.size()) {
      case 1:
        return u[0];
      case 2:
        return static_cast<char32_t>(((u[0] & 0x1F) << 6) | (u[1] & 0x3F));
      case 3:
        return static_cast<char32_t>(((u[0] & 0x0F) << 12) | ((u[1] & 0x3F) << 6) | (u[2] & 0x3F));
      default:
        return static_cast<char32_t>(((u[0] & 0x07) << 18) | ((u[1] & 0x3F) << 12) | ((u[2] & 0x3F) << 6) |
                                     (u[3] & 0x3F));
    }
  }

  static Ranges canonical(Ranges r) {
    std::sort(r.begin(), r.end());
    Ranges out;
    for (const auto& [lo, hi] : r) {
      if (!out.empty() && lo <= out.back().second + 1) {
        out.back().second = std::max(out.back().second, hi);
      } else {
        out.emplace_back(lo, hi);
      }
    }
    return out;
  }

  std::vector<Ranges> classes_;
  std::vector<Expr> exprs_;
  std::vector<std::uint32_t> pool_;
  std::string bytes_;
  std::uint32_t captures_ = 0;
  std::uint32_t root_ = 0;
};

// ---- UTF-8 byte-range sequences of a class ----

struct ByteRange {
  std::uint8_t lo = 0;
  std::uint8_t hi = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

struct Sequence {
  std::uint8_t len = 0;
  std::array<ByteRange, 4> r{};
};

void encode(char32_t c, std::uint8_t* b) {
  std::string s;
  nivern_text::append_utf8(s, c);
  for (std::size_t k = 0; k < s.size(); ++k) b[k] = static_cast<std::uint8_t>(s[k]);
}

/// The byte-range sequences of `ranges` in ascending order, split as the library
/// splits them (at the surrogates, at encoding lengths, then at continuation bytes).
std::vector<Sequence> sequences(const Ranges& ranges) {
  std::vector<Sequence> out;
  std::vector<std::pair<char32_t, char32_t>> stack;
  for (const auto& range : ranges) {
    stack.push_back(range);
    while (!stack.empty()) {
      auto [lo, hi] = stack.back();
      stack.pop_back();
      for (;;) {
        if (lo < 0xE000 && hi > 0xD7FF) {
          stack.emplace_back(0xE000, hi);
          hi = 0xD7FF;
          continue;
        }
        if (lo > hi) break;
        bool split = false;
        for (char32_t max : {char32_t{0x7F}, char32_t{0x7FF}, char32_t{0xFFFF}}) {
          if (lo <= max && max < hi) {
            stack.emplace_back(max + 1, hi);
            hi = max;
            split = true;
            break;
          }
        }
        if (split) continue;
        if (hi <= 0x7F) {
          Sequence s;
          s.len = 1;
          s.r[0] = {static_cast<std::uint8_t>(lo), static_cast<std::uint8_t>(hi)};
          out.push_back(s);
          break;
        }
        for (int i = 1; i < 4 && !split; ++i) {
          const char32_t m = (char32_t{1} << (6 * i)) - 1;
          if ((lo & ~m) == (hi & ~m)) continue;
          if ((lo & m) != 0) {
            stack.emplace_back((lo | m) + 1, hi);
            hi = lo | m;
            split = true;
          } else if ((hi & m) != m) {
            stack.emplace_back(hi & ~m, hi);
            hi = (hi & ~m) - 1;
            split = true;
          }
        }
        if (split) continue;
        std::uint8_t a[4], b[4];
        encode(lo, a);
        encode(hi, b);
        Sequence s;
        s.len = static_cast<std::uint8_t>(utf8_len(lo));
        for (std::size_t k = 0; k < s.len; ++k) s.r[k] = {a[k], b[k]};
        out.push_back(s);
        break;
      }
    }
  }
  return out;
}

// ---- The construction ----

struct Transition {
  std::uint8_t lo = 0;
  std::uint8_t hi = 0;
  std::uint32_t next = 0;
  friend bool operator==(const Transition&, const Transition&) = default;
};

class Construction {
 public:
  Construction(const Simplified& s, bool reverse, std::uint64_t limit)
      : s_(s), reverse_(reverse), limit_(limit) {}

  /// The bytes counted when the program is done, or a value past the limit.
  std::uint64_t run() {
    const Expr& root = s_.at(s_.root());
    Ref prefix;
    if (reverse_ ? root.ends_anchored : root.starts_anchored) {
      prefix = empty();
    } else {
      // (?s-u:.)*?: a union looping over one byte range.
      const std::uint32_t u = add(0);
      add(0);
      add(TRANSITION_BYTES);
      branch();
      prefix = Ref{u, u, true};
    }
    Ref body;
    if (reverse_) {
      body = c(s_.root());
    } else {
      const std::uint32_t start = add(0);
      const Ref inner = c(s_.root());
      body = Ref{start, add(0), false};
      patch(inner);
    }
    add(0);  // the match state
    patch(body);
    patch(prefix);
    return usage();
  }

 private:
  /// A compiled piece: its first and last state; patching from a union adds a branch.
  struct Ref {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    bool end_is_union = false;
  };

  [[nodiscard]] std::uint64_t usage() const { return states_ * STATE_BYTES + heap_; }

  std::uint32_t add(std::uint64_t heap) {
    const auto id = static_cast<std::uint32_t>(states_++);
    heap_ += heap;
    over_ = over_ || usage() > limit_;
    return id;
  }
  void branch() {
    heap_ += BRANCH_BYTES;
    over_ = over_ || usage() > limit_;
  }
  void patch(const Ref& from) {
    if (from.end_is_union) branch();
  }

  Ref empty() {
    const std::uint32_t id = add(0);
    return Ref{id, id, false};
  }

  Ref c(std::uint32_t i) {
    if (over_) return {};
    const Expr& e = s_.at(i);
    switch (e.kind) {
      case Kind::empty:
        return empty();
      case Kind::literal: {
        const std::uint32_t first = add(0);
        for (std::uint32_t k = 1; k < e.b; ++k) add(0);
        return Ref{first, static_cast<std::uint32_t>(states_ - 1), false};
      }
      case Kind::cls:
        return cls(e);
      case Kind::look:
        return empty();
      case Kind::capture: {
        if (reverse_) return c(s_.sub(e, 0));
        const std::uint32_t start = add(0);
        const Ref inner = c(s_.sub(e, 0));
        const Ref out{start, add(0), false};
        patch(inner);
        return out;
      }
      case Kind::concat:
        return sequence(e.count,
                        [&](std::uint32_t k) { return c(s_.sub(e, reverse_ ? e.count - 1 - k : k)); });
      case Kind::alternation:
        return alternation(e);
      case Kind::repeat:
        return repeat(e);
    }
    return {};
  }

  template <typename F>
  Ref sequence(std::uint64_t n, F&& item) {
    if (n == 0) return empty();
    const Ref first = item(0);
    Ref last = first;
    for (std::uint64_t k = 1; k < n && !over_; ++k) {
      const Ref next = item(static_cast<std::uint32_t>(k));
      patch(last);
      last = next;
    }
    return Ref{first.start, last.end, last.end_is_union};
  }

  Ref exactly(std::uint32_t sub, std::uint64_t n) {
    return sequence(n, [&](std::uint32_t) { return c(sub); });
  }

  Ref repeat(const Expr& e) {
    const std::uint32_t sub = s_.sub(e, 0);
    const std::uint32_t min = e.a;
    const std::uint32_t max = e.b;
    if (min == 0 && max == 1) {
      const std::uint32_t u = add(0);
      const Ref inner = c(sub);
      const std::uint32_t end = add(0);
      branch();
      branch();
      patch(inner);
      return Ref{u, end, false};
    }
    if (max == UNBOUNDED) {
      if (min == 0) {
        const std::uint64_t sub_min = s_.at(sub).min_len;
        if (sub_min != NO_LEN && sub_min > 0) {
          const std::uint32_t u = add(0);
          const Ref inner = c(sub);
          branch();
          patch(inner);
          return Ref{u, u, true};
        }
        const Ref inner = c(sub);
        add(0);  // plus
        patch(inner);
        branch();
        const std::uint32_t question = add(0);
        const std::uint32_t end = add(0);
        branch();
        branch();
        branch();
        return Ref{question, end, false};
      }
      if (min == 1) {
        const Ref inner = c(sub);
        const std::uint32_t u = add(0);
        patch(inner);
        branch();
        return Ref{inner.start, u, true};
      }
      const Ref prefix = exactly(sub, min - 1);
      const Ref last = c(sub);
      const std::uint32_t u = add(0);
      patch(prefix);
      patch(last);
      branch();
      return Ref{prefix.start, u, true};
    }
    const Ref prefix = exactly(sub, min);
    if (min == max) return prefix;
    const std::uint32_t end = add(0);
    Ref prev = prefix;
    for (std::uint32_t k = min; k < max && !over_; ++k) {
      add(0);  // the union
      const Ref inner = c(sub);
      patch(prev);
      branch();
      branch();
      prev = inner;
    }
    patch(prev);
    return Ref{prefix.start, end, false};
  }

  Ref alternation(const Expr& e) {
    bool literals = e.count > 1;
    for (std::uint32_t k = 0; k < e.count && literals; ++k) {
      literals = s_.at(s_.sub(e, k)).kind == Kind::literal;
    }
    if (literals) return trie(e);
    const Ref first = c(s_.sub(e, 0));
    const Ref second = c(s_.sub(e, 1));
    const std::uint32_t u = add(0);
    const std::uint32_t end = add(0);
    branch();
    patch(first);
    branch();
    patch(second);
    for (std::uint32_t k = 2; k < e.count && !over_; ++k) {
      const Ref next = c(s_.sub(e, k));
      branch();
      patch(next);
    }
    return Ref{u, end, false};
  }

  /// An alternation of literals, compiled as a prefix trie that keeps the branches'
  /// order: a state's transitions are split into chunks where a literal ends, and the
  /// chunks are never merged. Each state with transitions becomes a state per non-empty
  /// chunk (a range, or a multi-range state with its transitions) and a union of those
  /// chunks and, between two chunks, the trie's end; leaves lead to that end. Only the
  /// counts matter here: the trie compiles without looking anything up.
  Ref trie(const Expr& e) {
    constexpr std::uint32_t NONE = 0xFFFFFFFF;
    struct Edge {
      std::uint32_t target;
      std::uint32_t next;
      std::uint8_t byte;
    };
    struct Node {
      std::uint32_t first = NONE;  // the active chunk's edges come first
      std::uint32_t edges = 0;
      std::uint32_t active = 0;    // edges in the active chunk
      std::uint32_t frozen = 0;    // chunks closed by a match
      std::uint32_t nonempty = 0;  // of those, the ones with edges
      std::uint64_t heap = 0;      // transitions of their multi-range states
    };
    std::vector<Node> nodes(1);
    std::vector<Edge> edges;
    for (std::uint32_t k = 0; k < e.count && !over_; ++k) {
      std::string lit(s_.bytes(s_.at(s_.sub(e, k))));
      if (reverse_) std::reverse(lit.begin(), lit.end());
      std::uint32_t at = 0;
      for (char ch : lit) {
        const auto byte = static_cast<std::uint8_t>(ch);
        std::uint32_t found = NONE;
        std::uint32_t edge = nodes[at].first;
        for (std::uint32_t n = 0; n < nodes[at].active; ++n, edge = edges[edge].next) {
          if (edges[edge].byte == byte) {
            found = edges[edge].target;
            break;
          }
        }
        if (found == NONE) {
          found = static_cast<std::uint32_t>(nodes.size());
          edges.push_back(Edge{found, nodes[at].first, byte});
          nodes[at].first = static_cast<std::uint32_t>(edges.size() - 1);
          ++nodes[at].edges;
          ++nodes[at].active;
          nodes.emplace_back();
        }
        at = found;
      }
      // A match closes the active chunk (a leaf already marked stays as it is).
      Node& n = nodes[at];
      if (n.edges == 0 && n.frozen > 0) continue;
      ++n.frozen;
      if (n.active > 0) ++n.nonempty;
      if (n.active > 1) n.heap += TRANSITION_BYTES * n.active;
      n.active = 0;
    }
    const std::uint32_t end = add(0);
    // The states come out depth first, the root's union last; their numbers are not
    // looked up, so only how many there are matters.
    std::uint64_t states = 0;
    for (const Node& n : nodes) {
      if (n.edges == 0) continue;
      const std::uint64_t chunks = n.frozen + 1;
      const std::uint64_t nonempty = n.nonempty + (n.active > 0 ? 1 : 0);
      states += nonempty + 1;
      heap_ +=
          n.heap + (n.active > 1 ? TRANSITION_BYTES * n.active : 0) + BRANCH_BYTES * (nonempty + chunks - 1);
    }
    states_ += states;
    over_ = over_ || usage() > limit_;
    return Ref{static_cast<std::uint32_t>(states_ - 1), end, false};
  }

  Ref cls(const Expr& e) {
    const Ranges& r = s_.ranges(e);
    if (r.empty() || r.back().second < 0x80 || e.byte) {
      const std::uint32_t end = add(0);
      const std::uint32_t start = add(TRANSITION_BYTES * r.size());
      return Ref{start, end, false};
    }
    const std::vector<Sequence>& seqs = sequences_of(e.a, r);
    return reverse_ ? reverse_class(seqs) : forward_class(seqs);
  }

  const std::vector<Sequence>& sequences_of(std::uint32_t index, const Ranges& r) {
    auto [it, fresh] = seq_cache_.try_emplace(index);
    if (fresh) it->second = sequences(r);
    return it->second;
  }

  // Forward: the sequences, sorted, go into a minimal automaton built by freezing the
  // states of the previous sequence that the next one does not share.

  struct Pending {
    std::vector<Transition> trans;
    bool has_last = false;
    ByteRange last;
  };

  Ref forward_class(const std::vector<Sequence>& seqs) {
    const std::uint32_t target = add(0);
    if (forward_cache_.empty()) forward_cache_.resize(FORWARD_CACHE_SLOTS);
    ++forward_version_;
    pending_.clear();
    pending_.emplace_back();
    for (const Sequence& seq : seqs) {
      if (over_) return {};
      std::size_t shared = 0;
      while (shared < seq.len && shared < pending_.size() && pending_[shared].has_last &&
             pending_[shared].last == seq.r[shared]) {
        ++shared;
      }
      freeze_from(shared, target);
      pending_.back().has_last = true;
      pending_.back().last = seq.r[shared];
      for (std::size_t k = shared + 1; k < seq.len; ++k) {
        Pending p;
        p.has_last = true;
        p.last = seq.r[k];
        pending_.push_back(std::move(p));
      }
    }
    freeze_from(0, target);
    const std::uint32_t start = compiled(pending_.back().trans);
    pending_.pop_back();
    return Ref{start, target, false};
  }

  void freeze_from(std::size_t from, std::uint32_t target) {
    std::uint32_t next = target;
    while (from + 1 < pending_.size()) {
      Pending p = std::move(pending_.back());
      pending_.pop_back();
      if (p.has_last) p.trans.push_back(Transition{p.last.lo, p.last.hi, next});
      next = compiled(p.trans);
    }
    Pending& top = pending_.back();
    if (top.has_last) {
      top.trans.push_back(Transition{top.last.lo, top.last.hi, next});
      top.has_last = false;
    }
  }

  std::uint32_t compiled(const std::vector<Transition>& trans) {
    std::uint64_t h = FNV_INIT;
    for (const Transition& t : trans) {
      h = (h ^ t.lo) * FNV_PRIME;
      h = (h ^ t.hi) * FNV_PRIME;
      h = (h ^ t.next) * FNV_PRIME;
    }
    ForwardSlot& slot = forward_cache_[h % FORWARD_CACHE_SLOTS];
    if (slot.version == forward_version_ && slot.key == trans) return slot.state;
    const std::uint32_t id = add(TRANSITION_BYTES * trans.size());
    slot.version = forward_version_;
    slot.key = trans;
    slot.state = id;
    return id;
  }

  // Reverse: each sequence is a chain from the class's end backwards; a chain reuses
  // the state for (where it leads, byte range) when the cache still holds it.

  Ref reverse_class(const std::vector<Sequence>& seqs) {
    const std::uint32_t u = add(0);
    const std::uint32_t alt_end = add(0);
    if (reverse_cache_.empty()) reverse_cache_.resize(REVERSE_CACHE_SLOTS);
    ++reverse_version_;
    for (const Sequence& seq : seqs) {
      if (over_) return {};
      std::uint32_t end = alt_end;
      for (std::size_t k = 0; k < seq.len; ++k) {
        const ByteRange r = seq.r[k];
        std::uint64_t h = FNV_INIT;
        h = (h ^ end) * FNV_PRIME;
        h = (h ^ r.lo) * FNV_PRIME;
        h = (h ^ r.hi) * FNV_PRIME;
        ReverseSlot& slot = reverse_cache_[h % REVERSE_CACHE_SLOTS];
        if (slot.version == reverse_version_ && slot.from == end && slot.range == r) {
          end = slot.state;
          continue;
        }
        const std::uint32_t id = add(0);
        slot = ReverseSlot{reverse_version_, end, r, id};
        end = id;
      }
      branch();
    }
    return Ref{u, alt_end, false};
  }

  struct ForwardSlot {
    std::uint64_t version = 0;
    std::vector<Transition> key;
    std::uint32_t state = 0;
  };
  struct ReverseSlot {
    std::uint64_t version = 0;
    std::uint32_t from = 0;
    ByteRange range;
    std::uint32_t state = 0;
  };

  const Simplified& s_;
  bool reverse_;
  std::uint64_t limit_;
  std::uint64_t states_ = 0;
  std::uint64_t heap_ = 0;
  bool over_ = false;
  std::unordered_map<std::uint32_t, std::vector<Sequence>> seq_cache_;
  std::vector<Pending> pending_;
  std::vector<ForwardSlot> forward_cache_;
  std::uint64_t forward_version_ = 0;
  std::vector<ReverseSlot> reverse_cache_;
  std::uint64_t reverse_version_ = 0;
};

}  // namespace

std::uint64_t program_size(const Hir& hir, bool whole_word, std::uint64_t limit) {
  const Simplified s(hir, whole_word);
  // The reverse automaton is the larger one for large classes: counted first, it ends
  // a refused pattern's count soonest.
  const std::uint64_t reverse = Construction(s, true, limit).run();
  if (reverse > limit) return reverse;
  return std::max(reverse, Construction(s, false, limit).run());
}

}  // namespace nivern_vfs::regex
