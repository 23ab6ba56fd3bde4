// git_status through the server against the same status run directly, interleaved.
//
// usage: git_status_client <repository> [rounds]
// Starts the server once on the repository, then alternates one git_status request with
// one direct `git -C <repository> status --porcelain=v1 -z --branch`, and prints the
// medians and their ratio. Each request's time covers the whole round trip: framing,
// discovery, HEAD, git itself, parsing, the JSON reply and its frame.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"
#include "support/process.h"

using nivern_bench::Clock;
using nivern_bench::count;
using nivern_bench::median;
using nivern_bench::ms_since;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: git_status_client <repository> [rounds]\n");
    return 2;
  }
  std::string repo = argv[1];
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 21;

  nivern_support::Command direct;
  direct.program = "git";
  direct.args = {"-C", repo, "status", "--porcelain=v1", "-z", "--branch"};
  direct.capture_err = false;

  nivern_test::ServerProcess server(repo);
  server.hello();
  std::string body = R"({"id":1,"call":{"call":"git_status","path":)" + nivern_test::json_string(repo) + "}}";

  std::vector<double> served, plain;
  std::size_t entries = 0, reply_bytes = 0, records = 0;
  for (int i = -2; i < rounds; ++i) {  // two rounds of warm-up
    auto t0 = Clock::now();
    std::string reply = server.request(body);
    double s = ms_since(t0);
    if (reply.find(R"("repository":true)") == std::string::npos) {
      std::fprintf(stderr, "unexpected reply: %.200s\n", reply.c_str());
      return 1;
    }
    t0 = Clock::now();
    auto out = nivern_support::run(direct);
    double d = ms_since(t0);
    if (!out) {
      std::fprintf(stderr, "git: %s\n", out.error().text().c_str());
      return 1;
    }
    if (i < 0) continue;
    served.push_back(s);
    plain.push_back(d);
    entries = count(reply, R"("path":)");
    reply_bytes = reply.size();
    records = static_cast<std::size_t>(std::count(out->out.begin(), out->out.end(), '\0'));
  }
  double ms = median(served), md = median(plain);
  std::printf("repository      %s\n", repo.c_str());
  std::printf("entries         %zu (git printed %zu records; reply %zu bytes)\n", entries, records, reply_bytes);
  std::printf("rounds          %d, interleaved\n", rounds);
  std::printf("git_status      median %.2f ms, min %.2f ms\n", ms, *std::min_element(served.begin(), served.end()));
  std::printf("git directly    median %.2f ms, min %.2f ms\n", md, *std::min_element(plain.begin(), plain.end()));
  std::printf("ratio           %.3f (medians)\n", ms / md);
  server.close_stdin();
  return server.wait() == 0 ? 0 : 1;
}
