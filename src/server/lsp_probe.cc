#include "server/lsp_probe.h"

#include <array>
#include <cstdlib>

#include "support/paths.h"
#include "support/process.h"
#include "text/byte_decoders.h"
#include "text/trim.h"

namespace nivern_server::lsp {

namespace {

constexpr std::array<std::string_view, 1> STDIO = {"--stdio"};
constexpr std::array<ServerSpec, 4> TABLE = {{
    {"rust", "rust-analyzer", {}},
    {"typescript", "typescript-language-server", STDIO},
    {"javascript", "typescript-language-server", STDIO},
    {"svelte", "svelteserver", STDIO},
}};

// The second piece of `text` split at every `sep`: what lies between the first and the
// second occurrence, or after the first up to the end; nullopt when `sep` is absent.
std::optional<std::string_view> second_piece(std::string_view text, std::string_view sep) {
  std::size_t at = text.find(sep);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + sep.size());
  return rest.substr(0, rest.find(sep));
}

}  // namespace

const std::span<const ServerSpec> LANGUAGE_SERVERS = TABLE;

std::expected<ServerSpec, std::string> look_up(std::string_view language) {
  for (const ServerSpec& row : TABLE) {
    if (row.language == language) return row;
  }
  return std::unexpected("no language server is configured for " + std::string(language));
}

std::string program_path(const std::string& found) { return nivern_support::from_working_directory(found); }

std::expected<std::string, std::string> find_on_path(std::string_view program) {
  if (const char* path = std::getenv("PATH")) {
    auto found = nivern_support::find_on_path(program, path, nivern_support::PathEntries::all,
                                              /*executable=*/false);
    if (found) return std::move(*found);
  }
  return std::unexpected(std::string(program) + " is not installed, or is not on PATH");
}

std::string probe_refusal(std::string_view program, std::string_view detail) {
  std::string lower(detail);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower.find("unknown binary") != std::string::npos && lower.find("toolchain") != std::string::npos) {
    if (auto piece = second_piece(detail, "toolchain")) {
      std::string_view toolchain = second_piece(*piece, "'").value_or("this toolchain");
      std::string p(program);
      return p + " is not installed for " + std::string(toolchain) + "." + std::string(18, ' ') +
             "Run: rustup component add " + p;
    }
  }
  return std::string(program) + " is on PATH but would not start: " + std::string(detail);
}

std::expected<void, std::string> probe(const std::string& found, const std::string& dir,
                                       std::string_view program) {
  // Only the start of standard error is ever looked at; standard output never is.
  nivern_support::Command command{.program = program_path(found),
                                  .search_path = false,
                                  .args = {"--version"},
                                  .own_group = true,
                                  .out_keep = 0,
                                  .err_keep = PROBE_ERR_KEEP};
  if (nivern_support::is_directory(dir)) command.workdir = dir;
  auto done = nivern_support::run(command);
  if (!done) return std::unexpected(probe_refusal(program, done.error().text()));
  if (done->status.success()) return {};
  std::string err = nivern_text::lossy_utf8(done->err);
  std::string_view rest = err;
  std::string_view detail = "it exited with an error";
  for (;;) {
    std::size_t nl = rest.find('\n');
    std::string_view line = nivern_text::trim(rest.substr(0, nl));
    if (!line.empty()) {
      detail = line;
      break;
    }
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
  return std::unexpected(probe_refusal(program, detail));
}

}  // namespace nivern_server::lsp
