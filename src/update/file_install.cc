#include "update/file_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/file_lock.h"

namespace {

// Target paths of the game's executables and scripts, compared byte for byte.
const char* const kExecutableNames[] = {"OKU",   "OKUdedi",   "OKU.exe",
                                        "./OKU", "./OKUdedi", "./OKU.exe"};
const char* const kScriptNames[] = {
    "dedicatedserver.sh",   "createversion.sh",   "dedcatedserver.bat",
    "./dedicatedserver.sh", "./createversion.sh", "./dedicatedserver.bat"};

// The fixed name an old script is renamed to before its replacement.
const char kOldScriptName[] = "sh.tmp";

template <std::size_t N>
bool IsOneOf(const char* name, const char* const (&names)[N]) {
  for (const char* candidate : names) {
    if (std::strcmp(name, candidate) == 0) return true;
  }
  return false;
}

// Renames `from` to `to`; on failure errno tells why.
bool Rename(const char* from, const char* to) {
  return std::rename(from, to) == 0;
}

// Swaps the new file `temp` in for `target` after the old one was moved to
// `aside`; the new file gets mode 0700. False (errno set) when either rename
// failed; the caller then falls back to the ordinary procedure.
bool SwapInExecutable(const char* target, const char* temp, const char* aside,
                      bool announce_rename) {
  if (!Rename(target, aside)) return false;
  if (announce_rename) std::printf("Renaming %s\n", target);
  if (!Rename(temp, target)) return false;
  chmod(target, 0700);
  return true;
}

// The ordinary procedure: remove (or back up) the old file, then rename or
// copy the new one into place. Sets `installed` false after printing why.
void InstallOrdinaryFile(const char* target, const char* temp,
                         InstallResult& outcome) {
  if (std::remove(target) != 0 && errno > 2) {
    const std::string backup = std::string(target) + ".bak";
    if (std::remove(backup.c_str()) != 0 && errno > 2) {
      std::printf("Remove failed %s (err %i)\n", backup.c_str(), errno);
      outcome.installed = false;
      return;
    }
    if (!copyFile(target, backup.c_str(), 0)) {
      std::printf("Move failed %s (err %i)\n", target, errno);
      outcome.installed = false;
      return;
    }
  }
  if (Rename(temp, target)) return;
  const int rename_error = errno;
  // A successful copy leaves the temporary file behind; the next download of
  // the same file removes it first.
  if (copyFile(temp, target, 0)) return;
  std::printf("Rename failed %s to %s (err %i)\n", temp, target, rename_error);
  if (std::strcmp(target, "./OKU") == 0) {
    chmod(temp, 0700);
    std::printf(
        "\nPlease rename OKU.tmp to OKU\nor run ./rungame.sh or "
        "dedicatedserver.sh\n");
  } else if (std::strcmp(target, "./OKUdedi") == 0) {
    chmod(temp, 0700);
    std::printf(
        "\nPlease rename OKUdedi.tmp to OKUdedi\nor run ./rungame.sh or "
        "dedicatedserver.sh\n");
  }
  outcome.installed = false;
}

// A file descriptor closed on destruction unless released.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Creates a new, empty file next to `dest` under a name of its own and
// stores that name in `name`. Returns the open descriptor, or -1 (errno set).
int CreateSiblingTemp(const std::string& dest, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = dest + ".copy" + std::to_string(getpid()) + "_" +
           std::to_string(attempt);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Copies every byte of `in` to `out`. False (errno set) on a read error or a
// short write.
bool CopyStream(FILE* in, FILE* out) {
  char buffer[64 * 1024];
  for (;;) {
    size_t got = std::fread(buffer, 1, sizeof buffer, in);
    if (got > 0 && std::fwrite(buffer, 1, got, out) != got) {
      if (errno == 0) errno = EIO;
      return false;
    }
    if (got < sizeof buffer) {
      if (std::ferror(in)) {
        if (errno == 0) errno = EIO;
        return false;
      }
      return true;
    }
  }
}

// Writes the copy of `in` to the already created file `temp_name` (open as
// `fd`, owned from here on) and renames it over `dest`. On failure the
// temporary file is removed and errno tells the first error.
bool WriteCopyAndCommit(FILE* in, int fd, const std::string& temp_name,
                        const char* dest) {
  struct stat old_dest;
  if (stat(dest, &old_dest) == 0 && S_ISREG(old_dest.st_mode)) {
    // A truncating copy would have kept the old file's permissions.
    fchmod(fd, old_dest.st_mode & 07777);
  }
  FILE* raw_out = fdopen(fd, "wb");
  if (raw_out == nullptr) {
    const int error = errno;
    close(fd);
    unlink(temp_name.c_str());
    errno = error;
    return false;
  }
  FileLock out(raw_out);
  errno = 0;
  bool ok = CopyStream(in, out.get());
  ok = ok && std::fflush(out.get()) == 0;
  if (!out.close()) ok = false;
  ok = ok && std::rename(temp_name.c_str(), dest) == 0;
  if (!ok) {
    const int error = errno != 0 ? errno : EIO;
    unlink(temp_name.c_str());
    errno = error;
  }
  return ok;
}

}  // namespace

bool IsExecutableName(const char* name) {
  return IsOneOf(name, kExecutableNames);
}

bool IsScriptName(const char* name) { return IsOneOf(name, kScriptNames); }

InstallResult InstallDownloadedFile(const char* target_path,
                                    const char* temp_path) {
  InstallResult outcome;
  if (IsExecutableName(target_path)) {
    std::printf("EXECUTABLE %s\n", target_path);
    const std::string aside = std::string(target_path) + ".tmp2";
    if (SwapInExecutable(target_path, temp_path, aside.c_str(), true)) {
      std::printf("UPDATED EXECUTABLE\n");
      outcome.restart_required = true;
      return outcome;
    }
  } else if (IsScriptName(target_path)) {
    if (SwapInExecutable(target_path, temp_path, kOldScriptName, false)) {
      std::printf("UPDATED BATCH FILE\n");
      return outcome;
    }
  }
  InstallOrdinaryFile(target_path, temp_path, outcome);
  return outcome;
}

bool copyFile(const char* SRC, const char* DEST, int /*type*/) {
  // Opened without a FileLock: a missing source is an answer here, not an
  // error worth a log line.
  FILE* raw_in = std::fopen(SRC, "rb");
  if (raw_in == nullptr) return false;
  FileLock in(raw_in);
  std::string temp_name;
  ScopedFd fd(CreateSiblingTemp(DEST, temp_name));
  if (fd.get() < 0) return false;
  return WriteCopyAndCommit(in.get(), fd.release(), temp_name, DEST);
}

bool fileExists(const char* fileName) {
  FileLock file(std::fopen(fileName, "r"));
  return file.isValid();
}
