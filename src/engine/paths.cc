#include "engine/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

namespace {

// The longest link target read.
constexpr std::size_t kMaxLinkTarget = 4096;

// `parent` (canonical) joined with the component `name` as text.
std::string Joined(std::string parent, const std::string& name) {
  if (name.empty() || name == ".") return parent;
  if (name == "..") {
    const std::size_t cut = parent.rfind('/');
    return cut == 0 || cut == std::string::npos ? "/" : parent.substr(0, cut);
  }
  return parent == "/" ? "/" + name : parent + "/" + name;
}

// ResolvedPath, with `hops` links followed so far.
std::string Resolved(std::string path, int& hops) {
  for (;;) {
    std::string canonical = CanonicalPath(path);
    if (!canonical.empty()) return canonical;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
      if (!S_ISLNK(info.st_mode) || ++hops > kMaxLinkHops) return "";
      std::string target(kMaxLinkTarget, '\0');
      const ssize_t size =
          ::readlink(path.c_str(), target.data(), target.size());
      if (size <= 0 || static_cast<std::size_t>(size) >= target.size()) {
        return "";
      }
      target.resize(static_cast<std::size_t>(size));
      path = target.front() == '/' ? target : DirectoryOf(path) + target;
      continue;
    }
    if (errno != ENOENT) return "";
    // Nothing there: the place of its directory, and the name below it.
    std::string directory = DirectoryOf(path);
    if (directory.empty()) directory = ".";
    std::string parent = Resolved(directory, hops);
    return parent.empty() ? parent : Joined(std::move(parent), NameOf(path));
  }
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);  // npos + 1 is 0
}

std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);  // npos + 1 is 0
}

std::optional<std::string> LinkTargetPath(const std::string& path) {
  std::error_code error;
  const std::string next = std::filesystem::read_symlink(path, error);
  if (error || next.empty()) return std::nullopt;
  return next.front() == '/' ? next : DirectoryOf(path) + next;
}

std::string FollowLinks(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::optional<std::string> next = LinkTargetPath(path);
    if (!next) break;
    path = std::move(*next);
  }
  return path;
}

namespace {

// Calls `visit` with each directory `rule` names on the way to `path`.
template <typename Visit>
void ForEachParent(const std::string& path, const ParentDirectories& rule,
                   Visit visit) {
  for (std::size_t i = path.find_first_of(rule.separators, rule.first);
       i != std::string::npos; i = path.find_first_of(rule.separators, i + 1)) {
    visit(path.substr(0, i));
  }
}

}  // namespace

void KnownDirectories::CreatedBelow(const std::string& path,
                                    const ParentDirectories& rule) {
  // Only a "/" leads below a directory: what a "\\" ends is not proven.
  const ParentDirectories slashes{"/", rule.first, rule.mode};
  ForEachParent(path, slashes, [&](std::string directory) {
    known_.insert(std::move(directory));
  });
}

bool KnownDirectories::Forget(const std::string& path,
                              const ParentDirectories& rule) {
  bool forgot = false;
  ForEachParent(path, rule, [&](const std::string& directory) {
    forgot = known_.erase(directory) != 0 || forgot;
  });
  return forgot;
}

void MakeParentDirectories(const std::string& path,
                           const ParentDirectories& rule,
                           KnownDirectories* known) {
  ForEachParent(path, rule, [&](const std::string& directory) {
    if (known != nullptr && known->Contains(directory)) return;
    if (::mkdir(directory.c_str(), rule.mode) == 0 && known != nullptr) {
      known->Add(directory);
    }
  });
}

std::string CanonicalPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::string ResolvedPath(const std::string& path) {
  int hops = 0;
  return Resolved(path, hops);
}

bool PathIsWithin(const std::string& candidate, const std::string& root) {
  if (root == "/") return true;
  return candidate.starts_with(root) &&
         (candidate.size() == root.size() || candidate[root.size()] == '/');
}
