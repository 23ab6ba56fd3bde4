#include "harness/replies.h"

#include "harness/frame_client.h"

namespace nivern_test {

std::string request(std::uint64_t id, std::string_view call) {
  return "{\"id\":" + std::to_string(id) + ",\"call\":" + std::string(call) + "}";
}

std::string response(std::uint64_t id, std::string_view reply) {
  return "{\"id\":" + std::to_string(id) + ",\"reply\":" + std::string(reply) + "}";
}

std::string error_reply(std::uint64_t id, std::string_view message) {
  return response(id, R"({"reply":"error","message":)" + json_string(message) + "}");
}

std::string done_reply(std::uint64_t id) {
  return response(id, R"({"reply":"done"})");
}

std::string entry(std::string_view name, bool is_dir, std::uint64_t len) {
  return R"({"name":)" + json_string(name) + R"(,"is_dir":)" + (is_dir ? "true" : "false") + R"(,"len":)" +
         std::to_string(len) + "}";
}

std::string entries_reply(std::uint64_t id, std::string_view list) {
  return response(id, R"({"reply":"entries","entries":[)" + std::string(list) + "]}");
}

std::string scanned_reply(std::uint64_t id, const std::vector<std::string>& paths, bool truncated) {
  return response(id, R"({"reply":"scanned","paths":)" + json_list(paths) + R"(,"truncated":)" +
                          (truncated ? "true" : "false") + "}");
}

std::string text_reply(std::uint64_t id, std::string_view text, std::string_view encoding,
                       std::string_view line_ending, bool bom, bool lossy) {
  return response(id, R"({"reply":"text","text":)" + json_string(text) + R"(,"encoding":)" +
                          json_string(encoding) + R"(,"line_ending":)" + json_string(line_ending) +
                          R"(,"bom":)" + (bom ? "true" : "false") + R"(,"lossy":)" +
                          (lossy ? "true" : "false") + "}");
}

std::string json_list(const std::vector<std::string>& strings) {
  std::string out = "[";
  for (const std::string& s : strings) out += (out.size() > 1 ? "," : "") + json_string(s);
  return out + "]";
}

}  // namespace nivern_test
