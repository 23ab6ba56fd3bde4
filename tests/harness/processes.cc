#include "harness/processes.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child.h"

namespace nivern_test {

namespace {

// The whole first line of /proc/<pid>/stat, or "".
std::string stat_line(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  return line;
}

std::string comm(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

std::vector<pid_t> children(pid_t pid) {
  std::vector<pid_t> out;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "children");
    pid_t child;
    while (in >> child) {
      if (comm(child) != nivern_support::GUARD_NAME) out.push_back(child);
    }
  }
  return out;
}

pid_t guard_of(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child;
    while (in >> child) {
      if (comm(child) == nivern_support::GUARD_NAME) return child;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return -1;
}

std::vector<pid_t> descendants(pid_t pid) {
  std::vector<pid_t> out = children(pid);
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (pid_t grandchild : children(out[i])) out.push_back(grandchild);
  }
  return out;
}

bool alive(pid_t pid) {
  std::string stat = stat_line(pid);
  std::size_t paren = stat.rfind(')');  // the name in parentheses may hold anything
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool all_gone(const std::vector<pid_t>& pids, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool any = false;
    for (pid_t p : pids) any = any || alive(p);
    if (!any) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool no_descendants(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!descendants(pid).empty()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<pid_t> pids_in(const std::string& file) {
  std::ifstream in(file);
  std::vector<pid_t> out;
  pid_t p;
  while (in >> p) out.push_back(p);
  return out;
}

}  // namespace nivern_test
