#include "git/path.h"

#include <vector>

#include "text/trim.h"

namespace nivern_git::path {

namespace {

bool is_root(std::string_view p) { return !p.empty() && p.find_first_not_of('/') == std::string_view::npos; }

struct Component {
  std::string_view text;
  std::size_t end;  // offset just after it in the path
};

std::vector<Component> components(std::string_view p) {
  std::vector<Component> out;
  std::size_t i = 0;
  if (p.starts_with('/')) {
    out.push_back({"/", 1});
    i = 1;
  } else if (p == "." || p.starts_with("./")) {
    out.push_back({".", 1});
    i = 1;
  }
  while (i < p.size()) {
    std::size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    std::string_view piece = p.substr(i, j - i);
    if (!piece.empty() && piece != ".") out.push_back({piece, j});
    i = j + 1;
  }
  return out;
}

}  // namespace

std::string join(std::string_view base, std::string_view name) {
  if (name.starts_with('/') || base.empty()) return std::string(name);
  std::string out(base);
  if (!out.ends_with('/')) out += '/';
  out += name;
  return out;
}

std::optional<std::string> parent(std::string_view p) {
  std::string_view t = nivern_text::trim_path_end(p);
  if (t.empty() || is_root(t)) return std::nullopt;
  std::size_t slash = t.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  std::string_view head = t.substr(0, slash);
  if (head.empty() || is_root(head)) return std::string(t.substr(0, 1));
  return std::string(nivern_text::trim_path_end(head));
}

std::optional<std::string_view> strip_prefix(std::string_view p, std::string_view base) {
  std::vector<Component> b = components(base);
  if (b.empty()) return p;
  std::vector<Component> c = components(p);
  if (c.size() < b.size()) return std::nullopt;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (c[i].text != b[i].text) return std::nullopt;
  }
  std::string_view rest = p.substr(c[b.size() - 1].end);
  for (;;) {
    if (rest.starts_with('/')) {
      rest.remove_prefix(1);
    } else if (rest == "." || rest.starts_with("./")) {
      rest.remove_prefix(1);
    } else {
      break;
    }
  }
  for (;;) {
    if (rest.ends_with('/')) {
      rest.remove_suffix(1);
    } else if (rest == "." || rest.ends_with("/.")) {
      rest.remove_suffix(1);
    } else {
      break;
    }
  }
  return rest;
}

}  // namespace nivern_git::path
