#include "vfs/search/search.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <optional>

#include "support/mutex.h"
#include "support/unique_fd.h"
#include "vfs/tree/path_order.h"
#include "vfs/tree/walk.h"

namespace nivern_vfs::search {
namespace {

/// What the workers of one search share.
struct Shared {
  explicit Shared(const Matcher& m) : matcher(m) {}
  const Matcher& matcher;
  nivern_support::Mutex mu;
  std::vector<Match> matches GUARDED_BY(mu);
  std::atomic<std::size_t> count{0};
  std::atomic<bool> truncated{false};
};

class Visitor final : public walk::ParallelVisitor {
 public:
  explicit Visitor(Shared& shared) : s_(shared) {}

  walk::WalkState visit(const walk::Entry& entry) override {
    if (s_.truncated.load(std::memory_order_relaxed)) return walk::WalkState::quit;
    if (entry.kind != walk::Kind::file) return walk::WalkState::keep_going;
    // Non-blocking, so that a file swapped for a FIFO since the walk saw it cannot hang.
    nivern_support::UniqueFd fd(
        ::openat(entry.dir_fd, entry.name.data(),
                 O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (!fd) return walk::WalkState::keep_going;
    // The worker's own copy of the matcher, compiled here rather than on the thread that
    // builds the visitors, so the copies compile in parallel.
    if (!matcher_) matcher_.emplace(s_.matcher.clone());
    found_.clear();
    // A file's matches past the limit come after the limit's worth in match order: they
    // could never be part of the reply.
    if (!searcher_.search(fd.get(), *matcher_, entry.path, found_, SEARCH_MATCH_LIMIT) ||
        found_.empty()) {
      return walk::WalkState::keep_going;
    }
    const std::size_t n = found_.size();
    const std::size_t total = s_.count.fetch_add(n, std::memory_order_relaxed) + n;
    {
      nivern_support::MutexLock lock(s_.mu);
      s_.matches.insert(s_.matches.end(), std::make_move_iterator(found_.begin()),
                        std::make_move_iterator(found_.end()));
    }
    if (total >= SEARCH_MATCH_LIMIT) {
      s_.truncated.store(true, std::memory_order_relaxed);
      return walk::WalkState::quit;
    }
    return walk::WalkState::keep_going;
  }

  walk::WalkState visit_error(const walk::WalkError&) override {
    if (s_.truncated.load(std::memory_order_relaxed)) return walk::WalkState::quit;
    return walk::WalkState::keep_going;
  }

 private:
  Shared& s_;
  std::optional<Matcher> matcher_;  // this worker's own copy, made at its first file
  LineSearcher searcher_;
  std::vector<Match> found_;
};

class Builder final : public walk::ParallelVisitorBuilder {
 public:
  explicit Builder(Shared& shared) : s_(shared) {}
  std::unique_ptr<walk::ParallelVisitor> build() override { return std::make_unique<Visitor>(s_); }

 private:
  Shared& s_;
};

}  // namespace

bool match_order(const Match& a, const Match& b) {
  const auto by_path = path_order::compare(a.path, b.path);
  if (by_path != 0) return by_path < 0;
  return a.line < b.line;
}

std::expected<SearchResult, BadQuery> search(std::string_view root, const SearchQuery& query,
                                             const excludes::Excludes& excludes) {
  if (query.pattern.empty()) return SearchResult{};
  auto matcher = Matcher::compile(query);
  if (!matcher) return std::unexpected(std::move(matcher.error()));

  // Exclude patterns that do not build are dropped: the search runs without them.
  std::optional<excludes::Override> overrides;
  if (auto built = excludes.matcher(root)) overrides = std::move(*built);

  Shared shared(*matcher);
  if (!matcher->never_matches()) {
    walk::WalkOptions options;
    options.overrides = overrides ? &*overrides : nullptr;
    Builder builder(shared);
    walk::walk_parallel(root, options, builder);
  }

  SearchResult result;
  {
    nivern_support::MutexLock lock(shared.mu);  // the workers are gone; this is for the analysis
    result.matches = std::move(shared.matches);
  }
  std::stable_sort(result.matches.begin(), result.matches.end(), match_order);
  if (result.matches.size() >= SEARCH_MATCH_LIMIT) {
    result.truncated = true;
    result.matches.erase(result.matches.begin() + SEARCH_MATCH_LIMIT, result.matches.end());
  }
  for (std::size_t k = 0; k < result.matches.size(); ++k) {
    if (k == 0 || !path_order::equal(result.matches[k - 1].path, result.matches[k].path)) {
      ++result.files;
    }
  }
  return result;
}

}  // namespace nivern_vfs::search
