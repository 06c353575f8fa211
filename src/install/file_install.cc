#include "install/file_install.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "engine/atomic_file.h"
#include "engine/file_copy.h"
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
// Executables and scripts: read, write and execute for the owner only.
constexpr mode_t kExecutableMode = 0700;

template <std::size_t N>
bool IsOneOf(const char* name, const char* const (&names)[N]) {
  return std::any_of(std::begin(names), std::end(names),
                     [&](const char* c) { return std::strcmp(name, c) == 0; });
}

// True when `download` replaces a file the operator runs: a regular file
// with an execute bit, whose bits it took over when it was made. Losing one
// to a power loss could keep the server from starting.
bool IsRunnable(const AtomicFile& download) {
  const std::optional<mode_t> mode = download.replaced_mode();
  return mode && (*mode & 0111) != 0;
}

// Renames the old `target` to `aside`, then commits the new file over
// `target`, synced. False (errno set) when either step failed; the caller
// then falls back to the ordinary procedure.
bool SwapIn(AtomicFile& download, const char* aside, bool announce_rename) {
  const std::string& target = download.path();
  if (std::rename(target.c_str(), aside) != 0) return false;
  if (announce_rename) std::printf("Renaming %s\n", target.c_str());
  // Owner only, set before the new file appears under its name.
  download.SetMode(kExecutableMode);
  if (download.Commit() || download.committed()) return true;
  // A new file that could not be finished must not leave the old one aside.
  if (!download.ok()) std::rename(aside, target.c_str());
  return false;
}

// Commits an ordinary file: synced at once, or with the others in
// `deferred` later. True also for a file put in place whose directory could
// not be synced.
bool CommitOrdinary(AtomicFile& download, DeferredSync* deferred) {
  if (deferred == nullptr) return download.Commit() || download.committed();
  return download.Commit(*deferred) || download.committed();
}

// Gives up on the download: keeps it as target + ".tmp" for the operator
// and returns that name.
std::string KeepForOperator(AtomicFile& download) {
  const std::string kept = download.path() + ".tmp";
  download.KeepAs(kept);
  return kept;
}

// The ordinary procedure: replace the old file by a rename; when that is
// not possible, remove (or back up) the old file, then rename or copy the
// new one into place. False after printing why.
bool InstallOrdinaryFile(AtomicFile& download, DeferredSync* deferred,
                         StatedMode mode) {
  const std::string& target = download.path();
  const bool runnable_name =
      IsExecutableName(target.c_str()) || IsScriptName(target.c_str());
  if (runnable_name || IsRunnable(download) ||
      mode == StatedMode::kExecutable) {
    deferred = nullptr;  // synced at once
  }
  struct stat info;
  const bool is_new = ::lstat(target.c_str(), &info) != 0 && errno == ENOENT;
  if (runnable_name && is_new) {
    // A first install of an executable or script: owner only and runnable,
    // as every later install swaps it in.
    download.SetMode(kExecutableMode);
  } else if (!runnable_name && mode == StatedMode::kExecutable) {
    // The bits it keeps from the file it replaces, and its owner's.
    const bool kept = !is_new && S_ISREG(info.st_mode);
    download.SetMode(kept ? (info.st_mode & 07777) | kExecutableMode
                          : kExecutableMode);
  }
  if (CommitOrdinary(download, deferred)) return true;
  if (!download.ok() && !download.temp_path().empty()) {
    // The new file was made but could not be finished: nothing to put in
    // place, and the old file stays.
    std::printf("Rename failed %s to %s (err %i)\n",
                download.temp_path().c_str(), target.c_str(), download.error());
    return false;
  }
  if (std::remove(target.c_str()) != 0 && errno > 2) {
    const std::string backup = target + ".bak";
    if (std::remove(backup.c_str()) != 0 && errno > 2) {
      std::printf("Remove failed %s (err %i)\n", backup.c_str(), errno);
      KeepForOperator(download);
      return false;
    }
    if (!copyFile(target.c_str(), backup.c_str(), 0)) {
      std::printf("Move failed %s (err %i)\n", target.c_str(), errno);
      KeepForOperator(download);
      return false;
    }
  }
  if (CommitOrdinary(download, deferred)) return true;
  const int rename_error = errno;
  if (CopyFileContents(download.temp_path().c_str(), target.c_str(),
                       CopyAttributes::kMode)) {
    return true;
  }
  const std::string kept = KeepForOperator(download);
  std::printf("Rename failed %s to %s (err %i)\n", kept.c_str(), target.c_str(),
              rename_error);
  if (target == "./OKU" || target == "./OKUdedi") {
    ::chmod(kept.c_str(), kExecutableMode);
    const char* name = target.c_str() + 2;
    std::printf(
        "\nPlease rename %s.tmp to %s\nor run ./rungame.sh or "
        "dedicatedserver.sh\n",
        name, name);
  }
  return false;
}

}  // namespace

bool IsExecutableName(const char* name) {
  return IsOneOf(name, kExecutableNames);
}

bool IsScriptName(const char* name) { return IsOneOf(name, kScriptNames); }

bool LacksExecutableMode(const char* target) {
  struct stat info;
  return (IsExecutableName(target) || IsScriptName(target)) &&
         ::stat(target, &info) == 0 && S_ISREG(info.st_mode) &&
         (info.st_mode & S_IXUSR) == 0;
}

bool GiveExecutableMode(const char* target) {
  return ::chmod(target, kExecutableMode) == 0;
}

bool ReplacesExecutable(const char* target) {
  struct stat info;
  return IsExecutableName(target) && ::lstat(target, &info) == 0;
}

InstallResult InstallDownloadedFile(AtomicFile& download,
                                    DeferredSync* deferred, StatedMode mode) {
  const char* target = download.path().c_str();
  if (IsExecutableName(target)) {
    std::printf("EXECUTABLE %s\n", target);
    if (SwapIn(download, (download.path() + ".tmp2").c_str(), true)) {
      std::printf("UPDATED EXECUTABLE\n");
      return {true, true};
    }
  } else if (IsScriptName(target) && SwapIn(download, kOldScriptName, false)) {
    std::printf("UPDATED BATCH FILE\n");
    return {true, false};
  }
  return {InstallOrdinaryFile(download, deferred, mode), false};
}

bool copyFile(const char* SRC, const char* DEST, int /*type*/) {
  return CopyFileContents(SRC, DEST, CopyAttributes::kNone);
}

bool fileExists(const char* fileName) {
  FileLock file(OpenForReadingNoWait(fileName));
  return file.isValid();
}
