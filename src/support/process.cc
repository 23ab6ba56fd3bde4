#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "support/os_error.h"
#include "support/spawn.h"
#include "support/unique_fd.h"

extern char** environ;

namespace nivern_support {

std::string StartError::text() const { return fixed ? std::string(fixed) : os_error_text(err); }

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;

// Where a program is looked for when PATH is unset, as exec's own search does.
constexpr std::string_view DEFAULT_PATH = "/bin:/usr/bin";

// Keeps a descriptor clear of 0, 1 and 2, so that a dup2 onto a standard descriptor
// in the child never meets itself (which would leave close-on-exec set on it).
int lift(UniqueFd& fd) {
  if (fd.get() > 2) return 0;
  int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return errno;
  fd.reset(moved);
  return 0;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

int make_pipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
  if (int e = lift(p.read)) return e;
  return lift(p.write);
}

// Standard descriptor `target` of the child: the pipe end `fd`, or the null device.
void connect(Spawn& spawn, int target, const UniqueFd& fd, int null_flags) {
  if (fd) {
    spawn.dup2(fd.get(), target);
  } else {
    spawn.open(target, "/dev/null", null_flags);
  }
}

// Appends what one read gives, never growing `into` past `cap` bytes; false at end of
// output or on a read error. The caller stops reading once `into` holds `cap` bytes.
bool read_some(int fd, std::string& into, std::size_t cap = SIZE_MAX) {
  std::size_t old = into.size();
  if (into.capacity() - old < READ_CHUNK) {
    into.reserve(std::min(std::max(into.capacity() * 2, old + READ_CHUNK), std::max(cap, old + 1)));
  }
  std::size_t room = std::min(into.capacity(), std::max(cap, old + 1)) - old;
  ssize_t got = 0;
  into.resize_and_overwrite(old + room, [&](char* p, std::size_t) {
    got = ::read(fd, p + old, room);
    return old + static_cast<std::size_t>(std::max<ssize_t>(got, 0));
  });
  if (got > 0) return true;
  return got < 0 && (errno == EINTR || errno == EAGAIN);
}

// Like `read_some`, but once `into` holds `keep` bytes, what is read is dropped.
bool read_kept(int fd, std::string& into, std::size_t keep) {
  if (into.size() < keep) return read_some(fd, into, keep);
  char scratch[16384];
  ssize_t got = ::read(fd, scratch, sizeof scratch);
  if (got > 0) return true;
  return got < 0 && (errno == EINTR || errno == EAGAIN);
}

// Blocks SIGPIPE in this thread while we write to the child, so a child that closes its
// input early gives EPIPE instead of killing the server; a SIGPIPE we raise is taken back.
class SigpipeShield {
 public:
  SigpipeShield() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeShield() {
    if (raised_ && !was_pending_) {
      timespec zero{0, 0};
      while (::sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeShield(const SigpipeShield&) = delete;
  SigpipeShield& operator=(const SigpipeShield&) = delete;
  void raised() { raised_ = true; }

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
  bool raised_ = false;
};

// Feeds the input and drains both outputs until every open end is done, or until the
// child has been reaped and `DRAIN_AFTER_EXIT` has passed since; the status once reaped.
std::optional<ExitStatus> pump(Child& child, Pipe& in, Pipe& out, Pipe& err, std::string_view input,
                               const Command& command, Finished& done) {
  using Clock = std::chrono::steady_clock;
  const std::size_t out_limit = command.out_limit;
  // One byte over the limit tells that the output went past it. Room for all of it is
  // reserved at once (address space only, until written), so the output is never
  // copied into a larger buffer and never held twice.
  const std::size_t out_cap = std::min(out_limit == SIZE_MAX ? SIZE_MAX : out_limit + 1, command.out_keep);
  if (out.read && out_cap != SIZE_MAX) done.out.reserve(out_cap);
  std::optional<SigpipeShield> shield;
  if (in.write) {
    if (input.empty()) {
      in.write.reset();
    } else {
      shield.emplace();
      int flags = ::fcntl(in.write.get(), F_GETFL);
      ::fcntl(in.write.get(), F_SETFL, flags | O_NONBLOCK);
    }
  }
  // Readable once the child has ended; without one, the child is looked at every 20 ms.
  UniqueFd exit = child.exit_watch();
  std::optional<ExitStatus> status;
  std::optional<Clock::time_point> drain_until;
  std::size_t written = 0;
  while (in.write || out.read || err.read) {
    pollfd fds[4];
    nfds_t n = 0;
    int in_at = -1, out_at = -1, err_at = -1, exit_at = -1;
    if (in.write) {
      in_at = static_cast<int>(n);
      fds[n++] = {in.write.get(), POLLOUT, 0};
    }
    if (out.read) {
      out_at = static_cast<int>(n);
      fds[n++] = {out.read.get(), POLLIN, 0};
    }
    if (err.read) {
      err_at = static_cast<int>(n);
      fds[n++] = {err.read.get(), POLLIN, 0};
    }
    if (exit && !status) {
      exit_at = static_cast<int>(n);
      fds[n++] = {exit.get(), POLLIN, 0};
    }
    int timeout = status || exit ? -1 : 20;
    if (drain_until) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*drain_until - Clock::now()).count();
      if (left <= 0) break;  // what comes later is not waited for
      timeout = static_cast<int>(left);
    }
    int ready = ::poll(fds, n, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // Nothing sensible is left to wait on: closing our ends lets the child finish
      // (its writes fail), so the wait below cannot hang on a full pipe.
      break;
    }
    if (!status && (exit_at >= 0 ? fds[exit_at].revents != 0 : !exit)) {
      status = child.try_wait();
      if (status) {
        drain_until = Clock::now() + DRAIN_AFTER_EXIT;
        continue;
      }
    }
    if (in_at >= 0 && fds[in_at].revents != 0) {
      ssize_t put = ::write(in.write.get(), input.data() + written, input.size() - written);
      if (put >= 0) {
        written += static_cast<std::size_t>(put);
        if (written == input.size()) in.write.reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        done.input_error = errno;
        if (errno == EPIPE && shield) shield->raised();
        in.write.reset();
      }
    }
    if (out_at >= 0 && fds[out_at].revents != 0) {
      if (!read_kept(out.read.get(), done.out, out_cap)) {
        out.read.reset();
      } else if (done.out.size() > out_limit) {
        done.out_over = true;
        (void)child.signal_group(SIGKILL);
        out.read.reset();
      }
    }
    if (err_at >= 0 && fds[err_at].revents != 0 && !read_kept(err.read.get(), done.err, command.err_keep)) {
      err.read.reset();
    }
  }
  in.write.reset();
  out.read.reset();
  err.read.reset();
  return status;
}

// Starts the child with whichever of the three pipes are made; the null device stands
// in for the others. On success the child's ends are closed here: the child holds its
// own copies, and ours would keep its outputs from ending.
std::expected<std::shared_ptr<Child>, StartError> spawn(const Command& command, Pipe& in, Pipe& out,
                                                        Pipe& err) {
  // A NUL inside any string handed to exec would silently shorten it (another program,
  // argument or directory than the caller named): refuse instead.
  auto has_nul = [](std::string_view s) { return s.find('\0') != std::string_view::npos; };
  auto var_has_nul = [&](const auto& var) { return has_nul(var.first) || has_nul(var.second); };
  bool nul = has_nul(command.program) || (command.workdir && has_nul(*command.workdir)) ||
             std::any_of(command.args.begin(), command.args.end(), has_nul) ||
             std::any_of(command.env.begin(), command.env.end(), var_has_nul);
  if (nul) return std::unexpected(StartError{0, NUL_IN_ARGUMENT});

  auto program = resolve_program(command.program, command.search_path);
  if (!program) return std::unexpected(program.error());

  Spawn spawn;
  connect(spawn, 0, in.read, O_RDONLY);
  connect(spawn, 1, out.write, O_WRONLY);
  connect(spawn, 2, err.write, O_WRONLY);
  if (command.workdir) spawn.chdir(command.workdir->c_str());
  sigset_t mask, defaults;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  spawn.signals(mask, defaults);
  if (command.own_session) {
    spawn.new_session();
  } else if (command.own_group) {
    spawn.new_group();
  }

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The environment: ours, with the command's variables in place of ours of those names.
  std::vector<std::string> set;
  std::vector<char*> envp;
  if (!command.env.empty()) {
    for (char** e = environ; *e; ++e) {
      std::string_view var(*e);
      std::string_view name = var.substr(0, var.find('='));
      auto same = [&](const auto& v) { return v.first == name; };
      if (std::none_of(command.env.begin(), command.env.end(), same)) envp.push_back(*e);
    }
    set.reserve(command.env.size());
    for (const auto& [name, value] : command.env) {
      std::string& v = set.emplace_back(name);
      v += '=';
      v += value;
    }
    for (std::string& v : set) envp.push_back(v.data());
    envp.push_back(nullptr);
  }

  auto pid = spawn.start(program->c_str(), argv.data(), envp.empty() ? nullptr : envp.data());
  if (!pid) return std::unexpected(StartError{pid.error()});
  in.read.reset();
  out.write.reset();
  err.write.reset();
  return std::make_shared<Child>(*pid, command.own_session || command.own_group);
}

}  // namespace

std::expected<std::string, int> find_on_path(std::string_view program, std::string_view path,
                                             PathEntries entries, bool executable) {
  bool denied = false;
  for (;;) {
    std::size_t colon = path.find(':');
    std::string_view entry = path.substr(0, colon);
    if (entries == PathEntries::all || entry.starts_with('/')) {
      std::string candidate(entry);
      if (!entry.empty() && !entry.ends_with('/')) candidate += '/';
      candidate += program;
      struct stat st;
      if (candidate.find('\0') == std::string::npos && ::stat(candidate.c_str(), &st) == 0 &&
          S_ISREG(st.st_mode)) {
        if (!executable || ::access(candidate.c_str(), X_OK) == 0) return candidate;
        denied = true;
      }
    }
    if (colon == std::string_view::npos) break;
    path.remove_prefix(colon + 1);
  }
  return std::unexpected(denied ? EACCES : ENOENT);
}

std::expected<std::string, StartError> resolve_program(const std::string& program, bool search_path) {
  if (!search_path) return program;
  if (program.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    auto found = find_on_path(program, path ? std::string_view(path) : DEFAULT_PATH, PathEntries::absolute,
                              /*executable=*/true);
    if (!found) return std::unexpected(StartError{found.error(), nullptr, found.error() == ENOENT});
    return std::move(*found);
  }
  return from_working_directory(program);
}

std::string from_working_directory(const std::string& path) {
  if (path.starts_with('/')) return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (!cwd) return path;
  std::string full = std::string(cwd) + "/" + path;
  std::free(cwd);
  return full;
}

std::string absolute_entries(std::string_view path) {
  std::string kept;
  for (;;) {
    std::size_t colon = path.find(':');
    std::string_view entry = path.substr(0, colon);
    if (entry.starts_with('/')) {
      if (!kept.empty()) kept += ':';
      kept += entry;
    }
    if (colon == std::string_view::npos) break;
    path.remove_prefix(colon + 1);
  }
  return kept;
}

std::expected<Finished, StartError> run(const Command& command) {
  Pipe in, out, err;
  if (command.input) {
    if (int e = make_pipe(in)) return std::unexpected(StartError{e});
  }
  if (command.capture_out) {
    if (int e = make_pipe(out)) return std::unexpected(StartError{e});
  }
  if (command.capture_err) {
    if (int e = make_pipe(err)) return std::unexpected(StartError{e});
  }
  auto child = spawn(command, in, out, err);
  if (!child) return std::unexpected(child.error());

  Finished done;
  auto status = pump(**child, in, out, err, command.input.value_or(std::string_view{}), command, done);
  done.status = status ? *status : (*child)->wait();
  return done;
}

std::expected<Started, StartError> start(const Command& command) {
  Pipe in, out, err;
  for (Pipe* p : {&in, &out, &err}) {
    if (int e = make_pipe(*p)) return std::unexpected(StartError{e});
  }
  auto child = spawn(command, in, out, err);
  if (!child) return std::unexpected(child.error());
  return Started{std::move(*child), std::move(in.write), std::move(out.read), std::move(err.read)};
}

}  // namespace nivern_support
