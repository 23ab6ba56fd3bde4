#pragma once
/// Unbounded first-in first-out queue with any number of senders and one receiver.
///
/// Threading: `Sender` values may be copied to and used from any thread; the single
/// `Receiver` is used by one thread at a time. The queue counts its senders: once the
/// last `Sender` is gone and nothing is left, `recv` reports the end. Once the
/// `Receiver` is gone, every `send` fails and hands the item back, and whatever was
/// still queued is discarded.
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "support/mutex.h"

namespace nivern_support {

/// A message that carries nothing: its arrival is the news.
struct Wake {};

namespace channel_detail {
template <class T>
struct State {
  Mutex mu;
  CondVar ready;
  std::deque<T> items GUARDED_BY(mu);
  std::size_t senders GUARDED_BY(mu) = 1;
  bool receiver GUARDED_BY(mu) = true;
};
}  // namespace channel_detail

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<channel_detail::State<T>> s) : state_(std::move(s)) {}
  Sender(const Sender& o) : state_(o.state_) {
    if (state_) {
      MutexLock lock(state_->mu);
      ++state_->senders;
    }
  }
  Sender(Sender&& o) noexcept : state_(std::move(o.state_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(state_, o.state_);
    return *this;
  }
  ~Sender() { reset(); }

  /// Releases this sending end early (the same as destroying it).
  void reset() {
    if (!state_) return;
    bool last;
    {
      MutexLock lock(state_->mu);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();
    state_.reset();
  }

  /// Queues `item`. Never blocks. Fails only when the receiver is gone; the item is
  /// then left in `item` (moved back) for the caller to discard.
  [[nodiscard]] bool send(T& item) {
    if (!state_) return false;
    {
      MutexLock lock(state_->mu);
      if (!state_->receiver) return false;
      state_->items.push_back(std::move(item));
    }
    state_->ready.notify_one();
    return true;
  }
  [[nodiscard]] bool send(T&& item) { return send(item); }

  explicit operator bool() const { return state_ != nullptr; }

 private:
  std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<channel_detail::State<T>> s) : state_(std::move(s)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& o) noexcept {
    if (this != &o) {
      reset();
      state_ = std::move(o.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { reset(); }

  /// Releases the receiving end: later sends fail, queued items are discarded.
  void reset() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      MutexLock lock(state_->mu);
      state_->receiver = false;
      dropped.swap(state_->items);
    }
    state_.reset();
  }

  /// Waits for the next item; nullopt once every sender is gone and nothing is left.
  std::optional<T> recv() {
    MutexLock lock(state_->mu);
    while (state_->items.empty() && state_->senders != 0) state_->ready.wait(state_->mu);
    return pop_locked();
  }

  enum class Wait { item, timeout, closed };

  /// Waits until `deadline` for the next item. `out` receives it when the answer is `item`.
  template <class Clock, class Dur>
  Wait recv_until(std::optional<T>& out, std::chrono::time_point<Clock, Dur> deadline) {
    MutexLock lock(state_->mu);
    while (state_->items.empty() && state_->senders != 0) {
      if (!state_->ready.wait_until(state_->mu, deadline)) {
        if (state_->items.empty() && state_->senders != 0) return Wait::timeout;
        break;
      }
    }
    out = pop_locked();
    return out ? Wait::item : Wait::closed;
  }

  /// Takes the next item if one is queued, without waiting.
  std::optional<T> try_recv() {
    MutexLock lock(state_->mu);
    return pop_locked();
  }

  /// True once every sender is gone (items may still be queued).
  bool senders_gone() const {
    MutexLock lock(state_->mu);
    return state_->senders == 0;
  }

 private:
  std::optional<T> pop_locked() REQUIRES(state_->mu) {
    if (state_->items.empty()) return std::nullopt;
    std::optional<T> item(std::move(state_->items.front()));
    state_->items.pop_front();
    return item;
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

/// A new queue with one sending end and the receiving end.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<channel_detail::State<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace nivern_support
