#include "git/log.h"

#include <array>

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
  std::string text = output::lossy(out);
  std::vector<ChangedFile> files;
  output::each_line(text, [&](std::string_view line) {
    std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0) return;
    GitState state = line[0] == 'A'   ? GitState::added
                     : line[0] == 'D' ? GitState::deleted
                                      : GitState::modified;
    files.push_back(ChangedFile{state, std::string(line.substr(tab + 1))});
  });
  return files;
}

}  // namespace nivern_git::log
