#include "vfs/tree/path_order.h"

namespace nivern_vfs::path_order {

std::strong_ordering operator<=>(const Component& a, const Component& b) {
  if (a.kind != b.kind) return a.kind <=> b.kind;
  // string_view compares through memcmp: unsigned bytes, shorter first on a prefix.
  int c = a.name.compare(b.name);
  return c < 0 ? std::strong_ordering::less
         : c > 0 ? std::strong_ordering::greater
                 : std::strong_ordering::equal;
}

Components::Components(std::string_view path) : rest_(path) {}

bool Components::next(Component& out) {
  if (first_) {
    first_ = false;
    if (!rest_.empty() && rest_.front() == '/') {
      while (!rest_.empty() && rest_.front() == '/') rest_.remove_prefix(1);
      out = {Component::Kind::root, {}};
      return true;
    }
    if (rest_ == "." || rest_.starts_with("./")) {
      rest_.remove_prefix(1);
      out = {Component::Kind::current, {}};
      return true;
    }
  }
  for (;;) {
    while (!rest_.empty() && rest_.front() == '/') rest_.remove_prefix(1);
    if (rest_.empty()) return false;
    std::size_t end = rest_.find('/');
    std::string_view name = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
    if (name == ".") continue;
    if (name == "..") {
      out = {Component::Kind::parent, {}};
    } else {
      out = {Component::Kind::normal, name};
    }
    return true;
  }
}

std::strong_ordering compare(std::string_view a, std::string_view b) {
  if (a == b) return std::strong_ordering::equal;
  Components ca(a), cb(b);
  Component x, y;
  for (;;) {
    bool has_a = ca.next(x);
    bool has_b = cb.next(y);
    if (!has_a || !has_b) return has_a <=> has_b;
    if (auto c = x <=> y; c != 0) return c;
  }
}

bool equal(std::string_view a, std::string_view b) { return compare(a, b) == 0; }

bool lies_under(std::string_view path, std::string_view base) {
  Components cp(path), cb(base);
  Component x, y;
  for (;;) {
    if (!cb.next(y)) return true;
    if (!cp.next(x) || x != y) return false;
  }
}

}  // namespace nivern_vfs::path_order
