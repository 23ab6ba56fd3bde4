// Response::encode: compact JSON in the fixed key order, written straight into one buffer.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "protocol/message.h"
#include "protocol/tags.h"
#include "support/huge_pages.h"
#include "support/parallel.h"

namespace nivern_protocol::message {

std::string_view to_string(LineEnding e) { return e == LineEnding::crlf ? "crlf" : "lf"; }

std::string_view to_string(GitState s) {
  switch (s) {
    case GitState::modified: return "modified";
    case GitState::added: return "added";
    case GitState::deleted: return "deleted";
    case GitState::untracked: return "untracked";
    case GitState::conflicted: return "conflicted";
  }
  return "modified";
}

namespace {

class Writer {
 public:
  explicit Writer(std::string& out, std::size_t limit = SIZE_MAX) : out_(out), limit_(limit) {}

  /// A string written in pieces would have taken the output past the limit; it was not
  /// written, and the output is unusable.
  bool over() const { return over_; }

  void raw(std::string_view s) { out_.append(s); }
  void key(std::string_view k) {
    out_ += ',';
    out_ += '"';
    out_.append(k);
    out_ += "\":";
  }
  void number(std::uint64_t n) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out_.append(buf, r.ptr);
  }
  void boolean(bool b) { out_.append(b ? "true" : "false"); }

  /// A payload field: base64 text (`encode_bytes`), which needs no escaping, copied as
  /// it is.
  void payload(std::string_view s) {
    out_ += '"';
    out_.append(s);
    out_ += '"';
  }

  void string(std::string_view s) {
    out_ += '"';
    if (s.size() >= kPiecesFrom) {
      string_in_pieces(s);
      out_ += '"';
      return;
    }
    // Chunks of input, each written into room for its worst case (every byte escaped).
    constexpr std::size_t kChunk = 16384;
    for (std::size_t at = 0; at < s.size(); at += kChunk) {
      std::string_view part = s.substr(at, kChunk);
      std::size_t old = out_.size();
      out_.resize_and_overwrite(old + part.size() * 6, [&](char* buf, std::size_t) {
        return static_cast<std::size_t>(escape_into(part, buf + old) - buf);
      });
    }
    out_ += '"';
  }

  void optional_string(const std::optional<std::string>& s) {
    if (s) string(*s);
    else raw("null");
  }
  void state(GitState s) {
    out_ += '"';
    out_.append(to_string(s));
    out_ += '"';
  }
  void optional_state(const std::optional<GitState>& s) {
    if (s) state(*s);
    else raw("null");
  }

  // The size of `s` written by `string`, counted in slices until it passes `stop`.
  static std::size_t string_size(std::string_view s, std::size_t stop) {
    constexpr std::size_t kSlice = 1u << 16;
    std::size_t total = 2;
    for (std::size_t at = 0; at < s.size() && total <= stop; at += kSlice) total += escaped_size(s.substr(at, kSlice));
    return total;
  }

  template <class List, class F>
  void list(const List& items, F&& each) {
    out_ += '[';
    bool first = true;
    for (const auto& item : items) {
      if (!first) out_ += ',';
      first = false;
      each(item);
    }
    out_ += ']';
  }

 private:
  // Strings this long (a whole file's text) are escaped by several threads at once.
  static constexpr std::size_t kPiecesFrom = 8u << 20;
  static constexpr std::size_t kPieceMin = 2u << 20;

  // Each piece's escaped size is counted first, so that every piece is then written
  // straight to its own place in the output, in parallel. A piece may end inside a UTF-8
  // sequence: only ASCII bytes are ever escaped.
  void string_in_pieces(std::string_view s) {
    constexpr std::size_t kMax = nivern_support::MAX_PARTS;
    const std::size_t n = nivern_support::parts_for(s.size(), kPieceMin);
    std::array<std::string_view, kMax> piece;
    for (std::size_t i = 0, begin = 0; i < n; ++i) {
      const std::size_t end = i + 1 == n ? s.size() : s.size() / n * (i + 1);
      piece[i] = s.substr(begin, end - begin);
      begin = end;
    }
    std::array<std::size_t, kMax> size{};
    nivern_support::in_parallel(n, "nivern-encode", [&](std::size_t i) { size[i] = escaped_size(piece[i]); });
    std::array<std::size_t, kMax> at{};
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
      at[i] = total;
      total += size[i];
    }
    const std::size_t old = out_.size();
    if (old + total > limit_) {
      over_ = true;
      return;
    }
    out_.resize_and_overwrite(old + total, [&](char* buf, std::size_t) {
      nivern_support::in_parallel(n, "nivern-encode",
                                  [&](std::size_t i) { escape_into(piece[i], buf + old + at[i]); });
      return old + total;
    });
  }

#if defined(__SSE2__)
  // One bit for each of the 16 bytes of `v` that needs an escape: '"', '\\', controls.
  static unsigned escape_mask(__m128i v) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                               _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
  }
