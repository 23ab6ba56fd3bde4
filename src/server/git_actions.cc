#include "server/git_actions.h"

#include <expected>
#include <utility>

#include "git/branch.h"
#include "git/command.h"
#include "git/discover.h"
#include "git/log.h"
#include "git/output.h"
#include "git/pr.h"
#include "git/remote.h"
#include "git/stage.h"
#include "text/trim.h"

namespace nivern_server::git {

namespace {

namespace command = nivern_git::command;
namespace output = nivern_git::output;
namespace stage = nivern_git::stage;
using nivern_protocol::message::GitAction;
using nivern_protocol::message::Reply;

// The last component of `p` when it is an ordinary name: trailing separators and "."
// components are passed over; empty for a root, the empty path or a final "..".
std::string_view file_name(std::string_view p) {
  p = nivern_text::trim_path_end(p);
  std::size_t slash = p.rfind('/');
  std::string_view last = slash == std::string_view::npos ? p : p.substr(slash + 1);
  if (last == "." || last == "..") return {};
  return last;
}

Reply said(std::string sentence) {
  Reply::GitDone d;
  d.said = std::move(sentence);
  return d;
}

Reply failed(std::string message) {
  return Reply::Error{std::move(message)};
}

// The output of a run, decoded with replacement and trimmed.
std::string trimmed(std::string_view out) {
  return std::string(output::trim(output::lossy(out)));
}

// One action's steps in the work directory `wd`. Values git would read as options are
// preceded by "--end-of-options", so they can only ever be names or revisions.
struct Steps {
  const std::string& wd;

  Reply operator()(const GitAction::Stage& a) const {
    if (auto r = stage::with_paths(wd, {"add", "-A", "--"}, a.paths); !r) return failed(r.error());
    return said("Staged " + names(a.paths) + ".");
  }

  Reply operator()(const GitAction::StageAll&) const {
    if (auto r = command::run(wd, {"add", "-A"}); !r) return failed(r.error());
    return said("Staged everything.");
  }

  Reply operator()(const GitAction::Unstage& a) const {
    const auto& paths = a.paths;
    auto r = stage::with_paths(wd, {"restore", "--staged", "--"}, paths);
    // Without a commit there is no HEAD to restore from: take the paths out instead.
    if (!r && r.error().find("HEAD") != std::string::npos) {
      r = stage::with_paths(wd, {"rm", "--cached", "-r", "-q", "--"}, paths);
    }
    if (!r) return failed(r.error());
    return said("Unstaged " + names(paths) + ".");
  }

  Reply operator()(const GitAction::UnstageAll&) const {
    auto r = command::run(wd, {"reset", "-q"});
    if (!r && r.error().find("HEAD") != std::string::npos)
      r = command::run(wd, {"rm", "--cached", "-r", "-q", "--", "."});
    if (!r) return failed(r.error());
    return said("Unstaged everything.");
  }

  Reply operator()(const GitAction::Discard& a) const {
    auto tracked = a.tracked;
    const auto& untracked = a.untracked;
    if (auto r = stage::with_paths(wd, {"checkout", "--"}, tracked); !r) return failed(r.error());
    if (auto r = stage::with_paths(wd, {"clean", "-f", "-d", "-q", "--"}, untracked); !r)
      return failed(r.error());
    tracked.insert(tracked.end(), untracked.begin(), untracked.end());
    return said("Discarded changes to " + names(tracked) + ".");
  }

  Reply operator()(const GitAction::Commit& a) const {
    std::string_view message = output::trim(a.message);
    if (message.empty()) return failed("a commit needs a message");
    if (auto r = command::run(wd, {"commit", "-q", "-m", std::string(message)}); !r) return failed(r.error());
    auto head = command::run(wd, {"rev-parse", "--short", "HEAD"});
    if (!head) return failed(head.error());
    return said("Committed " + trimmed(*head) + ".");
  }

  Reply operator()(const GitAction::Amend& a) const {
    std::string_view message = a.message ? output::trim(*a.message) : std::string_view();
    auto r = message.empty() ? command::run(wd, {"commit", "-q", "--amend", "--no-edit"})
                             : command::run(wd, {"commit", "-q", "--amend", "-m", std::string(message)});
    if (!r) return failed(r.error());
    auto head = command::run(wd, {"rev-parse", "--short", "HEAD"});
    if (!head) return failed(head.error());
    return said("Amended " + trimmed(*head) + ".");
  }

  Reply operator()(const GitAction::UndoCommit&) const {
    auto subject = command::run(wd, {"log", "-1", "--format=%s"});
    if (!subject) return failed(subject.error());
    if (auto r = command::run(wd, {"reset", "-q", "--soft", "HEAD~1"}); !r) return failed(r.error());
    return said("Undid " + trimmed(*subject) + "; its changes are staged.");
  }

  Reply operator()(const GitAction::Stash&) const {
    auto r = command::run(wd, {"stash", "push"});
    if (!r) return failed(r.error());
    if (output::lossy(*r).find("No local changes") != std::string::npos)
      return failed("there is nothing to stash");
    return said("Stashed.");
  }

  Reply operator()(const GitAction::StashPop&) const {
    if (auto r = command::run(wd, {"stash", "pop", "-q"}); !r) return failed(r.error());
    return said("Popped the latest stash.");
  }

