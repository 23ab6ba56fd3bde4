#pragma once
/// Git's global excludes file, as the walker honours it.
///
/// Threading: reads the environment; call from one thread at a time (the walker calls
/// it on the thread that starts a walk).
///
/// The file is core.excludesFile of the first of these git configuration files that
/// sets it: the file named by GIT_CONFIG_GLOBAL (when set), ~/.gitconfig,
/// $XDG_CONFIG_HOME/git/config (~/.config/git/config without XDG_CONFIG_HOME), then the
/// system file named by GIT_CONFIG_SYSTEM, else /etc/gitconfig. A leading "~/" in the
/// value is the home directory. Without a setting: $XDG_CONFIG_HOME/git/ignore, else
/// ~/.config/git/ignore. The home directory is HOME, or the user database's entry for
/// this user (getpwuid) when HOME is unset; empty variables count as unset.
#include <optional>
#include <string>
#include <string_view>

#include "vfs/tree/gitignore.h"

namespace nivern_vfs {

/// The path of the global excludes file, or nullopt when none can be named.
[[nodiscard]] std::optional<std::string> global_excludes_path();

/// The value of core.excludesFile in a git config text, if it sets one (last wins).
[[nodiscard]] std::optional<std::string> config_excludes_file(std::string_view config);

/// The matcher of the global excludes file, matched against paths relative to the
/// walk's root; empty when there is no such file or it cannot be read.
[[nodiscard]] Gitignore global_excludes();

}  // namespace nivern_vfs
