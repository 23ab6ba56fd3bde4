#pragma once
/// Reading history: the commits of "git log" in the one-record-a-line form that
/// `FORMAT` asks for, and the files of one commit from "git show --name-status -z".
///
/// Threading: pure functions; safe from any thread.
#include <string>
#include <string_view>
#include <vector>

#include "protocol/message.h"

namespace nivern_git::log {

/// The "--format=" argument: full hash, short hash, subject, author name and relative
/// date, separated by the byte 0x1F.
inline constexpr std::string_view FORMAT = "--format=%H\x1f%h\x1f%s\x1f%an\x1f%ar";

/// One commit per line of `out` (decoded with replacement): the first five fields
/// between 0x1F bytes as they are, later fields ignored; a line with fewer than five
/// fields is skipped.
std::vector<nivern_protocol::message::Commit> parse_log(std::string_view out);

/// The files of `out`, git's NUL-separated name and status listing: a status record,
/// then the name record ("A" added, "D" deleted, anything else modified; a rename or
/// copy has two names and gives the second). Each name is the file's real name, decoded
/// with replacement and otherwise untouched. Empty status records are skipped.
std::vector<nivern_protocol::message::ChangedFile> parse_files(std::string_view out);

}  // namespace nivern_git::log
