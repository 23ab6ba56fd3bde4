#pragma once
/// The project scan: every file under a directory, in component order, through the
/// parallel walker with its ignore files and the call's exclude patterns.
///
/// Threading: `scan_with` and `scan` run on the calling thread, which blocks until the
/// walk's workers are joined. The progress callback runs on worker threads, several at
/// once. Each worker records files with a visitor of its own; workers share the quit flag and the counters (relaxed atomics) and the skipped list
/// (mutex); entries travel to the caller over a channel in batches of `SCAN_BATCH`.
///
/// A scan never fails: a missing root, unreadable directories and bad exclude patterns
/// become `skipped` records, which the editor never sees. The root is never recorded,
/// directories are never recorded, and with a limit at most limit + workers - 1 files
/// are recorded (the limit test and the count are separate relaxed steps).
///
/// Memory: a worker keeps each file as its path relative to the root, in page-allocated
/// batches; the caller gets those batches with a sorted index over them (`ScanEntries`),
/// so a scan of N files costs about the relative paths' bytes plus 16 bytes a file, and
/// every bit of it leaves the process when the result is dropped.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/page_allocator.h"
#include "vfs/tree/excludes.h"
#include "vfs/tree/project_entry.h"
#include "vfs/tree/walk.h"

namespace nivern_vfs::walk {

inline constexpr std::uint64_t SCAN_FILE_LIMIT = 100000;
inline constexpr std::size_t SCAN_BATCH = 512;
inline constexpr std::uint64_t PROGRESS_TICK = 256;

/// A walk problem, kept for diagnosis only.
struct SkippedPath {
  std::optional<std::string> path;
  std::string message;
};

/// Called with (files visited, directories visited) every `PROGRESS_TICK` entries of a
/// worker. Must be callable from several threads at once.
using Progress = std::function<void(std::uint64_t files, std::uint64_t dirs)>;

/// Whether the scan reads each file's size (`len`), one status read per file, or leaves
/// it 0 for callers that only want paths.
enum class Sizes : std::uint8_t { read, skip };

struct ScanResult;

/// A batch of a worker's files: their paths relative to the scanned root, back to back,
/// with the end of each. Pages straight from the system, so that a freed batch leaves the
/// process at once instead of lingering in a worker thread's malloc arena.
struct Batch {
  nivern_support::PageVector<char> bytes;
  nivern_support::PageVector<std::uint32_t> ends;
  nivern_support::PageVector<std::uint64_t> lens;  // empty when sizes are skipped

  std::size_t size() const { return ends.size(); }
};

/// The files of one scan in `scan_order`, kept compactly: each path is `prefix()`
/// followed by a relative part, and the relative parts stay in the batches they arrived
/// in. Indexing and iteration give `ProjectEntry` values (the path made on the spot);
/// `prefix` and `relative` give the pieces without making anything. Move-only: the
/// index points into the batches it owns. A plain value otherwise (one thread at a time).
class ScanEntries {
 public:
  ScanEntries() = default;
  ScanEntries(ScanEntries&&) = default;
  ScanEntries& operator=(ScanEntries&&) = default;
  ScanEntries(const ScanEntries&) = delete;
  ScanEntries& operator=(const ScanEntries&) = delete;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ProjectEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = ProjectEntry;

    const_iterator() = default;
    ProjectEntry operator*() const { return (*list_)[i_]; }
    const_iterator& operator++() { return ++i_, *this; }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++i_;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.i_ == b.i_; }

   private:
    friend class ScanEntries;
    const_iterator(const ScanEntries* list, std::size_t i) : list_(list), i_(i) {}
    const ScanEntries* list_ = nullptr;
    std::size_t i_ = 0;
  };

  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  /// What every path starts with: the root, with "/" added unless it ends in one.
  std::string_view prefix() const { return prefix_; }
  /// The i-th path after the prefix: names joined by single separators, never empty.
  std::string_view relative(std::size_t i) const { return {order_[i].data, order_[i].size}; }
  std::uint64_t len(std::size_t i) const { return lens_.empty() ? 0 : lens_[order_[i].seq]; }
  ProjectEntry operator[](std::size_t i) const;
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, order_.size()}; }

  /// One walked file: its relative path inside a batch, and its place in arrival order.
  struct Ref {
    const char* data;
    std::uint32_t size;
    std::uint32_t seq;
  };

 private:
  friend ScanResult scan_with(std::string_view, const excludes::Excludes&, std::optional<std::uint64_t>,
                              const Progress&, Sizes);
  std::string prefix_;
  std::vector<Batch> batches_;             // where the relative paths live
  nivern_support::PageVector<Ref> order_;  // scan_order, no two equal
  std::vector<std::uint64_t> lens_;        // by arrival order; empty when sizes are skipped
};

struct ScanResult {
  ScanEntries entries;  // scan_order, no two equal paths
  std::vector<SkippedPath> skipped;
  bool truncated = false;
};

/// Walks `root` and returns its files. With a `limit`, the walk stops once that many
/// files are counted and any further entry is visited; `truncated` tells.
[[nodiscard]] ScanResult scan_with(std::string_view root, const excludes::Excludes& excludes,
                                   std::optional<std::uint64_t> limit, const Progress& progress,
                                   Sizes sizes = Sizes::read);

/// `scan_with` with `SCAN_FILE_LIMIT` and no progress.
[[nodiscard]] ScanResult scan(std::string_view root, const excludes::Excludes& excludes,
                              Sizes sizes = Sizes::read);

}  // namespace nivern_vfs::walk
