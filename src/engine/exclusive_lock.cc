#include "engine/exclusive_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

ExclusiveLock::ExclusiveLock(const std::string& path,
                             const std::function<void()>& on_wait) {
  ScopedFd fd(::open(path.c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
  bool locked = fd.valid() &&
                TEMP_FAILURE_RETRY(::flock(fd.get(), LOCK_EX | LOCK_NB)) == 0;
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
