// Line-ending passes. On x86-64 they compare 16 bytes per step (SSE2); elsewhere they
// use the portable byte loops below, which the compiler vectorises as it can.
#include "text/line_ending.h"

#include <array>
#include <cstring>

#include "support/huge_pages.h"
#include "support/parallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nivern_text::line_ending {

Counts count(std::string_view text) {
  Counts c;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  // Pairs: an LF at i whose previous byte (i - 1) is CR. Comparing the block at i with
  // the block at i - 1 needs a byte before it, so the vector loop starts at 1.
  if (n > 0) {
    c.lfs += p[0] == '\n';
    i = 1;
  }
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= n) {
    // Byte-wide counters (a match is -1, subtracted) for at most 255 blocks, then
    // summed into 64-bit lanes.
    __m128i lfs = zero;
    __m128i pairs = zero;
    for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
      __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 1));
      __m128i is_lf = _mm_cmpeq_epi8(here, lf);
      lfs = _mm_sub_epi8(lfs, is_lf);
      pairs = _mm_sub_epi8(pairs, _mm_and_si128(is_lf, _mm_cmpeq_epi8(before, cr)));
    }
    __m128i lf_sum = _mm_sad_epu8(lfs, zero);
    __m128i pair_sum = _mm_sad_epu8(pairs, zero);
    c.lfs += static_cast<std::size_t>(_mm_cvtsi128_si64(lf_sum)) +
             static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lf_sum, lf_sum)));
    c.pairs += static_cast<std::size_t>(_mm_cvtsi128_si64(pair_sum)) +
               static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(pair_sum, pair_sum)));
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '\n') {
      ++c.lfs;
      if (i > 0 && p[i - 1] == '\r') ++c.pairs;
    }
  }
  return c;
}

namespace {

// Copies in[0, n) to `out`, leaving out the CR of each CR LF, and counts LFs and pairs.
// `out` may be `in` itself: the output never gets ahead of the input. Returns the length
// written.
std::size_t strip_cr(const char* in, std::size_t n, char* out, Counts& c) {
  const bool in_place = in == out;
  std::size_t i = 0;    // next byte to read
  std::size_t dst = 0;  // next byte to write
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  auto load = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto store = [](char* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
  // Blocks of 16 bytes. A block is compared with the one starting a byte later, and the
  // moves below read up to 33 bytes past its start: stay 48 bytes short of the end.
  while (i + 48 <= n) {
    __m128i lfs = zero;  // byte-wide counters, at most 255 blocks
    __m128i pairs = zero;
    for (int k = 0; k < 255 && i + 48 <= n; ++k, i += 16) {
      const __m128i here = load(in + i);
      const __m128i is_lf = _mm_cmpeq_epi8(here, lf);
      const __m128i is_pair = _mm_and_si128(_mm_cmpeq_epi8(here, cr), _mm_cmpeq_epi8(load(in + i + 1), lf));
      lfs = _mm_sub_epi8(lfs, is_lf);
      pairs = _mm_sub_epi8(pairs, is_pair);
      unsigned drop = static_cast<unsigned>(_mm_movemask_epi8(is_pair));
      if (!in_place || i - dst >= 16) {
        // No store below reaches unread input (a separate buffer, or output a block or
        // more behind): each ends before the CR it stops at. The block goes out whole,
        // then the bytes after its first dropped CR (if any; else past the block, to be
        // overwritten) move one place left, without a branch.
        store(out + dst, here);
        const unsigned at = static_cast<unsigned>(__builtin_ctz(drop | 0x10000u));
        store(out + dst + at, load(in + i + at + 1));
        drop &= drop - 1;
        if (drop == 0) {
          dst += at < 16 ? 15 : 16;
        } else {
          // More CRs in this block: move each later piece.
          std::size_t d = dst + at;
          unsigned from = at + 1;
          while (drop != 0) {
            const unsigned next = static_cast<unsigned>(__builtin_ctz(drop));
            d += next - from;
            from = next + 1;
            store(out + d, load(in + i + from));
            drop &= drop - 1;
          }
          dst = d + 16 - from;
        }
      } else if (drop == 0) {
        store(out + dst, here);
        dst += 16;
      } else {
        // In place, close to the start: byte by byte, each read before the write that
        // may cover it.
        for (unsigned k2 = 0; k2 < 16; ++k2) {
          const char ch = in[i + k2];
          if (!((drop >> k2) & 1)) out[dst++] = ch;
        }
      }
    }
    const __m128i lf_sum = _mm_sad_epu8(lfs, zero);
    const __m128i pair_sum = _mm_sad_epu8(pairs, zero);
    c.lfs += static_cast<std::size_t>(_mm_cvtsi128_si64(lf_sum)) +
             static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lf_sum, lf_sum)));
    c.pairs += static_cast<std::size_t>(_mm_cvtsi128_si64(pair_sum)) +
               static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(pair_sum, pair_sum)));
  }
