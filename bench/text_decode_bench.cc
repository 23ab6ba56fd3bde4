// decode + finish of real files: a 100 MB UTF-8 file with CR LF endings (the throughput
// target is 1.5 GB/s) and a 20 MB UTF-16LE file with a mark. Files come from
// ~/.cache/nivern-bench/open (see the shared bench README); a synthetic CR LF text
// stands in when they are missing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "text/file_decoding.h"
#include "text/line_ending.h"
#include "text/byte_decoders.h"

namespace {

std::string corpus_file(const char* name) {
  const char* home = std::getenv("HOME");
  std::string dir = std::getenv("BENCH_DATA") ? std::getenv("BENCH_DATA")
                                              : std::string(home ? home : "") + "/.cache/nivern-bench";
  std::ifstream in(dir + "/open/" + name, std::ios::binary);
  if (!in) return {};
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string& crlf_100m() {
  static const std::string data = [] {
    std::string s = corpus_file("crlf-100M.txt");
    if (s.empty()) {
      const std::string line = "static int example(struct device *dev, int value) { return 0; }\r\n";
      while (s.size() < 100'000'000) s += line;
    }
    return s;
  }();
  return data;
}

void BM_DecodeFinishCrlf100M(benchmark::State& state) {
  const std::string& bytes = crlf_100m();
  for (auto _ : state) {
    auto d = nivern_text::encoding::decode(bytes);
    benchmark::DoNotOptimize(d.text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeFinishCrlf100M)->Unit(benchmark::kMillisecond)->UseRealTime();

// What `open` does: the content buffer read from the file is decoded in place.
void BM_DecodeFinishCrlf100MInPlace(benchmark::State& state) {
  const std::string& bytes = crlf_100m();
  for (auto _ : state) {
    state.PauseTiming();
    std::string content = bytes;
    state.ResumeTiming();
    auto d = nivern_text::encoding::decode_in_place(std::move(content));
    benchmark::DoNotOptimize(d.text.data());
    state.PauseTiming();
    d = {};
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeFinishCrlf100MInPlace)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ValidateUtf8(benchmark::State& state) {
  const std::string& bytes = crlf_100m();
  for (auto _ : state) benchmark::DoNotOptimize(nivern_text::is_valid_utf8(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ValidateUtf8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CountLineEndings(benchmark::State& state) {
  const std::string& bytes = crlf_100m();
  for (auto _ : state) benchmark::DoNotOptimize(nivern_text::line_ending::count(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_CountLineEndings)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RemoveCr(benchmark::State& state) {
  const std::string& bytes = crlf_100m();
  for (auto _ : state) {
    std::string out;
    nivern_text::line_ending::append_without_cr_before_lf(out, bytes);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RemoveCr)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RemoveCrInPlace(benchmark::State& state) {
  const std::string& bytes = crlf_100m();
  for (auto _ : state) {
    state.PauseTiming();
    std::string content = bytes;
    state.ResumeTiming();
    nivern_text::line_ending::remove_cr_before_lf(content);
    benchmark::DoNotOptimize(content.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RemoveCrInPlace)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeUtf16Le20M(benchmark::State& state) {
  static const std::string bytes = corpus_file("utf16le-bom-20M.txt");
  if (bytes.empty()) {
    state.SkipWithError("utf16le-bom-20M.txt missing");
    return;
  }
  for (auto _ : state) {
    auto d = nivern_text::encoding::decode(bytes);
    benchmark::DoNotOptimize(d.text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeUtf16Le20M)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