  Reply operator()(const GitAction::StageText& a) const {
    if (auto r = stage::stage_text(wd, a.path, a.text); !r) return failed(r.error());
    return said("Staged the selected lines.");
  }

  Reply operator()(const GitAction::Fetch&) const {
    if (auto r = command::run(wd, {"fetch", "--quiet"}); !r) return failed(r.error());
    return said("Fetched.");
  }

  Reply operator()(const GitAction::Pull&) const {
    if (auto r = command::run(wd, {"pull", "--quiet"}); !r) return failed(r.error());
    return said("Pulled.");
  }

  Reply operator()(const GitAction::Push&) const {
    if (auto r = command::run(wd, {"push", "--quiet"}); !r) return failed(r.error());
    return said("Pushed.");
  }

  Reply operator()(const GitAction::Publish& a) const {
    auto listed = command::run(wd, {"remote"});
    if (!listed) return failed(listed.error());
    auto remotes = nivern_git::branch::list(*listed);
    if (remotes.empty()) return failed("there is no remote to publish to");
    std::string remote = remotes.front();
    for (const std::string& name : remotes) {
      if (name == "origin") remote = name;
    }
    if (auto r = nivern_git::remote::publish(wd, remote, a.branch); !r) return failed(r.error());
    return said("Published " + a.branch + " to " + remote + ".");
  }

  Reply operator()(const GitAction::Branches&) const {
    // Branches only: no line for a detached HEAD or a rebase, and each name whole, even
    // where a tag of the same name would make git shorten it ambiguously.
    auto r = command::run(
        wd, {"for-each-ref", "--format=%(refname:lstrip=2)", "--sort=-committerdate", "refs/heads/"});
    if (!r) return failed(r.error());
    Reply::GitDone d;
    d.branches = nivern_git::branch::list(*r);
    return d;
  }

  Reply operator()(const GitAction::Switch& a) const {
    if (auto r = command::run(wd, {"switch", "--quiet", "--end-of-options", a.name}); !r)
      return failed(r.error());
    return said("Switched to " + a.name + ".");
  }

  Reply operator()(const GitAction::Create& a) const {
    std::string_view name = output::trim(a.name);
    if (name.empty()) return failed("a branch needs a name");
    if (auto r = command::run(wd, {"switch", "--quiet", "-c", std::string(name)}); !r)
      return failed(r.error());
    return said("Started " + a.name + " and switched to it.");
  }

  Reply operator()(const GitAction::Log& a) const {
    auto r = command::run(wd, {"log", std::string(nivern_git::log::FORMAT), "-n", std::to_string(a.limit)});
    Reply::GitDone d;
    if (r) {
      d.commits = nivern_git::log::parse_log(*r);
    } else if (r.error().find("does not have any commits") == std::string::npos) {
      return failed(r.error());
    }
    return d;
  }

  Reply operator()(const GitAction::CommitFiles& a) const {
    auto r = command::run(
        wd, {"show", "--name-status", "-z", "--format=", "--no-renames", "--end-of-options", a.hash});
    if (!r) return failed(r.error());
    Reply::GitDone d;
    d.changed = nivern_git::log::parse_files(*r);
    return d;
  }

  Reply operator()(const GitAction::PullRequestCreate& a) const {
    std::string_view title = output::trim(a.title);
    if (title.empty()) return failed("a pull request needs a title");
    auto r = nivern_git::pr::run(wd, {"pr", "create", "--title", std::string(title), "--body", ""});
    if (!r) return failed(r.error());
    // gh prints the new pull request's address last; anything before it is chatter.
    std::string out = output::lossy(*r);
    std::string_view address;
    output::each_line(out, [&](std::string_view line) {
      std::string_view t = output::trim(line);
      if (t.starts_with("http")) address = t;
    });
    Reply::GitDone d;
    d.said = "Opened a pull request: " + std::string(address);
    d.open = std::string(address);
    return d;
  }

  Reply operator()(const GitAction::PullRequestUrl& a) const {
    std::vector<std::string> args = {"pr", "view"};
    if (a.number) args.push_back(std::to_string(*a.number));
    args.insert(args.end(), {"--json", "url", "--template", "{{.url}}"});
    auto r = nivern_git::pr::run(wd, std::move(args));
    if (!r) return failed(r.error());
    std::string address = trimmed(*r);
    if (!address.starts_with("http")) return failed("that pull request has no address");
    Reply::GitDone d;
    d.open = std::move(address);
    return d;
  }

  Reply operator()(const GitAction::PullRequests&) const {
    auto r = nivern_git::pr::run(wd, {"pr", "list", "--json", "number,title,headRefName", "--template",
                                      std::string(nivern_git::pr::LIST_TEMPLATE)});
    if (!r) return failed(r.error());
    Reply::GitDone d;
    d.pulls = nivern_git::pr::parse_list(*r);
    if (d.pulls.empty()) d.said = "No open pull requests.";
    return d;
  }
};

}  // namespace

Reply act(std::string_view path, const GitAction& action) {
  auto repo = nivern_git::discover::find(path);
  if (!repo) return failed("not in a repository");
  return std::visit(Steps{repo->workdir}, action.v);
}

std::string names(const std::vector<std::string>& paths) {
  if (paths.size() != 1) return std::to_string(paths.size()) + " files";
  std::string_view name = file_name(paths.front());
  return output::lossy(name.empty() ? std::string_view(paths.front()) : name);
}

}  // namespace nivern_server::git
