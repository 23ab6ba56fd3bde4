#pragma once
/// The line searcher: finds the lines of one file that a `Matcher` matches.
///
/// Threading: one `LineSearcher` per worker thread, reused from file to file; the
/// `Matcher` may be shared.
///
/// A file is read in large blocks (no memory mapping) and decoded by `SearchReader`
/// (byte-order marks). Each block's whole lines are searched at once: the matcher's
/// needle or block regex finds the next candidate line, RE2 confirms it when needed, and
/// line numbers come from counting line feeds up to the matches only. A line longer than
/// the buffer grows the buffer, never beyond what the file holds.
///
/// Binary files follow the rule of a searcher that reads into a 64 KiB line buffer:
/// the first read brings at most 3 bytes (those examined for a byte-order mark), and
/// each fill reads until it has brought a line feed, the buffer tripling when full.
/// When a read brings a NUL byte the file ends, and no line still in the buffer is
/// reported: only lines of earlier fills keep their matches. `FillModel` follows those
/// fills over the decoded bytes while the file is read in larger blocks.
///
/// At most `max_matches` matches are kept per file; reading stops soon after (once the
/// fill holding the last kept line is known to be free of NUL bytes).
///
/// For each matching line: its bytes must be valid UTF-8 (otherwise the whole file is
/// discarded); the reported text is the line without its trailing carriage returns and
/// line feed; the span is that of the first match in the text (the whole text when the
/// match needed the trailing carriage returns).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vfs/search/search_matcher.h"
#include "vfs/search/search_reader.h"

namespace nivern_vfs::search {

/// One matching line.
struct Match {
  /// The searched file's path as the walker formed it.
  std::string path;
  /// The line, without trailing carriage returns and line feed.
  std::string text;
  /// 1 for the first line of the file.
  std::uint64_t line = 0;
  /// Byte offsets into `text` of the first match, end exclusive.
  std::uint64_t start = 0;
  std::uint64_t end = 0;

  friend bool operator==(const Match&, const Match&) = default;
};

/// The fills of the line buffer described above, fed the decoded bytes in order.
class FillModel {
 public:
  static constexpr std::uint64_t CAPACITY = 64 * 1024;
  static constexpr std::uint64_t FIRST_READ = 3;

  /// Takes the next bytes of the stream (no NUL among them).
  void feed(const char* data, std::size_t size);
  /// The end of the reportable bytes: just after the last line feed of the last fill
  /// that completed.
  [[nodiscard]] std::uint64_t safe() const { return safe_; }

 private:
  std::uint64_t capacity_ = CAPACITY;
  std::uint64_t pos_ = 0;       // stream bytes fed so far
  std::uint64_t buffered_ = 0;  // bytes in the buffer, as of the current read
  std::uint64_t need_ = FIRST_READ;  // bytes the current read still brings
  std::uint64_t safe_ = 0;
  bool lf_in_fill_ = false;     // the current fill has brought a line feed ...
  std::uint64_t last_lf_ = 0;   // ... here
};

/// The number of line feeds in [begin, end).
[[nodiscard]] std::size_t count_line_feeds(const char* begin, const char* end);

class LineSearcher {
 public:
  /// Block size of the first read of a file; the buffer starts at twice this.
  static constexpr std::size_t BLOCK = 128 * 1024;

  LineSearcher();

  /// Searches the open file `fd` (not owned) and appends one `Match` per matching line,
  /// in line order, with `path` as their path. Returns false, with `out` as it was on
  /// entry, when the file must be left out: a read error, or a matching line that is
  /// not valid UTF-8.
  [[nodiscard]] bool search(int fd, const Matcher& matcher, std::string_view path,
                            std::vector<Match>& out, std::size_t max_matches = SIZE_MAX);

  /// The largest buffer the last `search` used (for tests of memory use).
  [[nodiscard]] std::size_t peak_capacity() const { return peak_; }

 private:
  struct State;
  bool search_lines(State& s, std::size_t from, std::size_t to);
  void grow(State& s);

  SearchReader reader_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  std::size_t peak_ = 0;
  /// Where each of the current file's matching lines starts in the stream.
  std::vector<std::uint64_t> starts_;
};

}  // namespace nivern_vfs::search
