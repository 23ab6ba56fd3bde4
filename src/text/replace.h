#pragma once
/// Durable replacement of a file's content. The new bytes go to a temporary sibling,
/// created exclusively and private until complete; it takes the access of the file it
/// replaces (owner, group, "user." attributes, access ACL, permission bits), is flushed
/// to stable storage, and then takes the file's place in one rename, after which the
/// directory is flushed too. A reader of the file sees the old content or the new one,
/// never a part. Only regular files are replaced: a device, named pipe or socket at the
/// target is refused and left as it is.
///
/// No shared state; safe from any thread. Two replacements of one file at once each
/// get a temporary file of their own; the last rename wins.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace nivern_text::replace {

/// The largest single write request.
inline constexpr std::size_t WRITE_CHUNK = 2'147'483'647;

/// Why a replacement failed, and where. `path` is the temporary file when it could not
/// be created or written, and the target when the rename failed or the target is not a
/// regular file. The target is unchanged in every case, and no temporary file is left.
struct ReplaceError {
  enum class Cause : std::uint8_t {
    os,                // the operation failed with `code` (an errno)
    nul_in_path,       // the path holds a NUL character
    wrote_nothing,     // a write request wrote no byte
    not_regular_file,  // the target is a device, a named pipe or a socket
  };
  std::string path;
  Cause cause = Cause::os;
  int code = 0;
};

/// Replaces the content of the file at `target` by `head` followed by `body`, creating
/// the file when nothing is there. `target` is used as given: a symbolic link at it is
/// itself replaced (callers that write through links resolve them first). The target's
/// status is checked before the temporary file is made and again, without following a
/// link, just before the rename, so a node put there meanwhile is not replaced either.
[[nodiscard]] std::expected<void, ReplaceError> replace_content(const std::string& target,
                                                                std::string_view head,
                                                                std::string_view body);

/// The temporary sibling of `target`: ".{name}.nivern-tmp" in `target`'s directory
/// ("." when `target` has no parent), with "file" for a name that is not an ordinary
/// UTF-8 file name.
[[nodiscard]] std::string temp_path_for(std::string_view target);

/// Another temporary sibling, for when `preferred` (a `temp_path_for` result) is taken
/// or its name too long: that name followed by "." and `tag` while the name stays within
/// 255 bytes, else ".nivern-tmp." and `tag`, in the same directory.
[[nodiscard]] std::string unique_temp_path(std::string_view preferred, std::string_view tag);

/// The permission bits that an access ACL (the value of "system.posix_acl_access")
/// grants through the file's mode alone: its owner, owning-group (limited by the mask)
/// and other entries. nullopt for a value that is not such an ACL.
[[nodiscard]] std::optional<mode_t> acl_mode_bits(std::string_view acl);

}  // namespace nivern_text::replace
