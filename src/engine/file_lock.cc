#include "engine/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/app_log.h"

bool FileLock::reportError = true;

FileLock::FileLock(FILE* stream) : f(stream) {
  // Read errno before anything else can change it.
  if (f == nullptr) ReportOpenFailure(errno);
}

void FileLock::ReportOpenFailure(int error) {
  if (reportError) LogLine("File open error: %s\n", std::strerror(error));
}

bool FileLock::close() {
  return f == nullptr || std::fclose(std::exchange(f, nullptr)) == 0;
}

FILE* OpenForReadingNoWait(const char* path) {
  if (path == nullptr) {
    errno = EFAULT;
    return nullptr;
  }
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* stream = ::fdopen(fd, "r");
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return stream;
}
