#include "git/pr.h"

#include <sys/stat.h>

#include <cerrno>

#include "git/output.h"
#include "support/process.h"

namespace nivern_git::pr {

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::expected<std::string, std::string> run(std::string_view workdir, std::vector<std::string> args) {
  nivern_support::Command c;
  c.program = "gh";
  c.args = std::move(args);
  // The empty path (a repository found from a relative start) is our own directory,
  // as it is for `git -C ""`.
  if (!workdir.empty()) c.workdir = std::string(workdir);
  auto done = nivern_support::run(c);
  if (!done) {
    // A missing working directory fails the start with the same ENOENT as a missing
    // program; only the latter means gh is not installed.
    bool not_found = done.error().err == ENOENT && !done.error().fixed &&
                     (!c.workdir || is_directory(*c.workdir));
    if (not_found) return std::unexpected("gh is not installed; get it from " + std::string(GH_DOWNLOAD));
    return std::unexpected("cannot run gh: " + done.error().text());
  }
  if (!done->status.success()) {
    std::string err = output::lossy(done->err);
    auto line = output::last_line(err, /*skip_hints=*/false);
    return std::unexpected(line ? std::string(*line) : std::string("gh refused"));
  }
  return std::move(done->out);
}

}  // namespace nivern_git::pr
