#include "engine/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "engine/atomic_file.h"
#include "engine/scoped_fd.h"

bool CopyInto(int source, AtomicFile& out, CopyAttributes attributes) {
  constexpr std::size_t kCopyBufferSize = 64 * 1024;
  if (!out.ok()) return false;
  struct stat info;
  if (attributes != CopyAttributes::kNone) {
    if (::fstat(source, &info) != 0) return false;
    out.SetMode(info.st_mode & 07777);
  }
  auto buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
  ssize_t got;
  while ((got = TEMP_FAILURE_RETRY(
              ::read(source, buffer.get(), kCopyBufferSize))) > 0) {
    if (!out.Write(buffer.get(), static_cast<std::size_t>(got))) return false;
  }
  if (got < 0) return false;
  // A failure to set the times alone leaves the copy as good as it is.
  if (attributes == CopyAttributes::kModeAndTimes) {
    out.SetTimes(info.st_atime, info.st_mtime);
  }
  return out.ok();
}

namespace {

// Copies every byte of `source`, from its start, over `dest` opened for
// writing as an existing file is (truncated, or created with 0666 less the
// umask), never through a symbolic link at `dest`, and syncs it. False
// (errno set) when `dest` cannot be opened or a read, write or sync fails.
bool CopyInPlace(int source, const char* dest) {
  if (::lseek(source, 0, SEEK_SET) != 0) return false;
  ScopedFd out(::open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      0666));
  if (!out.valid()) return false;
  constexpr std::size_t kCopyBufferSize = 64 * 1024;
  auto buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
  ssize_t got;
  while ((got = TEMP_FAILURE_RETRY(
              ::read(source, buffer.get(), kCopyBufferSize))) > 0) {
    for (ssize_t put = 0, n; put < got; put += n) {
      n = TEMP_FAILURE_RETRY(::write(out.get(), buffer.get() + put,
                                     static_cast<std::size_t>(got - put)));
      if (n < 0) return false;
    }
  }
  return got == 0 && ::fsync(out.get()) == 0 && ::close(out.release()) == 0;
}

// True when a replacement failed only because this process may not put a
// new file at the name: it may still be able to write the file there.
bool ReplacementRefused(const AtomicFile& out) {
  return !out.committed() && (out.error() == EACCES || out.error() == EPERM);
}

}  // namespace

bool CopyFileContents(const char* source, const char* dest,
                      CopyAttributes attributes) {
  ScopedFd in(::open(source, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  AtomicFile out(dest, LinkAtDestination::kReplace);
  if (out.ok() && CopyInto(in.get(), out, attributes) && out.Commit()) {
    return true;
  }
  if (ReplacementRefused(out)) return CopyInPlace(in.get(), dest);
  if (out.error() != 0) errno = out.error();
  return false;
}
