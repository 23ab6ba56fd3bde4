// The size model's construction: the forward and reverse automata built from the
// simplified expression (regex_simplified.h), counted state by state and transition by
// transition against the limit, with the class caches replayed.
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
#include "vfs/search/regex_simplified.h"

namespace nivern_vfs::regex {
namespace {

constexpr std::uint64_t TRANSITION_BYTES = 8;
constexpr std::uint64_t BRANCH_BYTES = 4;
constexpr std::size_t FORWARD_CACHE_SLOTS = 10000;
constexpr std::size_t REVERSE_CACHE_SLOTS = 1000;
constexpr std::uint64_t FNV_INIT = 14695981039346656037ULL;
constexpr std::uint64_t FNV_PRIME = 1099511628211ULL;

using sizing::Expr;
using sizing::Kind;
using sizing::NO_LEN;
using sizing::Simplified;
using sizing::utf8_len;

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
