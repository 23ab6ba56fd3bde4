#include "vfs/search/line_search.h"

#include <re2/re2.h>
#include <sys/stat.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <optional>

#include "text/byte_decoders.h"

namespace nivern_vfs::search {
namespace {

/// The buffer a searcher starts with and returns to after a file with long lines.
constexpr std::size_t INITIAL_CAPACITY = 2 * LineSearcher::BLOCK;
/// Free space below which the buffer is compacted (and grown if that is not enough)
/// before the next read.
constexpr std::size_t MIN_FREE = LineSearcher::BLOCK / 2;
/// A buffer grown past this is given back after the file.
constexpr std::size_t KEEP_LIMIT = 8 * INITIAL_CAPACITY;

std::size_t count_scalar(const char* p, const char* end) {
  std::size_t n = 0;
  for (; p < end; ++p) n += *p == '\n';
  return n;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::size_t count_avx2(const char* p, const char* end) {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i zero = _mm256_setzero_si256();
  __m256i total = zero;
  while (end - p >= 32) {
    // Byte counters overflow after 255 steps: fold them into 64-bit sums before.
    __m256i counts = zero;
    const char* stop = p + 32 * std::min<std::ptrdiff_t>(255, (end - p) / 32);
    for (; p < stop; p += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(v, lf));
    }
    total = _mm256_add_epi64(total, _mm256_sad_epu8(counts, zero));
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  return static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]) + count_scalar(p, end);
}

std::size_t count_sse2(const char* p, const char* end) {
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  __m128i total = zero;
  while (end - p >= 16) {
    __m128i counts = zero;
    const char* stop = p + 16 * std::min<std::ptrdiff_t>(255, (end - p) / 16);
    for (; p < stop; p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(v, lf));
    }
    total = _mm_add_epi64(total, _mm_sad_epu8(counts, zero));
  }
  return static_cast<std::size_t>(_mm_cvtsi128_si64(total)) +
         static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(total, total))) +
         count_scalar(p, end);
}

using CountFn = std::size_t (*)(const char*, const char*);
CountFn pick_count() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &count_avx2 : &count_sse2;
}
#endif

}  // namespace

std::size_t count_line_feeds(const char* begin, const char* end) {
#if defined(__x86_64__)
  static const CountFn count = pick_count();
  return count(begin, end);
#else
  return count_scalar(begin, end);
#endif
}

void FillModel::feed(const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(need_, size));
    if (const void* lf = memrchr(data, '\n', k)) {
      lf_in_fill_ = true;
      last_lf_ = pos_ + static_cast<std::uint64_t>(static_cast<const char*>(lf) - data);
    }
    pos_ += k;
    buffered_ += k;
    need_ -= k;
    data += k;
    size -= k;
    if (need_ > 0) continue;
    // The read is complete; one that brought a line feed completes the fill, and the
    // next fill starts with the partial line after it.
    if (lf_in_fill_) {
      safe_ = last_lf_ + 1;
      buffered_ = pos_ - safe_;
      lf_in_fill_ = false;
    }
    if (buffered_ == capacity_) capacity_ *= 3;
    need_ = capacity_ - buffered_;
  }
}

struct LineSearcher::State {
  int fd;
  const Matcher& matcher;
  std::string_view path;
  std::vector<Match>& out;
  std::size_t kept;          // matches of other files at the front of `out`
  std::size_t max_matches;
  std::size_t len = 0;      // bytes held in the buffer
  std::size_t pos = 0;      // first byte not searched yet; always a line start
  std::size_t counted = 0;  // line feeds before this offset are in lines_before
  std::uint64_t lines_before = 0;
  std::uint64_t dropped = 0;  // bytes compacted away from the front so far
  bool eof = false;
  /// The file's matches are all kept: only the fill they are in still matters.
  bool full = false;
  std::uint64_t full_end = 0;  // stream offset after the last kept line
  std::optional<std::uint64_t> file_size;
  FillModel fills;
};

LineSearcher::LineSearcher() : buf_(new char[INITIAL_CAPACITY]), cap_(INITIAL_CAPACITY) {}

bool LineSearcher::search(int fd, const Matcher& matcher, std::string_view path,
                          std::vector<Match>& out, std::size_t max_matches) {
  if (matcher.never_matches()) return true;
  const std::size_t kept = out.size();
  State s{fd, matcher, path, out, kept, max_matches};
  starts_.clear();
  reader_.reset(fd);
  peak_ = cap_;
  bool ok = true;
  while (!s.eof) {
    if (cap_ - s.len < MIN_FREE) {
      if (s.pos > 0) {
        // Drop the searched lines, keeping the partial last line.
        s.lines_before += count_line_feeds(buf_.get() + s.counted, buf_.get() + s.pos);
        std::memmove(buf_.get(), buf_.get() + s.pos, s.len - s.pos);
        s.len -= s.pos;
        s.dropped += s.pos;
        s.counted = 0;
        s.pos = 0;
      }
      if (cap_ - s.len < MIN_FREE) grow(s);
    }
    auto got = reader_.read(buf_.get() + s.len, cap_ - s.len);
    if (!got) {
      ok = false;
      break;
    }
    const std::size_t old = s.len;
    if (*got == 0) {
      s.eof = true;
    } else if (const void* nul = std::memchr(buf_.get() + old, 0, *got)) {
      // Binary: the file ends here, and so does every line of the fill that brought
      // the NUL byte.
      const auto at = static_cast<std::size_t>(static_cast<const char*>(nul) - buf_.get());
      s.fills.feed(buf_.get() + old, at - old);
      s.len = at;
      const std::uint64_t safe = s.fills.safe();
      const std::size_t to =
          static_cast<std::size_t>(std::max<std::uint64_t>(safe, s.dropped) - s.dropped);
      if (!s.full && to > s.pos && !search_lines(s, s.pos, to)) ok = false;
      // Lines already searched past that point are not reported after all.
      std::size_t keep = starts_.size();
      while (keep > 0 && starts_[keep - 1] >= safe) --keep;
      out.erase(out.begin() + static_cast<std::ptrdiff_t>(kept + keep), out.end());
      break;
    } else {
      s.fills.feed(buf_.get() + old, *got);
      s.len = old + *got;
    }
    std::size_t to = s.len;
    if (!s.eof) {
      const void* lf = memrchr(buf_.get() + old, '\n', s.len - old);
      if (lf == nullptr) continue;  // the line goes on past this block
      to = static_cast<std::size_t>(static_cast<const char*>(lf) - buf_.get()) + 1;
    }
    if (to > s.pos) {
      if (!s.full && !search_lines(s, s.pos, to)) {
        ok = false;
        break;
      }
      s.pos = to;
    }
    // Past the kept matches, read on only until their fill is known to be complete.
    if (s.full && s.fills.safe() >= s.full_end) break;
  }
  if (cap_ > KEEP_LIMIT) {
    buf_.reset(new char[INITIAL_CAPACITY]);
    cap_ = INITIAL_CAPACITY;
  }
  if (!ok) out.erase(out.begin() + static_cast<std::ptrdiff_t>(kept), out.end());
  return ok;
}

