// Scoped temporary directories and small file helpers for tests.
#ifndef STARTER_TESTS_SUPPORT_TEMP_DIR_H_
#define STARTER_TESTS_SUPPORT_TEMP_DIR_H_

#include <sys/types.h>

#include <set>
#include <string>

// A fresh directory under the system temporary directory, removed with all
// its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path of the directory, without a trailing slash.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// Changes the working directory for the life of the object and changes back.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string previous_;
};

// Writes `content` to `path`, creating parent directories.
void WriteFile(const std::string& path, const std::string& content);
// The whole file, or the empty string when it cannot be read.
std::string ReadFile(const std::string& path);
// True when `path` exists (any kind of file).
bool PathExists(const std::string& path);
// The names directly in `dir`, without "." and ".."; empty when it cannot
// be read.
std::set<std::string> NamesIn(const std::string& dir);
// The paths below `dir` (relative to it) of every entry whose name ends in
// `suffix`, at any depth.
std::set<std::string> PathsEndingIn(const std::string& dir,
                                    const std::string& suffix);
// The size of the temporary file a replacement of `path` is writing (a file
// beside it named after it and ending in ".tmp", such as a download's), or 0
// while there is none.
off_t TemporarySizeOf(const std::string& path);
// The permission bits of `path` (following links), or 0 when it is absent.
mode_t PermissionsOf(const std::string& path);
// Leaves a Unix socket's file at `path` (bound, then closed), creating
// parent directories; false when it cannot be made.
bool MakeSocketFile(const std::string& path);
// Runs `command` through the shell; returns its exit status.
int RunShell(const std::string& command);

#endif  // STARTER_TESTS_SUPPORT_TEMP_DIR_H_
