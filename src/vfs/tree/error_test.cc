#include "vfs/tree/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace nivern_vfs::error {
namespace {

TEST(VfsError, Texts) {
  EXPECT_EQ((VfsError{VfsError::Io{"/a/b.txt", IoError::os(ENOENT)}}.text()),
            "/a/b.txt: No such file or directory (os error 2)");
  EXPECT_EQ((VfsError{VfsError::Io{"x", IoError::os(EACCES)}}.text()), "x: Permission denied (os error 13)");
  EXPECT_EQ((VfsError{VfsError::Io{"x", IoError::own(NUL_IN_PATH)}}.text()),
            "x: file name contained an unexpected NUL byte");
  EXPECT_EQ((VfsError{VfsError::Io{"/t/.x.nivern-tmp", IoError::own(WRITE_ZERO)}}.text()),
            "/t/.x.nivern-tmp: failed to write whole buffer");
  EXPECT_EQ((VfsError{VfsError::IsDirectory{"/a/dir"}}.text()), "/a/dir is a directory");
  EXPECT_EQ((VfsError{VfsError::NotRegularFile{"/a/fifo"}}.text()), "/a/fifo is not a regular file");
}

TEST(VfsError, PathsAreShownInTheirDisplayForm) {
  EXPECT_EQ((VfsError{VfsError::IsDirectory{"caf\xC3\xA9"}}.text()), "caf\xC3\xA9 is a directory");
  EXPECT_EQ((VfsError{VfsError::IsDirectory{"caf\xE9/x"}}.text()), "caf\xEF\xBF\xBD/x is a directory");
  EXPECT_EQ((VfsError{VfsError::Io{"\xFF", IoError::os(ENOENT)}}.text()),
            "\xEF\xBF\xBD: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace nivern_vfs::error
