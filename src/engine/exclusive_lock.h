// An exclusive advisory lock on a file, shared by cooperating processes.
#ifndef STARTER_ENGINE_EXCLUSIVE_LOCK_H_
#define STARTER_ENGINE_EXCLUSIVE_LOCK_H_

#include <functional>
#include <string>

#include "engine/scoped_fd.h"

// Holds an exclusive flock on a file for its lifetime, so that processes
// doing the same work one after another never overlap. The lock ends with
// the object, or with the process however it ends; it is not inherited by
// programs the process starts.
class ExclusiveLock {
 public:
  // Opens `path` (creating it, empty, when missing) and locks it. When
  // another process holds the lock, calls `on_wait` once and then waits
  // until the lock is free. Check held(): when the file cannot be opened or
  // locked, there is no lock and error() holds the errno.
  ExclusiveLock(const std::string& path, const std::function<void()>& on_wait);

  // Chooses the constructor that never waits.
  struct IfFree {};
  // Opens `path` as above and locks it only when no other process holds
  // the lock, without waiting. Check held(): error() is EWOULDBLOCK when
  // another process holds it.
  ExclusiveLock(const std::string& path, IfFree);

  // True while this object holds the lock.
  bool held() const { return fd_.valid(); }
  // The errno of the failed open or lock, 0 when the lock is held.
  int error() const { return error_; }

 private:
  ScopedFd fd_;
  int error_ = 0;
};

#endif  // STARTER_ENGINE_EXCLUSIVE_LOCK_H_
