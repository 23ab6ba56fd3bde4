#include "vfs/search/regex_bytes.h"

#include <cstdio>
#include <map>

#include "text/utf8.h"

namespace nivern_vfs::regex {
namespace {

void append_byte(std::string& out, std::uint8_t b) {
  char buf[8];
  const int len = std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(b));
  out.append(buf, static_cast<std::size_t>(len));
}

}  // namespace

std::vector<ByteSequence> utf8_sequences(const Ranges& ranges) {
  std::vector<ByteSequence> out;
  // A stack of ranges still to split, the lowest on top.
  std::vector<std::pair<char32_t, char32_t>> work(ranges.rbegin(), ranges.rend());
  auto split_at = [&](char32_t lo, char32_t mid, char32_t hi) {
    work.emplace_back(mid + 1, hi);
    work.emplace_back(lo, mid);
  };
  while (!work.empty()) {
    const auto [lo, hi] = work.back();
    work.pop_back();
    if (lo > hi) continue;
    if (lo <= 0xDFFF && hi >= 0xD800) {  // surrogates have no UTF-8 form
      if (hi > 0xDFFF) work.emplace_back(0xE000, hi);
      if (lo < 0xD800) work.emplace_back(lo, 0xD7FF);
      continue;
    }
    if (hi < 0x80) {
      out.push_back({{static_cast<std::uint8_t>(lo), static_cast<std::uint8_t>(hi)}});
      continue;
    }
    // One encoded length at a time; then split until the two ends differ only in
    // positions where every continuation byte is allowed.
    bool split = false;
    for (const char32_t last : {char32_t{0x7F}, char32_t{0x7FF}, char32_t{0xFFFF}}) {
      if (lo <= last && hi > last) {
        split_at(lo, last, hi);
        split = true;
        break;
      }
    }
    for (int k = 1; k < 4 && !split; ++k) {
      const char32_t mask = (char32_t{1} << (6 * k)) - 1;
      if ((lo & ~mask) == (hi & ~mask)) continue;
      if ((lo & mask) != 0) {
        split_at(lo, lo | mask, hi);
        split = true;
      } else if ((hi & mask) != mask) {
        split_at(lo, (hi & ~mask) - 1, hi);
        split = true;
      }
    }
    if (split) continue;
    char a[4], b[4];
    const auto len = static_cast<std::size_t>(nivern_text::write_utf8(lo, a) - a);
    nivern_text::write_utf8(hi, b);
    ByteSequence seq;
    for (std::size_t k = 0; k < len; ++k) {
      seq.emplace_back(static_cast<std::uint8_t>(a[k]), static_cast<std::uint8_t>(b[k]));
    }
    out.push_back(std::move(seq));
  }
  return out;
}

void to_byte_form(Hir& hir) {
  std::vector<HirNode> nodes;
  nodes.reserve(hir.nodes.size());
  std::vector<std::uint32_t> moved(hir.nodes.size(), 0);
  std::map<Ranges, std::uint32_t> class_index;
  for (std::size_t k = 0; k < hir.classes.size(); ++k) {
    class_index.try_emplace(hir.classes[k], static_cast<std::uint32_t>(k));
  }
  std::map<std::uint32_t, std::uint32_t> expansions;  // class → its alternation node

  auto add = [&](HirNode n) {
    nodes.push_back(std::move(n));
    return static_cast<std::uint32_t>(nodes.size() - 1);
  };
  auto byte_node = [&](std::uint8_t lo, std::uint8_t hi) {
    HirNode n;
    n.byte = true;
    if (lo == hi) {
      n.kind = HirKind::literal;
      n.c = lo;
    } else {
      n.kind = HirKind::cls;
      Ranges r{{lo, hi}};
      auto [it, fresh] = class_index.try_emplace(r, static_cast<std::uint32_t>(hir.classes.size()));
      if (fresh) hir.classes.push_back(std::move(r));
      n.cls = it->second;
    }
    return add(std::move(n));
  };
  auto join = [&](HirKind kind, std::vector<std::uint32_t> children) {
    if (children.size() == 1) return children[0];
    HirNode n;
    n.kind = kind;
    n.children = std::move(children);
    return add(std::move(n));
  };
  auto expand = [&](std::uint32_t cls) {
    if (auto it = expansions.find(cls); it != expansions.end()) return it->second;
    std::vector<std::uint32_t> alternatives;
    for (const ByteSequence& seq : utf8_sequences(hir.classes[cls])) {
      std::vector<std::uint32_t> parts;
      for (const auto& [lo, hi] : seq) parts.push_back(byte_node(lo, hi));
      alternatives.push_back(join(HirKind::concat, std::move(parts)));
    }
    const std::uint32_t node = join(HirKind::alternation, std::move(alternatives));
    expansions.emplace(cls, node);
    return node;
  };

  // Children precede parents, so each node's children are already moved.
  for (std::size_t i = 0; i < hir.nodes.size(); ++i) {
    HirNode n = hir.nodes[i];
    for (std::uint32_t& child : n.children) child = moved[child];
    if ((n.kind == HirKind::literal || n.kind == HirKind::cls) && !n.byte) {
      if (n.cls != NO_CLASS && !hir.classes[n.cls].empty() &&
          hir.classes[n.cls].back().second >= 0x80) {
        moved[i] = expand(n.cls);
        continue;
      }
      if (n.kind == HirKind::literal && n.c >= 0x80) {
        char buf[4];
        const char* end = nivern_text::write_utf8(n.c, buf);
        std::vector<std::uint32_t> parts;
        for (const char* p = buf; p < end; ++p) {
          const auto b = static_cast<std::uint8_t>(*p);
          parts.push_back(byte_node(b, b));
        }
        moved[i] = join(HirKind::concat, std::move(parts));
        continue;
      }
      n.byte = true;  // ASCII: the same as a byte
    }
    moved[i] = add(std::move(n));
  }
  hir.nodes = std::move(nodes);
  hir.root = moved[hir.root];
  hir.bytes = true;
}

std::string re2_utf8_class(const Ranges& ranges) {
  std::string out = "(?:";
  bool first = true;
  for (const ByteSequence& seq : utf8_sequences(ranges)) {
    if (!first) out += '|';
    first = false;
    for (const auto& [lo, hi] : seq) {
      if (lo == hi) {
        append_byte(out, lo);
        continue;
      }
      out += '[';
      append_byte(out, lo);
      out += '-';
      append_byte(out, hi);
      out += ']';
    }
  }
  if (first) out += "[^\\x00-\\xFF]";  // no member: never matches
  out += ')';
  return out;
}

}  // namespace nivern_vfs::regex
