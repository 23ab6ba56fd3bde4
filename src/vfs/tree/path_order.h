#pragma once
/// Component order of file-system paths, the one ordering the whole program uses for
/// sorted path lists (scan, search, changed events), and the "lies under" test.
///
/// Threading: pure functions over byte strings; safe from any thread.
///
/// Guarantees:
/// - Paths are compared component by component: repeated separators count as one, "."
///   components after the first are dropped, a trailing separator is ignored.
/// - The root component ("/") sorts before every other component; then a leading ".",
///   then "..", then named components, which compare as unsigned byte strings.
/// - A path whose components are a prefix of another's sorts first, so
///   root/a/b < root/a-b < root/a.txt although '-' and '.' are smaller bytes than '/'.
/// - `lies_under(path, base)` holds when base's components are a prefix of path's
///   (a path lies under itself).
#include <compare>
#include <cstddef>
#include <string_view>

namespace nivern_vfs::path_order {

/// One component of a path.
struct Component {
  enum class Kind : unsigned char { root, current, parent, normal };
  Kind kind = Kind::normal;
  std::string_view name;  // the bytes of a normal component; empty for the others

  friend std::strong_ordering operator<=>(const Component& a, const Component& b);
  friend bool operator==(const Component& a, const Component& b) = default;
};

/// Walks the components of a path, front to back, without allocating.
class Components {
 public:
  explicit Components(std::string_view path);
  /// The next component; false when there is none left.
  bool next(Component& out);

 private:
  std::string_view rest_;
  bool first_ = true;
};

/// Three-way comparison in component order.
[[nodiscard]] std::strong_ordering compare(std::string_view a, std::string_view b);

/// a < b in component order.
[[nodiscard]] inline bool less(std::string_view a, std::string_view b) { return compare(a, b) < 0; }

/// The two paths have the same components ("a//b/./c/" equals "a/b/c").
[[nodiscard]] bool equal(std::string_view a, std::string_view b);

/// `base`'s components are a prefix of `path`'s (true when they are equal).
[[nodiscard]] bool lies_under(std::string_view path, std::string_view base);

/// Function object for std::sort and friends.
struct Less {
  bool operator()(std::string_view a, std::string_view b) const { return less(a, b); }
};

}  // namespace nivern_vfs::path_order