#endif

  // The length of `in` once escaped.
  static std::size_t escaped_size(std::string_view in) {
    std::size_t extra = 0;
    const char* p = in.data();
    const char* end = p + in.size();
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      for (unsigned mask = escape_mask(v); mask != 0; mask &= mask - 1) {
        extra += extra_for(static_cast<unsigned char>(p[__builtin_ctz(mask)]));
      }
    }
#endif
    for (; p < end; ++p) extra += extra_for(static_cast<unsigned char>(*p));
    return in.size() + extra;
  }

  // Bytes an escape adds: 1 for a two-character escape, 5 for "\u00XX", 0 for none.
  static std::size_t extra_for(unsigned char c) {
    if (c >= 0x20) return c == '"' || c == '\\' ? 1 : 0;
    return c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t' ? 1 : 5;
  }

  // Writes `in` escaped at `o`; returns the end. Plain bytes are copied sixteen at a time
  // (speculatively, then overwritten from the first byte that needs an escape).
  static char* escape_into(std::string_view in, char* o) {
    const char* p = in.data();
    const char* end = p + in.size();
#if defined(__SSE2__)
    while (end - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
      unsigned mask = escape_mask(v);
      if (mask == 0) {
        p += 16;
        o += 16;
        continue;
      }
      unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      p += k;
      o = escape(static_cast<unsigned char>(*p++), o + k);
    }
#endif
    while (p < end) {
      unsigned char c = static_cast<unsigned char>(*p++);
      if (c >= 0x20 && c != '"' && c != '\\') *o++ = static_cast<char>(c);
      else o = escape(c, o);
    }
    return o;
  }

  static char* escape(unsigned char c, char* o) {
    *o++ = '\\';
    switch (c) {
      case '"': *o++ = '"'; return o;
      case '\\': *o++ = '\\'; return o;
      case '\b': *o++ = 'b'; return o;
      case '\f': *o++ = 'f'; return o;
      case '\n': *o++ = 'n'; return o;
      case '\r': *o++ = 'r'; return o;
      case '\t': *o++ = 't'; return o;
      default: {
        static const char hex[] = "0123456789abcdef";
        o[0] = 'u';
        o[1] = '0';
        o[2] = '0';
        o[3] = hex[c >> 4];
        o[4] = hex[c & 15];
        return o + 5;
      }
    }
  }

  std::string& out_;
  std::size_t limit_;
  bool over_ = false;
};

// Size to reserve for the encoded reply, so that a reply of tens of megabytes is written
// into one allocation. Ordinary text grows by well under an eighth when escaped (a line
// feed every few dozen bytes); text that grows more is copied once into a larger buffer.
std::size_t estimate(const Reply& reply) {
  // Room for the last chunk's worst case, see Writer::string.
  constexpr std::size_t kSlack = 16384 * 6 + 256;
  if (auto* t = std::get_if<Reply::Text>(&reply.v)) return t->text.size() + t->text.size() / 8 + t->encoding.size() + kSlack;
  if (auto* s = std::get_if<Reply::Scanned>(&reply.v)) {
    return s->paths.bytes() + 3 * s->paths.size() + kSlack;
  }
  // Payloads are base64 text, written without escapes (see Writer::payload).
  if (auto* o = std::get_if<Reply::PtyOutput>(&reply.v)) return o->bytes.size() + 128;
  if (auto* o = std::get_if<Reply::LspOutput>(&reply.v)) return o->bytes.size() + 128;
  return 128;
}

