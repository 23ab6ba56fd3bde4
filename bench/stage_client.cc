// git_action "stage" through the server against `git add -A -- <paths>` run directly,
// interleaved.
//
// usage: stage_client <repository> <file of paths, one a line> [rounds]
// Starts the server once on the repository. Each round stages the listed files twice,
// once in one git_action and once with `git -C <repository> add -A -- <paths>`, which
// of the two goes first alternating; before each, every file is rewritten with new
// content, so both have the same work to do. It prints the medians and their ratio.
// The server's time covers the whole round trip: framing, discovery, the relative
// paths, git itself and the reply.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"
#include "harness/temp_tree.h"
#include "support/process.h"

using nivern_bench::Clock;
using nivern_bench::median;
using nivern_bench::ms_since;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stage_client <repository> <paths file> [rounds]\n");
    return 2;
  }
  std::string repo = argv[1];
  int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;
  std::vector<std::string> paths;
  {
    std::ifstream in(argv[2]);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) paths.push_back(line);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "no paths in %s\n", argv[2]);
    return 1;
  }

  nivern_support::Command direct;
  direct.program = "git";
  direct.args = {"-C", repo, "add", "-A", "--"};
  direct.args.insert(direct.args.end(), paths.begin(), paths.end());

  std::string body = R"({"id":1,"call":{"call":"git_action","path":)" + nivern_test::json_string(repo) +
                     R"(,"action":{"action":"stage","paths":[)";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    body += (i ? "," : "") + nivern_test::json_string(repo + "/" + paths[i]);
  }
  body += "]}}}";
  const std::string expected = R"({"id":1,"reply":{"reply":"git_done","said":"Staged )" +
                               std::to_string(paths.size()) +
                               R"( files.","branches":[],"pulls":[],"open":null,"commits":[],"changed":[]}})";

  int stamp = 0;
  auto rewrite = [&] {
    ++stamp;
    for (const auto& p : paths)
      nivern_test::write_file(repo + "/" + p, "/* nivern bench " + std::to_string(stamp) + " */\n");
  };

  nivern_test::ServerProcess server(repo);
  server.hello();
  std::vector<double> served, plain;
  auto through_server = [&]() -> double {
    rewrite();
    auto t0 = Clock::now();
    std::string reply = server.request(body);
    double ms = ms_since(t0);
    if (reply != expected) {
      std::fprintf(stderr, "unexpected reply: %.300s\n", reply.c_str());
      std::exit(1);
    }
    return ms;
  };
  auto directly = [&]() -> double {
    rewrite();
    auto t0 = Clock::now();
    auto out = nivern_support::run(direct);
    double ms = ms_since(t0);
    if (!out || !out->status.success()) {
      std::fprintf(stderr, "git add failed: %s\n", out ? out->err.c_str() : out.error().text().c_str());
      std::exit(1);
    }
    return ms;
  };
  for (int i = -2; i < rounds; ++i) {  // two rounds of warm-up; the order alternates
    double s, d;
    if (i % 2 == 0) {
      s = through_server();
      d = directly();
    } else {
      d = directly();
      s = through_server();
    }
    if (i < 0) continue;
    served.push_back(s);
    plain.push_back(d);
  }
  // Leave the clone as it was found.
  (void)nivern_support::run(
      nivern_support::Command{.program = "git", .args = {"-C", repo, "reset", "-q", "--hard"}});

  double ms = median(served), md = median(plain);
  std::printf("repository      %s\n", repo.c_str());
  std::printf("paths           %zu modified files per stage\n", paths.size());
  std::printf("rounds          %d, interleaved\n", rounds);
  std::printf("stage           median %.2f ms, min %.2f ms\n", ms,
              *std::min_element(served.begin(), served.end()));
  std::printf("git add direct  median %.2f ms, min %.2f ms\n", md,
              *std::min_element(plain.begin(), plain.end()));
  std::printf("ratio           %.3f (medians)\n", ms / md);
  server.close_stdin();
  return server.wait() == 0 ? 0 : 1;
}
