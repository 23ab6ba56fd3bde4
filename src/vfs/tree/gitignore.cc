#include "vfs/tree/gitignore.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <unordered_map>
#include <utility>

#include "support/small_file.h"
#include "vfs/tree/glob.h"

namespace nivern_vfs {

std::string GlobError::text() const { return "error parsing glob '" + glob + "': " + reason; }

namespace gitignore_detail {

struct ViewHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
/// Literal → the lines that hold it, highest line first.
using LineMap = std::unordered_map<std::string, std::vector<std::uint32_t>, ViewHash, std::equal_to<>>;

struct Line {
  bool whitelist = false;
  bool dir_only = false;
};

struct Affix {
  std::uint32_t line;
  bool suffix;  // else prefix
  std::string literal;
};

struct General {
  std::uint32_t line;
  glob::Glob glob;
};

struct Compiled {
  std::string root;
  std::vector<Line> lines;
  std::size_t whitelists = 0;
  LineMap names;               // last component equals the key
  LineMap extensions;          // last component's final ".ext" equals the key
  LineMap paths;               // the whole relative path equals the key
  std::vector<Affix> affixes;  // highest line first
  std::vector<General> globs;  // highest line first
};

}  // namespace gitignore_detail

using gitignore_detail::Compiled;

namespace {

const std::string kEmpty;

/// Drops a leading "./" (repeated) from a root, and trailing separators.
std::string normalize_root(std::string_view root) {
  while (root == "." || root.starts_with("./")) {
    root.remove_prefix(1);
    while (root.starts_with('/')) root.remove_prefix(1);
  }
  while (root.size() > 1 && root.ends_with('/')) root.remove_suffix(1);
  return std::string(root);
}

}  // namespace

Gitignore::Gitignore() = default;
Gitignore::~Gitignore() = default;
Gitignore::Gitignore(const Gitignore&) = default;
Gitignore& Gitignore::operator=(const Gitignore&) = default;
Gitignore::Gitignore(Gitignore&&) noexcept = default;
Gitignore& Gitignore::operator=(Gitignore&&) noexcept = default;

bool Gitignore::empty() const { return !c_ || c_->lines.empty(); }
std::size_t Gitignore::size() const { return c_ ? c_->lines.size() : 0; }
std::size_t Gitignore::whitelists() const { return c_ ? c_->whitelists : 0; }
const std::string& Gitignore::root() const { return c_ ? c_->root : kEmpty; }

IgnoreVerdict Gitignore::matched(std::string_view path, bool is_dir) const {
  if (empty()) return IgnoreVerdict::none;
  if (path.starts_with("./")) path.remove_prefix(2);
  const std::string& root = c_->root;
  if (!root.empty() && path.starts_with(root) &&
      (path.size() == root.size() || path[root.size()] == '/' || root.back() == '/')) {
    path.remove_prefix(root.size());
    while (path.starts_with('/')) path.remove_prefix(1);
  }
  return matched_relative(path, is_dir);
}

IgnoreVerdict Gitignore::matched_relative(std::string_view rel, bool is_dir) const {
  std::int64_t line;
  return matched_relative(rel, is_dir, line);
}

IgnoreVerdict Gitignore::matched_relative(std::string_view rel, bool is_dir, std::int64_t& line) const {
  line = -1;
  if (empty()) return IgnoreVerdict::none;
  const Compiled& c = *c_;
  std::int64_t best = -1;
  auto applies = [&](std::uint32_t i) { return is_dir || !c.lines[i].dir_only; };
  auto take = [&](const gitignore_detail::LineMap& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end()) return;
    for (std::uint32_t i : it->second) {
      if (static_cast<std::int64_t>(i) <= best) return;
      if (applies(i)) {
        best = i;
        return;
      }
    }
  };
  std::size_t slash = rel.rfind('/');
  std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
  if (!c.names.empty()) take(c.names, name);
  if (!c.extensions.empty()) {
    std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) take(c.extensions, name.substr(dot));
  }
  if (!c.paths.empty()) take(c.paths, rel);
  for (const auto& a : c.affixes) {
    if (static_cast<std::int64_t>(a.line) <= best) break;
    if (applies(a.line) && (a.suffix ? name.ends_with(a.literal) : name.starts_with(a.literal))) {
      best = a.line;
      break;
    }
  }
  for (const auto& g : c.globs) {
    if (static_cast<std::int64_t>(g.line) <= best) break;
    if (applies(g.line) && g.glob.matches(rel)) {
      best = g.line;
      break;
    }
  }
  if (best < 0) return IgnoreVerdict::none;
  line = best;
  return c.lines[static_cast<std::size_t>(best)].whitelist ? IgnoreVerdict::whitelist : IgnoreVerdict::ignore;
}

struct GitignoreBuilder::State {
  std::string root;
  bool allow_unclosed_class = true;
  std::vector<std::pair<gitignore_detail::Line, glob::Glob>> lines;
};

GitignoreBuilder::GitignoreBuilder(std::string_view root, bool allow_unclosed_class)
    : s_(std::make_unique<State>()) {
  s_->root = normalize_root(root);
  s_->allow_unclosed_class = allow_unclosed_class;
}
GitignoreBuilder::~GitignoreBuilder() = default;
GitignoreBuilder::GitignoreBuilder(GitignoreBuilder&&) noexcept = default;
GitignoreBuilder& GitignoreBuilder::operator=(GitignoreBuilder&&) noexcept = default;

