#include "engine/deferred_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/paths.h"

namespace {

int OpenDirectory(const std::string& dir) {
  return ::open(dir.empty() ? "." : dir.c_str(),
                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

void DeferredSync::Note(const std::string& dir) {
  if (!noted_.insert(dir).second) return;
  struct stat info;
  if (::stat(dir.empty() ? "." : dir.c_str(), &info) == 0 &&
      file_systems_.count(info.st_dev) != 0) {
    return;
  }
  ScopedFd fd(OpenDirectory(dir));
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
    sync_everything_ = true;
    return;
  }
  file_systems_.try_emplace(info.st_dev, std::move(fd));
}

void DeferredSync::NoteDirectory(const std::string& dir) {
  std::string name = dir;
  // The directories above it as named, whose entries may be new too.
  while (directories_.insert(name).second && !name.empty()) {
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const std::string parent = DirectoryOf(name);
    if (parent == name) break;
    name = parent;
  }
}

bool DeferredSync::SyncAll() {
  int first_error = 0;
  if (sync_everything_) ::sync();
  for (const auto& [device, dir] : file_systems_) {
    if (::syncfs(dir.get()) != 0 && first_error == 0) first_error = errno;
  }
  for (const std::string& name : directories_) {
    const ScopedFd dir(OpenDirectory(name));
    struct stat info;
    if (!dir.valid() || ::fstat(dir.get(), &info) != 0) {
      if (first_error == 0) first_error = errno;
      continue;
    }
    if (sync_everything_ || file_systems_.count(info.st_dev) != 0) continue;
    if (::fsync(dir.get()) != 0 && first_error == 0) first_error = errno;
  }
  file_systems_.clear();
  noted_.clear();
  directories_.clear();
  sync_everything_ = false;
  if (first_error == 0) return true;
  errno = first_error;
  return false;
}

bool SyncParentDirectory(const std::string& path) {
  ScopedFd dir(OpenDirectory(DirectoryOf(path)));
  return dir.valid() && ::fsync(dir.get()) == 0;
}
