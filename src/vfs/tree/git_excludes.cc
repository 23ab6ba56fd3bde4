#include "vfs/tree/git_excludes.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "support/small_file.h"

namespace nivern_vfs {

namespace {

std::optional<std::string> env(const char* key) {
  const char* v = std::getenv(key);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

/// HOME, or the user database's home directory for this user when HOME is unset.
std::optional<std::string> home_dir() {
  if (auto home = env("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  for (;;) {
    struct passwd pw;
    struct passwd* found = nullptr;
    int err = ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found);
    if (err == ERANGE && buf.size() < (std::size_t{1} << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (err != 0 || !found || !found->pw_dir || !*found->pw_dir) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

/// A config value: quotes removed, escapes applied, comments and outer spaces dropped.
std::string value_of(std::string_view raw) {
  std::string out;
  std::string pending_space;
  bool quoted = false;
  raw = trim(raw);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (!quoted && (c == '#' || c == ';')) break;
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == '\\' && i + 1 < raw.size()) {
      char e = raw[++i];
      out += pending_space;
      pending_space.clear();
      out.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'b' ? '\b' : e);
      continue;
    }
    if (!quoted && space(c)) {
      pending_space.push_back(c);
      continue;
    }
    out += pending_space;
    pending_space.clear();
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::optional<std::string> config_excludes_file(std::string_view config) {
  std::optional<std::string> found;
  bool in_core = false;
  while (!config.empty()) {
    std::size_t nl = config.find('\n');
    std::string_view line = trim(config.substr(0, nl));
    config.remove_prefix(nl == std::string_view::npos ? config.size() : nl + 1);
    if (line.starts_with('[')) {
      std::size_t close = line.find(']');
      if (close == std::string_view::npos) {
        in_core = false;
        continue;
      }
      std::string_view header = trim(line.substr(1, close - 1));
      in_core = lower(header) == "core";
      line = trim(line.substr(close + 1));
    }
    if (!in_core || line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (lower(trim(line.substr(0, eq))) != "excludesfile") continue;
    found = value_of(line.substr(eq + 1));
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

std::optional<std::string> global_excludes_path() {
  std::optional<std::string> home = home_dir();
  std::optional<std::string> xdg = env("XDG_CONFIG_HOME");
  if (!xdg && home) xdg = *home + "/.config";
  std::vector<std::string> configs;
  if (auto global = env("GIT_CONFIG_GLOBAL")) configs.push_back(*global);
  if (home) configs.push_back(*home + "/.gitconfig");
  if (xdg) configs.push_back(*xdg + "/git/config");
  configs.push_back(env("GIT_CONFIG_SYSTEM").value_or("/etc/gitconfig"));
  for (const std::string& file : configs) {
    auto text = nivern_support::read_small_file(file);
    if (!text) continue;  // missing, unreadable or not a small regular file
    if (auto path = config_excludes_file(*text)) {
      if (path->starts_with("~/") && home) return *home + path->substr(1);
      return path;
    }
  }
  if (xdg) return *xdg + "/git/ignore";
  return std::nullopt;
}

Gitignore global_excludes() {
  auto path = global_excludes_path();
  if (!path) return {};
  GitignoreBuilder builder("");
  // Missing, unreadable or refused: no global rules; bad lines are skipped.
  (void)builder.add_file(*path);
  auto built = builder.build();
  return built ? std::move(*built) : Gitignore();
}

}  // namespace nivern_vfs
