#include "support/input_writer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "support/thread_name.h"

namespace nivern_support {

namespace {

constexpr std::size_t WRITE_MAX = 2'147'483'647;

enum class Now { all, full, failed };

// Writes what the descriptor takes now, advancing `bytes` past what was written.
Now put_now(int fd, std::string_view& bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), std::min(bytes.size(), WRITE_MAX));
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      return Now::full;
    } else if (!(n < 0 && errno == EINTR)) {
      return Now::failed;  // EPIPE or EIO once the child is gone; a write of 0 bytes counts too
    }
  }
  return Now::all;
}

// Writes `bytes` whole, waiting for room until `give_up` becomes readable.
bool put_all(int fd, std::string_view bytes, int give_up, int poll_ms) {
  for (;;) {
    Now r = put_now(fd, bytes);
    if (r != Now::full) return r == Now::all;
    pollfd p[2] = {{fd, POLLOUT, 0}, {give_up, POLLIN, 0}};
    int ready;
    while ((ready = ::poll(p, 2, poll_ms)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || p[1].revents != 0) return false;
  }
}

}  // namespace

InputWriter::InputWriter(Setup setup)
    : fd_(setup.fd),
      owned_(std::move(setup.owned)),
      attached_(std::move(setup.attached)),
      limit_(setup.limit),
      thread_name_(setup.thread_name),
      waiter_(std::move(setup.waiter)) {}

std::shared_ptr<InputWriter> InputWriter::make(Setup setup) {
  return std::make_shared<InputWriter>(std::move(setup));
}

int InputWriter::start() {
  MutexLock lock(mu_);
  return start_locked();
}

int InputWriter::start_locked() {
  if (running_) return 0;
  Waiter waiter = waiter_();
  if (waiter.give_up < 0) return ESRCH;
  if (int e = start_detached(thread_name_, [self = shared_from_this(), waiter] { self->run(waiter); }))
    return e;
  running_ = true;
  return 0;
}

InputWriter::Put InputWriter::put(std::string_view bytes) {
  {
    MutexLock lock(mu_);
    if (failed_ || fd_ < 0) return Put::failed;
    if (bytes.empty()) return Put::done;
    const std::size_t waiting = queued_ + held_;
    if (waiting != 0) {
      // Behind earlier input, and only as far as the limit: a child that does not read
      // must not make us hold whatever is sent.
      if (waiting + bytes.size() > limit_) return Put::refused;
    } else {
      switch (put_now(fd_, bytes)) {
        case Now::all:
          return Put::done;
        case Now::failed:
          failed_ = true;
          shut();
          return Put::failed;
        case Now::full:
          break;
      }
      // Full: the rest goes to the writer thread, and later input queues behind it
      // until the writer has caught up.
      if (!running_) {
        Waiter waiter = waiter_();
        if (waiter.give_up < 0) {  // the child is gone
          failed_ = true;
          shut();
          return Put::failed;
        }
        if (start_locked() != 0) {
          // No thread to spare: write the rest here, as the descriptor takes it.
          if (put_all(fd_, bytes, waiter.give_up, waiter.poll_ms)) return Put::done;
          failed_ = true;
          shut();
          return Put::failed;
        }
      }
    }
    queued_ += bytes.size();
    queue_.emplace_back(bytes);
  }
  work_.notify_one();
  return Put::done;
}

void InputWriter::close(bool drop_waiting) {
  {
    MutexLock lock(mu_);
    if (drop_waiting) drop();
    closing_ = true;
    if (!running_) shut();
  }
  work_.notify_all();
}

void InputWriter::fail() {
  {
    MutexLock lock(mu_);
    failed_ = true;
    closing_ = true;
    drop();
    if (!running_) shut();
  }
  work_.notify_all();
}

void InputWriter::run(const Waiter& waiter) {
  MutexLock lock(mu_);
  for (;;) {
    while (queue_.empty() && !closing_) work_.wait(mu_);
    if (queue_.empty()) break;  // closed, and everything written
    std::string chunk = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= chunk.size();
    held_ = chunk.size();
    int fd = fd_;
    mu_.unlock();
    bool ok = put_all(fd, chunk, waiter.give_up, waiter.poll_ms);
    chunk = std::string();
    mu_.lock();
    held_ = 0;
    if (!ok) {
      failed_ = true;
      drop();
      break;
    }
  }
  shut();
}

void InputWriter::shut() {
  fd_ = -1;
  owned_.reset();
  attached_.reset();
  waiter_ = nullptr;
}

void InputWriter::drop() {
  queue_.clear();
  queued_ = 0;
}

}  // namespace nivern_support
