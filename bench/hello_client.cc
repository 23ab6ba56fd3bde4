// Whole-process benchmark: N pipelined `hello` requests through the real binary, and the
// resident memory of an idle session after its handshake.
// Usage: hello_client [count]   (prints requests per second and the idle VmRSS)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_util.h"
#include "harness/frame_client.h"

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  {
    nivern_test::ServerProcess idle("/tmp");
    idle.hello();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("idle_rss_kb %ld\n", nivern_bench::memory_kib(idle.pid()).resident_kib);
  }
  nivern_test::ServerProcess p("/tmp");
  p.hello();
  std::string all;
  for (int i = 1; i <= count; ++i)
    all += nivern_test::frame("{\"id\":" + std::to_string(i) + ",\"call\":{\"call\":\"hello\",\"version\":5}}");
  auto start = std::chrono::steady_clock::now();
  std::thread writer([&] { p.write_raw(all); });
  int got = 0;
  while (got < count && p.read_frame()) ++got;
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  writer.join();
  std::printf("replies %d seconds %.3f requests_per_second %.0f\n", got, secs, got / secs);
  return got == count ? 0 : 1;
}
