#pragma once
/// Reading what git prints: lossy UTF-8 decoding, Unicode white-space trimming, the
/// last meaningful line of an output and the records of its NUL-separated (`-z`) forms.
///
/// Threading: pure functions on their arguments; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "text/byte_decoders.h"
#include "text/trim.h"

namespace nivern_git::output {

/// True when `bytes` is well-formed UTF-8 as a whole.
inline bool valid_utf8(std::string_view bytes) { return nivern_text::is_valid_utf8(bytes); }

/// `bytes` as UTF-8 with each invalid sequence (each maximal ill-formed subpart) replaced
/// by U+FFFD. Valid input comes back unchanged.
inline std::string lossy(std::string_view bytes) { return nivern_text::lossy_utf8(bytes); }

using nivern_text::is_white_space;
using nivern_text::trim;

/// Walks the lines of `text` from the last to the first and returns
/// the first one that is not empty once trimmed, trimmed. A line ends at "\n"; a final
/// piece without one counts. With `skip_hints`, lines beginning "hint:" after trimming
/// are passed over too.
std::optional<std::string_view> last_line(std::string_view text, bool skip_hints);

/// Calls `f` with each line of `text` in order: a line ends at "\n", one "\r" right
/// before it is dropped, a final piece without "\n" counts and the empty piece after a
/// final "\n" does not.
template <class F>
void each_line(std::string_view text, F&& f) {
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (nl == std::string_view::npos) {
      text = {};
    } else {
      text.remove_prefix(nl + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
    }
    f(line);
  }
}

/// Takes the records of a NUL-separated output one at a time: each ends with a NUL, and a
/// last piece without one still counts.
class NulRecords {
 public:
  explicit NulRecords(std::string_view out) : out_(out) {}
  std::optional<std::string_view> next() {
    if (out_.empty()) return std::nullopt;
    std::size_t nul = out_.find('\0');
    std::string_view rec = out_.substr(0, nul);
    out_.remove_prefix(nul == std::string_view::npos ? out_.size() : nul + 1);
    return rec;
  }

 private:
  std::string_view out_;
};

}  // namespace nivern_git::output