// The reply's tag, then its fields in their fixed order.
void encode_reply(Writer& w, const Reply& reply) {
  std::visit(
      [&](const auto& r) {
        using R = std::remove_cvref_t<decltype(r)>;
        w.raw("{\"reply\":\"");
        w.raw(REPLY_TAGS[reply.v.index()]);
        w.raw("\"");
        if constexpr (std::is_same_v<R, Reply::Hello>) {
          w.key("version"), w.number(r.version);
          w.key("os"), w.string(r.os);
          w.key("arch"), w.string(r.arch);
        } else if constexpr (std::is_same_v<R, Reply::Entries>) {
          w.key("entries");
          w.list(r.entries, [&](const ListEntry& e) {
            w.raw("{\"name\":"), w.string(e.name);
            w.key("is_dir"), w.boolean(e.is_dir);
            w.key("len"), w.number(e.len);
            w.raw("}");
          });
        } else if constexpr (std::is_same_v<R, Reply::Text>) {
          w.key("text"), w.string(r.text);
          w.key("encoding"), w.string(r.encoding);
          w.key("line_ending"), w.string(to_string(r.line_ending));
          w.key("bom"), w.boolean(r.bom);
          w.key("lossy"), w.boolean(r.lossy);
        } else if constexpr (std::is_same_v<R, Reply::Found>) {
          w.key("matches");
          w.list(r.matches, [&](const TextMatch& m) {
            w.raw("{\"path\":"), w.string(m.path);
            w.key("line"), w.number(m.line);
            w.key("text"), w.string(m.text);
            w.key("start"), w.number(m.start);
            w.key("end"), w.number(m.end);
            w.raw("}");
          });
          w.key("truncated"), w.boolean(r.truncated);
          w.key("files"), w.number(r.files);
        } else if constexpr (std::is_same_v<R, Reply::Scanned>) {
          w.key("paths");
          w.list(r.paths, [&](std::string_view p) { w.string(p); });
          w.key("truncated"), w.boolean(r.truncated);
        } else if constexpr (std::is_same_v<R, Reply::Changed>) {
          w.key("paths");
          w.list(r.paths, [&](const std::string& p) { w.string(p); });
        } else if constexpr (std::is_same_v<R, Reply::GitStatus>) {
          w.key("repository"), w.boolean(r.repository);
          w.key("branch"), w.optional_string(r.branch);
          w.key("upstream"), w.optional_string(r.upstream);
          w.key("ahead"), w.number(r.ahead);
          w.key("behind"), w.number(r.behind);
          w.key("entries");
          w.list(r.entries, [&](const StatusEntry& e) {
            w.raw("{\"path\":"), w.string(e.path);
            w.key("state"), w.state(e.state);
            w.key("staged"), w.optional_state(e.staged);
            w.key("unstaged"), w.optional_state(e.unstaged);
            w.raw("}");
          });
        } else if constexpr (std::is_same_v<R, Reply::GitDone>) {
          w.key("said"), w.string(r.said);
          w.key("branches");
          w.list(r.branches, [&](const std::string& b) { w.string(b); });
          w.key("pulls");
          w.list(r.pulls, [&](const PullSummary& p) {
            w.raw("{\"number\":"), w.number(p.number);
            w.key("title"), w.string(p.title);
            w.key("branch"), w.string(p.branch);
            w.raw("}");
          });
          w.key("open"), w.optional_string(r.open);
          w.key("commits");
          w.list(r.commits, [&](const Commit& c) {
            w.raw("{\"hash\":"), w.string(c.hash);
            w.key("short"), w.string(c.short_);
            w.key("subject"), w.string(c.subject);
            w.key("author"), w.string(c.author);
            w.key("when"), w.string(c.when);
            w.raw("}");
          });
          w.key("changed");
          w.list(r.changed, [&](const ChangedFile& c) {
            w.raw("{\"state\":"), w.state(c.state);
            w.key("path"), w.string(c.path);
            w.raw("}");
          });
        } else if constexpr (std::is_same_v<R, Reply::PtyOpened>) {
          w.key("shell"), w.string(r.shell);
        } else if constexpr (std::is_same_v<R, Reply::PtyOutput>) {
          w.key("bytes"), w.payload(r.bytes);
        } else if constexpr (std::is_same_v<R, Reply::LspOpened>) {
          w.key("program"), w.string(r.program);
        } else if constexpr (std::is_same_v<R, Reply::LspOutput>) {
          w.key("bytes"), w.payload(r.bytes);
        } else if constexpr (std::is_same_v<R, Reply::Error>) {
          w.key("message"), w.string(r.message);
        } else if constexpr (!std::is_empty_v<R>) {
          static_assert(sizeof(R) == 0, "every reply with fields is encoded");
        }
        w.raw("}");
      },
      reply.v);
}

}  // namespace

std::size_t json_string_size(std::string_view s, std::size_t stop) { return Writer::string_size(s, stop); }

std::size_t encoded_size(const TextMatch& m, std::size_t stop) {
  auto digits = [](std::uint64_t n) {
    std::size_t d = 1;
    for (; n >= 10; n /= 10) ++d;
    return d;
  };
  constexpr std::size_t kFixed = sizeof "{\"path\":,\"line\":,\"text\":,\"start\":,\"end\":}" - 1;
  const std::size_t numbers = digits(m.line) + digits(m.start) + digits(m.end);
  const std::size_t path = Writer::string_size(m.path, stop);
  if (path > stop) return path;
  return kFixed + numbers + path + Writer::string_size(m.text, stop - path);
}

namespace {

// Writes `r` into `out`; false when it would take more than `limit` bytes.
bool encode_into(const Response& r, std::string& out, std::size_t limit) {
  std::size_t size = std::min(estimate(r.reply), limit);
  out.reserve(size);
  nivern_support::advise_huge_pages(out.data(), size);
  Writer w(out, limit);
  w.raw("{\"id\":");
  w.number(r.id);
  w.raw(",\"reply\":");
  encode_reply(w, r.reply);
  w.raw("}");
  return !w.over() && out.size() <= limit;
}

}  // namespace

std::string Response::encode() const {
  std::string out;
  encode_into(*this, out, SIZE_MAX);
  return out;
}

std::optional<std::string> Response::encode_within(std::size_t limit) const {
  std::string out;
  if (!encode_into(*this, out, limit)) return std::nullopt;
  return out;
}

}  // namespace nivern_protocol::message
