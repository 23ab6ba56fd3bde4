#include "git/log.h"

#include <array>
#include <optional>

#include "git/output.h"

namespace nivern_git::log {

using nivern_protocol::message::ChangedFile;
using nivern_protocol::message::Commit;
using nivern_protocol::message::GitState;

std::vector<Commit> parse_log(std::string_view out) {
  std::string text = output::lossy(out);
  std::vector<Commit> commits;
  output::each_line(text, [&](std::string_view line) {
    std::array<std::string_view, 5> f;
    for (std::size_t i = 0; i < f.size(); ++i) {
      std::size_t cut = line.find('\x1f');
      if (cut == std::string_view::npos) {
        if (i + 1 < f.size()) return;  // fewer than five fields
        f[i] = line;
      } else {
        f[i] = line.substr(0, cut);
        line.remove_prefix(cut + 1);
      }
    }
    commits.push_back(Commit{std::string(f[0]), std::string(f[1]), std::string(f[2]), std::string(f[3]),
                             std::string(f[4])});
  });
  return commits;
}

std::vector<ChangedFile> parse_files(std::string_view out) {
  std::vector<ChangedFile> files;
  auto next = [&out]() -> std::optional<std::string_view> {
    if (out.empty()) return std::nullopt;
    std::size_t nul = out.find('\0');
    std::string_view rec = out.substr(0, nul);
    out.remove_prefix(nul == std::string_view::npos ? out.size() : nul + 1);
    return rec;
  };
  while (auto status = next()) {
    if (status->empty()) continue;
    std::optional<std::string_view> name = next();
    // A rename or copy names its source first, then the file it made.
    if (name && (status->front() == 'R' || status->front() == 'C')) name = next();
    if (!name) break;
    GitState state = status->front() == 'A'   ? GitState::added
                     : status->front() == 'D' ? GitState::deleted
                                              : GitState::modified;
    files.push_back(ChangedFile{state, output::lossy(*name)});
  }
  return files;
}

}  // namespace nivern_git::log
