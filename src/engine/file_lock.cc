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

namespace {

// Opens with O_NONBLOCK so a FIFO never blocks the open. The flag stays on
// the stream; it changes nothing for regular files.
FILE* OpenNoWait(const char* path, int flags, const char* mode) {
  if (path == nullptr) {
    errno = EFAULT;
    return nullptr;
  }
  const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return stream;
}

}  // namespace

FILE* OpenForReadingNoWait(const char* path) {
  return OpenNoWait(path, O_RDONLY, "r");
}

FILE* OpenForWritingNoWait(const char* path) {
  return OpenNoWait(path, O_WRONLY | O_CREAT | O_TRUNC, "wb");
}
