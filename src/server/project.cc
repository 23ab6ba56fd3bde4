#include "server/calls.h"

namespace nivern_server {

Reply list_dir(Server&, const Call::ListDir&) { return not_available("list_dir"); }
Reply scan(const Call::Scan&) { return not_available("scan"); }

}  // namespace nivern_server
