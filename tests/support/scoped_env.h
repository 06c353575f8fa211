// Environment variables set for the length of a test.
#ifndef STARTER_TESTS_SUPPORT_SCOPED_ENV_H_
#define STARTER_TESTS_SUPPORT_SCOPED_ENV_H_

#include <cstdlib>
#include <string>

// Sets an environment variable for the life of the object; children started
// meanwhile inherit it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

#endif  // STARTER_TESTS_SUPPORT_SCOPED_ENV_H_
