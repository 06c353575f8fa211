#include "engine/exclusive_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace {

// flock, restarted when a signal interrupts the wait.
int Lock(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

ExclusiveLock::ExclusiveLock(const std::string& path,
                             const std::function<void()>& on_wait) {
  ScopedFd fd(::open(path.c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
  bool locked = fd.valid() && Lock(fd.get(), LOCK_EX | LOCK_NB) == 0;
  if (!locked && fd.valid() && errno == EWOULDBLOCK) {
    if (on_wait) on_wait();
    locked = Lock(fd.get(), LOCK_EX) == 0;
  }
  if (!locked) {
    error_ = errno;
    return;
  }
  fd_ = std::move(fd);
}
