#include "vfs/tree/excludes.h"

namespace nivern_vfs::excludes {

std::expected<Override, GlobError> Excludes::matcher(std::string_view root) const {
  GitignoreBuilder builder(root, /*allow_unclosed_class=*/false);
  std::string line;
  for (const std::string& p : patterns) {
    line.assign("!");
    line += p;
    if (auto added = builder.add_line(line); !added) return std::unexpected(std::move(added.error()));
  }
  auto built = builder.build();
  if (!built) return std::unexpected(std::move(built.error()));
  return Override(std::move(*built));
}

}  // namespace nivern_vfs::excludes
