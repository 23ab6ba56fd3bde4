#include "git/pr.h"

#include <charconv>
#include <cstdint>
#include <optional>

#include "git/command.h"
#include "git/output.h"
#include "support/process.h"

namespace nivern_git::pr {

namespace {

// An unsigned 64-bit decimal with an optional leading "+"; none for anything else.
std::optional<std::uint64_t> read_number(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return n;
}

}  // namespace

std::expected<std::string, std::string> run(std::string_view workdir, std::vector<std::string> args) {
  nivern_support::Command c;
  c.program = "gh";  // found on our PATH before the child changes into the work tree
  c.args = std::move(args);
  command::unattended(c);
  // The empty path (a repository found from a relative start) is our own directory,
  // as it is for `git -C ""`.
  if (!workdir.empty()) c.workdir = std::string(workdir);
  auto done = nivern_support::run(c);
  if (!done) {
    if (done.error().not_found) {
      return std::unexpected("gh is not installed; get it from " + std::string(GH_DOWNLOAD));
    }
    return std::unexpected("cannot run gh: " + done.error().text());
  }
  if (!done->status.success()) {
    std::string err = output::lossy(done->err);
    auto line = output::last_line(err, /*skip_hints=*/false);
    return std::unexpected(line ? std::string(*line) : std::string("gh refused"));
  }
  return std::move(done->out);
}

std::vector<nivern_protocol::message::PullSummary> parse_list(std::string_view out) {
  std::string text = output::lossy(out);
  std::vector<nivern_protocol::message::PullSummary> pulls;
  output::each_line(text, [&](std::string_view line) {
    std::size_t first = line.find('\t');
    if (first == std::string_view::npos) return;
    std::size_t second = line.find('\t', first + 1);
    if (second == std::string_view::npos) return;
    auto number = read_number(output::trim(line.substr(0, first)));
    if (!number) return;
    pulls.push_back({*number, std::string(output::trim(line.substr(first + 1, second - first - 1))),
                     std::string(output::trim(line.substr(second + 1)))});
  });
  return pulls;
}

}  // namespace nivern_git::pr
