#include "git/state.h"

namespace nivern_git::state {

std::optional<GitState> letter(char c) {
  switch (c) {
    case 'M':
    case 'R':
    case 'T':
      return GitState::modified;
    case 'A':
    case 'C':
      return GitState::added;
    case 'D':
      return GitState::deleted;
    default:
      return std::nullopt;
  }
}

std::optional<GitState> overall(char x, char y) {
  // First matching row wins.
  if (x == '!') return y == 'U' ? std::optional(GitState::conflicted) : std::nullopt;
  if (x == '?') {
    if (y == '?') return GitState::untracked;
    if (y == 'U') return GitState::conflicted;
    return std::nullopt;
  }
  if (x == 'U') return GitState::conflicted;
  if (y == 'A') {
    if (x == ' ') return GitState::added;
    if (x == 'A') return GitState::conflicted;
    return letter(x);
  }
  if (y == 'D') {
    if (x == ' ') return GitState::deleted;
    if (x == 'D') return GitState::conflicted;
    return letter(x);
  }
  if (y == 'U') return GitState::conflicted;
  return letter(x == ' ' ? y : x);
}

}  // namespace nivern_git::state
