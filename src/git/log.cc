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
  output::NulRecords records(out);
  auto next = [&records] { return records.next(); };
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
