#include "git/command.h"

#include <cstdlib>

#include "git/output.h"

namespace nivern_git::command {

void unattended(nivern_support::Command& c) {
  c.own_session = true;
  c.env.emplace_back("GIT_TERMINAL_PROMPT", "0");
  if (const char* path = std::getenv("PATH")) {
    std::string kept = nivern_support::absolute_entries(path);
    if (kept != path) c.env.emplace_back("PATH", std::move(kept));
  }
}

nivern_support::Command git(std::string_view workdir, std::vector<std::string> args) {
  nivern_support::Command c;
  c.program = "git";
  unattended(c);
  c.args.reserve(args.size() + 2);
  c.args.emplace_back("-C");
  c.args.emplace_back(workdir);
  for (std::string& a : args) c.args.push_back(std::move(a));
  return c;
}

std::expected<std::string, std::string> run(std::string_view workdir, std::vector<std::string> args) {
  auto done = nivern_support::run(git(workdir, std::move(args)));
  if (!done) return std::unexpected("cannot run git: " + done.error().text());
  if (!done->status.success()) return std::unexpected(said(done->err, done->out));
  return std::move(done->out);
}

std::string said(std::string_view err, std::string_view out) {
  std::string text = output::lossy(!err.empty() ? err : out);
  auto line = output::last_line(text, /*skip_hints=*/true);
  if (!line) return "git refused";
  std::string_view msg = *line;
  if (msg.starts_with("fatal: ")) {
    msg.remove_prefix(7);
  } else if (msg.starts_with("error: ")) {
    msg.remove_prefix(7);
  }
  return std::string(msg);
}

}  // namespace nivern_git::command
