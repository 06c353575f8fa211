#include "engine/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "engine/atomic_file.h"
#include "engine/scoped_fd.h"

namespace {

// Reads `source` from where it stands to its end, handing each piece to
// `put`. False (errno set by the read) when a read fails, or when `put`
// does.
template <typename Put>
bool ReadAllInto(int source, Put put) {
  constexpr std::size_t kCopyBufferSize = 64 * 1024;
  auto buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
  ssize_t got;
  while ((got = TEMP_FAILURE_RETRY(
              ::read(source, buffer.get(), kCopyBufferSize))) > 0) {
    if (!put(buffer.get(), static_cast<std::size_t>(got))) return false;
  }
  return got == 0;
}

// Copies every byte of `source`, from its start, over `dest` opened for
// writing as an existing file is (truncated, or created with 0666 less the
// umask), never through a symbolic link at `dest`, and syncs it. False
// (errno set) when `dest` cannot be opened or a read, write or sync fails.
bool CopyInPlace(int source, const char* dest) {
  if (::lseek(source, 0, SEEK_SET) != 0) return false;
  ScopedFd out(::open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      0666));
  if (!out.valid()) return false;
  const auto write_all = [&](const char* data, std::size_t size) {
    for (ssize_t n; size > 0; data += n, size -= static_cast<std::size_t>(n)) {
      n = TEMP_FAILURE_RETRY(::write(out.get(), data, size));
      if (n < 0) return false;
    }
    return true;
  };
  return ReadAllInto(source, write_all) && ::fsync(out.get()) == 0 &&
         ::close(out.release()) == 0;
}

}  // namespace

bool CopyInto(int source, AtomicFile& out, CopyAttributes attributes) {
  if (!out.ok()) return false;
  struct stat info;
  if (attributes != CopyAttributes::kNone) {
    if (::fstat(source, &info) != 0) return false;
    out.SetMode(info.st_mode & 07777);
  }
  if (!ReadAllInto(source, [&](const char* data, std::size_t size) {
        return out.Write(data, size);
      })) {
    return false;
  }
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
  if (out.ok() && CopyInto(in.get(), out, attributes) && out.Commit()) {
    return true;
  }
  if (out.replacement_refused()) return CopyInPlace(in.get(), dest);
  if (out.error() != 0) errno = out.error();
  return false;
}
