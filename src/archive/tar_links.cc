// Link entries: target checks, the link path, and the link or its copy.
#include "archive/tar_links.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/path_guard.h"
#include "archive/tar_header.h"
#include "engine/atomic_file.h"
#include "engine/file_copy.h"
#include "engine/paths.h"
#include "engine/scoped_fd.h"

namespace {

// Where the hard link target `linkto` lies, as extractPath + the target read
// like an entry name; empty (with the refusal printed for the entry `name`)
// when it leaves the extraction directory, passes through a symbolic link or
// is one.
std::string hardLinkSource(const std::string& extractPath, const char* name,
                           const char* linkto) {
  char target[kNameBufferSize] = {};
  std::strncpy(target, linkto, sizeof target - 1);
  if (normaliseName(target) || !hardlinkTargetStaysInside(target)) {
    printRefusal(name, "link target leaves the extraction directory");
    return {};
  }
  std::string source = extractPath + target;
  if (!parentsAreReal(source.c_str(), extractPath.size())) {
    printRefusal(name, "link target passes through a symbolic link");
    return {};
  }
  struct stat st;
  if (lstat(source.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    printRefusal(name, "link target is a symbolic link");
    return {};
  }
  return source;
}

// Opens the hard link target `source` for reading, not following a link at
// its end. Null, with the line printed, when it cannot be opened (the system
// error for `linkto`) or is not a regular file (a refusal of `name`).
OwnedFile openHardLinkSource(const std::string& source, const char* name,
                             const char* linkto) {
  ScopedFd fd(
      open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    perror(linkto);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    printRefusal(name, "link target is not a regular file");
    return nullptr;
  }
  OwnedFile file(fdopen(fd.get(), "rb"));
  if (!file) {
    perror(linkto);
    return nullptr;
  }
  fd.release();
  return file;
}

// True when the symbolic link target `linkto` of the entry `name` can be
// opened for reading: as it reads, from the current directory, when
// `extractPath` is empty; else from the link's directory under
// `extractPath`. Otherwise prints the system error for `linkto`.
bool symlinkTargetOpens(const std::string& extractPath, const char* name,
                        const char* linkto) {
  const std::string target =
      extractPath.empty() ? std::string(linkto)
                          : extractPath + DirectoryOf(name) + linkto;
  const ScopedFd fd(
      open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) perror(linkto);
  return fd.valid();
}

// Builds the output path of the link entry `name` into `path`, creates its
// directories and removes what is there, unless it is a directory. False
// when the path is refused or holds a file this process may not write.
bool prepareLinkPath(const std::string& extractPath, const char* name,
                     char* path) {
  if (!buildOutputPath(extractPath, name, path, kNameBufferSize)) return false;
  MakeParentDirectories(path);
  if (!mayReplace(path)) return false;
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(path);
  return true;
}

}  // namespace

bool extractLink(const std::string& extractPath, const char* name,
                 const char* linkto, LinkKind kind) {
  char path[kNameBufferSize];
  if (kind == LinkKind::kSymbolic) {
    if (!symlinkTargetStaysInside(name, linkto)) {
      printRefusal(name, "link target leaves the extraction directory");
      return false;
    }
    return symlinkTargetOpens(extractPath, name, linkto) &&
           prepareLinkPath(extractPath, name, path) &&
           linkorcopy(linkto, path, true, nullptr);
  }
  const std::string source = hardLinkSource(extractPath, name, linkto);
  if (source.empty()) return false;
  OwnedFile input = openHardLinkSource(source, name, linkto);
  return input && prepareLinkPath(extractPath, name, path) &&
         linkorcopy(source.c_str(), path, false, std::move(input));
}

bool linkorcopy(const char* src, const char* dst, bool sym, OwnedFile source) {
  if ((sym ? symlink(src, dst) : link(src, dst)) == 0) return true;
  if (sym || !source) {
    perror(dst);
    return false;
  }
  // A new file, as one created for the copy is, but with the source's
  // permission bits, so that a private file does not become readable.
  AtomicFile out(dst, LinkAtDestination::kReplace);
  if (!CopyInto(fileno(source.get()), out, CopyAttributes::kMode) &&
      out.ok()) {
    errno = EIO;  // the source could not be read
    perror(dst);
    return false;
  }
  if (!out.Commit(Durability::kWriteBack)) {
    errno = out.error();
    perror(dst);
    return false;
  }
  printf("%s: copy instead of link\n", dst);
  return true;
}
