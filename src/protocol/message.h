#pragma once
/// The message model of the editor link: requests the editor sends, responses and
/// events the server sends, and the records they carry.
///
/// Plain values, no shared state: safe to build on one thread and hand to another.
/// `Request::decode` is the only way a frame body becomes a `Request`;
/// `Response::encode` the only way a `Response` becomes frame bytes.
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <expected>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace nivern_protocol::message {

/// The only protocol number this server speaks.
inline constexpr std::uint32_t PROTOCOL_VERSION = 5;

/// Line-break style of a document: "lf" (index 0) or "crlf" (index 1).
enum class LineEnding : std::uint8_t { lf, crlf };

/// A file's git state, written as its lower-case word.
enum class GitState : std::uint8_t { modified, added, deleted, untracked, conflicted };

std::string_view to_string(LineEnding e);
std::string_view to_string(GitState s);

/// One git operation with its arguments; the value of a `git_action` call's "action".
namespace actions {
struct Stage { std::vector<std::string> paths; };
struct StageAll {};
struct Unstage { std::vector<std::string> paths; };
struct UnstageAll {};
struct Discard { std::vector<std::string> tracked; std::vector<std::string> untracked; };
struct Commit { std::string message; };
struct Fetch {};
struct Pull {};
struct Push {};
struct Publish { std::string branch; };
struct Branches {};
struct Switch { std::string name; };
struct Create { std::string name; };
struct PullRequestCreate { std::string title; };
struct PullRequestUrl { std::optional<std::uint64_t> number; };
struct PullRequests {};
struct Log { std::uint64_t limit = 0; };
struct CommitFiles { std::string hash; };
struct Stash {};
struct StashPop {};
struct Amend { std::optional<std::string> message; };
struct UndoCommit {};
struct StageText { std::string path; std::string text; };

/// Alternatives in wire order: the index of each is the number that may stand for its tag
/// (tags.h holds the tags in the same order).
}  // namespace actions

struct GitAction {
  using Stage = actions::Stage;
  using StageAll = actions::StageAll;
  using Unstage = actions::Unstage;
  using UnstageAll = actions::UnstageAll;
  using Discard = actions::Discard;
  using Commit = actions::Commit;
  using Fetch = actions::Fetch;
  using Pull = actions::Pull;
  using Push = actions::Push;
  using Publish = actions::Publish;
  using Branches = actions::Branches;
  using Switch = actions::Switch;
  using Create = actions::Create;
  using PullRequestCreate = actions::PullRequestCreate;
  using PullRequestUrl = actions::PullRequestUrl;
  using PullRequests = actions::PullRequests;
  using Log = actions::Log;
  using CommitFiles = actions::CommitFiles;
  using Stash = actions::Stash;
  using StashPop = actions::StashPop;
  using Amend = actions::Amend;
  using UndoCommit = actions::UndoCommit;
  using StageText = actions::StageText;

  using Variant = std::variant<Stage, StageAll, Unstage, UnstageAll, Discard, Commit, Fetch, Pull,
                               Push, Publish, Branches, Switch, Create, PullRequestCreate,
                               PullRequestUrl, PullRequests, Log, CommitFiles, Stash, StashPop,
                               Amend, UndoCommit, StageText>;
  Variant v;

  GitAction() = default;
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, GitAction>)
  GitAction(T&& alt) : v(std::forward<T>(alt)) {}
};

/// One call of the editor with its fields; every field is required on the wire.
namespace calls {
struct Hello { std::uint32_t version = 0; };
struct ListDir { std::string path; };
struct Open { std::string path; };
struct Save {
  std::string path;
  std::string text;
  std::string encoding;
  LineEnding line_ending = LineEnding::lf;
  bool bom = false;
};
struct Search {
  std::string path;
  std::string pattern;
  bool case_sensitive = false;
  bool whole_word = false;
  bool regex = false;
  std::vector<std::string> excludes;
};
struct Scan { std::string path; std::vector<std::string> excludes; };
struct Watch { std::string path; std::vector<std::string> excludes; };
struct GitStatus { std::string path; };
struct GitShow { std::string path; };
struct GitAction { std::string path; message::GitAction action; };
struct PtyOpen { std::string path; std::uint16_t rows = 0; std::uint16_t cols = 0; };
struct PtyInput { std::uint64_t pty = 0; std::string bytes; };
struct PtyResize { std::uint64_t pty = 0; std::uint16_t rows = 0; std::uint16_t cols = 0; };
struct PtyClose { std::uint64_t pty = 0; };
struct LspOpen { std::string path; std::string language; };
struct LspInput { std::uint64_t lsp = 0; std::string bytes; };
struct LspClose { std::uint64_t lsp = 0; };

/// Members in wire order: the index of each is its place in the list of call tags
/// (tags.h). Dispatch goes by type (server/dispatch.cc).
}  // namespace calls

