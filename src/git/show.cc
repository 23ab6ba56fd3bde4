#include "git/show.h"

#include "git/command.h"
#include "git/discover.h"
#include "git/output.h"
#include "git/path.h"
#include "support/process.h"

namespace nivern_git::show {

using nivern_protocol::message::Reply;

std::string relative_to(std::string_view workdir, std::string_view path) {
  return output::lossy(path::strip_prefix(path, workdir).value_or(path));
}

std::expected<Reply, OverLimit> committed(std::string_view path, std::size_t limit) {
  auto repo = discover::find(path);
  if (!repo) return Reply::Error{"not in a repository"};
  std::string spec = "HEAD:" + relative_to(repo->workdir, path);

  nivern_support::Command show = command::git(repo->workdir, {"--no-optional-locks", "show", std::move(spec)});
  show.out_limit = limit;
  auto done = nivern_support::run(show);
  if (!done) return Reply::Error{done.error().text()};
  if (done->out_over) return std::unexpected(OverLimit{});
  if (!done->status.success()) {
    std::string err = output::lossy(done->err);
    if (err.find("does not exist") != std::string::npos ||
        err.find("exists on disk, but not in") != std::string::npos) {
      return Reply::Error{"not in the last commit"};
    }
    return Reply::Error{std::string(output::trim(err))};
  }
  if (!output::valid_utf8(done->out)) return Reply::Error{"binary in the last commit"};
  return Reply::Text{std::move(done->out), "UTF-8", nivern_protocol::message::LineEnding::lf, false, false};
}

}  // namespace nivern_git::show
