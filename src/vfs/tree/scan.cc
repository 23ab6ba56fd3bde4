#include "vfs/tree/scan.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>

#include "support/channel.h"
#include "support/mutex.h"
#include "support/parallel.h"

namespace nivern_vfs::walk {

namespace {

/// Shared state of one scan, alive until `scan_with` returns.
struct Shared {
  std::optional<std::uint64_t> limit;
  std::atomic<bool> quit{false};
  nivern_support::Mutex skipped_mu;
  std::vector<SkippedPath> skipped GUARDED_BY(skipped_mu);
  std::atomic<std::uint64_t> files{0};
  std::atomic<std::uint64_t> dirs{0};
  const Progress* progress = nullptr;
  Sizes sizes = Sizes::read;
  std::size_t prefix_len = 0;  // where the relative part begins in a walked path
};

/// One worker's visitor: records files into its batch and flushes full batches.
class Visitor final : public ParallelVisitor {
 public:
  Visitor(Shared& shared, nivern_support::Sender<Batch> sender)
      : shared_(shared), sender_(std::move(sender)) {}
  ~Visitor() override { flush(); }
  WalkState visit(const Entry& entry) override;
  WalkState visit_error(const WalkError& error) override;
  /// Sends the current batch if it is not empty.
  void flush();

 private:
  bool over_limit();
  void tick();
  void record(std::string_view rel, std::uint64_t len);

  Shared& shared_;
  nivern_support::Sender<Batch> sender_;
  Batch batch_;
  std::uint64_t ticks_ = 0;
};

/// Makes one `Visitor` per worker, each with its own clone of the sending end.
class Builder final : public ParallelVisitorBuilder {
 public:
  Builder(Shared& shared, nivern_support::Sender<Batch> sender)
      : shared_(shared), sender_(std::move(sender)) {}
  std::unique_ptr<ParallelVisitor> build() override { return std::make_unique<Visitor>(shared_, sender_); }
  /// Drops the builder's own sending end.
  void release() { sender_.reset(); }

