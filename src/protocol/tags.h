#pragma once
/// The wire tags of the message model's unions (calls, git actions, replies), each table
/// in the order of its variant, and the names the decoder's faults give the calls and
/// actions ("struct variant Call::PtyOpen with 3 elements").
///
/// Constants only. Each table lists its alternatives' types beside their tags, and a
/// `static_assert` holds it to its variant, so that a variant's index always stands for
/// the tag at the same place in the table (a git action's tag may be sent as that index).
#include <array>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>

#include "protocol/message.h"

namespace nivern_protocol::message {

namespace tags {

/// One alternative `T`: its tag on the wire, and its name in the decoder's faults (none
/// for replies, which are never decoded).
template <class T>
struct Tag {
  std::string_view wire;
  std::string_view name = {};
};

/// True when the table's entries are the alternatives of `Variant`, in its order.
template <class Variant, class... T>
constexpr bool in_order_of(const std::tuple<Tag<T>...>&) {
  return std::is_same_v<Variant, std::variant<T...>>;
}

template <class... T>
constexpr std::array<std::string_view, sizeof...(T)> wire(const std::tuple<Tag<T>...>& table) {
  return std::apply([](const auto&... e) { return std::array<std::string_view, sizeof...(T)>{e.wire...}; },
                    table);
}

template <class... T>
constexpr std::array<std::string_view, sizeof...(T)> names(const std::tuple<Tag<T>...>& table) {
  return std::apply([](const auto&... e) { return std::array<std::string_view, sizeof...(T)>{e.name...}; },
                    table);
}

inline constexpr std::tuple kCalls{
    Tag<Call::Hello>{"hello", "Hello"},
    Tag<Call::ListDir>{"list_dir", "ListDir"},
    Tag<Call::Open>{"open", "Open"},
    Tag<Call::Save>{"save", "Save"},
    Tag<Call::Search>{"search", "Search"},
    Tag<Call::Scan>{"scan", "Scan"},
    Tag<Call::Watch>{"watch", "Watch"},
    Tag<Call::GitStatus>{"git_status", "GitStatus"},
    Tag<Call::GitShow>{"git_show", "GitShow"},
    Tag<Call::GitAction>{"git_action", "GitAction"},
    Tag<Call::PtyOpen>{"pty_open", "PtyOpen"},
    Tag<Call::PtyInput>{"pty_input", "PtyInput"},
    Tag<Call::PtyResize>{"pty_resize", "PtyResize"},
    Tag<Call::PtyClose>{"pty_close", "PtyClose"},
    Tag<Call::LspOpen>{"lsp_open", "LspOpen"},
    Tag<Call::LspInput>{"lsp_input", "LspInput"},
    Tag<Call::LspClose>{"lsp_close", "LspClose"},
};
static_assert(in_order_of<Call::Variant>(kCalls), "one call tag for each alternative of Call, in its order");

inline constexpr std::tuple kActions{
    Tag<GitAction::Stage>{"stage", "Stage"},
    Tag<GitAction::StageAll>{"stage_all", "StageAll"},
    Tag<GitAction::Unstage>{"unstage", "Unstage"},
    Tag<GitAction::UnstageAll>{"unstage_all", "UnstageAll"},
    Tag<GitAction::Discard>{"discard", "Discard"},
    Tag<GitAction::Commit>{"commit", "Commit"},
    Tag<GitAction::Fetch>{"fetch", "Fetch"},
    Tag<GitAction::Pull>{"pull", "Pull"},
    Tag<GitAction::Push>{"push", "Push"},
    Tag<GitAction::Publish>{"publish", "Publish"},
    Tag<GitAction::Branches>{"branches", "Branches"},
    Tag<GitAction::Switch>{"switch", "Switch"},
    Tag<GitAction::Create>{"create", "Create"},
    Tag<GitAction::PullRequestCreate>{"pull_request_create", "PullRequestCreate"},
    Tag<GitAction::PullRequestUrl>{"pull_request_url", "PullRequestUrl"},
    Tag<GitAction::PullRequests>{"pull_requests", "PullRequests"},
    Tag<GitAction::Log>{"log", "Log"},
    Tag<GitAction::CommitFiles>{"commit_files", "CommitFiles"},
    Tag<GitAction::Stash>{"stash", "Stash"},
    Tag<GitAction::StashPop>{"stash_pop", "StashPop"},
    Tag<GitAction::Amend>{"amend", "Amend"},
    Tag<GitAction::UndoCommit>{"undo_commit", "UndoCommit"},
    Tag<GitAction::StageText>{"stage_text", "StageText"},
};
static_assert(in_order_of<GitAction::Variant>(kActions),
              "one action tag for each alternative of GitAction, in its order");

inline constexpr std::tuple kReplies{
    Tag<Reply::Hello>{"hello"},
    Tag<Reply::Entries>{"entries"},
    Tag<Reply::Text>{"text"},
    Tag<Reply::Saved>{"saved"},
    Tag<Reply::Found>{"found"},
    Tag<Reply::Scanned>{"scanned"},
    Tag<Reply::Watching>{"watching"},
    Tag<Reply::Changed>{"changed"},
    Tag<Reply::GitStatus>{"git_status"},
    Tag<Reply::GitDone>{"git_done"},
    Tag<Reply::PtyOpened>{"pty_opened"},
    Tag<Reply::PtyOutput>{"pty_output"},
    Tag<Reply::PtyExited>{"pty_exited"},
    Tag<Reply::LspOpened>{"lsp_opened"},
    Tag<Reply::LspOutput>{"lsp_output"},
    Tag<Reply::LspExited>{"lsp_exited"},
    Tag<Reply::Done>{"done"},
    Tag<Reply::Error>{"error"},
};
static_assert(in_order_of<Reply::Variant>(kReplies), "one reply tag for each alternative of Reply, in its order");

}  // namespace tags

/// The tag of each call, git action and reply, at its alternative's index.
inline constexpr auto CALL_TAGS = tags::wire(tags::kCalls);
inline constexpr auto ACTION_TAGS = tags::wire(tags::kActions);
inline constexpr auto REPLY_TAGS = tags::wire(tags::kReplies);
/// The name of each call and git action in the decoder's faults, at its alternative's index.
inline constexpr auto CALL_NAMES = tags::names(tags::kCalls);
inline constexpr auto ACTION_NAMES = tags::names(tags::kActions);

}  // namespace nivern_protocol::message
