#pragma once
/// Sets or removes one environment variable for a scope and puts the old state back
/// after. Single-threaded: made and dropped on the test's own thread, while no other
/// thread changes the environment.
#include <stdlib.h>

#include <optional>
#include <string>

namespace nivern_test {

class ScopedEnv {
 public:
  /// `value` null removes the variable for the scope.
  ScopedEnv(const char* key, const char* value) : key_(key) {
    if (const char* old = ::getenv(key)) old_ = old;
    if (value) {
      ::setenv(key, value, 1);
    } else {
      ::unsetenv(key);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(key_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(key_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string key_;
  std::optional<std::string> old_;  // none: the variable was not set
};

}  // namespace nivern_test
