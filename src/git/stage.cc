#include "git/stage.h"

#include "git/command.h"
#include "git/output.h"
#include "git/show.h"
#include "support/os_error.h"
#include "support/process.h"

namespace nivern_git::stage {

std::expected<void, std::string> with_paths(std::string_view workdir, std::vector<std::string> leading,
                                            const std::vector<std::string>& paths) {
  if (paths.empty()) return {};
  std::vector<std::string> args;
  args.reserve(1 + leading.size() + paths.size());
  args.emplace_back(command::LITERAL_PATHS);
  for (std::string& a : leading) args.push_back(std::move(a));
  for (const std::string& p : paths) args.push_back(show::relative_to(workdir, p));
  auto done = command::run(workdir, std::move(args));
  if (!done) return std::unexpected(std::move(done.error()));
  return {};
}

std::expected<void, std::string> stage_text(std::string_view workdir, std::string_view path,
                                            std::string_view text) {
  std::string rel = show::relative_to(workdir, path);

  nivern_support::Command hash = command::git(workdir, {"hash-object", "-w", "--stdin"});
  hash.input = text;
  auto hashed = nivern_support::run(hash);
  if (!hashed) return std::unexpected("cannot run git: " + hashed.error().text());
  if (hashed->input_error != 0) {
    return std::unexpected("cannot write to git: " + nivern_support::os_error_text(hashed->input_error));
  }
  if (!hashed->status.success()) return std::unexpected(command::said(hashed->err, hashed->out));
  std::string blob(output::trim(output::lossy(hashed->out)));

  auto listed = command::run(workdir, {std::string(command::LITERAL_PATHS), "ls-files", "-s", "--", rel});
  if (!listed) return std::unexpected(std::move(listed.error()));
  std::string mode = "100644";
  std::string shown = output::lossy(*listed);
  std::string_view rest = output::trim(shown);
  if (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size() && !output::is_white_space(static_cast<unsigned char>(rest[end]))) ++end;
    mode = std::string(rest.substr(0, end));
  }

  auto updated =
      command::run(workdir, {"update-index", "--add", "--cacheinfo", mode + "," + blob + "," + rel});
  if (!updated) return std::unexpected(std::move(updated.error()));
  return {};
}

}  // namespace nivern_git::stage