struct Call {
  using Hello = calls::Hello;
  using ListDir = calls::ListDir;
  using Open = calls::Open;
  using Save = calls::Save;
  using Search = calls::Search;
  using Scan = calls::Scan;
  using Watch = calls::Watch;
  using GitStatus = calls::GitStatus;
  using GitShow = calls::GitShow;
  using GitAction = calls::GitAction;
  using PtyOpen = calls::PtyOpen;
  using PtyInput = calls::PtyInput;
  using PtyResize = calls::PtyResize;
  using PtyClose = calls::PtyClose;
  using LspOpen = calls::LspOpen;
  using LspInput = calls::LspInput;
  using LspClose = calls::LspClose;

  using Variant = std::variant<Hello, ListDir, Open, Save, Search, Scan, Watch, GitStatus, GitShow,
                               GitAction, PtyOpen, PtyInput, PtyResize, PtyClose, LspOpen,
                               LspInput, LspClose>;
  Variant v;

  Call() = default;
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, Call>)
  Call(T&& alt) : v(std::forward<T>(alt)) {}
};

/// One request: the editor's id and its call.
struct Request {
  std::uint64_t id = 0;
  Call call;

  /// Decodes one frame body (not necessarily UTF-8). On failure the result is the
  /// reader's message with its " at line L column C" position.
  [[nodiscard]] static std::expected<Request, std::string> decode(std::string_view body);
};

/// A list of strings kept back to back in one buffer, with the end offset of each: a
/// reply of a hundred thousand paths costs one buffer and four bytes a path instead of a
/// heap string each. The strings together must stay under 4 GiB (a frame is far smaller);
/// going over is a broken invariant and aborts.
class StringList {
 public:
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const { return (*list_)[i_]; }
    std::string_view operator[](difference_type n) const {
      return (*list_)[i_ + static_cast<std::size_t>(n)];
    }
    const_iterator& operator++() { return ++i_, *this; }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++i_;
      return old;
    }
    const_iterator& operator--() { return --i_, *this; }
    const_iterator operator--(int) {
      const_iterator old = *this;
      --i_;
      return old;
    }
    const_iterator& operator+=(difference_type n) { return i_ += static_cast<std::size_t>(n), *this; }
    const_iterator& operator-=(difference_type n) { return i_ -= static_cast<std::size_t>(n), *this; }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.i_ == b.i_; }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.i_ <=> b.i_; }

   private:
    friend class StringList;
    const_iterator(const StringList* list, std::size_t i) : list_(list), i_(i) {}
    const StringList* list_ = nullptr;
    std::size_t i_ = 0;
  };
  using value_type = std::string_view;
  using iterator = const_iterator;

  StringList() = default;
  StringList(std::initializer_list<std::string_view> items) {
    std::size_t bytes = 0;
    for (std::string_view s : items) bytes += s.size();
    reserve(items.size(), bytes);
    for (std::string_view s : items) push_back(s);
  }

  /// Room for `strings` more strings of `bytes` bytes together, so that filling the
  /// list moves nothing.
  void reserve(std::size_t strings, std::size_t bytes) {
    ends_.reserve(ends_.size() + strings);
    bytes_.reserve(bytes_.size() + bytes);
  }
  void push_back(std::string_view s) {
    if (bytes_.size() + s.size() > UINT32_MAX) std::abort();
    bytes_.append(s);
    ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  /// The strings' bytes together.
  std::size_t bytes() const { return bytes_.size(); }
  std::string_view operator[](std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, ends_.size()}; }

  std::vector<std::string> to_vector() const { return std::vector<std::string>(begin(), end()); }

  friend bool operator==(const StringList&, const StringList&) = default;

 private:
  std::string bytes_;
  std::vector<std::uint32_t> ends_;  // end of each string in bytes_
};

struct ListEntry {
  std::string name;
  bool is_dir = false;
  std::uint64_t len = 0;
};

struct TextMatch {
  std::string path;
  std::uint64_t line = 0;  // 1-based
  std::string text;
  std::uint64_t start = 0;  // byte offsets inside text
  std::uint64_t end = 0;
};

struct StatusEntry {
  std::string path;
  GitState state = GitState::modified;
  std::optional<GitState> staged;
  std::optional<GitState> unstaged;
};

