#include "vfs/tree/error.h"

#include "support/os_error.h"
#include "text/byte_decoders.h"

namespace nivern_vfs::error {

std::string IoError::text() const {
  return code != 0 ? nivern_support::os_error_text(code) : std::string(message);
}

std::string VfsError::text() const {
  struct Texts {
    std::string operator()(const Io& e) const {
      return nivern_text::lossy_utf8(e.path) + ": " + e.cause.text();
    }
    std::string operator()(const IsDirectory& e) const {
      return nivern_text::lossy_utf8(e.path) + " is a directory";
    }
    std::string operator()(const NotRegularFile& e) const {
      return nivern_text::lossy_utf8(e.path) + " is not a regular file";
    }
  };
  return std::visit(Texts{}, v);
}

}  // namespace nivern_vfs::error
