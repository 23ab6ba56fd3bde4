#include "git/output.h"

namespace nivern_git::output {

std::optional<std::string_view> last_line(std::string_view text, bool skip_hints) {
  // The empty piece after a final "\n" is not a line.
  if (text.ends_with('\n')) text.remove_suffix(1);
  else if (text.empty()) return std::nullopt;
  for (;;) {
    std::size_t nl = text.rfind('\n');
    std::string_view line = nl == std::string_view::npos ? text : text.substr(nl + 1);
    std::string_view t = trim(line);
    if (!t.empty() && !(skip_hints && t.starts_with("hint:"))) return t;
    if (nl == std::string_view::npos) return std::nullopt;
    text = text.substr(0, nl);
  }
}

}  // namespace nivern_git::output
