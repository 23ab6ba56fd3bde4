#include "vfs/search_matcher.h"

#include <re2/re2.h>

#include <algorithm>

#include "vfs/search_pattern.h"

namespace nivern_vfs::search {
namespace {

/// RE2's memory budget per compiled expression (program and lazy-DFA cache together).
constexpr std::int64_t REGEX_MEMORY = std::int64_t{256} << 20;

}  // namespace

Matcher::Matcher() = default;
Matcher::Matcher(Matcher&&) noexcept = default;
Matcher& Matcher::operator=(Matcher&&) noexcept = default;
Matcher::~Matcher() = default;

std::expected<Matcher, BadQuery> Matcher::compile(const SearchQuery& query) {
  const std::string text = query.regex ? query.pattern : escape_literal(query.pattern);
  const PatternFacts facts = study_pattern(text);
  const bool fold = !query.case_sensitive && facts.any_literal && !facts.any_uppercase;

  RE2::Options options;
  options.set_log_errors(false);
  options.set_never_nl(true);
  options.set_case_sensitive(!fold);
  options.set_max_mem(REGEX_MEMORY);
  {
    // The pattern as written, so that an error quotes it.
    const RE2 check(facts.check_text, options);
    if (!check.ok()) return std::unexpected(BadQuery{check.error()});
  }

  Matcher m;
  m.whole_word_ = query.whole_word;
  const std::string& word = word_class_items();
  std::string line_text = facts.line_text;
  if (query.whole_word) {
    line_text = "(?:^|[^" + word + "])(" + facts.line_text + ")(?:[^" + word + "]|$)";
  }
  m.line_re_ = std::make_unique<RE2>(line_text, options);
  if (!m.line_re_->ok()) return std::unexpected(BadQuery{m.line_re_->error()});

  // A line feed that every match needs can never be found inside a line.
  m.never_matches_ = std::ranges::find(facts.atoms, U'\n') != facts.atoms.end();

  if (auto literal = required_literal(facts, fold)) {
    m.needle_.emplace(literal->bytes, literal->fold_ascii);
    m.needle_is_match_ = literal->whole && !query.whole_word;
  } else {
    std::string block_text = facts.block_text;
    if (query.whole_word) {
      block_text =
          "(?:(?m:^)|[^\\n" + word + "])(?:" + facts.block_text + ")(?:[^\\n" + word + "]|(?m:$))";
    }
    m.block_re_ = std::make_unique<RE2>(block_text, options);
    if (!m.block_re_->ok()) return std::unexpected(BadQuery{m.block_re_->error()});
  }
  return m;
}

Matcher Matcher::clone() const {
  Matcher m;
  m.never_matches_ = never_matches_;
  m.needle_is_match_ = needle_is_match_;
  m.whole_word_ = whole_word_;
  m.needle_ = needle_;
  m.line_re_ = std::make_unique<RE2>(line_re_->pattern(), line_re_->options());
  if (block_re_) m.block_re_ = std::make_unique<RE2>(block_re_->pattern(), block_re_->options());
  return m;
}

bool Matcher::line_matches(std::string_view line) const {
  if (needle_is_match_ && needle_) return needle_->find(line.data(), line.data() + line.size()) != nullptr;
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
  const int group = whole_word_ ? 1 : 0;
  if (!line_re_->Match(text, 0, text.size(), RE2::UNANCHORED, groups, group + 1)) {
    return std::nullopt;
  }
  const auto start = static_cast<std::size_t>(groups[group].data() - text.data());
  return Span{start, start + groups[group].size()};
}

}  // namespace nivern_vfs::search
