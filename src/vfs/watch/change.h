#pragma once
/// What a watch reports: the net change of one path, why a rescan is asked for, and
/// one flushed batch (`ChangeSet`).
///
/// Threading: plain values; made on the watch thread and handed over whole.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nivern_vfs::change {

/// The net change of one path within a batch.
struct ChangeKind {
  enum class Tag : std::uint8_t { created, removed, modified, moved };
  Tag tag = Tag::modified;
  /// The rename's source; set only for `moved`.
  std::string from;

  static ChangeKind created() { return {Tag::created, {}}; }
  static ChangeKind removed() { return {Tag::removed, {}}; }
  static ChangeKind modified() { return {Tag::modified, {}}; }
  static ChangeKind moved(std::string from) { return {Tag::moved, std::move(from)}; }

  friend bool operator==(const ChangeKind&, const ChangeKind&) = default;
};

/// Why a path must be scanned again instead of trusting its changes.
enum class RescanReason : std::uint8_t {
  events_lost,       // the watcher lost events or reported an error
  too_many_changes,  // a batch noted too many paths
};

/// One flushed batch. Both lists are in component order, each path at most once.
struct ChangeSet {
  std::vector<std::pair<std::string, ChangeKind>> changes;
  std::vector<std::pair<std::string, RescanReason>> rescans;
  std::uint64_t seq = 0;     // this flush's number within the watch, from 1
  std::uint64_t events = 0;  // paths noted in the batch, excluded ones included
};

}  // namespace nivern_vfs::change
