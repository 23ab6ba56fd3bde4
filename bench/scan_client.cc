// scan and list_dir through the server, for bench/scan.sh.
//
// usage:
//   scan_client once <root>              one whole session: start, hello, scan, end
//   scan_client compare <root> [rounds]  one session; alternates a scan request with a
//                                        `rg --files --hidden <root>` run and prints the
//                                        medians, their ratio, and the server's peak
//                                        resident memory against the reply's size
//   scan_client list <dir> [rounds]      one session; median list_dir time of <dir>
// Each request's time covers the whole round trip: framing, the walk, the sort, the
// JSON reply and its frame.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"
#include "support/process.h"

namespace {

using nivern_bench::Clock;
using nivern_bench::count;
using nivern_bench::median;
using nivern_bench::memory_kib;
using nivern_bench::ms_since;

std::string scan_body(const std::string& root) {
  return R"({"id":1,"call":{"call":"scan","path":)" + nivern_test::json_string(root) + R"(,"excludes":[]}})";
}

int once(const std::string& root) {
  nivern_test::ServerProcess server(root);
  server.hello();
  std::string reply = server.request(scan_body(root));
  server.close_stdin();
  server.wait();
  if (reply.find(R"("reply":"scanned")") == std::string::npos) {
    std::fprintf(stderr, "unexpected reply: %.200s\n", reply.c_str());
    return 1;
  }
  return 0;
}

int compare(const std::string& root, int rounds) {
  nivern_support::Command rg;
  rg.program = "rg";
  rg.args = {"--files", "--hidden", root};
  rg.capture_err = false;

  nivern_test::ServerProcess server(root);
  server.hello();
  auto [base_hwm, base_rss] = memory_kib(server.pid());
  std::string body = scan_body(root);
  std::vector<double> served, plain;
  std::size_t paths = 0, reply_bytes = 0, rg_lines = 0;
  long first_hwm = -1;
  for (int i = -2; i < rounds; ++i) {  // two rounds of warm-up
    auto t0 = Clock::now();
    std::string reply = server.request(body);
    double t_server = ms_since(t0);
    if (first_hwm < 0) first_hwm = memory_kib(server.pid()).peak_kib;
    t0 = Clock::now();
    auto direct = nivern_support::run(rg);
    double t_rg = ms_since(t0);
    if (!direct || !direct->status.success()) {
      std::fprintf(stderr, "rg failed\n");
      return 1;
    }
    if (i >= 0) {
      served.push_back(t_server);
      plain.push_back(t_rg);
    }
    reply_bytes = reply.size();
    paths = count(reply.substr(reply.find("\"paths\":[")), "\",\"") + 1;
    rg_lines = count(direct->out, "\n");
  }
  auto [hwm, rss] = memory_kib(server.pid());
  server.close_stdin();
  server.wait();
  double s = median(served), r = median(plain);
  std::printf("scan: %zu paths, reply %zu bytes; rg --files --hidden: %zu paths\n", paths, reply_bytes,
              rg_lines);
  std::printf("median over %d rounds: scan %.1f ms, rg %.1f ms, ratio %.2f\n", rounds, s, r, s / r);
  double reply_mib = static_cast<double>(reply_bytes) / (1024.0 * 1024.0);
  std::printf(
      "server memory: peak %.1f MiB after the first scan (%.1f MiB after all rounds), %.1f MiB at "
      "start; reply %.1f MiB; peak / reply %.2f, (peak - start) / reply %.2f\n",
      first_hwm / 1024.0, hwm / 1024.0, base_hwm / 1024.0, reply_mib, first_hwm / 1024.0 / reply_mib,
      (first_hwm - base_hwm) / 1024.0 / reply_mib);
  (void)rss;
  (void)base_rss;
  return 0;
}

int list(const std::string& dir, int rounds) {
  nivern_test::ServerProcess server(dir);
  server.hello();
  std::string body = R"({"id":1,"call":{"call":"list_dir","path":)" + nivern_test::json_string(dir) + "}}";
  std::vector<double> times;
  std::size_t entries = 0;
  for (int i = -2; i < rounds; ++i) {
    auto t0 = Clock::now();
    std::string reply = server.request(body);
    double t = ms_since(t0);
    if (i >= 0) times.push_back(t);
    entries = count(reply, "\"name\"");
  }
  server.close_stdin();
  server.wait();
  std::printf("list_dir: %zu entries, median over %d rounds %.2f ms (min %.2f)\n", entries, rounds,
              median(times), *std::min_element(times.begin(), times.end()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: scan_client once|compare|list <path> [rounds]\n");
    return 2;
  }
  std::string mode = argv[1], path = argv[2];
  int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 21;
  if (mode == "once") return once(path);
  if (mode == "compare") return compare(path, rounds);
  if (mode == "list") return list(path, rounds);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
