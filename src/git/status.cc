#include "git/status.h"

#include "git/command.h"
#include "git/discover.h"
#include "git/head.h"
#include "git/output.h"
#include "git/state.h"
#include "support/process.h"

namespace nivern_git::status {

Detail detail(char x, char y) {
  if (x == '?' && y == '?') return {std::nullopt, GitState::untracked};
  if (x == 'U' || y == 'U') return {std::nullopt, GitState::conflicted};
  if ((x == 'A' && y == 'A') || (x == 'D' && y == 'D')) return {std::nullopt, GitState::conflicted};
  return {state::letter(x), state::letter(y)};
}

Parsed parse(std::string_view workdir, std::string_view output) {
  Parsed p;
  output::NulRecords records(output);
  auto next = [&records] { return records.next(); };
  while (auto rec = next()) {
    if (rec->size() >= 3 && rec->starts_with("## ")) {
      p.header = porcelain::parse_header(rec->substr(3));
      continue;
    }
    if (rec->size() < 4 || (*rec)[2] != ' ') continue;
    char x = (*rec)[0], y = (*rec)[1];
    std::string_view file = rec->substr(3);
    std::optional<std::string_view> source;
    if (x == 'R' || x == 'C' || y == 'R' || y == 'C') {
      source = next();
      // A path is never empty: an empty record is no source.
      if (source && source->empty()) source.reset();
    }
    auto overall = state::overall(x, y);
    if (!overall) continue;
    p.entries.insert_or_assign(porcelain::absolute(workdir, file), Entry{*overall, detail(x, y)});
    if (x == 'R' && source) {
      p.entries.insert_or_assign(porcelain::absolute(workdir, *source),
                                 Entry{GitState::deleted, {GitState::deleted, std::nullopt}});
    }
  }
  return p;
}

nivern_protocol::message::Reply::GitStatus query(std::string_view path) {
  nivern_protocol::message::Reply::GitStatus reply;
  auto repo = discover::find(path);
  if (!repo) return reply;
  reply.repository = true;
  reply.branch = head::read(repo->gitdir);

  nivern_support::Command c = command::git(
      repo->workdir, {"--no-optional-locks", "status", "--porcelain=v1", "-z", "--branch"});
  c.capture_err = false;
  auto done = nivern_support::run(c);
  if (!done) return reply;

  // The exit status is not looked at: whatever came out is read.
  Parsed parsed = parse(repo->workdir, done->out);
  if (parsed.header) {
    if (parsed.header->branch) reply.branch = std::move(parsed.header->branch);
    reply.upstream = std::move(parsed.header->upstream);
    reply.ahead = parsed.header->ahead;
    reply.behind = parsed.header->behind;
  }
  reply.entries.reserve(parsed.entries.size());
  for (auto& [key, entry] : parsed.entries) {
    reply.entries.push_back({key, entry.state, entry.detail.staged, entry.detail.unstaged});
  }
  return reply;
}

}  // namespace nivern_git::status
