#include "server/calls.h"

namespace nivern_server {

Reply open_file(const Call::Open&) { return not_available("open"); }
Reply save_file(const Call::Save&) { return not_available("save"); }

}  // namespace nivern_server
