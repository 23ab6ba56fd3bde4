#include "vfs/search/search_matcher.h"

#include <re2/re2.h>

#include <algorithm>

#include "text/byte_decoders.h"
#include "text/utf8.h"
#include "vfs/search/regex_bytes.h"
#include "vfs/search/regex_exact.h"
#include "vfs/search/regex_facts.h"
#include "vfs/search/regex_re2.h"
#include "vfs/search/regex_size.h"
#include "vfs/search/regex_syntax.h"
#include "vfs/search/regex_translate.h"

namespace nivern_vfs::search {
namespace {

/// RE2's memory budget per compiled expression (program and lazy-DFA cache together).
constexpr std::int64_t REGEX_MEMORY = std::int64_t{256} << 20;

/// Above this program size, workers share one compiled copy.
constexpr std::uint64_t SHARE_ABOVE = std::uint64_t{2} << 20;

/// RE2 walks a regex with a budget of visits (and reports on standard error when it
/// runs out): a spelling with more nodes than this is not given to RE2; the exact
/// program then checks every line that holds the needle, or every line.
constexpr std::size_t RE2_NODE_BUDGET = 200000;

/// A byte string that every match contains.
struct RequiredLiteral {
  std::string bytes;
  /// Compare ASCII letters without case.
  bool fold_ascii = false;
  /// The literal is the whole pattern: an occurrence is a match and its span.
  bool whole = false;
};

/// The longest run of literal atoms usable as a prefilter, or nullopt when there is
/// none worth searching for. Case-folded atoms take part only when every case variant
/// is ASCII (so not k and s, which have non-ASCII variants).
std::optional<RequiredLiteral> required_literal(const regex::LiteralFacts& facts) {
  const auto& atoms = facts.atoms;
  auto usable = [](const regex::Atom& a) {
    if (a.brk) return false;
    if (!a.folded) return true;
    if (a.c >= 0x80) return false;
    const char c = static_cast<char>(a.c | 0x20);
    return c != 'k' && c != 's';
  };
  std::size_t best_at = 0, best_len = 0, best_bytes = 0;
  std::size_t at = 0;
  while (at < atoms.size()) {
    if (!usable(atoms[at])) {
      ++at;
      continue;
    }
    std::size_t end = at, bytes = 0;
    while (end < atoms.size() && usable(atoms[end])) {
      const char32_t cp = atoms[end].c;
      bytes += cp < 0x80 || facts.bytes ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
      ++end;
    }
    if (bytes > best_bytes) {
      best_at = at;
      best_len = end - at;
      best_bytes = bytes;
    }
    at = end;
  }
  if (best_len == 0) return std::nullopt;
  RequiredLiteral lit;
  // Folding applies to every ASCII letter of the needle: exact only if all of them fold.
  bool any_folded = false, letters_fold = true;
  for (std::size_t k = best_at; k < best_at + best_len; ++k) {
    const regex::Atom& a = atoms[k];
    if (facts.bytes) {
      lit.bytes += static_cast<char>(a.c);
    } else {
      nivern_text::append_utf8(lit.bytes, a.c);
    }
    any_folded = any_folded || a.folded;
    const bool letter = (a.c | 0x20) >= 'a' && (a.c | 0x20) <= 'z';
    letters_fold = letters_fold && (a.folded || !letter);
  }
  lit.fold_ascii = any_folded;
  lit.whole = facts.literal_only && best_len == atoms.size() && (!any_folded || letters_fold) &&
              lit.bytes.find('\r') == std::string::npos;
  // A short piece of a larger pattern finds too many lines to be worth confirming each.
  if (!lit.whole && lit.bytes.size() < 2) return std::nullopt;
  return lit;
}

}  // namespace

bool needs_exact_matcher(const regex::Hir& hir) { return !regex::re2_spells_exactly(hir); }

std::string escape_literal(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() * 2);
  for (char c : pattern) {
    if (ESCAPE_SET.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

Matcher::Matcher() = default;
Matcher::Matcher(Matcher&&) noexcept = default;
Matcher& Matcher::operator=(Matcher&&) noexcept = default;
Matcher::~Matcher() = default;

std::expected<Matcher, BadQuery> Matcher::compile(const SearchQuery& query) {
  const std::string pattern = query.regex ? query.pattern : escape_literal(query.pattern);
  std::string wrapped = "(?:";
  if (nivern_text::is_valid_utf8(pattern)) {
    wrapped += pattern;
  } else {
    wrapped += nivern_text::lossy_utf8(pattern);
  }
  wrapped += ')';
  // A pattern longer than the limit has room for states is refused unparsed: all but
  // white space, comments and flags cost at least a state each, and a syntax tree of
  // such a size would cost far more than the program.
  if (wrapped.size() > regex::SIZE_LIMIT / regex::STATE_BYTES) {
    return std::unexpected(BadQuery{std::string(regex::SIZE_LIMIT_MESSAGE)});
  }
  auto ast = regex::parse(wrapped);
  if (!ast) return std::unexpected(BadQuery{regex::format_error(ast.error())});
  const regex::CaseFacts facts = regex::case_facts(*ast);
  const bool fold = !query.case_sensitive && facts.any_literal && !facts.any_uppercase;
  auto hir = regex::translate(*ast, wrapped, fold);
  if (!hir) return std::unexpected(BadQuery{regex::format_error(hir.error())});
  const std::uint64_t size = regex::program_size(*hir, query.whole_word);
  if (size > regex::SIZE_LIMIT) {
    return std::unexpected(BadQuery{std::string(regex::SIZE_LIMIT_MESSAGE)});
  }
  const bool needs_exact = needs_exact_matcher(*hir);
  // The exact program runs on the pattern as translated; RE2 and the literal facts take
  // a pattern with byte pieces in byte form.
  std::optional<regex::Hir> translated;
  if (hir->bytes) {
    translated = *hir;
    regex::to_byte_form(*hir);
  }

  RE2::Options options;
  options.set_log_errors(false);
  // A pattern in byte form is spelled over bytes, which RE2 reads in its Latin-1 mode.
  if (hir->bytes) options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_never_nl(true);
  options.set_max_mem(REGEX_MEMORY);
  // The translation is valid RE2 syntax; what RE2 can still refuse is the size.
  auto build = [&](const std::string& text) -> std::shared_ptr<const RE2> {
    auto re = std::make_shared<const RE2>(text, options);
    return re->ok() ? re : nullptr;
  };

  Matcher m;
  m.whole_word_ = query.whole_word;
  m.share_ = size > SHARE_ABOVE;
  const regex::LiteralFacts literals = regex::literal_facts(*hir);
  // A line feed that every match needs can never be found inside a line.
  m.never_matches_ = std::ranges::any_of(
      literals.atoms, [](const regex::Atom& a) { return !a.brk && a.c == U'\n'; });
  const auto literal = required_literal(literals);

  std::size_t nodes = 0;
  const std::string line_text = regex::to_re2(*hir, regex::AnchorMode::line, &nodes);
  bool exact_only = nodes > RE2_NODE_BUDGET;
  const bool exact = needs_exact || exact_only;
  const bool wrap_words = query.whole_word && !exact;
  if (!exact_only) {
    const std::string non_word = wrap_words ? regex::re2_non_word_class(false, hir->bytes) : "";
    m.line_re_ = build(wrap_words ? "(?:^|" + non_word + ")(" + line_text + ")(?:" + non_word + "|$)"
                                  : line_text);
    // Without the word wrapping: a word's edge beside bytes that are not UTF-8 is the
    // exact matcher's to judge.
    if (!literal && m.line_re_) m.block_re_ = build(regex::to_re2(*hir, regex::AnchorMode::block));
    exact_only = !m.line_re_ || (!literal && !m.block_re_);
  }
  if (exact_only) {
    // Too large for RE2: every line (with the needle) is a candidate for the exact
    // matcher.
    m.line_re_ = build("");
    m.block_re_ = literal ? nullptr : build("(?m:^)");
  }
  if (literal) {
    m.needle_.emplace(literal->bytes, literal->fold_ascii);
    m.needle_is_match_ = literal->whole && !query.whole_word && !needs_exact;
  }
  m.exact_always_ = exact || exact_only;
  if ((m.exact_always_ || query.whole_word) && !m.needle_is_match_) {
    m.exact_ = std::make_shared<const regex::ExactProgram>(translated ? *translated : *hir,
                                                          query.whole_word);
    m.scratch_ = std::make_unique<regex::ExactScratch>();
  }
  return m;
}

Matcher Matcher::clone() const {
  Matcher m;
  m.never_matches_ = never_matches_;
  m.needle_is_match_ = needle_is_match_;
  m.whole_word_ = whole_word_;
  m.exact_always_ = exact_always_;
  m.needle_ = needle_;
  m.share_ = share_;
  if (share_) {
    m.line_re_ = line_re_;
    m.block_re_ = block_re_;
  } else {
    m.line_re_ = std::make_shared<const RE2>(line_re_->pattern(), line_re_->options());
    if (block_re_) {
      m.block_re_ = std::make_shared<const RE2>(block_re_->pattern(), block_re_->options());
    }
  }
  m.exact_ = exact_;
  if (exact_) m.scratch_ = std::make_unique<regex::ExactScratch>();
  return m;
}

bool Matcher::line_matches(std::string_view line) const {
  if (needle_is_match_ && needle_) return needle_->find(line.data(), line.data() + line.size()) != nullptr;
  if (exact_) return first_match(line).has_value();
  return line_re_->Match(line, 0, line.size(), RE2::UNANCHORED, nullptr, 0);
}

std::optional<Span> Matcher::first_match(std::string_view text) const {
  if (needle_is_match_ && needle_) {
    const char* hit = needle_->find(text.data(), text.data() + text.size());
    if (hit == nullptr) return std::nullopt;
    const auto start = static_cast<std::size_t>(hit - text.data());
    return Span{start, start + needle_->size()};
  }
  re2::StringPiece groups[2];
  const bool wrapped = whole_word_ && !exact_always_;
  const int group = wrapped ? 1 : 0;
  // RE2's word wrapping sees only whole UTF-8 characters; beside bytes that are not, the
  // exact matcher judges a word's edges.
  if (wrapped && !nivern_text::is_valid_utf8(text)) return exact_->find(text, *scratch_);
  if (!line_re_->Match(text, 0, text.size(), RE2::UNANCHORED, groups, group + 1)) {
    return std::nullopt;
  }
  const auto start = static_cast<std::size_t>(groups[group].data() - text.data());
  // RE2 matched a superset; the exact matcher decides, whether or not the text is UTF-8.
  // Every exact match is one of RE2's, so none starts before RE2's leftmost one.
  if (exact_always_) return exact_->find(text, *scratch_, start);
  return Span{start, start + groups[group].size()};
}

}  // namespace nivern_vfs::search
