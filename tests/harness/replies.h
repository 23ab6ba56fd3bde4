#pragma once
/// Whole frame bodies as the server writes them, and requests as the editor sends them,
/// for end-to-end tests that assert replies byte for byte.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nivern_test {

/// `{"id":id,"call":call}`: a request around a call object or array.
std::string request(std::uint64_t id, std::string_view call);
/// `{"id":id,"reply":reply}`: a response around a reply object.
std::string response(std::uint64_t id, std::string_view reply);
/// The `error` reply with `message` under `id`.
std::string error_reply(std::uint64_t id, std::string_view message);
/// The `done` reply under `id`.
std::string done_reply(std::uint64_t id);
/// One entry of an `entries` reply.
std::string entry(std::string_view name, bool is_dir, std::uint64_t len);
/// The `entries` reply of a `list_dir` under `id`; `list` is its entries joined by commas.
std::string entries_reply(std::uint64_t id, std::string_view list);
/// The `scanned` reply of a `scan` under `id`.
std::string scanned_reply(std::uint64_t id, const std::vector<std::string>& paths, bool truncated = false);
/// The `text` reply of an `open` under `id`.
std::string text_reply(std::uint64_t id, std::string_view text, std::string_view encoding = "UTF-8",
                       std::string_view line_ending = "lf", bool bom = false, bool lossy = false);
/// `strings` as a JSON array of strings.
std::string json_list(const std::vector<std::string>& strings);

}  // namespace nivern_test
