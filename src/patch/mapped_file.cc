#include "patch/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "engine/scoped_fd.h"

MappedFile::MappedFile(const std::string& path) {
  // O_NONBLOCK: a FIFO without a writer must not stop the caller.
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    Fail(errno == ENOENT || errno == ENOTDIR ? MapError::kMissing
                                             : MapError::kUnreadable,
         errno);
    return;
  }
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) {
    Fail(MapError::kUnreadable, errno);
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    Fail(MapError::kUnreadable, EINVAL);
    return;
  }
  if (static_cast<std::uintmax_t>(info.st_size) > SIZE_MAX) {
    Fail(MapError::kUnreadable, EFBIG);
    return;
  }
  size_ = static_cast<std::size_t>(info.st_size);
  if (size_ == 0) return;
  void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (mapped == MAP_FAILED) {
    size_ = 0;
    Fail(MapError::kUnreadable, errno);
    return;
  }
  data_ = static_cast<const std::uint8_t*>(mapped);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

void MappedFile::Fail(MapError error, int error_number) {
  error_ = error;
  error_number_ = error_number;
}
