// A small tmpfs mounted for one test, to fill a file system on purpose.
#ifndef STARTER_TESTS_SUPPORT_SCOPED_TMPFS_H_
#define STARTER_TESTS_SUPPORT_SCOPED_TMPFS_H_

#include <string>

// Mounts a tmpfs of `size` (mount's notation, such as "512k" or "8m") on the
// existing directory `dir` for the life of the object, then detaches it.
// Mounting needs root; check mounted() and skip the test when it is false.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& dir, const std::string& size);
  ~ScopedTmpfs();
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

  // True when the tmpfs is mounted.
  bool mounted() const { return error_.empty(); }
  // Why mounting failed (the system error), empty when it worked.
  const std::string& error() const { return error_; }

 private:
  std::string dir_;
  std::string error_;
};

#endif  // STARTER_TESTS_SUPPORT_SCOPED_TMPFS_H_
