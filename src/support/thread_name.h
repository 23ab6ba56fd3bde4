#pragma once
/// Thread names. The system keeps our full names as constants; Linux takes the first
/// 15 bytes. Call from the thread being named.
#include <string_view>

namespace nivern_support {

void name_this_thread(std::string_view name);

}  // namespace nivern_support
