#include "git/head.h"

#include <algorithm>

#include "git/output.h"
#include "git/path.h"
#include "support/small_file.h"

namespace nivern_git::head {

namespace {

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The text up to the first Unicode white space.
std::string_view first_word(std::string_view t) {
  for (std::size_t at = 0; at < t.size();) {
    std::size_t next = at + 1;
    while (next < t.size() && (static_cast<unsigned char>(t[next]) & 0xC0) == 0x80) ++next;
    std::string_view ch = t.substr(at, next - at);
    if (output::trim(ch).empty()) return t.substr(0, at);
    at = next;
  }
  return t;
}

}  // namespace

std::optional<std::string> parse(std::string_view text) {
  std::string_view t = output::trim(text);
  if (t.empty()) return std::nullopt;
  if (t.starts_with("ref:")) {
    std::string_view ref = output::trim(t.substr(4));
    if (ref.empty()) return std::nullopt;
    if (ref.starts_with("refs/heads/")) ref.remove_prefix(11);
    return std::string(ref);
  }
  std::string_view word = first_word(t);
  if (word.size() >= 7 && std::all_of(word.begin(), word.end(), is_hex)) return std::string(word.substr(0, 7));
  return std::nullopt;
}

std::optional<std::string> read(std::string_view gitdir) {
  auto text = nivern_support::read_small_file(path::join(gitdir, "HEAD"));
  if (!text || !output::valid_utf8(*text)) return std::nullopt;
  return parse(*text);
}

}  // namespace nivern_git::head
