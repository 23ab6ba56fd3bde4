#include "git/remote.h"

#include "git/command.h"

namespace nivern_git::remote {

std::expected<void, std::string> publish(std::string_view workdir, std::string_view remote,
                                         std::string_view branch) {
  if (branch.find_first_of(":*") != std::string_view::npos) {
    return std::unexpected("'" + std::string(branch) + "' is not a valid branch name");
  }
  std::string ref = "refs/heads/" + std::string(branch);
  auto done = command::run(workdir, {"push", "--quiet", "--set-upstream", "--end-of-options",
                                     std::string(remote), ref + ":" + ref});
  if (!done) return std::unexpected(std::move(done.error()));
  return {};
}

}  // namespace nivern_git::remote
