#pragma once
/// The project scan: every file under a directory, in component order, through the
/// parallel walker with its ignore files and the call's exclude patterns.
///
/// Threading: `scan_with` and `scan` run on the calling thread, which blocks until the
/// walk's workers are joined. The progress callback runs on worker threads, several at
/// once. `Builder` is used by the walking thread; each `Visitor` by its worker alone.
/// Workers share the quit flag and the counters (relaxed atomics) and the skipped list
/// (mutex); entries travel to the caller over a channel in batches of `SCAN_BATCH`.
///
/// A scan never fails: a missing root, unreadable directories and bad exclude patterns
/// become `skipped` records, which the editor never sees. The root is never recorded,
/// directories are never recorded, and with a limit at most limit + workers - 1 files
/// are recorded (the limit test and the count are separate relaxed steps).
#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/channel.h"
#include "vfs/excludes.h"
#include "vfs/project_entry.h"
#include "vfs/walk.h"

namespace nivern_vfs::walk {

inline constexpr std::uint64_t SCAN_FILE_LIMIT = 100000;
inline constexpr std::size_t SCAN_BATCH = 512;
inline constexpr std::uint64_t PROGRESS_TICK = 256;

/// A walk problem, kept for diagnosis only.
struct SkippedPath {
  std::optional<std::string> path;
  std::string message;
};

struct ScanResult {
  std::vector<ProjectEntry> entries;  // scan_order, no two equal paths
  std::vector<SkippedPath> skipped;
  bool truncated = false;
};

/// Called with (files visited, directories visited) every `PROGRESS_TICK` entries of a
/// worker. Must be callable from several threads at once.
using Progress = std::function<void(std::uint64_t files, std::uint64_t dirs)>;

/// Whether the scan reads each file's size (`len`), one status read per file, or leaves
/// it 0 for callers that only want paths.
enum class Sizes : std::uint8_t { read, skip };

/// Walks `root` and returns its files. With a `limit`, the walk stops once that many
/// files are counted and any further entry is visited; `truncated` tells.
[[nodiscard]] ScanResult scan_with(std::string_view root, const excludes::Excludes& excludes,
                                   std::optional<std::uint64_t> limit, const Progress& progress,
                                   Sizes sizes = Sizes::read);

/// `scan_with` with `SCAN_FILE_LIMIT` and no progress.
[[nodiscard]] ScanResult scan(std::string_view root, const excludes::Excludes& excludes,
                              Sizes sizes = Sizes::read);

/// Sorts entries by path in component order (stable) and drops each entry whose path
/// equals, component by component, the one before it.
void sort_and_dedup(std::vector<ProjectEntry>& entries);

/// Allocates whole pages straight from the system, so that a freed buffer leaves the
/// process at once instead of lingering in a worker thread's malloc arena. For the
/// batches, which are all freed together when the walk is over.
template <class T>
struct PageAllocator {
  using value_type = T;
  PageAllocator() = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) {}
  T* allocate(std::size_t n) {
    void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) { ::munmap(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PageAllocator<U>&) const {
    return true;
  }
};

using Batch = std::vector<ProjectEntry, PageAllocator<ProjectEntry>>;

/// Shared state of one scan, alive until `scan_with` returns.
struct ScanShared {
  std::optional<std::uint64_t> limit;
  std::atomic<bool> quit{false};
  std::mutex skipped_mu;
  std::vector<SkippedPath> skipped;  // guarded by skipped_mu
  std::atomic<std::uint64_t> files{0};
  std::atomic<std::uint64_t> dirs{0};
  const Progress* progress = nullptr;
  Sizes sizes = Sizes::read;
};

/// One worker's visitor: records files into its batch and flushes full batches.
class Visitor final : public ParallelVisitor {
 public:
  Visitor(ScanShared& shared, nivern_support::Sender<Batch> sender);
  ~Visitor() override;  // flushes
  WalkState visit(const Entry& entry) override;
  WalkState visit_error(const WalkError& error) override;
  /// Sends the current batch if it is not empty.
  void flush();

 private:
  bool over_limit();
  void tick();

  ScanShared& shared_;
  nivern_support::Sender<Batch> sender_;
  Batch batch_;
  std::uint64_t ticks_ = 0;
};

/// Makes one `Visitor` per worker, each with its own clone of the sending end.
class Builder final : public ParallelVisitorBuilder {
 public:
  Builder(ScanShared& shared, nivern_support::Sender<Batch> sender)
      : shared_(shared), sender_(std::move(sender)) {}
  std::unique_ptr<ParallelVisitor> build() override;
  /// Drops the builder's own sending end.
  void release() { sender_.reset(); }

 private:
  ScanShared& shared_;
  nivern_support::Sender<Batch> sender_;
};

}  // namespace nivern_vfs::walk