 private:
  Shared& shared_;
  nivern_support::Sender<Batch> sender_;
};

void Visitor::flush() {
  if (batch_.ends.empty()) return;
  Batch full = std::move(batch_);
  batch_ = Batch{};
  // A failed send drops the batch: the receiver is gone, nobody wants it.
  (void)sender_.send(full);
}

void Visitor::record(std::string_view rel, std::uint64_t len) {
  if (batch_.ends.capacity() == 0) {
    // Room for paths of typical length; a batch of longer ones grows.
    batch_.bytes.reserve(SCAN_BATCH * 64);
    batch_.ends.reserve(SCAN_BATCH);
    if (shared_.sizes == Sizes::read) batch_.lens.reserve(SCAN_BATCH);
  }
  batch_.bytes.insert(batch_.bytes.end(), rel.begin(), rel.end());
  batch_.ends.push_back(static_cast<std::uint32_t>(batch_.bytes.size()));
  if (shared_.sizes == Sizes::read) batch_.lens.push_back(len);
  if (batch_.ends.size() >= SCAN_BATCH) flush();
}

bool Visitor::over_limit() {
  if (shared_.quit.load(std::memory_order_relaxed)) return true;
  if (shared_.limit && shared_.files.load(std::memory_order_relaxed) >= *shared_.limit) {
    shared_.quit.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void Visitor::tick() {
  if (++ticks_ < PROGRESS_TICK) return;
  ticks_ = 0;
  if (shared_.progress && *shared_.progress) {
    (*shared_.progress)(shared_.files.load(std::memory_order_relaxed),
                        shared_.dirs.load(std::memory_order_relaxed));
  }
}

WalkState Visitor::visit(const Entry& entry) {
  if (over_limit()) return WalkState::quit;
  if (entry.depth == 0) return WalkState::keep_going;
  if (entry.kind == Kind::dir) {
    shared_.dirs.fetch_add(1, std::memory_order_relaxed);
    tick();
    return WalkState::keep_going;
  }
  shared_.files.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t len = shared_.sizes == Sizes::read ? entry.size().value_or(0) : 0;
  // Every path below the root starts with the root and its separator: only the rest
  // is kept.
  record(entry.path.substr(shared_.prefix_len), len);
  tick();
  return WalkState::keep_going;
}

WalkState Visitor::visit_error(const WalkError& error) {
  if (over_limit()) return WalkState::quit;
  nivern_support::MutexLock lock(shared_.skipped_mu);
  shared_.skipped.push_back(SkippedPath{error.path, error.message});
  return WalkState::keep_going;
}

/// Component order of two relative paths whose names are never empty, "." or "..":
/// byte order with "/" below every other byte.
int plain_compare(std::string_view a, std::string_view b) {
  static_assert(std::endian::native == std::endian::little);
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      i += static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
      goto differ;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  if (i == n) return (a.size() > b.size()) - (a.size() < b.size());
differ:
  auto key = [](char c) { return c == '/' ? 0 : static_cast<int>(static_cast<unsigned char>(c)) + 1; };
  return key(a[i]) - key(b[i]);
}

/// Sorts `v` with `less` on up to `default_threads()` threads: equal slices sorted at
/// once, then merged pairwise, level by level. Small inputs are sorted in place.
template <class Vector, class Less>
void parallel_sort(Vector& v, Less less) {
  const std::size_t n = v.size();
  std::size_t parts = std::bit_floor(std::min({default_threads(), nivern_support::MAX_PARTS, n / 8192}));
  if (parts < 2) {
    std::sort(v.begin(), v.end(), less);
    return;
  }
  std::vector<std::size_t> bound(parts + 1);
  for (std::size_t i = 0; i <= parts; ++i) bound[i] = n * i / parts;
  auto fan_out = [](std::size_t count, const auto& job) { nivern_support::in_parallel(count, "nivern-sort", job); };
  fan_out(parts, [&](std::size_t i) { std::sort(v.begin() + bound[i], v.begin() + bound[i + 1], less); });
  Vector other(n);
  for (std::size_t width = 1; width < parts; width *= 2) {
    fan_out(parts / (2 * width), [&](std::size_t k) {
      std::size_t lo = bound[2 * width * k], mid = bound[2 * width * k + width], hi = bound[2 * width * (k + 1)];
      std::merge(v.begin() + lo, v.begin() + mid, v.begin() + mid, v.begin() + hi, other.begin() + lo, less);
    });
    v.swap(other);
  }
}

}  // namespace

ProjectEntry ScanEntries::operator[](std::size_t i) const {
  std::string path;
  std::string_view rel = relative(i);
  path.reserve(prefix_.size() + rel.size());
  path.append(prefix_).append(rel);
  return ProjectEntry{std::move(path), len(i), false};
}

ScanResult scan_with(std::string_view root, const excludes::Excludes& excludes,
                     std::optional<std::uint64_t> limit, const Progress& progress, Sizes sizes) {
  ScanResult result;
  excludes::Override overrides;
  if (auto built = excludes.matcher(root)) {
    overrides = std::move(*built);
  } else {
    result.skipped.push_back(SkippedPath{std::nullopt, "exclude globs ignored: " + built.error().text()});
  }

  Shared shared;
  shared.limit = limit;
  shared.progress = &progress;
  shared.sizes = sizes;
  shared.prefix_len = root.size() + (root.empty() || root.ends_with('/') ? 0 : 1);
  auto [sender, receiver] = nivern_support::make_channel<Batch>();
  {
    Builder builder(shared, std::move(sender));
    WalkOptions options;
    options.overrides = &overrides;
    options.quit = &shared.quit;
    walk_parallel(root, options, builder);
    builder.release();
  }

  // The relative paths stay in their batches; the sort orders references to them.
  ScanEntries& out = result.entries;
  out.prefix_.assign(root);
  if (!root.empty() && !root.ends_with('/')) out.prefix_.push_back('/');
  std::size_t total = 0;
  while (auto batch = receiver.try_recv()) {
    total += batch->size();
    out.batches_.push_back(std::move(*batch));
  }
  out.order_.reserve(total);
  if (sizes == Sizes::read) out.lens_.reserve(total);
  std::uint32_t seq = 0;
  for (const Batch& b : out.batches_) {
    std::uint32_t begin = 0;
    for (std::uint32_t end : b.ends) {
      out.order_.push_back(ScanEntries::Ref{b.bytes.data() + begin, end - begin, seq++});
      begin = end;
    }
    out.lens_.insert(out.lens_.end(), b.lens.begin(), b.lens.end());
  }
  // All paths share the prefix, so component order is the order of the relative parts,
  // and those are plain (names are never empty, "." or ".."): byte order with "/" below
  // every other byte. Ties keep arrival order, so the first of equal paths stays.
  parallel_sort(out.order_, [](const ScanEntries::Ref& a, const ScanEntries::Ref& b) {
    int c = plain_compare({a.data, a.size}, {b.data, b.size});
    return c != 0 ? c < 0 : a.seq < b.seq;
  });
  auto equal = [](const ScanEntries::Ref& a, const ScanEntries::Ref& b) {
    return std::string_view(a.data, a.size) == std::string_view(b.data, b.size);
  };
  out.order_.erase(std::unique(out.order_.begin(), out.order_.end(), equal), out.order_.end());
  {
    nivern_support::MutexLock lock(shared.skipped_mu);
    std::move(shared.skipped.begin(), shared.skipped.end(), std::back_inserter(result.skipped));
  }
  result.truncated = shared.quit.load(std::memory_order_relaxed);
  return result;
}

ScanResult scan(std::string_view root, const excludes::Excludes& excludes, Sizes sizes) {
  static const Progress nothing = [](std::uint64_t, std::uint64_t) {};
  return scan_with(root, excludes, SCAN_FILE_LIMIT, nothing, sizes);
}

}  // namespace nivern_vfs::walk
