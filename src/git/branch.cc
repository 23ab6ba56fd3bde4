#include "git/branch.h"

#include "git/output.h"

namespace nivern_git::branch {

std::vector<std::string> list(std::string_view out) {
  std::string text = output::lossy(out);
  std::vector<std::string> names;
  output::each_line(text, [&](std::string_view line) {
    std::string_view name = output::trim(line);
    if (!name.empty()) names.emplace_back(name);
  });
  return names;
}

}  // namespace nivern_git::branch