struct PullSummary {
  std::uint64_t number = 0;
  std::string title;
  std::string branch;
};

struct Commit {
  std::string hash;
  std::string short_;  // key "short"
  std::string subject;
  std::string author;
  std::string when;
};

/// Written state first, unlike `StatusEntry`.
struct ChangedFile {
  GitState state = GitState::modified;
  std::string path;
};

/// A reply to a call or an event; tagged under "reply" on the wire.
namespace replies {
struct Hello { std::uint32_t version = 0; std::string os; std::string arch; };
struct Entries { std::vector<ListEntry> entries; };
struct Text {
  std::string text;
  std::string encoding;
  LineEnding line_ending = LineEnding::lf;
  bool bom = false;
  bool lossy = false;
};
struct Saved {};
struct Found { std::vector<TextMatch> matches; bool truncated = false; std::uint64_t files = 0; };
struct Scanned { StringList paths; bool truncated = false; };
struct Watching {};
struct Changed { std::vector<std::string> paths; };
struct GitStatus {
  bool repository = false;
  std::optional<std::string> branch;
  std::optional<std::string> upstream;
  std::uint64_t ahead = 0;
  std::uint64_t behind = 0;
  std::vector<StatusEntry> entries;
};
struct GitDone {
  std::string said;
  std::vector<std::string> branches;
  std::vector<PullSummary> pulls;
  std::optional<std::string> open;
  std::vector<message::Commit> commits;
  std::vector<ChangedFile> changed;
};
struct PtyOpened { std::string shell; };
struct PtyOutput { std::string bytes; };  // base64 text
struct PtyExited {};
struct LspOpened { std::string program; };
struct LspOutput { std::string bytes; };  // base64 text
struct LspExited {};
struct Done {};
struct Error { std::string message; };
}  // namespace replies

struct Reply {
  using Hello = replies::Hello;
  using Entries = replies::Entries;
  using Text = replies::Text;
  using Saved = replies::Saved;
  using Found = replies::Found;
  using Scanned = replies::Scanned;
  using Watching = replies::Watching;
  using Changed = replies::Changed;
  using GitStatus = replies::GitStatus;
  using GitDone = replies::GitDone;
  using PtyOpened = replies::PtyOpened;
  using PtyOutput = replies::PtyOutput;
  using PtyExited = replies::PtyExited;
  using LspOpened = replies::LspOpened;
  using LspOutput = replies::LspOutput;
  using LspExited = replies::LspExited;
  using Done = replies::Done;
  using Error = replies::Error;

  using Variant = std::variant<Hello, Entries, Text, Saved, Found, Scanned, Watching, Changed,
                               GitStatus, GitDone, PtyOpened, PtyOutput, PtyExited, LspOpened,
                               LspOutput, LspExited, Done, Error>;
  Variant v;

  Reply() = default;
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, Reply>)
  Reply(T&& alt) : v(std::forward<T>(alt)) {}
};

/// One outgoing message: a reply or an event under a request's id.
struct Response {
  std::uint64_t id = 0;
  Reply reply;

  /// Compact JSON, keys in their fixed order, "id" first. Never fails. A string of many
  /// megabytes (a file's text) is escaped by short-lived helper threads, joined before
  /// this returns.
  [[nodiscard]] std::string encode() const;

  /// The same when it takes at most `limit` bytes, else nullopt. A string of many
  /// megabytes that cannot fit is measured but never written.
  [[nodiscard]] std::optional<std::string> encode_within(std::size_t limit) const;
};

/// The size of `s` once written as a JSON string, quotes and escapes included, as
/// `Response::encode` writes it. Counting stops soon after the size passes `stop`, so the
/// work is bounded: any answer above `stop` only means "more than `stop`".
[[nodiscard]] std::size_t json_string_size(std::string_view s, std::size_t stop);

/// The size of `m` as one element of a `found` reply's matches (without the separating
/// comma), bounded in the same way by `stop`.
[[nodiscard]] std::size_t encoded_size(const TextMatch& m, std::size_t stop);

/// Base64 (standard alphabet, '=' padding) of a byte payload.
std::string encode_bytes(std::string_view bytes);
/// The same text appended to `out` (base64 needs no escaping inside a JSON string, so a
/// relay can build an event's body around it in one buffer).
void append_encoded_bytes(std::string& out, std::string_view bytes);

/// Decodes a payload written by `encode_bytes`; anything else gives
/// "bad bytes on the wire: {}".
[[nodiscard]] std::expected<std::string, std::string> decode_bytes(std::string_view text);

}  // namespace nivern_protocol::message
