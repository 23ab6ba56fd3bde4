// The simplification behind the size model: lowering a translated pattern to the
// library's intermediate form, with its merges, flattening and factoring.
#include "vfs/search/regex_simplified.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "text/utf8.h"

namespace nivern_vfs::regex::sizing {

std::uint32_t Simplified::with_subs(Expr e, const std::vector<std::uint32_t>& subs) {
  e.subs = static_cast<std::uint32_t>(pool_.size());
  e.count = static_cast<std::uint32_t>(subs.size());
  pool_.insert(pool_.end(), subs.begin(), subs.end());
  return add(e);
}

std::uint32_t Simplified::lower(const Hir& hir, std::uint32_t i) {
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

std::uint32_t Simplified::literal(std::string_view b) {
  if (b.empty()) return empty();
  Expr e;
  e.kind = Kind::literal;
  e.a = static_cast<std::uint32_t>(bytes_.size());
  e.b = static_cast<std::uint32_t>(b.size());
  e.min_len = e.max_len = b.size();
  bytes_.append(b);
  return add(e);
}

std::uint32_t Simplified::literal_char(char32_t c) {
  std::string b;
  nivern_text::append_utf8(b, c);
  return literal(b);
}

std::uint32_t Simplified::cls(std::uint32_t index, bool byte) {
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

std::uint32_t Simplified::look(Look l) {
  Expr e;
  e.kind = Kind::look;
  e.look = l;
  e.starts_anchored = l == Look::start_text;
  e.ends_anchored = l == Look::end_text;
  return add(e);
}

std::uint32_t Simplified::repeat(std::uint32_t sub, std::uint32_t min, std::uint32_t max, bool greedy) {
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

std::uint32_t Simplified::concat(const std::vector<std::uint32_t>& items) {
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

std::uint32_t Simplified::alternation(const std::vector<std::uint32_t>& items) {
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

std::optional<std::uint32_t> Simplified::lift_common_prefix(const std::vector<std::uint32_t>& alts) {
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

bool Simplified::equal(std::uint32_t x, std::uint32_t y) const {
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

char32_t Simplified::decode(std::string_view b) {
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

Ranges Simplified::canonical(Ranges r) {
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

}  // namespace nivern_vfs::regex::sizing