#endif
  for (; i < n; ++i) {
    const char ch = in[i];
    if (ch == '\n') ++c.lfs;
    if (ch == '\r' && i + 1 < n && in[i + 1] == '\n') {
      ++c.pairs;
    } else {
      out[dst++] = ch;
    }
  }
  return dst;
}

}  // namespace

Counts append_without_cr_before_lf(std::string& out, std::string_view text) {
  Counts c;
  const std::size_t start = out.size();
  // Write straight into the string's storage: resize once to the longest possible
  // result, then trim to what was written. (The callback's size argument is not used:
  // this library version may pass a larger number than it was asked for.)
  out.resize_and_overwrite(start + text.size(), [&](char* buf, std::size_t) {
    nivern_support::advise_huge_pages(buf + start, text.size());
    return start + strip_cr(text.data(), text.size(), buf + start, c);
  });
  return c;
}

Counts remove_cr_before_lf(std::string& text) {
  Counts c;
  const std::size_t n = text.size();
  char* data = text.data();
  // A long text (a whole file's) is stripped in parts at once, each in its own place,
  // then the parts are closed up. No part ends between the CR and the LF of a pair.
  constexpr std::size_t kMax = nivern_support::MAX_PARTS;
  const std::size_t parts = nivern_support::parts_for(n, PART_MIN);
  if (parts < 2) {
    text.resize(strip_cr(data, n, data, c));
    return c;
  }
  std::array<std::size_t, kMax + 1> bound{};
  for (std::size_t i = 1; i < parts; ++i) {
    std::size_t b = n / parts * i;
    if (data[b - 1] == '\r' && data[b] == '\n') ++b;
    bound[i] = b;
  }
  bound[parts] = n;
  std::array<std::size_t, kMax> len{};
  std::array<Counts, kMax> counts{};
  nivern_support::in_parallel(parts, "nivern-lines", [&](std::size_t i) {
    len[i] = strip_cr(data + bound[i], bound[i + 1] - bound[i], data + bound[i], counts[i]);
  });
  std::size_t dst = 0;
  for (std::size_t i = 0; i < parts; ++i) {
    if (dst != bound[i]) std::memmove(data + dst, data + bound[i], len[i]);
    dst += len[i];
    c.lfs += counts[i].lfs;
    c.pairs += counts[i].pairs;
  }
  text.resize(dst);
  return c;
}

std::string with_crlf(std::string_view text) {
  std::size_t lfs = count(text).lfs;
  std::string out;
  const std::size_t size = text.size() + lfs;
  // The size argument of the callback is not used: this library version may pass a
  // larger number than it was asked for.
  out.resize_and_overwrite(size, [&](char* buf, std::size_t) {
    char* dst = buf;
    const char* src = text.data();
    const char* end = src + text.size();
    while (src < end) {
      const void* hit = std::memchr(src, '\n', static_cast<std::size_t>(end - src));
      const char* lf_at = hit ? static_cast<const char*>(hit) : end;
      std::memcpy(dst, src, static_cast<std::size_t>(lf_at - src));
      dst += lf_at - src;
      if (lf_at == end) break;
      *dst++ = '\r';
      *dst++ = '\n';
      src = lf_at + 1;
    }
    return size;
  });
  return out;
}

}  // namespace nivern_text::line_ending
