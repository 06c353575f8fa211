#include "engine/exclusive_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The lock file at `path`, opened (created when missing).
ScopedFd OpenLockFile(const std::string& path) {
  return ScopedFd(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
}

// Takes the lock of `fd` if nobody holds it.
bool LockIfFree(const ScopedFd& fd) {
  return fd.valid() &&
         TEMP_FAILURE_RETRY(::flock(fd.get(), LOCK_EX | LOCK_NB)) == 0;
}

}  // namespace

ExclusiveLock::ExclusiveLock(const std::string& path, IfFree) {
  ScopedFd fd = OpenLockFile(path);
  if (!LockIfFree(fd)) {
    error_ = errno;
    return;
  }
  fd_ = std::move(fd);
}

ExclusiveLock::ExclusiveLock(const std::string& path,
                             const std::function<void()>& on_wait) {
  ScopedFd fd = OpenLockFile(path);
  bool locked = LockIfFree(fd);
  if (!locked && fd.valid() && errno == EWOULDBLOCK) {
    if (on_wait) on_wait();
    locked = TEMP_FAILURE_RETRY(::flock(fd.get(), LOCK_EX)) == 0;
  }
  if (!locked) {
    error_ = errno;
    return;
  }
  fd_ = std::move(fd);
}
