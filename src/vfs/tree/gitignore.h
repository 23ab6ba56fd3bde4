#pragma once
/// Gitignore-style matcher: an ordered list of ignore lines rooted at one directory,
/// answering "no match", "ignore" or "whitelist" for a path by its last matching line.
///
/// Threading: `GitignoreBuilder` is a plain single-threaded value. A built `Gitignore`
/// is immutable; any number of threads may call its const members at once.
///
/// Line format: "#" starts a comment; trailing spaces are dropped unless the line ends
/// in "\ "; "\!" and "\#" stand for a literal first character; "!" makes a whitelist
/// line; a leading "/" anchors at the root; a trailing "/" limits the line to
/// directories; a line without any other "/" matches at any depth. Globs match bytes
/// (glob.h): "*" and "?" do not cross "/"; "**/" at the start, "/**" at the end and
/// "/**/" inside cross directories, a run of them counting as one (any other "**" acts
/// as "*"); "[...]" classes of bytes ("!" or "^" negates, never matching "/"); "{a,b}"
/// alternation (not nested); "\" escapes. Case-sensitive.
///
/// Build modes: the root/local matcher takes an unclosed "[" literally and skips bad
/// lines (reported, but the good ones stay); the exclude matcher (excludes.h) rejects
/// an unclosed "[" and fails as a whole.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/small_file.h"

namespace nivern_vfs {

/// The verdict of a matcher for one path.
enum class IgnoreVerdict : std::uint8_t { none, ignore, whitelist };

/// A line that the glob compiler rejected.
struct GlobError {
  std::string glob;    // the line as written
  std::string reason;  // such as "unclosed character class; missing ']'"
  /// "error parsing glob '{glob}': {reason}"
  [[nodiscard]] std::string text() const;
};

namespace gitignore_detail {
struct Compiled;
}

class Gitignore {
 public:
  /// The empty matcher: no lines, every query answers `IgnoreVerdict::none`.
  Gitignore();
  ~Gitignore();
  Gitignore(const Gitignore&);
  Gitignore& operator=(const Gitignore&);
  Gitignore(Gitignore&&) noexcept;
  Gitignore& operator=(Gitignore&&) noexcept;

  /// The verdict for `path` as the caller formed it. A leading "./" is dropped; when
  /// the path then begins with the root (component-wise), the part after it is matched,
  /// otherwise the path as it stands. Only the path itself is tested, never its parents.
  /// A directory-only line matches only when `is_dir`.
  [[nodiscard]] IgnoreVerdict matched(std::string_view path, bool is_dir) const;

  /// The same for a path already relative to the root (no leading "./" or "/").
  [[nodiscard]] IgnoreVerdict matched_relative(std::string_view rel, bool is_dir) const;

  /// The verdict and the index of the deciding line (-1 for none), for callers that
  /// combine several matchers.
  [[nodiscard]] IgnoreVerdict matched_relative(std::string_view rel, bool is_dir, std::int64_t& line) const;

  [[nodiscard]] bool empty() const;
  /// Number of accepted lines.
  [[nodiscard]] std::size_t size() const;
  /// Number of whitelist ("!") lines.
  [[nodiscard]] std::size_t whitelists() const;
  /// True for a matcher that a builder made, even one without lines: it knows its root.
  /// False for the default-constructed empty matcher.
  [[nodiscard]] bool rooted() const { return c_ != nullptr; }
  /// The root with a leading "./" (and trailing separators) dropped.
  [[nodiscard]] const std::string& root() const;

 private:
  friend class GitignoreBuilder;
  std::shared_ptr<const gitignore_detail::Compiled> c_;
};

class GitignoreBuilder {
 public:
  /// `allow_unclosed_class`: true for root/local matchers (an unclosed "[" is literal),
  /// false for the exclude matcher (it is an error).
  explicit GitignoreBuilder(std::string_view root, bool allow_unclosed_class = true);
  ~GitignoreBuilder();
  GitignoreBuilder(GitignoreBuilder&&) noexcept;
  GitignoreBuilder& operator=(GitignoreBuilder&&) noexcept;

  /// Adds one line. Blank and comment lines are accepted and add nothing.
  /// A rejected line adds nothing and reports why.
  [[nodiscard]] std::expected<void, GlobError> add_line(std::string_view line);

  /// Adds every line of a text (split on "\n", a trailing "\r" dropped per line, a
  /// leading byte-order mark dropped). Accepted lines stay even when others fail; the
  /// first failure is returned.
  [[nodiscard]] std::expected<void, GlobError> add_text(std::string_view text);

  /// Reads and adds every line of a file, whatever its size, streamed with
  /// `nivern_support::read_file_pieces` (links followed; regular files only). A file
  /// that cannot be opened or read to its end adds nothing; the error text is
  /// "{path}: {its error}" for such a file, else the first glob error's text. A line
  /// running through a hole of a sparse file is left out (no path holds its NUL bytes).
  [[nodiscard]] std::expected<void, std::string> add_file(const std::string& path);

  /// Same, for a file named relative to an open directory.
  [[nodiscard]] std::expected<void, std::string> add_file_at(int dir_fd, const char* name,
                                                             std::string_view shown_path);

  /// Compiles the accepted lines. Never fails for the lines it accepted; the result
  /// type leaves room for the empty-matcher fallback at the callers.
  [[nodiscard]] std::expected<Gitignore, GlobError> build();

 private:
  std::expected<void, std::string> add_stream(
      std::string_view shown_path,
      const std::function<std::expected<void, nivern_support::SmallFileError>(
          const std::function<void(nivern_support::FilePiece)>&)>& read);

  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace nivern_vfs
