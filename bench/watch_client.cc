// File watching through the server, for bench/watch.sh.
//
// usage:
//   watch_client latency <dir> [rounds]  one session watching <dir> beside `inotifywait -m`
//                                        on it; each round writes one file and times the
//                                        server's `changed` event and inotifywait's line
//   watch_client setup <tree> [rounds]   time from `watch` to `watching` on <tree> (a fresh
//                                        server each round), and until every directory is
//                                        watched, against the time until `inotifywait -r`
//                                        prints "Watches established."
//   watch_client burst <dir> [files]     creates <files> files at once under a watched
//                                        <dir>; counts the events and times how long the
//                                        server keeps using processor time afterwards
//   watch_client idle <tree> [seconds]   a watch with nothing changing: voluntary context
//                                        switches of each server thread over <seconds>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"

namespace {

using nivern_bench::Clock;
using nivern_bench::median;
using nivern_bench::ms_since;

std::string watch_body(std::uint64_t id, const std::string& path) {
  return R"({"id":)" + std::to_string(id) + R"(,"call":{"call":"watch","path":)" +
         nivern_test::json_string(path) + R"(,"excludes":[]}})";
}

// A child whose standard output and error both come back through one pipe.
struct Piped {
  pid_t pid = -1;
  int out = -1;
};

Piped spawn_merged(std::vector<std::string> argv) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) std::abort();
  nivern_support::Spawn spawn;
  spawn.dup2(p[1], 1).dup2(p[1], 2);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  Piped c;
  c.pid = spawn.start(args[0], args.data(), nullptr, /*search_path=*/true).value_or(-1);
  ::close(p[1]);
  c.out = p[0];
  return c;
}

// Reads until `needle` has been seen (or the child's output ends, or 60 s pass).
bool read_until(int fd, const std::string& needle, std::string& seen) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  char buf[4096];
  while (seen.find(needle) == std::string::npos) {
    pollfd pfd{fd, POLLIN, 0};
    const int left =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0 || ::poll(&pfd, 1, left) <= 0) return false;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    seen.append(buf, std::size_t(n));
  }
  return true;
}

void stop(Piped& c) {
  ::kill(c.pid, SIGTERM);
  nivern_bench::wait_exit(c.pid);
  ::close(c.out);
}

// The inotify watches that process `pid` holds, from the fdinfo of its inotify descriptors.
std::size_t watches_of(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::size_t n = 0;
  DIR* d = ::opendir((proc + "/fd").c_str());
  if (!d) return 0;
  while (const dirent* e = ::readdir(d)) {
    char target[64];
    const ssize_t len = ::readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
    if (len <= 0 || std::string_view(target, std::size_t(len)) != "anon_inode:inotify") continue;
    std::ifstream in(proc + "/fdinfo/" + e->d_name);
    for (std::string line; std::getline(in, line);) n += line.rfind("inotify wd:", 0) == 0;
  }
  ::closedir(d);
  return n;
}

std::size_t count_dirs(const std::string& tree) {
  std::size_t n = 1;
  std::vector<std::string> todo{tree};
  while (!todo.empty()) {
    const std::string dir = std::move(todo.back());
    todo.pop_back();
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    while (const dirent* e = ::readdir(d)) {
      if (e->d_type != DT_DIR ||
          (e->d_name[0] == '.' && (!e->d_name[1] || (e->d_name[1] == '.' && !e->d_name[2]))))
        continue;
      ++n;
      todo.push_back(dir + "/" + e->d_name);
    }
    ::closedir(d);
  }
  return n;
}

int latency(const std::string& dir, int rounds) {
  nivern_test::ServerProcess server(dir);
  server.hello();
  if (server.request(watch_body(1, dir)).find("watching") == std::string::npos) return 1;
  Piped iw = spawn_merged({"inotifywait", "-m", "-e", "modify", "--format", "%w%f", dir});
  std::string seen;
  if (!read_until(iw.out, "Watches established.", seen)) return 1;
  seen.clear();
  const int fd = ::open((dir + "/latency-probe").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  // The file's creation is one batch of its own.
  (void)server.read_frame(std::chrono::seconds(10));
  std::vector<double> served, tool;
  for (int i = -3; i < rounds; ++i) {
    const auto t0 = Clock::now();
    if (::pwrite(fd, "x", 1, i + 3) != 1) return 1;
    if (!read_until(iw.out, "latency-probe\n", seen)) return 1;
    const double t_tool = ms_since(t0);
    seen.clear();
    auto event = server.read_frame(std::chrono::seconds(10));
    const double t_served = ms_since(t0);
    if (!event || event->find("latency-probe") == std::string::npos) return 1;
    if (i >= 0) served.push_back(t_served), tool.push_back(t_tool);
  }
  ::close(fd);
  stop(iw);
  std::printf(
      "latency from a write, median of %d: server changed event %.2f ms, inotifywait -m %.3f ms"
      " (ratio %.0fx; target: server <= 45 ms)\n",
      rounds, median(served), median(tool), median(served) / median(tool));
  return 0;
}

int setup(const std::string& tree, int rounds) {
  const std::size_t dirs = count_dirs(tree);
  std::vector<double> served, crawled, tool;
  for (int i = -1; i < rounds; ++i) {
    {
      nivern_test::ServerProcess server(tree);
      server.hello();
      const auto t0 = Clock::now();
      const std::string reply = server.request(watch_body(1, tree));
      const double t = ms_since(t0);
      if (reply.find("watching") == std::string::npos) {
        std::fprintf(stderr, "unexpected reply: %.200s\n", reply.c_str());
        return 1;
      }
      // Every directory watched: the crawl after the reply is done. Listing the watches holds
      // up adding them, so the checks are spaced by an eighth of the time so far (the error
      // is as large).
      while (watches_of(server.pid()) < dirs && ms_since(t0) < 60'000)
        std::this_thread::sleep_for(
            std::chrono::duration<double, std::milli>(std::max(2.0, ms_since(t0) / 8)));
      const double all = ms_since(t0);
      if (i >= 0) served.push_back(t), crawled.push_back(all);
    }
    {
      const auto t0 = Clock::now();
      Piped iw = spawn_merged({"inotifywait", "-r", "-m", tree});
      std::string seen;
      if (!read_until(iw.out, "Watches established.", seen)) return 1;
      const double t = ms_since(t0);
      stop(iw);
      if (i >= 0) tool.push_back(t);
    }
  }
  std::printf(
      "set-up on %s (%zu directories), median of %d: watch -> watching %.1f ms, watch -> every directory "
      "watched %.1f ms; inotifywait -r -> \"Watches established.\" %.1f ms (from its start); ratio %.2f "
      "(%.3f for the reply; target <= 1.0)\n",
      tree.c_str(), dirs, rounds, median(served), median(crawled), median(tool),
      median(crawled) / median(tool), median(served) / median(tool));
  return 0;
}

// utime + stime of a process, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(s.substr(s.rfind(')') + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14) utime = std::atol(f.c_str());
    if (i == 15) {
      stime = std::atol(f.c_str());
      break;
    }
  }
  return utime + stime;
}

