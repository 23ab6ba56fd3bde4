// Text search against ripgrep, for bench/search.sh.
//
// usage:
//   search_client compare <root> [rounds]  one session; for each benchmark query,
//                                          alternates a `search` request with the
//                                          equivalent `rg --hidden -n` run (output
//                                          captured through a pipe) and prints the
//                                          medians and their ratio
//   search_client full <root> [rounds]     the same queries without the 5,000-match
//                                          limit: the library's walk and line searcher
//                                          in this process, counting every matching
//                                          line, against rg; checks the counts agree
//   search_client long-line <dir> [rounds] writes one 1 MB line with a comma every
//                                          1,000 characters into <dir> and compares
//                                          [^,]{1001,} on it as `compare` does
// A request's time covers the whole round trip: framing, the walk, the search, the sort,
// the JSON reply and its frame.
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"
#include "support/process.h"
#include "support/unique_fd.h"
#include "vfs/search/search.h"
#include "vfs/tree/walk.h"

namespace {

using nivern_bench::Clock;
using nivern_bench::count;
using nivern_bench::median;
using nivern_bench::ms_since;
namespace vs = nivern_vfs::search;
namespace walk = nivern_vfs::walk;

struct Bench {
  const char* name = "";
  vs::SearchQuery query;
  std::vector<std::string> rg_flags;
};

Bench bench(const char* name, const char* pattern, bool regex, bool word, bool cs,
            std::vector<std::string> rg_flags) {
  Bench b;
  b.name = name;
  b.query.pattern = pattern;
  b.query.regex = regex;
  b.query.whole_word = word;
  b.query.case_sensitive = cs;
  b.rg_flags = std::move(rg_flags);
  return b;
}

std::vector<Bench> benches() {
  std::vector<Bench> out;
  out.push_back(bench("rare literal PM_RESUME", "PM_RESUME", false, false, true, {"-s", "-F"}));
  out.push_back(bench("regex \\w+_lock\\(", "\\w+_lock\\(", true, false, true, {"-s"}));
  out.push_back(bench("regex \\b\\w+_lock\\b", "\\b\\w+_lock\\b", true, false, true, {"-s"}));
  out.push_back(bench("word, smart case: error", "error", false, true, false, {"-w", "-S", "-F"}));
  out.push_back(bench("hits the cap: static", "static", false, false, true, {"-s", "-F"}));
  return out;
}

nivern_support::Command rg_command(const Bench& b, const std::string& root) {
  nivern_support::Command rg;
  rg.program = "rg";
  rg.args = {"--hidden", "-n"};
  rg.args.insert(rg.args.end(), b.rg_flags.begin(), b.rg_flags.end());
  rg.args.insert(rg.args.end(), {"-e", b.query.pattern, root});
  rg.capture_err = false;
  return rg;
}

std::size_t lines_of(const std::string& out) {
  return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
}

std::string search_body(const vs::SearchQuery& q, const std::string& root) {
  auto flag = [](bool b) { return b ? "true" : "false"; };
  return std::string(R"({"id":1,"call":{"call":"search","path":)") +
         nivern_test::json_string(root) + ",\"pattern\":" + nivern_test::json_string(q.pattern) +
         ",\"case_sensitive\":" + flag(q.case_sensitive) + ",\"whole_word\":" + flag(q.whole_word) +
         ",\"regex\":" + flag(q.regex) + ",\"excludes\":[]}}";
}

int compare(const std::string& root, int rounds, const std::vector<Bench>& queries) {
  nivern_test::ServerProcess server(root);
  server.hello();
  for (const Bench& b : queries) {
    const std::string body = search_body(b.query, root);
    const auto rg = rg_command(b, root);
    std::vector<double> served, plain;
    std::size_t matches = 0, rg_lines = 0;
    bool truncated = false;
    for (int i = -2; i < rounds; ++i) {  // two rounds of warm-up
      auto t0 = Clock::now();
      const std::string reply = server.request(body);
      const double t_server = ms_since(t0);
      t0 = Clock::now();
      const auto direct = nivern_support::run(rg);
      const double t_rg = ms_since(t0);
      // rg exits with 1 when nothing matches.
      const bool rg_ok = direct && (direct->status.success() ||
                                    (direct->status.kind == nivern_support::ExitStatus::Kind::exited &&
                                     direct->status.code == 1));
      if (!rg_ok || reply.find("\"found\"") == std::string::npos) {
        std::fprintf(stderr, "%s: a run failed: %.200s\n", b.name, reply.c_str());
        return 1;
      }
      if (i >= 0) {
        served.push_back(t_server);
        plain.push_back(t_rg);
      }
      matches = count(reply, "\"line\":");
      truncated = reply.find("\"truncated\":true") != std::string::npos;
      rg_lines = lines_of(direct->out);
    }
    const double s = median(served), r = median(plain);
    std::printf("%-26s search %7.1f ms (%zu matches%s)  rg %7.1f ms (%zu lines)  ratio %.2f\n",
                b.name, s, matches, truncated ? ", truncated" : "", r, rg_lines, s / r);
  }
  server.close_stdin();
  server.wait();
  return 0;
}

/// Every matching line of the tree, no limit: walker and line searcher as `search` runs
/// them, each worker with its own matcher.
class Counter final : public walk::ParallelVisitor {
 public:
  Counter(const vs::Matcher& m, std::atomic<std::size_t>& total) : m_(m.clone()), total_(total) {}
  walk::WalkState visit(const walk::Entry& e) override {
    if (e.kind != walk::Kind::file) return walk::WalkState::keep_going;
    nivern_support::UniqueFd fd(::openat(
        e.dir_fd, e.name.data(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (!fd) return walk::WalkState::keep_going;
    found_.clear();
    if (searcher_.search(fd.get(), m_, e.path, found_)) total_ += found_.size();
    return walk::WalkState::keep_going;
  }
  walk::WalkState visit_error(const walk::WalkError&) override {
    return walk::WalkState::keep_going;
  }

 private:
  vs::Matcher m_;
  std::atomic<std::size_t>& total_;
  vs::LineSearcher searcher_;
  std::vector<vs::Match> found_;
};

class Counters final : public walk::ParallelVisitorBuilder {
 public:
  Counters(const vs::Matcher& m, std::atomic<std::size_t>& total) : m_(m), total_(total) {}
  std::unique_ptr<walk::ParallelVisitor> build() override {
    return std::make_unique<Counter>(m_, total_);
  }

 private:
  const vs::Matcher& m_;
  std::atomic<std::size_t>& total_;
};

int full(const std::string& root, int rounds) {
  int failures = 0;
  for (const Bench& b : benches()) {
    const auto rg = rg_command(b, root);
    std::vector<double> ours, plain;
    std::size_t lines = 0, rg_lines = 0;
    for (int i = -1; i < rounds; ++i) {
      auto t0 = Clock::now();
      auto matcher = vs::Matcher::compile(b.query);
      std::atomic<std::size_t> total{0};
      Counters counters(*matcher, total);
      walk::walk_parallel(root, {}, counters);
      const double t_ours = ms_since(t0);
      t0 = Clock::now();
      const auto direct = nivern_support::run(rg);
      const double t_rg = ms_since(t0);
      if (i >= 0) {
        ours.push_back(t_ours);
        plain.push_back(t_rg);
      }
      lines = total.load();
      rg_lines = direct ? lines_of(direct->out) : 0;
    }
    const double s = median(ours), r = median(plain);
    std::printf("%-26s no limit %7.1f ms (%zu lines)  rg %7.1f ms (%zu lines)  ratio %.2f%s\n",
                b.name, s, lines, r, rg_lines, s / r, lines == rg_lines ? "" : "  COUNTS DIFFER");
    failures += lines != rg_lines;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: search_client compare|full|long-line <root> [rounds]\n");
    return 2;
  }
  const std::string mode = argv[1], root = argv[2];
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 11;
  if (mode == "compare") return compare(root, rounds, benches());
  if (mode == "long-line") {
    // A count over 1000 that no run of the line reaches.
    std::string line;
    for (int k = 0; k < 1000; ++k) line += std::string(999, 'x') + ",";
    line += '\n';
    FILE* f = std::fopen((root + "/long-line.txt").c_str(), "wb");
    if (f == nullptr || std::fwrite(line.data(), 1, line.size(), f) != line.size() ||
        std::fclose(f) != 0) {
      std::fprintf(stderr, "cannot write %s/long-line.txt\n", root.c_str());
      return 1;
    }
    return compare(root, rounds,
                   {bench("count [^,]{1001,}, 1 MB line", "[^,]{1001,}", true, false, true,
                          {"-s"})});
  }
  if (mode == "full") return full(root, rounds);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
