#include "starter_verify_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "engine/paths.h"

namespace {

// Points `fd` at `target`; returns a copy of what it was, or -1.
int Redirect(int fd, int target) {
  const int saved = dup(fd);
  if (saved >= 0 && dup2(target, fd) < 0) {
    close(saved);
    return -1;
  }
  return saved;
}

void Restore(int fd, int saved) {
  if (saved < 0) return;
  dup2(saved, fd);
  close(saved);
}

}  // namespace

std::string TemporaryRootOutside(const std::string& game_dir) {
  const std::string game = CanonicalPath(game_dir);
  if (game.empty()) return std::string();
  std::vector<std::string> candidates;
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir && *tmpdir) {
    candidates.emplace_back(tmpdir);
  }
  candidates.emplace_back("/tmp");
  for (const std::string& candidate : candidates) {
    const std::string root = CanonicalPath(candidate);
    if (!root.empty() && !PathIsWithin(root, game)) return root;
  }
  return std::string();
}

WorkDirectory::WorkDirectory(const std::string& root) {
  std::string pattern = root + "/starter-verify-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = errno;
    return;
  }
  path_ = pattern;
}

WorkDirectory::~WorkDirectory() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ConsoleAside::ConsoleAside(Target target) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (target == kToStandardError) {
    saved_out_ = Redirect(STDOUT_FILENO, STDERR_FILENO);
    return;
  }
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) return;
  saved_out_ = Redirect(STDOUT_FILENO, null_fd);
  saved_err_ = Redirect(STDERR_FILENO, null_fd);
  close(null_fd);
}

ConsoleAside::~ConsoleAside() {
  std::fflush(stdout);
  std::fflush(stderr);
  Restore(STDOUT_FILENO, saved_out_);
  Restore(STDERR_FILENO, saved_err_);
}
