#include "support/scoped_tmpfs.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

ScopedTmpfs::ScopedTmpfs(const std::string& dir, const std::string& size)
    : dir_(dir) {
  const std::string options = "size=" + size;
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    error_ = std::strerror(errno);
  }
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted()) umount2(dir_.c_str(), MNT_DETACH);
}
