#pragma once
/// Fast substring search for the literal part of a search query.
///
/// Threading: immutable after construction; `find` may be called from any number of
/// threads at once.
///
/// A `LiteralFinder` looks for one byte string either exactly or with ASCII letters
/// compared without case. It picks the two bytes of the needle that are rarest in
/// source text and tests 16 or 32 haystack positions per step with SIMD compares of
/// those two bytes, verifying the whole needle only where both agree; the AVX2 form is
/// chosen at construction when the processor has it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nivern_vfs::search {

class LiteralFinder {
 public:
  /// Which vector instructions to use: the best the processor has, or (for tests of
  /// the other paths) SSE2 or none.
  enum class Simd { best, sse2, none };

  /// `needle` must not be empty. With `fold_ascii`, 'A'..'Z' and 'a'..'z' match either
  /// case and every other byte matches only itself.
  LiteralFinder(std::string_view needle, bool fold_ascii, Simd simd = Simd::best);

  /// The first occurrence of the needle that lies wholly inside [begin, end), or
  /// nullptr.
  [[nodiscard]] const char* find(const char* begin, const char* end) const {
    return find_(*this, begin, end);
  }
  [[nodiscard]] std::size_t size() const { return needle_.size(); }
  [[nodiscard]] bool folds() const { return fold_; }

 private:
  using FindFn = const char* (*)(const LiteralFinder&, const char*, const char*);
  static const char* find_scalar(const LiteralFinder& f, const char* begin, const char* end);
#if defined(__x86_64__)
  static const char* find_sse2(const LiteralFinder& f, const char* begin, const char* end);
  static const char* find_avx2(const LiteralFinder& f, const char* begin, const char* end);
#endif
  /// Whether the needle sits at `at` (which has room for it).
  [[nodiscard]] bool matches_at(const char* at) const;

  std::string needle_;  // lower-cased when folding
  bool fold_;
  // The two probe positions inside the needle (equal for a one-byte needle), the byte
  // each must hold (lower-case when folding a letter) and the mask OR-ed into the
  // haystack byte before comparing (0x20 for a folded letter, else 0).
  std::size_t i1_ = 0, i2_ = 0;
  std::uint8_t b1_ = 0, b2_ = 0, m1_ = 0, m2_ = 0;
  FindFn find_ = &find_scalar;
};

}  // namespace nivern_vfs::search
