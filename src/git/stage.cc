#include "git/stage.h"

#include <sys/stat.h>

#include <optional>

#include "git/command.h"
#include "git/output.h"
#include "git/show.h"
#include "support/os_error.h"
#include "support/process.h"
#include "text/trim.h"

namespace nivern_git::stage {

namespace {

// The index mode of a symbolic link.
constexpr std::string_view LINK_MODE = "120000";

// The mode of the entry named exactly `name` in `listing`, the output of "ls-files -s
// -z" (records "<mode> <object> <stage>\t<name>", each ended by NUL); none when no
// entry has that name.
std::optional<std::string> index_mode(std::string_view listing, std::string_view name) {
  output::NulRecords records(listing);
  while (auto next = records.next()) {
    std::string_view rec = *next;
    std::size_t tab = rec.find('\t');
    std::size_t space = rec.find(' ');
    if (tab == std::string_view::npos || space > tab || rec.substr(tab + 1) != name) continue;
    return std::string(rec.substr(0, space));
  }
  return std::nullopt;
}

}  // namespace

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

  // A link's staged content is its target: lines of the file behind it never belong there.
  auto listed =
      command::run(workdir, {std::string(command::LITERAL_PATHS), "ls-files", "-s", "-z", "--", rel});
  if (!listed) return std::unexpected(std::move(listed.error()));
  std::string mode = index_mode(*listed, rel).value_or("100644");
  struct stat st {};
  std::string on_disk(nivern_text::trim_path_end(path));
  if (mode == LINK_MODE || (::lstat(on_disk.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
    return std::unexpected("cannot stage lines of '" + rel + "': it is a symbolic link");
  }

  nivern_support::Command hash = command::git(workdir, {"hash-object", "-w", "--stdin"});
  hash.input = text;
  auto hashed = nivern_support::run(hash);
  if (!hashed) return std::unexpected("cannot run git: " + hashed.error().text());
  if (hashed->input_error != 0) {
    return std::unexpected("cannot write to git: " + nivern_support::os_error_text(hashed->input_error));
  }
  if (!hashed->status.success()) return std::unexpected(command::said(hashed->err, hashed->out));
  std::string blob(output::trim(output::lossy(hashed->out)));

  auto updated =
      command::run(workdir, {"update-index", "--add", "--cacheinfo", mode + "," + blob + "," + rel});
  if (!updated) return std::unexpected(std::move(updated.error()));
  return {};
}

}  // namespace nivern_git::stage
