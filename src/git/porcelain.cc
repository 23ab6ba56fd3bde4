#include "git/porcelain.h"

#include <charconv>

#include "git/output.h"

namespace nivern_git::porcelain {

namespace {

// An unsigned 64-bit decimal with an optional leading "+"; anything else reads as 0.
std::uint64_t count(std::string_view t) {
  if (t.starts_with('+')) t.remove_prefix(1);
  if (t.empty() || t.front() == '+' || t.front() == '-') return 0;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size()) return 0;
  return v;
}

// The text before the first `sep`, or all of it.
std::string_view before(std::string_view t, std::string_view sep) {
  std::size_t at = t.find(sep);
  return at == std::string_view::npos ? t : t.substr(0, at);
}

std::optional<std::string> non_empty(std::string_view t) {
  if (t.empty()) return std::nullopt;
  return std::string(t);
}

}  // namespace

Header parse_header(std::string_view record) {
  std::string decoded = output::lossy(record);
  std::string_view text = output::trim(decoded);
  Header h;

  if (text.starts_with("HEAD (")) {
    // Detached: the branch comes from HEAD itself.
  } else if (text.starts_with("No commits yet on ") || text.starts_with("Initial commit on ")) {
    // An unborn branch may have an upstream too (a clone of an empty repository):
    // the name stops where the upstream part begins. It may be empty.
    std::string_view rest = before(before(text.substr(18), "..."), " [");
    h.branch = std::string(output::trim(rest));
  } else {
    h.branch = non_empty(output::trim(before(before(text, "..."), " [")));
  }

  std::size_t dots = text.find("...");
  if (dots == std::string_view::npos) return h;
  std::string_view after = text.substr(dots + 3);
  std::string_view bracket;
  if (std::size_t open = after.find(" ["); open != std::string_view::npos) {
    h.upstream = non_empty(output::trim(after.substr(0, open)));
    bracket = after.substr(open + 2);
  } else {
    h.upstream = non_empty(output::trim(after));
  }
  while (bracket.ends_with(']')) bracket.remove_suffix(1);
  while (!bracket.empty()) {
    std::size_t comma = bracket.find(',');
    std::string_view item = output::trim(bracket.substr(0, comma));
    if (item.starts_with("ahead ")) h.ahead = count(output::trim(item.substr(6)));
    if (item.starts_with("behind ")) h.behind = count(output::trim(item.substr(7)));
    if (comma == std::string_view::npos) break;
    bracket.remove_prefix(comma + 1);
  }
  return h;
}

std::string absolute(std::string_view workdir, std::string_view path) {
  std::string decoded = output::lossy(path);
  std::string out(workdir);
  std::string_view rest = decoded;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view piece = rest.substr(0, slash);
    if (!piece.empty()) {
      if (!out.empty() && !out.ends_with('/')) out += '/';
      out += piece;
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return output::lossy(out);
}

}  // namespace nivern_git::porcelain
