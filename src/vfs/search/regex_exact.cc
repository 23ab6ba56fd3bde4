#include "vfs/search/regex_exact.h"

#include <algorithm>
#include <cassert>
#include <limits>

#include "text/utf8.h"

namespace nivern_vfs::regex {
namespace {

/// A repetition of one character above this count runs as a counter.
constexpr std::uint32_t UNROLL_UP_TO = 16;

/// A bound on lengths, far above any line.
constexpr std::size_t LENGTH_CAP = std::numeric_limits<std::size_t>::max() / 4;

bool ascii_word(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

std::size_t utf8_size(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

/// What lies on one side of a position, for the word assertions.
enum class Side : std::uint8_t { none, invalid, word, other };

Side classify(std::string_view text, std::size_t from, std::size_t to) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  if (nivern_text::utf8_length(p + from, p + to) == 0) return Side::invalid;
  return is_word_char(nivern_text::utf8_at(text, from)) ? Side::word : Side::other;
}

/// The character that starts at `at`.
Side unicode_after(std::string_view text, std::size_t at) {
  if (at >= text.size()) return Side::none;
  const auto b = static_cast<unsigned char>(text[at]);
  if (b < 0x80) return ascii_word(b) ? Side::word : Side::other;
  return classify(text, at, text.size());
}

/// The character before `at`: decoded from the last byte before `at` that is not a
/// continuation byte, going back at most three of them, with only the bytes before `at`
/// in view. The character found may end before `at`.
Side unicode_before(std::string_view text, std::size_t at) {
  if (at == 0) return Side::none;
  const auto b = static_cast<unsigned char>(text[at - 1]);
  if (b < 0x80) return ascii_word(b) ? Side::word : Side::other;
  const std::size_t limit = at >= 4 ? at - 4 : 0;
  std::size_t start = at - 1;
  while (start > limit && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return classify(text, start, at);
}

}  // namespace

ExactProgram::ExactProgram(const Hir& hir, bool whole_word)
    : classes_(hir.classes), min_length_(min_length(hir, hir.root)) {
  for (const Ranges& r : classes_) {
    std::pair<std::uint64_t, std::uint64_t> bits{0, 0};
    for (auto [lo, hi] : r) {
      for (char32_t c = lo; c <= std::min<char32_t>(hi, 0x7F); ++c) {
        (c < 64 ? bits.first : bits.second) |= std::uint64_t{1} << (c % 64);
      }
    }
    ascii_.push_back(bits);
  }
  if (whole_word) emit(Inst{.op = Op::look, .look = Look::start_half_unicode});
  compile(hir, hir.root);
  if (whole_word) emit(Inst{.op = Op::look, .look = Look::end_half_unicode});
  emit(Inst{.op = Op::match});
  for (std::size_t pc = 0; pc + 1 < prog_.size(); ++pc) {
    if (prog_[pc].op != Op::count) continue;
    std::size_t next = pc + 1;
    while (prog_[next].op == Op::jump) next = prog_[next].x;
    prog_[pc].ends = prog_[next].op == Op::match;
    // Whether a thread's way out is taken already is known from the list, except for a
    // count, which the list does not mark.
    prog_[pc].parks = !prog_[pc].ends && prog_[pc].max != UNBOUNDED &&
                      prog_[pc + 1].op != Op::count;
  }
}

std::uint32_t ExactProgram::emit(Inst inst) {
  prog_.push_back(inst);
  return static_cast<std::uint32_t>(prog_.size() - 1);
}

void ExactProgram::compile(const Hir& hir, std::uint32_t node) {
  const HirNode& n = hir.at(node);
  switch (n.kind) {
    case HirKind::empty:
      return;
    case HirKind::literal:
      if (n.cls != NO_CLASS) {
        emit(Inst{.op = Op::cls, .byte = n.byte, .x = n.cls});
      } else {
        emit(Inst{.op = Op::literal, .byte = n.byte, .c = n.c});
      }
      return;
    case HirKind::cls:
      emit(Inst{.op = Op::cls, .byte = n.byte, .x = n.cls});
      return;
    case HirKind::look:
      emit(Inst{.op = Op::look, .look = n.look});
      return;
    case HirKind::group:
      compile(hir, n.children[0]);
      return;
    case HirKind::concat:
      for (std::uint32_t child : n.children) compile(hir, child);
      return;
    case HirKind::alternation: {
      std::vector<std::uint32_t> jumps;
      for (std::size_t k = 0; k < n.children.size(); ++k) {
        if (k + 1 < n.children.size()) {
          const std::uint32_t split = emit(Inst{.op = Op::split});
          prog_[split].x = split + 1;
          compile(hir, n.children[k]);
          jumps.push_back(emit(Inst{.op = Op::jump}));
          prog_[split].y = static_cast<std::uint32_t>(prog_.size());
        } else {
          compile(hir, n.children[k]);
        }
      }
      for (std::uint32_t j : jumps) prog_[j].x = static_cast<std::uint32_t>(prog_.size());
      return;
    }
    case HirKind::repeat: {
      if (compile_count(hir, n)) return;
      // Each kind of bound has its own fixed layout of splits: their order decides
      // which of several empty iterations is preferred, and so which match is found.
      const std::uint32_t sub = n.children[0];
      auto order = [&](std::uint32_t split, std::uint32_t body, std::uint32_t out) {
        prog_[split].x = n.greedy ? body : out;
        prog_[split].y = n.greedy ? out : body;
      };
      if (n.max == UNBOUNDED) {
        if (n.min == 0 && !can_be_empty(hir, sub)) {
          // L: split(x, out); x; jump L
          const std::uint32_t split = emit(Inst{.op = Op::split});
          compile(hir, sub);
          emit(Inst{.op = Op::jump, .x = split});
          order(split, split + 1, static_cast<std::uint32_t>(prog_.size()));
          return;
        }
        if (n.min == 0) {
          // (x+)?: Q: split(x, E); x; P: split(x, E); E
          const std::uint32_t question = emit(Inst{.op = Op::split});
          compile(hir, sub);
          const std::uint32_t plus = emit(Inst{.op = Op::split});
          const auto end = static_cast<std::uint32_t>(prog_.size());
          order(question, question + 1, end);
          order(plus, question + 1, end);
          return;
        }
        // x{n-1} then x with a loop back into that last copy.
        for (std::uint32_t k = 0; k + 1 < n.min; ++k) compile(hir, sub);
        const auto last = static_cast<std::uint32_t>(prog_.size());
        compile(hir, sub);
        const std::uint32_t plus = emit(Inst{.op = Op::split});
        order(plus, last, plus + 1);
        return;
      }
      for (std::uint32_t k = 0; k < n.min; ++k) compile(hir, sub);
      // Nested optional copies: (x(x(x)?)?)?; every skip leaves the whole chain.
      std::vector<std::uint32_t> splits;
      for (std::uint32_t k = n.min; k < n.max; ++k) {
        splits.push_back(emit(Inst{.op = Op::split}));
        compile(hir, sub);
      }
      const auto end = static_cast<std::uint32_t>(prog_.size());
      for (std::uint32_t s : splits) order(s, s + 1, end);
      return;
    }
  }
}

/// A large count of one character becomes one counting instruction.
bool ExactProgram::compile_count(const Hir& hir, const HirNode& n) {
  const std::uint32_t bound = n.max == UNBOUNDED ? n.min : n.max;
  if (bound <= UNROLL_UP_TO) return false;
  std::uint32_t child = n.children[0];
  while (hir.at(child).kind == HirKind::group) child = hir.at(child).children[0];
  const HirNode& c = hir.at(child);
  if (c.kind != HirKind::literal && c.kind != HirKind::cls) return false;
  const bool single = c.kind == HirKind::literal && c.cls == NO_CLASS;
  emit(Inst{.op = Op::count,
            .byte = c.byte,
            .greedy = n.greedy,
            .c = c.c,
            .x = single ? NO_CLASS : c.cls,
            .y = counts_++,
            .min = n.min,
            .max = n.max});
  return true;
}

bool ExactProgram::can_be_empty(const Hir& hir, std::uint32_t node) {
  const HirNode& n = hir.at(node);
  switch (n.kind) {
    case HirKind::literal:
    case HirKind::cls:
      return false;
    case HirKind::empty:
    case HirKind::look:
      return true;
    case HirKind::group:
      return can_be_empty(hir, n.children[0]);
    case HirKind::repeat:
      return n.min == 0 || can_be_empty(hir, n.children[0]);
    case HirKind::concat:
      return std::ranges::all_of(n.children, [&](std::uint32_t c) { return can_be_empty(hir, c); });
    case HirKind::alternation:
      return std::ranges::any_of(n.children, [&](std::uint32_t c) { return can_be_empty(hir, c); });
  }
  return true;
}

std::size_t ExactProgram::min_length(const Hir& hir, std::uint32_t node) {
  const HirNode& n = hir.at(node);
  switch (n.kind) {
    case HirKind::empty:
    case HirKind::look:
      return 0;
    case HirKind::literal:
    case HirKind::cls: {
      if (n.byte) return 1;
      if (n.cls == NO_CLASS) return utf8_size(n.c);
      const Ranges& r = hir.classes[n.cls];
      return r.empty() ? 1 : utf8_size(r.front().first);
    }
    case HirKind::group:
      return min_length(hir, n.children[0]);
    case HirKind::repeat: {
      const std::size_t one = min_length(hir, n.children[0]);
      if (one != 0 && n.min > LENGTH_CAP / one) return LENGTH_CAP;
      return one * n.min;
    }
    case HirKind::concat: {
      std::size_t sum = 0;
      for (std::uint32_t c : n.children) sum = std::min(LENGTH_CAP, sum + min_length(hir, c));
      return sum;
    }
    case HirKind::alternation: {
      std::size_t least = LENGTH_CAP;
      for (std::uint32_t c : n.children) least = std::min(least, min_length(hir, c));
      return least;
    }
  }
  return 0;
}

bool ExactProgram::class_has(std::uint32_t cls, char32_t c) const {
  if (c < 0x80) {
    const auto& bits = ascii_[cls];
    return ((c < 64 ? bits.first : bits.second) >> (c % 64)) & 1;
  }
  const Ranges& r = classes_[cls];
  auto it = std::upper_bound(r.begin(), r.end(), c,
                             [](char32_t v, const auto& range) { return v < range.first; });
  return it != r.begin() && c <= std::prev(it)->second;
}

std::size_t ExactProgram::step(const Inst& inst, std::string_view text, std::size_t at) const {
  if (at >= text.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  char32_t c = p[at];
  std::size_t len = 1;
  if (!inst.byte && c >= 0x80) {
    len = nivern_text::utf8_multibyte_length(p + at, p + text.size());
    if (len == 0) return 0;
    c = nivern_text::utf8_at(text, at);
  }
  const bool has = inst.op == Op::literal || inst.x == NO_CLASS ? c == inst.c : class_has(inst.x, c);
  return has ? len : 0;
}

/// A thread enters a counted repetition only where at least its minimum count of its
/// characters follows. The runs of those characters are found once per search (the
/// positions asked about never go back).
bool ExactProgram::can_enter(const Inst& inst, std::string_view text, std::size_t at,
                             ExactScratch& scratch) const {
  if (inst.min == 0) return true;
  ExactScratch::Run& run = scratch.runs[inst.y];
  if (at < run.run_from || at >= run.run_to) {
    std::size_t end = at, chars = 0;
    while (const std::size_t len = step(inst, text, end)) {
      end += len;
      ++chars;
    }
    run.run_from = at;
    run.run_to = end;
    run.enter_until = end + 1;
    if (chars >= inst.min) {
      std::size_t last = at;
      for (std::size_t k = inst.min; k < chars; ++k) last += step(inst, text, last);
      run.enter_until = last;
    }
  }
  // Inside a run, only the start of one of its characters.
  return run.enter_until <= run.run_to && at <= run.enter_until && step(inst, text, at) != 0;
}

bool ExactProgram::look_holds(Look look, std::string_view text, std::size_t at) const {
  switch (look) {
    case Look::start_text:
      return at == 0;
    case Look::end_text:
      return at == text.size();
    case Look::start_line:
      return at == 0 || text[at - 1] == '\n';
    case Look::end_line:
      return at == text.size() || text[at] == '\n';
    case Look::start_line_crlf:
      return at == 0 || text[at - 1] == '\n' ||
             (text[at - 1] == '\r' && (at == text.size() || text[at] != '\n'));
    case Look::end_line_crlf:
      return at == text.size() || text[at] == '\r' ||
             (text[at] == '\n' && (at == 0 || text[at - 1] != '\r'));
    case Look::word_ascii:
    case Look::not_word_ascii:
    case Look::start_word_ascii:
    case Look::end_word_ascii:
    case Look::start_half_ascii:
    case Look::end_half_ascii: {
      const bool before = at > 0 && ascii_word(static_cast<unsigned char>(text[at - 1]));
      const bool after = at < text.size() && ascii_word(static_cast<unsigned char>(text[at]));
      switch (look) {
        case Look::word_ascii:
          return before != after;
        case Look::not_word_ascii:
          return before == after;
        case Look::start_word_ascii:
          return !before && after;
        case Look::end_word_ascii:
          return before && !after;
        case Look::start_half_ascii:
          return !before;
        default:
          return !after;
      }
    }
    default:
      break;
  }
  const Side before = unicode_before(text, at);
  const Side after = unicode_after(text, at);
  const bool word_before = before == Side::word;
  const bool word_after = after == Side::word;
  switch (look) {
    case Look::word_unicode:
      return word_before != word_after;
    case Look::not_word_unicode:
      // Never inside a sequence that does not decode.
      return before != Side::invalid && after != Side::invalid && word_before == word_after;
    case Look::start_word_unicode:
      return !word_before && word_after;
    case Look::end_word_unicode:
      return word_before && !word_after;
    case Look::start_half_unicode:
      return before != Side::invalid && !word_before;
    case Look::end_half_unicode:
      return after != Side::invalid && !word_after;
    default:
      return false;
  }
}

void ExactProgram::add_thread(ExactScratch& scratch, ExactScratch::List& list,
                              ExactScratch::Frame frame, std::size_t start, std::string_view text,
                              std::size_t at) const {
  // A thread waiting in a counted repetition is dropped when one before it (so preferred)
  // waits there with a count at least as good: without an upper bound any count up to
  // the minimum, with one only the same count (entering anew, count 0; later counts
  // cannot meet twice, as every thread there takes the same characters).
  // When a match follows the repetition, the first thread in it is sure to reach its
  // minimum (it entered with that many characters ahead) and end in a match before any
  // later one would.
  // With an upper bound, a thread that can leave already also drops any later one with
  // at least its count: the first can leave wherever the later one could.
  auto dominated = [&](const Inst& inst, std::uint32_t count) {
    const ExactScratch::List::Mark& mark = list.counts[inst.y];
    if (mark.stamp != list.stamp) return false;
    if (inst.ends) return true;
    if (inst.max == UNBOUNDED) return mark.most >= count;
    return (count == 0 && mark.zero) || mark.least_done <= count;
  };
  auto wait_in = [&](const Inst& inst, std::uint32_t pc, std::uint32_t count) {
    ExactScratch::List::Mark& mark = list.counts[inst.y];
    if (mark.stamp != list.stamp) mark = ExactScratch::List::Mark{list.stamp};
    mark.most = std::max(mark.most, count);
    mark.zero = mark.zero || count == 0;
    if (count >= inst.min) mark.least_done = std::min(mark.least_done, count);
    if (!inst.parks) {
      list.dense.push_back(ExactScratch::Thread{pc, count, start, 0});
      return;
    }
    // Joins the park last in the list (past entries that take no character) when its
    // count goes on the park's order.
    const std::size_t last = before_empty_tail(list);
    if (last > 0) {
      const ExactScratch::Thread& t = list.dense[last - 1];
      if (t.park != ExactScratch::NO_PARK && t.pc == pc && t.wait == 0) {
        ExactScratch::Park& park = scratch.parks[t.park];
        const std::int64_t back = park.members.back().second + park.steps;
        if (park.members.size() == 1 && back != count) park.rising = back < count;
        // Rising, only the last may be able to leave.
        if (park.rising ? back < count && back < inst.min : back > count) {
          park.members.emplace_back(start, std::int64_t{count} - park.steps);
          return;
        }
      }
    }
    std::uint32_t id = 0;
    if (scratch.free_parks.empty()) {
      id = static_cast<std::uint32_t>(scratch.parks.size());
      scratch.parks.emplace_back();
    } else {
      id = scratch.free_parks.back();
      scratch.free_parks.pop_back();
    }
    ExactScratch::Park& park = scratch.parks[id];
    park.members.clear();
    park.steps = 0;
    park.rising = false;
    park.members.emplace_back(start, count);
    list.dense.push_back(ExactScratch::Thread{pc, count, start, 0, id});
  };
  auto& stack = scratch.stack;
  stack.clear();
  stack.push_back(frame);
  while (!stack.empty()) {
    const ExactScratch::Frame f = stack.back();
    stack.pop_back();
    const Inst& inst = prog_[f.pc];
    if (inst.op == Op::count) {
      if (dominated(inst, f.count)) continue;
      if (f.waiting) {
        wait_in(inst, f.pc, f.count);
        continue;
      }
      if (f.count == 0 && !can_enter(inst, text, at, scratch)) continue;
      const bool more = inst.max == UNBOUNDED || f.count < inst.max;
      const bool done = f.count >= inst.min;
      if (more && inst.greedy) wait_in(inst, f.pc, f.count);
      if (more && !inst.greedy) stack.push_back({f.pc, f.count, true});
      if (done) stack.push_back({f.pc + 1, 0, false});
      continue;
    }
    if (list.contains(f.pc)) continue;
    list.sparse[f.pc] = static_cast<std::uint32_t>(list.dense.size());
    list.dense.push_back(ExactScratch::Thread{f.pc, 0, start, 0});
    switch (inst.op) {
      case Op::jump:
        stack.push_back({inst.x, 0, false});
        break;
      case Op::split:
        stack.push_back({inst.y, 0, false});
        stack.push_back({inst.x, 0, false});
        break;
      case Op::look:
        if (look_holds(inst.look, text, at)) stack.push_back({f.pc + 1, 0, false});
        break;
      default:
        break;
    }
  }
}

/// The length of the list without its trailing entries that take no character (splits,
/// jumps and assertions that neither wait nor park).
std::size_t ExactProgram::before_empty_tail(const ExactScratch::List& list) const {
  std::size_t last = list.dense.size();
  while (last > 0) {
    const ExactScratch::Thread& t = list.dense[last - 1];
    const Op op = prog_[t.pc].op;
    if (t.wait != 0 || t.park != ExactScratch::NO_PARK ||
        (op != Op::split && op != Op::jump && op != Op::look)) {
      break;
    }
    --last;
  }
  return last;
}

/// Puts a park back in the list, joined with the park just before it (past entries that
/// take no character) when their counts go on in one order.
void ExactProgram::park_in(ExactScratch& scratch, ExactScratch::List& list,
                           ExactScratch::Thread parked) const {
  parked.wait = 0;
  const std::size_t last = before_empty_tail(list);
  if (last == 0 || list.dense[last - 1].park == ExactScratch::NO_PARK ||
      list.dense[last - 1].pc != parked.pc || list.dense[last - 1].wait != 0) {
    list.dense.push_back(parked);
    return;
  }
  const std::uint32_t first_id = list.dense[last - 1].park;
  ExactScratch::Park& first = scratch.parks[first_id];
  ExactScratch::Park& second = scratch.parks[parked.park];
  auto count = [](const ExactScratch::Park& p, const auto& member) {
    return member.second + p.steps;
  };
  const std::int64_t joint_low = count(first, first.members.back());
  const std::int64_t joint_high = count(second, second.members.front());
  if (joint_low == joint_high) {
    list.dense.push_back(parked);
    return;
  }
  const bool rising = joint_low < joint_high;
  const std::int64_t min = prog_[parked.pc].min;
  if ((first.members.size() > 1 && first.rising != rising) ||
      (second.members.size() > 1 && second.rising != rising) || (rising && joint_low >= min)) {
    list.dense.push_back(parked);
    return;
  }
  if (first.members.size() <= second.members.size()) {
    for (auto it = first.members.rbegin(); it != first.members.rend(); ++it) {
      second.members.emplace_front(it->first, count(first, *it) - second.steps);
    }
    second.rising = rising;
    list.dense[last - 1].park = parked.park;
    scratch.free_parks.push_back(first_id);
  } else {
    for (const auto& member : second.members) {
      first.members.emplace_back(member.first, count(second, member) - first.steps);
    }
    first.rising = rising;
    scratch.free_parks.push_back(parked.park);
  }
}

/// Every thread of the park took the character. The first one that can leave the
/// repetition goes on alone (to wait and leave in its own order); any other's way out is
/// the same state at the same place, so taken already, and it stays, unless it is at its
/// maximum. Falling counts put the one to leave first at the front. With rising counts
/// the park holds threads that cannot leave yet: the last one, when it can, goes on
/// alone after the others (and drops any later thread with a higher count).
void ExactProgram::arrive(ExactScratch& scratch, ExactScratch::List& list,
                          const ExactScratch::Thread& t, std::string_view text,
                          std::size_t at) const {
  const Inst& inst = prog_[t.pc];
  const std::uint32_t id = t.park;
  if (scratch.parks[id].rising) {
    auto& members = scratch.parks[id].members;
    const auto [start, base] = members.back();
    const auto count = static_cast<std::uint32_t>(base + scratch.parks[id].steps);
    const bool leaves = count >= inst.min;
    if (leaves) members.pop_back();
    if (members.empty()) {
      scratch.free_parks.push_back(id);
    } else {
      park_in(scratch, list, t);
    }
    if (leaves) add_thread(scratch, list, {t.pc, count, false}, start, text, at);
    return;
  }
  for (;;) {
    // `add_thread` may add parks: look the park up afresh each time.
    auto& members = scratch.parks[id].members;
    if (members.empty()) break;
    const auto [start, base] = members.front();
    const auto count = static_cast<std::uint32_t>(base + scratch.parks[id].steps);
    if (list.contains(t.pc + 1)) {
      if (count < inst.max) break;
      members.pop_front();
      continue;
    }
    if (count < inst.min) break;
    members.pop_front();
    add_thread(scratch, list, {t.pc, count, false}, start, text, at);
  }
  if (scratch.parks[id].members.empty()) {
    scratch.free_parks.push_back(id);
    return;
  }
  park_in(scratch, list, t);
}

std::optional<std::pair<std::size_t, std::size_t>> ExactProgram::find(
    std::string_view text, ExactScratch& scratch, std::size_t from) const {
  if (from > text.size() || text.size() - from < min_length_) return std::nullopt;
  auto& clist = scratch.current;
  auto& nlist = scratch.next;
  auto reset = [&](ExactScratch::List& list) {
    list.dense.clear();
    list.stamp = ++scratch.stamps;
  };
  for (auto* list : {&clist, &nlist}) {
    reset(*list);
    if (list->sparse.size() < prog_.size()) list->sparse.assign(prog_.size(), 0);
    if (list->counts.size() < counts_) list->counts.assign(counts_, {});
  }
  scratch.runs.assign(counts_, ExactScratch::Run{});
  scratch.free_parks.clear();
  for (std::size_t k = scratch.parks.size(); k > 0; --k) {
    scratch.free_parks.push_back(static_cast<std::uint32_t>(k - 1));
  }
  std::optional<std::pair<std::size_t, std::size_t>> best;
  std::size_t at = from;
  for (;;) {
    if (!best) add_thread(scratch, clist, {0, 0, false}, at, text, at);
    if (clist.dense.empty()) {
      // A thread can fail to start (a count without its run ahead): try the next byte.
      if (best || at >= text.size()) break;
      ++at;
      continue;
    }
    const bool more = at < text.size();
    // The byte here, and the character that starts here (length 0: none does).
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const char32_t byte = more ? bytes[at] : 0;
    char32_t c = byte;
    std::size_t len = more ? 1 : 0;
    if (byte >= 0x80) {
      len = nivern_text::utf8_multibyte_length(bytes + at, bytes + text.size());
      if (len != 0) c = nivern_text::utf8_at(text, at);
    }
    auto takes = [&](const Inst& inst) -> std::size_t {
      if (!more) return 0;
      const char32_t have = inst.byte ? byte : c;
      if (!inst.byte && len == 0) return 0;
      const bool has = inst.op == Op::literal || inst.x == NO_CLASS ? have == inst.c
                                                                    : class_has(inst.x, have);
      return has ? (inst.byte ? 1 : len) : 0;
    };
    reset(nlist);
    for (std::size_t k = 0; k < clist.dense.size(); ++k) {
      const ExactScratch::Thread& t = clist.dense[k];
      const Inst& inst = prog_[t.pc];
      if (t.wait == 0 && t.park == ExactScratch::NO_PARK) [[likely]] {
        std::size_t took = 0;
        std::uint32_t pc = t.pc + 1, count = 0;
        switch (inst.op) {
          case Op::literal:
          case Op::cls:
            took = takes(inst);
            break;
          case Op::count:
            took = takes(inst);
            pc = t.pc;
            count = inst.max == UNBOUNDED ? std::min(t.count + 1, inst.min) : t.count + 1;
            break;
          case Op::match:
            best = {t.start, at};
            k = clist.dense.size();  // threads of lower priority are dropped
            break;
          default:
            break;
        }
        if (took == 1 && (prog_[pc].op == Op::count || !nlist.contains(pc))) {
          add_thread(scratch, nlist, {pc, count, false}, t.start, text, at + 1);
        }
        if (took > 1) {
          nlist.dense.push_back(
              ExactScratch::Thread{pc, count, t.start, static_cast<std::uint32_t>(took - 1)});
        }
        continue;
      }
      // Inside a character, or a park.
      if (t.wait > 1) {
        ExactScratch::Thread later = t;
        --later.wait;
        nlist.dense.push_back(later);
      } else if (t.wait == 1 && t.park != ExactScratch::NO_PARK) {
        arrive(scratch, nlist, t, text, at + 1);
      } else if (t.wait == 1) {
        add_thread(scratch, nlist, {t.pc, t.count, false}, t.start, text, at + 1);
      } else if (const std::size_t took = takes(inst); took == 0) {
        scratch.free_parks.push_back(t.park);
      } else {
        ++scratch.parks[t.park].steps;
        if (took == 1) {
          arrive(scratch, nlist, t, text, at + 1);
        } else {
          ExactScratch::Thread later = t;
          later.wait = static_cast<std::uint32_t>(took - 1);
          nlist.dense.push_back(later);
        }
      }
    }
    std::swap(clist, nlist);
    if (!more) break;
    ++at;
  }
  clist.dense.clear();
  return best;
}

}  // namespace nivern_vfs::regex
