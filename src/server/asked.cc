#include "server/asked.h"

#include "text/byte_decoders.h"
#include "vfs/tree/path_order.h"

namespace nivern_server {

namespace po = nivern_vfs::path_order;

std::string as_asked(std::string_view path, std::string_view root, std::string_view asked) {
  if (!po::lies_under(path, root)) return nivern_text::lossy_utf8(path);

  // The components of `path` after those of `root`, joined with "/".
  std::size_t skip = 0;
  po::Components rc(root);
  for (po::Component c; rc.next(c);) ++skip;
  std::string rest;
  po::Components pc(path);
  for (po::Component c; pc.next(c);) {
    if (skip > 0) {
      --skip;
      continue;
    }
    if (!rest.empty()) rest += '/';
    switch (c.kind) {
      case po::Component::Kind::root:
        rest += '/';
        break;
      case po::Component::Kind::current:
        rest += '.';
        break;
      case po::Component::Kind::parent:
        rest += "..";
        break;
      case po::Component::Kind::normal:
        rest += c.name;
        break;
    }
  }
  rest = nivern_text::lossy_utf8(rest);

  std::string_view base = asked;
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  if (base.empty()) return "/" + rest;
  std::string out(base);
  if (!rest.empty()) {
    out += '/';
    out += rest;
  }
  return out;
}

}  // namespace nivern_server
