// Sets (or clears) an environment variable for the life of a test and puts
// the old value back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/system.h"

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    platform::SetEnvironment(name, value);
  }
  ~ScopedEnv() { platform::SetEnvironment(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};
