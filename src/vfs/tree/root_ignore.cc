#include "vfs/tree/root_ignore.h"

#include <string>

namespace nivern_vfs {

Gitignore root_matcher(std::string_view root) {
  GitignoreBuilder builder(root);
  std::string base(root);
  if (!base.empty() && base.back() != '/') base.push_back('/');
  for (const char* name : {".gitignore", ".ignore", ".git/info/exclude"}) {
    // Whatever an add reports is dropped; the lines it accepted stay.
    (void)builder.add_file(base + name);
  }
  auto built = builder.build();
  return built ? std::move(*built) : Gitignore();
}

}  // namespace nivern_vfs
