// The error form the editor sees for a pattern that does not parse: the pattern,
// with the failing span (and a second span, when there is one) marked beneath it.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vfs/search/regex_syntax.h"

namespace nivern_vfs::regex {
namespace {

/// The pattern's lines as the notation shows them: split at line feeds, a carriage
/// return before a line feed dropped.
std::vector<std::string_view> pattern_lines(std::string_view p) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at < p.size()) {
    std::size_t lf = p.find('\n', at);
    std::string_view line = p.substr(at, lf == std::string_view::npos ? p.size() - at : lf - at);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    at = lf + 1;
  }
  return lines;
}

}  // namespace

std::string format_error(const SyntaxError& error) {
  const std::string_view p = error.pattern;
  const std::vector<std::string_view> lines = pattern_lines(p);
  std::size_t line_count = lines.size();
  if (p.ends_with('\n')) line_count += 1;
  const std::size_t width = line_count <= 1 ? 0 : std::to_string(line_count).size();

  std::vector<std::vector<Span>> by_line(line_count);
  std::vector<Span> multi_line;
  auto add_span = [&](const Span& s) {
    auto before = [](const Span& a, const Span& b) {
      return std::pair(a.start.offset, a.end.offset) < std::pair(b.start.offset, b.end.offset);
    };
    if (s.start.line == s.end.line) {
      auto& v = by_line[s.start.line - 1];
      v.push_back(s);
      std::sort(v.begin(), v.end(), before);
    } else {
      multi_line.push_back(s);
      std::sort(multi_line.begin(), multi_line.end(), before);
    }
  };
  add_span(error.span);
  if (error.aux) add_span(*error.aux);

  std::string notated;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (width > 0) {
      const std::string n = std::to_string(i + 1);
      notated.append(width - n.size(), ' ');
      notated += n;
      notated += ": ";
    } else {
      notated += "    ";
    }
    notated += lines[i];
    notated += '\n';
    if (i < by_line.size() && !by_line[i].empty()) {
      notated.append(width == 0 ? 4 : 2 + width, ' ');
      std::size_t pos = 0;
      for (const Span& s : by_line[i]) {
        for (; pos + 1 < s.start.column; ++pos) notated += ' ';
        const std::size_t len = s.end.column > s.start.column ? s.end.column - s.start.column : 0;
        for (std::size_t k = 0; k < std::max<std::size_t>(1, len); ++k, ++pos) notated += '^';
      }
      notated += '\n';
    }
  }

  std::string out = "regex parse error:\n";
  if (p.find('\n') != std::string_view::npos) {
    const std::string divider(79, '~');
    out += divider + "\n" + notated + divider + "\n";
    if (!multi_line.empty()) {
      std::string notes;
      for (const Span& s : multi_line) {
        if (!notes.empty()) notes += '\n';
        notes += "on line " + std::to_string(s.start.line) + " (column " +
                 std::to_string(s.start.column) + ") through line " + std::to_string(s.end.line) +
                 " (column " + std::to_string(s.end.column - 1) + ")";
      }
      out += notes + "\n";
    }
  } else {
    out += notated;
  }
  out += "error: " + error.description;
  return out;
}

}  // namespace nivern_vfs::regex
