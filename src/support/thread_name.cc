#include "support/thread_name.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace nivern_support {

void name_this_thread(std::string_view name) {
  char buf[16];
  std::size_t n = std::min<std::size_t>(name.size(), 15);
  std::memcpy(buf, name.data(), n);
  buf[n] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

}  // namespace nivern_support
