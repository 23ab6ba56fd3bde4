#include "server/calls.h"

namespace nivern_server {

Reply search(const Call::Search&) { return not_available("search"); }

}  // namespace nivern_server