void LineSearcher::grow(State& s) {
  std::size_t want = cap_ * 2;
  if (!reader_.transcoding()) {
    // Never more than the rest of the file needs: a huge single line costs its size.
    if (!s.file_size) {
      struct stat st {};
      if (::fstat(s.fd, &st) == 0 && S_ISREG(st.st_mode)) {
        s.file_size = static_cast<std::uint64_t>(st.st_size);
      }
    }
    if (s.file_size) {
      const std::uint64_t seen = s.dropped + s.len;
      const std::uint64_t rest = *s.file_size > seen ? *s.file_size - seen : 0;
      want = static_cast<std::size_t>(std::min<std::uint64_t>(want, s.len + rest + MIN_FREE));
    }
  }
  want = std::max(want, s.len + MIN_FREE);
  std::unique_ptr<char[]> bigger(new char[want]);
  std::memcpy(bigger.get(), buf_.get(), s.len);
  buf_ = std::move(bigger);
  cap_ = want;
  peak_ = std::max(peak_, cap_);
}

bool LineSearcher::search_lines(State& s, std::size_t from, std::size_t to) {
  const char* const buf = buf_.get();
  const char* p = buf + from;
  const char* const e = buf + to;
  const bool ends_with_lf = e[-1] == '\n';
  const Matcher& m = s.matcher;
  const LiteralFinder* needle = m.needle();
  const re2::RE2* block = m.block_regex();
  while (p < e) {
    // The next candidate: an occurrence of the needle, or the block regex's match.
    const char* hit = nullptr;
    const char* hit_end = nullptr;
    if (needle != nullptr) {
      hit = needle->find(p, e);
      if (hit == nullptr) return true;
      hit_end = hit + needle->size();
    } else {
      re2::StringPiece found;
      if (!block->Match(re2::StringPiece(buf, s.len), static_cast<std::size_t>(p - buf),
                        static_cast<std::size_t>(e - buf), RE2::UNANCHORED, &found, 1)) {
        return true;
      }
      hit = found.data();
      hit_end = hit + found.size();
      // An empty match after the last line feed is not on any line.
      if (hit == e && ends_with_lf) return true;
    }
    const auto* lf_before =
        static_cast<const char*>(memrchr(p, '\n', static_cast<std::size_t>(hit - p)));
    const char* line_start = lf_before != nullptr ? lf_before + 1 : p;
    const auto* lf_after =
        static_cast<const char*>(std::memchr(hit, '\n', static_cast<std::size_t>(e - hit)));
    const char* line_end = lf_after != nullptr ? lf_after : e;
    p = lf_after != nullptr ? lf_after + 1 : e;

    const std::string_view line(line_start, static_cast<std::size_t>(line_end - line_start));
    std::size_t text_len = line.size();
    while (text_len > 0 && line[text_len - 1] == '\r') --text_len;
    const std::string_view text = line.substr(0, text_len);
    const Span found{static_cast<std::size_t>(hit - line_start),
                     static_cast<std::size_t>(hit_end - line_start)};

    std::optional<Span> span;
    if (m.needle_is_match() ||
        (needle == nullptr && m.block_span_is_match() && text_len == line.size())) {
      span = found;  // the candidate is the first match in the line
    } else if (text_len == line.size()) {
      span = m.first_match(line);  // confirms the line and finds the span at once
      if (!span) continue;
    } else {
      // Trailing carriage returns: the line decides, the span comes from the text. The
      // candidate came from the needle or from a block regex that only finds candidates
      // (word mode, or assertions RE2 lacks): the line is checked whole.
      if ((needle != nullptr || !m.block_span_is_match()) && !m.line_matches(line)) continue;
      span = m.first_match(text);
    }

    if (!nivern_text::is_valid_utf8(line)) return false;
    s.lines_before += count_line_feeds(buf + s.counted, line_start);
    s.counted = static_cast<std::size_t>(line_start - buf);
    s.out.push_back(Match{std::string(s.path), std::string(text), s.lines_before + 1,
                          span ? span->first : 0, span ? span->second : text.size()});
    starts_.push_back(s.dropped + static_cast<std::uint64_t>(line_start - buf));
    if (s.out.size() - s.kept >= s.max_matches) {
      s.full = true;
      s.full_end = s.dropped + static_cast<std::uint64_t>(p - buf);
      return true;
    }
  }
  return true;
}

}  // namespace nivern_vfs::search
