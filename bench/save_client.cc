// Benchmark of `save`: the save handler writing 100 MB of text as UTF-8 (temporary file,
// fsync, rename, directory fsync) against `dd conv=fsync` writing the same bytes, in the
// same directory, interleaved in one run. Outputs are removed before each round, outside
// the timings.
//
// Usage: save_client SOURCE_FILE DIR [rounds]
// Prints each round, the medians and the ratio save / dd (target: at most 2).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "server/calls.h"

using nivern_bench::Clock;
using nivern_bench::median;
using nivern_bench::ms_since;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: save_client SOURCE_FILE DIR [rounds]\n");
    return 2;
  }
  const std::string source = argv[1], dir = argv[2];
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  std::ifstream in(source, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  nivern_server::Call::Save call{.path = dir + "/save.out", .text = s.str(), .encoding = "utf-8"};
  const std::string dd_out = dir + "/dd.out";

  std::vector<double> save_ms, dd_ms;
  for (int r = 0; r < rounds; ++r) {
    ::unlink(dd_out.c_str());
    ::sync();
    auto t0 = Clock::now();
    if (nivern_bench::run({"dd", "if=" + source, "of=" + dd_out, "bs=1M", "conv=fsync", "status=none"}) != 0) {
      std::fprintf(stderr, "dd failed\n");
      return 1;
    }
    dd_ms.push_back(ms_since(t0));

    ::unlink(call.path.c_str());
    ::sync();
    t0 = Clock::now();
    nivern_server::Reply reply = nivern_server::save_file(call);
    save_ms.push_back(ms_since(t0));
    if (!std::holds_alternative<nivern_server::Reply::Saved>(reply.v)) {
      std::fprintf(stderr, "save failed\n");
      return 1;
    }
    std::printf("round %d: save %.1f ms, dd %.1f ms (%zu bytes)\n", r + 1, save_ms.back(), dd_ms.back(),
                call.text.size());
  }
  ::unlink(dd_out.c_str());
  ::unlink(call.path.c_str());
  const double sv = median(save_ms), d = median(dd_ms);
  std::printf("median save %.1f ms, dd %.1f ms, ratio %.2f\n", sv, d, sv / d);
  return 0;
}
