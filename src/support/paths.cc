#include "support/paths.h"

#include <sys/stat.h>

namespace nivern_support {

bool is_directory(const std::string& path) {
  struct stat st {};
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace nivern_support
