// Encoding a large `text` reply and decoding a large `save` request: the two hot paths of
// the wire protocol. Input is real source text (the system's C++ headers, repeated).
#include <benchmark/benchmark.h>

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>

#include "protocol/message.h"

namespace msg = nivern_protocol::message;

namespace {

constexpr std::size_t kSize = 64u << 20;

// About 64 MB of ordinary source text.
const std::string& source_text() {
  static const std::string text = [] {
    std::string out;
    std::string dir = "/usr/include/c++/12/bits/";
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (auto* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    std::string all;
    for (auto& n : names) {
      std::ifstream f(dir + n, std::ios::binary);
      std::stringstream ss;
      ss << f.rdbuf();
      all += ss.str();
    }
    if (all.empty()) all = "int main() {\n\treturn \"quoted\\n\" == 0;\n}\n";
    while (out.size() < kSize) out += all;
    out.resize(kSize);
    return out;
  }();
  return text;
}

void BM_EncodeTextReply(benchmark::State& state) {
  msg::Reply::Text t{source_text(), "UTF-8", msg::LineEnding::lf, false, false};
  msg::Response r{7, t};
  for (auto _ : state) {
    std::string out = r.encode();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_EncodeTextReply)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeSaveRequest(benchmark::State& state) {
  msg::Reply::Error e{source_text()};
  // The JSON string form of the text, as the editor would send it.
  std::string encoded = msg::Response{0, e}.encode();
  auto start = encoded.find("\"message\":") + 10;
  std::string text_json = encoded.substr(start, encoded.size() - start - 2);
  std::string body = R"({"id":9,"call":{"call":"save","path":"/tmp/x","encoding":"UTF-8","line_ending":"lf","bom":false,"text":)" +
                     text_json + "}}";
  for (auto _ : state) {
    auto req = msg::Request::decode(body);
    if (!req) state.SkipWithError(req.error().c_str());
    benchmark::DoNotOptimize(req);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_DecodeSaveRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
