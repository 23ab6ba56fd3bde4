#pragma once
/// Flow control between one producer of output (a shell's or a language server's relay)
/// and the slower consumer that finally writes it (the session's writer thread).
///
/// Threading: any thread may take and drop leases and close the budget. A producer
/// reads a chunk, then `acquire`s a lease for its size: the call blocks while more than
/// `limit` bytes are leased and not yet given back, so a producer that outruns its
/// consumer stops reading its source, the way a terminal's flow control slows a program
/// to its reader's pace. The consumer gives the bytes back by dropping the lease once the
/// frame that carries them is written (or discarded). Nothing is ever dropped here.
/// A producer that must never wait (it has a source to keep draining) uses `try_acquire`
/// and asks its lease to tell it when the bytes are back (`Lease::on_return`).
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "support/mutex.h"

namespace nivern_support {

class ByteBudget : public std::enable_shared_from_this<ByteBudget> {
  struct Token {};

 public:
  /// A share of the budget; gives its bytes back when destroyed. Empty leases give
  /// nothing back.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& o) noexcept
        : budget_(std::move(o.budget_)), bytes_(std::exchange(o.bytes_, 0)), then_(std::move(o.then_)) {
      o.then_ = nullptr;
    }
    Lease& operator=(Lease&& o) noexcept {
      if (this != &o) {
        give_back();
        budget_ = std::move(o.budget_);
        bytes_ = std::exchange(o.bytes_, 0);
        then_ = std::move(o.then_);
        o.then_ = nullptr;
      }
      return *this;
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { give_back(); }

    std::size_t bytes() const { return bytes_; }

    /// Calls `then` once, right after this lease's bytes are given back, on the thread
    /// that gives them back (normally the writer's, once the frame is written). It must
    /// be quick and must not take the budget again.
    void on_return(std::function<void()> then) { then_ = std::move(then); }

   private:
    friend class ByteBudget;
    Lease(std::shared_ptr<ByteBudget> b, std::size_t n) : budget_(std::move(b)), bytes_(n) {}
    void give_back() {
      if (budget_) budget_->release(bytes_);
      budget_.reset();
      bytes_ = 0;
      if (auto then = std::exchange(then_, nullptr)) then();
    }
    std::shared_ptr<ByteBudget> budget_;
    std::size_t bytes_ = 0;
    std::function<void()> then_;
  };

  /// A budget of `limit` bytes in flight. Always held through a shared_ptr: leases keep
  /// it alive until the last one is given back.
  static std::shared_ptr<ByteBudget> make(std::size_t limit) {
    return std::make_shared<ByteBudget>(Token{}, limit);
  }
  ByteBudget(Token, std::size_t limit) : limit_(limit) {}

  /// Waits until `n` more bytes fit, then leases them. A chunk larger than the whole
  /// limit is granted once nothing else is in flight, so no size can wait for ever.
  /// nullopt once the budget is closed: the producer should stop.
  std::optional<Lease> acquire(std::size_t n) {
    MutexLock lock(mu_);
    while (!closed_ && in_flight_ != 0 && in_flight_ + n > limit_) room_.wait(mu_);
    if (closed_) return std::nullopt;
    in_flight_ += n;
    return Lease(shared_from_this(), n);
  }

  /// Leases `n` bytes if `acquire` would grant them without waiting; nullopt when they
  /// do not fit now or the budget is closed.
  std::optional<Lease> try_acquire(std::size_t n) {
    MutexLock lock(mu_);
    if (closed_ || (in_flight_ != 0 && in_flight_ + n > limit_)) return std::nullopt;
    in_flight_ += n;
    return Lease(shared_from_this(), n);
  }

  /// Wakes every waiting producer with nullopt, now and for every later `acquire`.
  /// Leases already granted stay valid.
  void close() {
    {
      MutexLock lock(mu_);
      closed_ = true;
    }
    room_.notify_all();
  }

  /// Bytes leased and not yet given back.
  std::size_t in_flight() const {
    MutexLock lock(mu_);
    return in_flight_;
  }

 private:
  void release(std::size_t n) {
    {
      MutexLock lock(mu_);
      in_flight_ -= n;
    }
    room_.notify_all();
  }

  const std::size_t limit_;
  mutable Mutex mu_;
  CondVar room_;
  std::size_t in_flight_ GUARDED_BY(mu_) = 0;
  bool closed_ GUARDED_BY(mu_) = false;
};

}  // namespace nivern_support
