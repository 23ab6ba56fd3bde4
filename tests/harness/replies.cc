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

std::string done_reply(std::uint64_t id) { return response(id, R"({"reply":"done"})"); }

std::string json_list(const std::vector<std::string>& strings) {
  std::string out = "[";
  for (const std::string& s : strings) out += (out.size() > 1 ? "," : "") + json_string(s);
  return out + "]";
}

}  // namespace nivern_test
