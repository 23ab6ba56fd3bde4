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

namespace {

#if defined(__SSE2__)
__m128i load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

/// The counting kernel of both passes, for the 16 bytes at `p`: the bytes after them
/// that are LF (`next_lf`: p[1, 17) is looked at) and the CRs directly followed by an LF
/// (`pair`, marked at the CR). Counting `next_lf` counts each LF as the block before it
/// is seen, so a pass counts p[0] itself and starts its byte loop one byte later.
struct Block {
  __m128i bytes;
  __m128i next_lf;
  __m128i pair;
};

inline Block block_at(const char* p) {
  const __m128i bytes = load(p);
  const __m128i next_lf = _mm_cmpeq_epi8(load(p + 1), _mm_set1_epi8('\n'));
  return {bytes, next_lf, _mm_and_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), next_lf)};
}

/// Sums of blocks in byte-wide counters (a match is -1, subtracted), good for up to
/// `kBlocks` blocks, then added into `Counts`.
struct BlockSums {
  static constexpr int kBlocks = 255;
  __m128i lfs = _mm_setzero_si128();
  __m128i pairs = _mm_setzero_si128();

  void add(const Block& b) {
    lfs = _mm_sub_epi8(lfs, b.next_lf);
    pairs = _mm_sub_epi8(pairs, b.pair);
  }
  void add_to(Counts& c) const {
    c.lfs += total(lfs);
    c.pairs += total(pairs);
  }
  static std::size_t total(__m128i bytes) {
    const __m128i sum = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si64(sum)) +
           static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum)));
  }
};
#endif

}  // namespace

Counts count(std::string_view text) {
  Counts c;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::size_t lfs_from = 0;  // LFs before this are counted
#if defined(__SSE2__)
  if (n >= 17) {
    c.lfs += p[0] == '\n';
    const std::size_t stop = n - 16;  // blocks start before this
    while (i < stop) {
      BlockSums sums;
      for (int k = 0; k < BlockSums::kBlocks && i < stop; ++k, i += 16) sums.add(block_at(p + i));
      sums.add_to(c);
    }
    lfs_from = i + 1;
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '\n' && i >= lfs_from) ++c.lfs;
    if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') ++c.pairs;
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
  std::size_t lfs_from = 0;  // LFs before this are counted
#if defined(__SSE2__)
  auto store = [](char* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
  // Blocks of 16 bytes. The moves below read up to 33 bytes past a block's start: stay
  // 48 bytes short of the end.
  if (n >= 48) c.lfs += in[0] == '\n';
  while (i + 48 <= n) {
    BlockSums sums;
    for (int k = 0; k < BlockSums::kBlocks && i + 48 <= n; ++k, i += 16) {
      const Block block = block_at(in + i);
      const __m128i here = block.bytes;
      sums.add(block);
      unsigned drop = static_cast<unsigned>(_mm_movemask_epi8(block.pair));
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
    sums.add_to(c);
    lfs_from = i + 1;
  }
#endif
  for (; i < n; ++i) {
    const char ch = in[i];
    if (ch == '\n' && i >= lfs_from) ++c.lfs;
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