std::expected<void, GlobError> GitignoreBuilder::add_line(std::string_view line) {
  if (line.starts_with('#')) return {};
  if (!line.ends_with("\\ ")) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r' ||
                             line.back() == '\n' || line.back() == '\v' || line.back() == '\f')) {
      line.remove_suffix(1);
    }
  }
  if (line.empty()) return {};
  const std::string_view original = line;
  gitignore_detail::Line info;
  bool anchored = false;
  if (line.starts_with("\\!") || line.starts_with("\\#")) {
    line.remove_prefix(1);
  } else {
    if (line.starts_with('!')) {
      info.whitelist = true;
      line.remove_prefix(1);
    }
    if (line.starts_with('/')) {
      anchored = true;
      line.remove_prefix(1);
    }
  }
  if (line.ends_with('/')) {
    info.dir_only = true;
    line.remove_suffix(1);
    if (line.ends_with('\\')) line.remove_suffix(1);
  }
  std::string actual(line);
  // A line without a separator matches at any depth.
  if (!anchored && actual.find('/') == std::string::npos && !actual.starts_with("**/") &&
      actual != "**") {
    actual.insert(0, "**/");
  }
  // "dir/**" matches what is inside dir, not dir itself.
  if (actual.ends_with("/**")) actual += "/*";
  auto compiled = glob::Glob::compile(actual, s_->allow_unclosed_class);
  if (!compiled) return std::unexpected(GlobError{std::string(original), std::move(compiled.error())});
  s_->lines.emplace_back(info, std::move(*compiled));
  return {};
}

namespace {

/// Cuts text that arrives in pieces into lines ("\n"-ended, a trailing "\r" dropped, a
/// byte-order mark before the first line dropped) and adds each one. A line that runs
/// through a hole of a sparse file is left out: it holds NUL bytes, which no path does.
/// Memory: the longest line.
class LineFeed {
 public:
  explicit LineFeed(GitignoreBuilder& builder) : builder_(builder) {}

  void take(nivern_support::FilePiece piece) {
    if (piece.hole) {
      holed_ = true;
      return;
    }
    std::string_view bytes = piece.bytes;
    for (;;) {
      std::size_t nl = bytes.find('\n');
      if (nl == std::string_view::npos) break;
      if (carry_.empty()) {
        line(bytes.substr(0, nl));
      } else {
        carry_.append(bytes.substr(0, nl));
        line(carry_);
        carry_.clear();
      }
      bytes.remove_prefix(nl + 1);
    }
    carry_.append(bytes);
  }

  /// Adds the last line (one without "\n") and returns the first glob error.
  std::expected<void, GlobError> finish() {
    if (!carry_.empty() || holed_) line(carry_);
    carry_.clear();
    return std::move(first_);
  }

 private:
  void line(std::string_view text) {
    if (std::exchange(at_start_, false) && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (text.ends_with('\r')) text.remove_suffix(1);
    if (std::exchange(holed_, false)) return;
    auto added = builder_.add_line(text);
    if (!added && first_) first_ = std::move(added);
  }

  GitignoreBuilder& builder_;
  std::string carry_;  // the start of a line whose end has not arrived yet
  bool holed_ = false;
  bool at_start_ = true;
  std::expected<void, GlobError> first_;
};

}  // namespace

std::expected<void, GlobError> GitignoreBuilder::add_text(std::string_view text) {
  LineFeed feed(*this);
  feed.take({text, false});
  return feed.finish();
}

std::expected<void, std::string> GitignoreBuilder::add_stream(
    std::string_view shown_path,
    const std::function<std::expected<void, nivern_support::SmallFileError>(
        const std::function<void(nivern_support::FilePiece)>&)>& read) {
  const std::size_t before = s_->lines.size();
  LineFeed feed(*this);
  auto got = read([&](nivern_support::FilePiece piece) { feed.take(piece); });
  auto added = feed.finish();
  if (!got) {
    // A file that cannot be read to its end adds nothing.
    s_->lines.erase(s_->lines.begin() + static_cast<std::ptrdiff_t>(before), s_->lines.end());
    return std::unexpected(std::string(shown_path) + ": " + got.error().text());
  }
  if (!added) return std::unexpected(added.error().text());
  return {};
}

std::expected<void, std::string> GitignoreBuilder::add_file_at(int dir_fd, const char* name,
                                                               std::string_view shown_path) {
  return add_stream(shown_path, [&](const auto& take) { return nivern_support::read_file_pieces_at(dir_fd, name, take); });
}

std::expected<void, std::string> GitignoreBuilder::add_file(const std::string& path) {
  return add_stream(path, [&](const auto& take) { return nivern_support::read_file_pieces(path, take); });
}

std::expected<Gitignore, GlobError> GitignoreBuilder::build() {
  auto c = std::make_shared<Compiled>();
  c->root = s_->root;
  const auto count = static_cast<std::uint32_t>(s_->lines.size());
  // Highest line first everywhere, so a query can stop at the first hit.
  for (std::uint32_t i = count; i-- > 0;) {
    auto& [info, g] = s_->lines[i];
    switch (g.shape()) {
      case glob::Shape::name:
        c->names[g.literal()].push_back(i);
        break;
      case glob::Shape::name_suffix: {
        const std::string& lit = g.literal();
        if (lit.size() >= 2 && lit[0] == '.' && lit.find('.', 1) == std::string::npos) {
          c->extensions[lit].push_back(i);
        } else {
          c->affixes.push_back({i, true, lit});
        }
        break;
      }
      case glob::Shape::name_prefix:
        c->affixes.push_back({i, false, g.literal()});
        break;
      case glob::Shape::path:
        c->paths[g.literal()].push_back(i);
        break;
      default:
        c->globs.push_back({i, std::move(g)});
        break;
    }
  }
  c->lines.reserve(count);
  for (auto& [info, g] : s_->lines) {
    c->lines.push_back(info);
    if (info.whitelist) ++c->whitelists;
  }
  s_->lines.clear();
  Gitignore out;
  out.c_ = std::move(c);
  return out;
}

}  // namespace nivern_vfs
