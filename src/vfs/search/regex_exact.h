#pragma once
/// An exact matcher for the patterns RE2 cannot express: those with Unicode word
/// boundaries, the start, end and half word assertions, the line anchors of CRLF mode
/// (which see a carriage return) and large counts. It runs a compiled program as a Pike
/// VM over the bytes of one line, in linear time, and gives the leftmost-first match,
/// the same one a backtracking engine would prefer.
///
/// Any bytes will do: a character (literal or class) matches only the well-formed UTF-8
/// form of a member, a byte piece matches one byte, a match may start at any byte, and
/// empty matches may fall inside a character. The word assertions look at the character
/// whose encoding ends at a position (found by stepping back over at most three
/// continuation bytes to a lead byte and decoding from there) and at the one that starts
/// there; a side that does not decode counts as no word character. `\B` and the half
/// assertions hold only where each side that exists decodes.
///
/// A repetition of one character with a large count is one instruction with a counter,
/// not unrolled: a thread enters it only where the run of matching characters ahead is
/// long enough, threads inside it that can never do better than another are dropped,
/// and threads side by side in it step as one group, of which only the first that can
/// leave is followed. The count then costs time in proportion to the line, unless other
/// threads come between those waiting in it.
///
/// Threading: an `ExactProgram` is immutable and may be shared by any number of
/// threads; each thread searches with its own `ExactScratch`.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {

/// Per-thread working memory of a search.
struct ExactScratch {
  static constexpr std::uint32_t NO_PARK = 0xFFFFFFFF;
  struct Thread {
    std::uint32_t pc;
    /// At a counted repetition: the characters taken so far.
    std::uint32_t count;
    std::size_t start;
    /// Inside a multi-byte character: the bytes left before the thread goes on at `pc`.
    std::uint32_t wait;
    /// A group of threads waiting in a counted repetition (an index into `parks`), or
    /// NO_PARK for one thread.
    std::uint32_t park = NO_PARK;
  };
  /// Threads waiting side by side in one bounded counted repetition, in order of
  /// preference, with strictly falling or strictly rising counts; they take each
  /// character together.
  struct Park {
    /// Each thread's start, and its count less `steps`.
    std::deque<std::pair<std::size_t, std::int64_t>> members;
    std::int64_t steps = 0;
    bool rising = false;
  };
  struct List {
    std::vector<Thread> dense;
    std::vector<std::uint32_t> sparse;
    /// Per counted repetition, what the threads waiting in it hold (valid when `stamp`
    /// is the list's): the largest count, whether one has count 0, and the smallest
    /// count that lets a thread leave.
    struct Mark {
      std::uint64_t stamp = 0;
      std::uint32_t most = 0;
      std::uint32_t least_done = 0xFFFFFFFF;
      bool zero = false;
    };
    std::vector<Mark> counts;
    std::uint64_t stamp = 0;
    [[nodiscard]] bool contains(std::uint32_t pc) const {
      const std::uint32_t k = sparse[pc];
      return k < dense.size() && dense[k].pc == pc && dense[k].wait == 0;
    }
  };
  struct Frame {
    std::uint32_t pc;
    std::uint32_t count;
    /// Add the thread waiting in the counted repetition at `pc` (lazy order).
    bool waiting;
  };
  /// Per counted repetition, the run of its characters found last: the run's bytes
  /// [run_from, run_to), and the last position from which at least the minimum count
  /// of them follows (`run_to` + 1 when there is none).
  struct Run {
    std::size_t run_from = 1;
    std::size_t run_to = 0;
    std::size_t enter_until = 0;
  };
  List current, next;
  std::vector<Frame> stack;
  std::vector<Run> runs;
  std::vector<Park> parks;
  std::vector<std::uint32_t> free_parks;
  std::uint64_t stamps = 0;
};

class ExactProgram {
 public:
  /// Compiles `hir` (not in byte form); with `whole_word`, a match must not touch a
  /// word character on either side.
  ExactProgram(const Hir& hir, bool whole_word);

  /// The byte span of the leftmost-first match in `text` that starts at `from` or
  /// later, or nullopt. The assertions see the whole text.
  [[nodiscard]] std::optional<std::pair<std::size_t, std::size_t>> find(
      std::string_view text, ExactScratch& scratch, std::size_t from = 0) const;

 private:
  enum class Op : std::uint8_t { literal, cls, count, split, jump, look, match };
  struct Inst {
    Op op = Op::match;
    Look look = Look::start_text;
    /// literal, cls, count: takes one byte rather than one character.
    bool byte = false;
    bool greedy = true;
    /// count: a match follows it (after jumps only).
    bool ends = false;
    /// count: its waiting threads gather in parks (bounded, and followed by more).
    bool parks = false;
    char32_t c = 0;          // literal, count without a class: the character
    std::uint32_t x = 0;     // cls, count: class index (NO_CLASS: `c`); split/jump: target
    std::uint32_t y = 0;     // split: second target; count: its index among the counts
    std::uint32_t min = 0;   // count
    std::uint32_t max = 0;   // count (UNBOUNDED for no upper bound)
  };

  std::uint32_t emit(Inst inst);
  void compile(const Hir& hir, std::uint32_t node);
  bool compile_count(const Hir& hir, const HirNode& n);
  static bool can_be_empty(const Hir& hir, std::uint32_t node);
  static std::size_t min_length(const Hir& hir, std::uint32_t node);
  [[nodiscard]] bool class_has(std::uint32_t cls, char32_t c) const;
  /// The bytes one step of `inst` takes at `at` (0: it does not match there).
  [[nodiscard]] std::size_t step(const Inst& inst, std::string_view text, std::size_t at) const;
  [[nodiscard]] bool can_enter(const Inst& inst, std::string_view text, std::size_t at,
                               ExactScratch& scratch) const;
  [[nodiscard]] bool look_holds(Look look, std::string_view text, std::size_t at) const;
  void add_thread(ExactScratch& scratch, ExactScratch::List& list, ExactScratch::Frame frame,
                  std::size_t start, std::string_view text, std::size_t at) const;
  [[nodiscard]] std::size_t before_empty_tail(const ExactScratch::List& list) const;
  void park_in(ExactScratch& scratch, ExactScratch::List& list, ExactScratch::Thread parked) const;
  /// The threads of a park that took a character, at `at`.
  void arrive(ExactScratch& scratch, ExactScratch::List& list, const ExactScratch::Thread& t,
              std::string_view text, std::size_t at) const;

  std::vector<Inst> prog_;
  std::vector<Ranges> classes_;
  std::uint32_t counts_ = 0;
  /// No match is shorter than this many bytes.
  std::size_t min_length_ = 0;
  /// Per class, its ASCII members as a bitmap.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ascii_;
};

}  // namespace nivern_vfs::regex
