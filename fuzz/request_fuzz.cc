// libFuzzer target: any byte sequence given to the request decoder either decodes or yields
// one positioned message; base64 payloads decode only in canonical form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/message.h"

using namespace nivern_protocol::message;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  auto request = Request::decode(body);
  if (!request) {
    const std::string& e = request.error();
    if (e.find(" at line ") == std::string::npos) std::abort();
  } else {
    // Whatever decodes must encode back as a reply without trouble.
    std::string out = Response{request->id, Reply::Error{std::string(body.substr(0, 64))}}.encode();
    if (out.empty()) std::abort();
  }
  if (auto bytes = decode_bytes(body)) {
    if (encode_bytes(*bytes) != body) std::abort();
  }
  return 0;
}
