#pragma once
/// An exact matcher for the patterns RE2 cannot express: those with Unicode word
/// boundaries, the start, end and half word assertions, and the line anchors of CRLF
/// mode (which see a carriage return). It runs a compiled program as a Pike VM over the
/// code points of one line (over its bytes for a pattern in byte form), in linear time,
/// and gives the leftmost-first match, the same one a backtracking engine would prefer.
///
/// Threading: an `ExactProgram` is immutable and may be shared by any number of
/// threads; each thread searches with its own `ExactScratch`.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {

/// Per-thread working memory of a search.
struct ExactScratch {
  struct Thread {
    std::uint32_t pc;
    std::size_t start;
  };
  struct List {
    std::vector<Thread> dense;
    std::vector<std::uint32_t> sparse;
    [[nodiscard]] bool contains(std::uint32_t pc) const {
      const std::uint32_t k = sparse[pc];
      return k < dense.size() && dense[k].pc == pc;
    }
  };
  List current, next;
  std::vector<std::uint32_t> stack;
};

class ExactProgram {
 public:
  /// Compiles `hir`; with `whole_word`, a match must not touch a word character on
  /// either side.
  ExactProgram(const Hir& hir, bool whole_word);

  /// The byte span of the leftmost-first match in `text` (valid UTF-8, unless the
  /// program runs over bytes), or nullopt.
  [[nodiscard]] std::optional<std::pair<std::size_t, std::size_t>> find(std::string_view text,
                                                                        ExactScratch& scratch) const;

  /// The program steps over bytes (a pattern in byte form), so any text will do.
  [[nodiscard]] bool over_bytes() const { return bytes_; }

 private:
  /// `word_edge`: a whole word's edge in a program over bytes; `x` 0 at its start, 1 at
  /// its end.
  enum class Op : std::uint8_t { literal, cls, split, jump, look, word_edge, match };
  struct Inst {
    Op op = Op::match;
    Look look = Look::start_text;
    char32_t c = 0;
    std::uint32_t x = 0;  // cls: class index; split/jump: first target
    std::uint32_t y = 0;  // split: second target
  };

  std::uint32_t emit(Inst inst);
  void compile(const Hir& hir, std::uint32_t node);
  static bool can_be_empty(const Hir& hir, std::uint32_t node);
  [[nodiscard]] bool class_has(std::uint32_t cls, char32_t c) const;
  [[nodiscard]] bool look_holds(Look look, std::string_view text, std::size_t at) const;
  [[nodiscard]] static bool word_edge_holds(bool start, std::string_view text, std::size_t at);
  void add_thread(ExactScratch::List& list, std::vector<std::uint32_t>& stack, std::uint32_t pc,
                  std::size_t start, std::string_view text, std::size_t at) const;

  std::vector<Inst> prog_;
  std::vector<Ranges> classes_;
  bool bytes_ = false;
  /// Per class, its ASCII members as a bitmap.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ascii_;
};

}  // namespace nivern_vfs::regex
