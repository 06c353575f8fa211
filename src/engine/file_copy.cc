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

bool CopyFileContents(const char* source, const char* dest,
                      CopyAttributes attributes) {
  ScopedFd in(::open(source, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  AtomicFile out(dest, LinkAtDestination::kReplace);
  if (!out.ok()) {
    errno = out.error();
    return false;
  }
  return CopyInto(in.get(), out, attributes) && out.Commit();
}
