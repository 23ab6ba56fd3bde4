// The scan's phases in process, on a real tree (NIVERN_SCAN_ROOT, default the kernel
// corpus): the parallel walk alone and the whole scan (walk, batches, sort).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "vfs/tree/scan.h"
#include "vfs/tree/walk.h"

namespace {

std::string root() {
  const char* env = std::getenv("NIVERN_SCAN_ROOT");
  if (env && *env) return env;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.cache/nivern-bench/linux";
}

class Counter final : public nivern_vfs::walk::ParallelVisitor {
 public:
  explicit Counter(std::atomic<std::size_t>& n) : n_(n) {}
  ~Counter() override { n_ += mine_; }
  nivern_vfs::walk::WalkState visit(const nivern_vfs::walk::Entry&) override {
    ++mine_;
    return nivern_vfs::walk::WalkState::keep_going;
  }
  nivern_vfs::walk::WalkState visit_error(const nivern_vfs::walk::WalkError&) override {
    return nivern_vfs::walk::WalkState::keep_going;
  }

 private:
  std::atomic<std::size_t>& n_;
  std::size_t mine_ = 0;
};

class Counters final : public nivern_vfs::walk::ParallelVisitorBuilder {
 public:
  std::unique_ptr<nivern_vfs::walk::ParallelVisitor> build() override {
    return std::make_unique<Counter>(n);
  }
  std::atomic<std::size_t> n{0};
};

void BM_Walk(benchmark::State& state) {
  std::string r = root();
  for (auto _ : state) {
    Counters counters;
    nivern_vfs::walk::WalkOptions options;
    options.threads = static_cast<std::size_t>(state.range(0));
    nivern_vfs::walk::walk_parallel(r, options, counters);
    state.counters["entries"] = static_cast<double>(counters.n.load());
  }
}
BENCHMARK(BM_Walk)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Scan(benchmark::State& state) {
  std::string r = root();
  for (auto _ : state) {
    auto result = nivern_vfs::walk::scan(
        r, {}, state.range(0) ? nivern_vfs::walk::Sizes::read : nivern_vfs::walk::Sizes::skip);
    state.counters["files"] = static_cast<double>(result.entries.size());
  }
}
// Arg: 1 reads each file's size, 0 skips it (what the scan call does).
BENCHMARK(BM_Scan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
