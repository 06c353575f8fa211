// Scoped owner of a POSIX file descriptor.
#ifndef STARTER_ENGINE_SCOPED_FD_H_
#define STARTER_ENGINE_SCOPED_FD_H_

#include <unistd.h>

#include <utility>

// Owns one file descriptor (or none, -1) and closes it when destroyed.
// Movable, not copyable.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  // The descriptor, or -1.
  int get() const { return fd_; }
  // True when a descriptor is owned.
  bool valid() const { return fd_ >= 0; }
  // Returns the descriptor and forgets it; the caller owns it from then on.
  int release() { return std::exchange(fd_, -1); }
  // Closes the owned descriptor, if any, and takes `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

#endif  // STARTER_ENGINE_SCOPED_FD_H_
