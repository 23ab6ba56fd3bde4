#include "vfs/tree/glob.h"

#include <cstddef>
#include <utility>

#include "text/utf8.h"

namespace nivern_vfs::glob {

namespace {

struct Token {
  Glob::Op kind = Glob::Op::byte;  // byte, any_char, char_class, star, rec_*, any_all; split = alternation
  unsigned char b = 0;
  std::uint32_t cls = 0;
  std::vector<std::vector<Token>> alts;
};

/// The character at s[i]. A byte that does not start a well-formed sequence stands for
/// itself, as a value above the Unicode range, with length 1.
std::pair<char32_t, std::size_t> decode(std::string_view s, std::size_t i) {
  auto [cp, len] = nivern_text::decode_utf8_char(s, i);
  if (len == 0) return {0x110000 + static_cast<unsigned char>(s[i]), 1};
  return {cp, len};
}

/// A character as `decode` gives it, back as text.
std::string show(char32_t cp) {
  if (cp > 0x10FFFF) return std::string(1, static_cast<char>(cp - 0x110000));
  std::string out;
  nivern_text::append_utf8(out, cp);
  return out;
}

bool is_byte(const Token& t, bool allow_slash = false) {
  return t.kind == Glob::Op::byte && (allow_slash || t.b != '/');
}

/// True when the tokens can never match a "/".
bool slash_free(const std::vector<Token>& tokens) {
  for (const Token& t : tokens) {
    switch (t.kind) {
      case Glob::Op::byte:
        if (t.b == '/') return false;
        break;
      case Glob::Op::any_char:
      case Glob::Op::char_class:
      case Glob::Op::star:
        break;
      case Glob::Op::split:
        for (const auto& alt : t.alts) {
          if (!slash_free(alt)) return false;
        }
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

struct Compiler {
  Glob& g;

  std::expected<std::vector<Token>, std::string> parse(std::string_view p, bool allow_unclosed) {
    std::vector<Token> top;
    std::vector<std::vector<Token>> branches;
    bool in_alt = false;
    std::size_t i = 0;
    const std::size_t n = p.size();
    auto push = [&](Token t) { (in_alt ? branches.back() : top).push_back(std::move(t)); };
    auto byte = [&](unsigned char c) {
      Token t;
      t.kind = Glob::Op::byte;
      t.b = c;
      push(std::move(t));
    };
    auto op = [&](Glob::Op k) {
      Token t;
      t.kind = k;
      push(std::move(t));
    };
    while (i < n) {
      char c = p[i];
      if (c == '\\') {
        if (i + 1 >= n) return std::unexpected("dangling '\\'");
        byte(static_cast<unsigned char>(p[i + 1]));
        i += 2;
      } else if (c == '?') {
        op(Glob::Op::any_char);
        ++i;
      } else if (c == '*') {
        if (i + 1 >= n || p[i + 1] != '*') {
          op(Glob::Op::star);
          ++i;
          continue;
        }
        // "**": recursive where it stands alone between separators (or the ends of the
        // pattern or of an alternative), otherwise two stars. A "**" segment right after
        // another takes its place: "**/**/x" is "**/x", "a/**/**/b" is "a/**/b" and
        // "a/**/**" is "a/**".
        std::size_t j = i + 2;
        std::vector<Token>& cur = in_alt ? branches.back() : top;
        if (cur.empty()) {
          if (j < n && p[j] != '/') {
            op(Glob::Op::star);
            i = j;
          } else {
            op(Glob::Op::rec_prefix);
            i = j < n ? j + 1 : j;
          }
          continue;
        }
        bool suffix = false;
        if (p[i - 1] != '/') {
          op(Glob::Op::star);
          i = j;
          continue;
        }
        if (j == n || (in_alt && (p[j] == ',' || p[j] == '}'))) {
          suffix = true;
          i = j;
        } else if (p[j] == '/') {
          i = j + 1;
        } else {
          op(Glob::Op::star);
          i = j;
          continue;
        }
        Glob::Op last = cur.back().kind;
        cur.pop_back();  // the "/" before, or the "**" segment before
        if (last == Glob::Op::rec_prefix || last == Glob::Op::rec_suffix) {
          op(last);
        } else {
          op(suffix ? Glob::Op::rec_suffix : Glob::Op::rec_infix);
        }
      } else if (c == '[') {
        std::size_t j = i + 1;
        bool negated = false;
        if (j < n && (p[j] == '!' || p[j] == '^')) {
          negated = true;
          ++j;
        }
        std::size_t k = j;
        if (k < n && p[k] == ']') ++k;
        while (k < n && p[k] != ']') k += (p[k] == '\\' && k + 1 < n) ? 2 : 1;
        if (k >= n) {
          if (!allow_unclosed) return std::unexpected("unclosed character class; missing ']'");
          byte('[');
          ++i;
          continue;
        }
        Glob::Class cls;
        auto set = [&](unsigned char b) { cls.bits[b >> 6] |= std::uint64_t{1} << (b & 63); };
        std::size_t q = j;
        auto item = [&]() -> char32_t {
          if (p[q] == '\\' && q + 1 < k) ++q;
          auto [cp, len] = decode(p, q);
          q += len;
          return cp;
        };
        while (q < k) {
          char32_t lo = item();
          const std::string lo_bytes = show(lo);
          if (q + 1 < k && p[q] == '-') {
            ++q;
            char32_t hi = item();
            if (lo > hi) return std::unexpected("invalid range; '" + show(lo) + "' > '" + show(hi) + "'");
            // The bytes of both ends, the range joining the last byte of the first end
            // to the first byte of the second.
            const std::string hi_bytes = show(hi);
            for (std::size_t b = 0; b + 1 < lo_bytes.size(); ++b) set(static_cast<unsigned char>(lo_bytes[b]));
            const auto from = static_cast<unsigned char>(lo_bytes.back());
            const auto to = static_cast<unsigned char>(hi_bytes.front());
            for (unsigned b = from; b <= to; ++b) set(static_cast<unsigned char>(b));
            for (std::size_t b = 1; b < hi_bytes.size(); ++b) set(static_cast<unsigned char>(hi_bytes[b]));
          } else {
            for (char b : lo_bytes) set(static_cast<unsigned char>(b));
          }
        }
        if (negated) {
          for (std::uint64_t& w : cls.bits) w = ~w;
        }
        cls.bits['/' >> 6] &= ~(std::uint64_t{1} << ('/' & 63));
        Token t;
        t.kind = Glob::Op::char_class;
        t.cls = static_cast<std::uint32_t>(g.classes_.size());
        g.classes_.push_back(cls);
        push(std::move(t));
        i = k + 1;
      } else if (c == '{') {
        if (in_alt) return std::unexpected("nested alternate groups are not allowed");
        in_alt = true;
        branches.assign(1, {});
        ++i;
      } else if (c == ',' && in_alt) {
        branches.emplace_back();
        ++i;
      } else if (c == '}' && in_alt) {
        Token t;
        t.kind = Glob::Op::split;
        t.alts = std::move(branches);
        branches.clear();
        in_alt = false;
        top.push_back(std::move(t));
        ++i;
      } else {
        byte(static_cast<unsigned char>(c));
        ++i;
      }
    }
    if (in_alt) return std::unexpected("unclosed alternate group; missing '}'");
    // "**" alone, or a run of "**" segments alone, matches everything.
    if (top.size() == 1 && top[0].kind == Glob::Op::rec_prefix) top[0].kind = Glob::Op::any_all;
    return top;
  }

  void emit(const std::vector<Token>& tokens) {
    for (const Token& t : tokens) {
      switch (t.kind) {
        case Glob::Op::byte:
          g.prog_.push_back({Glob::Op::byte, t.b, 0, 0});
          break;
        case Glob::Op::char_class:
          g.prog_.push_back({Glob::Op::char_class, 0, t.cls, 0});
          break;
        case Glob::Op::split: {
          g.loops_ = true;
          auto first = static_cast<std::uint32_t>(g.targets_.size());
          auto count = static_cast<std::uint32_t>(t.alts.size());
          g.targets_.resize(g.targets_.size() + count);
          g.prog_.push_back({Glob::Op::split, 0, first, count});
          std::vector<std::size_t> jumps;
          for (std::uint32_t k = 0; k < count; ++k) {
            g.targets_[first + k] = static_cast<std::uint32_t>(g.prog_.size());
            emit(t.alts[k]);
            jumps.push_back(g.prog_.size());
            g.prog_.push_back({Glob::Op::jump, 0, 0, 0});
          }
          for (std::size_t j : jumps) g.prog_[j].arg = static_cast<std::uint32_t>(g.prog_.size());
          break;
        }
        case Glob::Op::any_char:
          g.prog_.push_back({t.kind, 0, 0, 0});
          break;
        default:  // star and the recursive forms
          g.loops_ = true;
          g.prog_.push_back({t.kind, 0, 0, 0});
          break;
      }
    }
  }

  /// Literal runs of the top-level tokens: every match starts with the leading run,
  /// ends with the trailing run and holds the longest run somewhere.
  void filters(const std::vector<Token>& tokens) {
    std::size_t i = 0;
    while (i < tokens.size() && tokens[i].kind == Glob::Op::byte) g.prefix_.push_back(static_cast<char>(tokens[i++].b));
    if (i == tokens.size()) return;
    std::size_t j = tokens.size();
    while (j > i && tokens[j - 1].kind == Glob::Op::byte) --j;
    for (std::size_t k = j; k < tokens.size(); ++k) g.suffix_.push_back(static_cast<char>(tokens[k].b));
    std::string run;
    for (std::size_t k = i; k < j; ++k) {
      if (tokens[k].kind == Glob::Op::byte) {
        run.push_back(static_cast<char>(tokens[k].b));
        if (run.size() > g.inner_.size()) g.inner_ = run;
      } else {
        run.clear();
      }
    }
  }

  void classify(const std::vector<Token>& tokens) {
    auto literal_of = [](auto first, auto last) {
      std::string s;
      for (auto it = first; it != last; ++it) s.push_back(static_cast<char>(it->b));
      return s;
    };
    auto all_bytes = [](auto first, auto last, bool allow_slash) {
      for (auto it = first; it != last; ++it) {
        if (!is_byte(*it, allow_slash)) return false;
      }
      return true;
    };
    if (!tokens.empty() && tokens[0].kind == Glob::Op::rec_prefix) {
      auto b = tokens.begin() + 1, e = tokens.end();
      if (all_bytes(b, e, false)) {
        g.shape_ = Shape::name;
        g.literal_ = literal_of(b, e);
        return;
      }
      if (b->kind == Glob::Op::star && all_bytes(b + 1, e, false)) {
        g.shape_ = Shape::name_suffix;
        g.literal_ = literal_of(b + 1, e);
        return;
      }
      if ((e - 1)->kind == Glob::Op::star && all_bytes(b, e - 1, false)) {
        g.shape_ = Shape::name_prefix;
        g.literal_ = literal_of(b, e - 1);
        return;
      }
      std::vector<Token> rest(b, e);
      if (slash_free(rest)) {
        g.shape_ = Shape::name_glob;
        filters(rest);
        emit(rest);
        g.prog_.push_back({Glob::Op::match, 0, 0, 0});
        return;
      }
    } else if (all_bytes(tokens.begin(), tokens.end(), true)) {
      g.shape_ = Shape::path;
      g.literal_ = literal_of(tokens.begin(), tokens.end());
      return;
    }
    g.shape_ = Shape::path_glob;
    filters(tokens);
    emit(tokens);
    g.prog_.push_back({Glob::Op::match, 0, 0, 0});
  }
};

std::expected<Glob, std::string> Glob::compile(std::string_view pattern, bool allow_unclosed_class) {
  Glob g;
  Compiler c{g};
  auto tokens = c.parse(pattern, allow_unclosed_class);
  if (!tokens) return std::unexpected(std::move(tokens.error()));
  c.classify(*tokens);
  return g;
}

bool Glob::matches(std::string_view text) const {
  if (shape_ == Shape::path) return text == literal_;
  if (shape_ == Shape::path_glob) return run(text);
  std::size_t slash = text.rfind('/');
  std::string_view name = slash == std::string_view::npos ? text : text.substr(slash + 1);
  switch (shape_) {
    case Shape::name:
      return name == literal_;
    case Shape::name_suffix:
      return name.ends_with(literal_);
    case Shape::name_prefix:
      return name.starts_with(literal_);
    default:
      return run(name);
  }
}

bool Glob::run(std::string_view text) const {
  if (!text.starts_with(prefix_) || !text.ends_with(suffix_)) return false;
  if (!inner_.empty() && text.find(inner_) == std::string_view::npos) return false;
  const std::size_t n = text.size();
  if (!loops_) {
    // Straight line: bytes, single characters and classes only.
    std::size_t ti = 0;
    for (const Inst& in : prog_) {
      switch (in.op) {
        case Op::byte:
          if (ti >= n || static_cast<unsigned char>(text[ti]) != in.b) return false;
          ++ti;
          break;
        case Op::any_char:
          if (ti >= n || text[ti] == '/') return false;
          ++ti;
          break;
        case Op::char_class:
          if (ti >= n || !classes_[in.arg].has(static_cast<unsigned char>(text[ti]))) return false;
          ++ti;
          break;
        case Op::match:
          return ti == n;
        default:
          return false;
      }
    }
    return false;
  }

  // Depth-first search over (instruction, position) states; each state is explored at
  // most once, which bounds the work by program size times text size.
  thread_local std::vector<std::uint64_t> seen;
  thread_local std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;
  const std::size_t width = n + 1;
  seen.assign((prog_.size() * width + 63) / 64, 0);
  stack.clear();
  stack.emplace_back(0, 0);
  while (!stack.empty()) {
    auto [pc, ti] = stack.back();
    stack.pop_back();
    for (;;) {
      std::size_t bit = static_cast<std::size_t>(pc) * width + ti;
      std::uint64_t mask = std::uint64_t{1} << (bit % 64);
      if (seen[bit / 64] & mask) break;
      seen[bit / 64] |= mask;
      const Inst& in = prog_[pc];
      bool alive = true;
      switch (in.op) {
        case Op::byte:
          if (ti < n && static_cast<unsigned char>(text[ti]) == in.b) {
            ++pc, ++ti;
          } else {
            alive = false;
          }
          break;
        case Op::any_char:
          if (ti < n && text[ti] != '/') {
            ++pc, ++ti;
          } else {
            alive = false;
          }
          break;
        case Op::char_class:
          if (ti < n && classes_[in.arg].has(static_cast<unsigned char>(text[ti]))) {
            ++pc, ++ti;
          } else {
            alive = false;
          }
          break;
        case Op::star:
          if (ti < n && text[ti] != '/') stack.emplace_back(pc, ti + 1);
          ++pc;
          break;
        case Op::rec_prefix: {
          std::size_t j = text.find('/', ti);
          if (j != std::string_view::npos) stack.emplace_back(pc, static_cast<std::uint32_t>(j + 1));
          ++pc;
          break;
        }
        case Op::rec_infix: {
          if (ti >= n || text[ti] != '/') {
            alive = false;
            break;
          }
          std::size_t j = text.find('/', ti + 1);
          if (j != std::string_view::npos) stack.emplace_back(pc, static_cast<std::uint32_t>(j));
          ++pc, ++ti;
          break;
        }
        case Op::rec_suffix:
          if (ti >= n || text[ti] != '/') {
            alive = false;
            break;
          }
          // At the end of the pattern it takes the rest; inside an alternative, what
          // follows the group may start at any later position.
          if (prog_[pc + 1].op != Op::match) {
            for (std::size_t k = n; k > ti + 1; --k) stack.emplace_back(pc + 1, static_cast<std::uint32_t>(k));
            ++pc, ++ti;
            break;
          }
          ++pc;
          ti = static_cast<std::uint32_t>(n);
          break;
        case Op::any_all:
          ++pc;
          ti = static_cast<std::uint32_t>(n);
          break;
        case Op::split:
          for (std::uint32_t k = in.count; k-- > 1;) stack.emplace_back(targets_[in.arg + k], ti);
          pc = in.count ? targets_[in.arg] : pc + 1;
          break;
        case Op::jump:
          pc = in.arg;
          break;
        case Op::match:
          if (ti == n) return true;
          alive = false;
          break;
      }
      if (!alive) break;
    }
  }
  return false;
}

}  // namespace nivern_vfs::glob