int burst(const std::string& dir, int files) {
  const std::string sub = dir + "/burst";
  std::system(("rm -rf '" + sub + "' && mkdir -p '" + sub + "'").c_str());
  nivern_test::ServerProcess server(dir);
  server.hello();
  if (server.request(watch_body(1, dir)).find("watching") == std::string::npos) return 1;
  const long before = cpu_ticks(server.pid());
  const auto t0 = Clock::now();
  for (int i = 0; i < files; ++i) {
    const int fd = ::open((sub + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ::close(fd);
  }
  const double made = ms_since(t0);
  // Events and processor time until the server has been idle for 1 s.
  int events = 0, rescans = 0;
  std::size_t paths = 0;
  long last_ticks = cpu_ticks(server.pid());
  auto last_busy = Clock::now();
  while (Clock::now() - last_busy < std::chrono::seconds(1)) {
    if (auto e = server.read_frame(std::chrono::milliseconds(20))) {
      ++events;
      const std::string list = e->substr(e->find("\"paths\":["));
      paths += list == "\"paths\":[]}}" ? 0 : std::size_t(nivern_bench::count(list, "\",\"")) + 1;
      if (e->find("\"" + dir + "\"") != std::string::npos) ++rescans;
    }
    const long ticks = cpu_ticks(server.pid());
    if (ticks != last_ticks) last_ticks = ticks, last_busy = Clock::now();
  }
  const double busy = std::chrono::duration<double, std::milli>(last_busy - t0).count() - made;
  std::printf(
      "burst of %d files made in %.0f ms: %d changed events (%d naming the root), %zu paths; server cpu "
      "%.0f ms, last busy %.0f ms after the burst, peak resident %ld KiB (target: a few events, idle "
      "within 1 s)\n",
      files, made, events, rescans, paths,
      double(last_ticks - before) * 1000.0 / double(sysconf(_SC_CLK_TCK)), busy < 0 ? 0.0 : busy,
      nivern_bench::memory_kib(server.pid()).peak_kib);
  std::system(("rm -rf '" + sub + "'").c_str());
  return 0;
}

std::map<std::string, long> switches_by_thread(pid_t pid) {
  std::map<std::string, long> out;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(base.c_str());
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(base + "/" + e->d_name + "/status");
    std::string line, name;
    long n = 0;
    while (std::getline(in, line)) {
      if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) n = std::atol(line.c_str() + 24);
    }
    out[name + " (" + e->d_name + ")"] = n;
  }
  ::closedir(d);
  return out;
}

int idle(const std::string& tree, int seconds) {
  nivern_test::ServerProcess server(tree);
  server.hello();
  if (server.request(watch_body(1, tree)).find("watching") == std::string::npos) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto before = switches_by_thread(server.pid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  auto after = switches_by_thread(server.pid());
  long total = 0;
  std::printf("idle watch of %s, voluntary context switches over %d s:\n", tree.c_str(), seconds);
  for (auto& [name, n] : after) {
    std::printf("  %-32s %ld\n", name.c_str(), n - before[name]);
    total += n - before[name];
  }
  std::printf("  total %ld (target: 0, no periodic wake-ups)\n", total);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const std::string path = argc > 2 ? argv[2] : "";
  const int n = argc > 3 ? std::atoi(argv[3]) : 0;
  if (mode == "latency" && !path.empty()) return latency(path, n > 0 ? n : 31);
  if (mode == "setup" && !path.empty()) return setup(path, n > 0 ? n : 7);
  if (mode == "burst" && !path.empty()) return burst(path, n > 0 ? n : 10000);
  if (mode == "idle" && !path.empty()) return idle(path, n > 0 ? n : 10);
  std::fprintf(stderr, "usage: watch_client latency|setup|burst|idle <path> [n]\n");
  return 2;
}
