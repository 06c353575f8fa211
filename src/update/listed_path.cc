#include "update/listed_path.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace {

// The canonical absolute form of `path`, or empty when it does not resolve.
std::string Canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(
      realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool IsWithin(const std::string& candidate, const std::string& root) {
  if (root == "/") return true;
  return candidate == root || (candidate.size() > root.size() &&
                               candidate.compare(0, root.size(), root) == 0 &&
                               candidate[root.size()] == '/');
}

ListedPath CheckLexically(const std::string& path) {
  if (path.size() < 2 || path[0] != '.' || path[1] != '/') {
    return ListedPath::kNotRelative;
  }
  if (path.find('\\') != std::string::npos) return ListedPath::kBackslash;
  std::size_t start = 2;
  bool any_name = false;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string_view part(path.data() + start, end - start);
    if (part == "..") return ListedPath::kParentComponent;
    if (!part.empty() && part != ".") any_name = true;
    start = end + 1;
  }
  // The last component must name a file.
  std::string_view last(path);
  last.remove_prefix(path.rfind('/') + 1);
  if (!any_name || last.empty() || last == ".") return ListedPath::kEmptyName;
  return ListedPath::kInside;
}

}  // namespace

ListedPath CheckListedPath(const std::string& path) {
  ListedPathChecker checker;
  return checker.Check(path);
}

// Follows every existing component that is a symbolic link and checks that
// it resolves inside the game directory.
ListedPath ListedPathChecker::Check(const std::string& path) {
  ListedPath verdict = CheckLexically(path);
  if (verdict != ListedPath::kInside) return verdict;
  std::size_t start = 2;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string prefix = path.substr(0, end);
    start = end + 1;
    if (plain_dirs_.count(prefix) != 0) continue;
    struct stat info;
    // A component that does not exist yet will be created as a directory.
    if (lstat(prefix.c_str(), &info) != 0) return ListedPath::kInside;
    if (S_ISDIR(info.st_mode)) {
      plain_dirs_.insert(std::move(prefix));
      continue;
    }
    if (!S_ISLNK(info.st_mode)) return ListedPath::kInside;
    if (root_.empty()) root_ = Canonical(".");
    std::string target = Canonical(prefix);
    if (root_.empty() || target.empty() || !IsWithin(target, root_)) {
      return ListedPath::kLeavesThroughLink;
    }
  }
  return ListedPath::kInside;
}

bool RealLocationIsInside(const std::string& path) {
  const std::string root = Canonical(".");
  const std::string real = Canonical(path);
  return !root.empty() && !real.empty() && IsWithin(real, root);
}

const char* ListedPathReason(ListedPath verdict) {
  switch (verdict) {
    case ListedPath::kInside:
      return "inside the game directory";
    case ListedPath::kNotRelative:
      return "does not begin with ./";
    case ListedPath::kEmptyName:
      return "names no file";
    case ListedPath::kBackslash:
      return "contains a backslash";
    case ListedPath::kParentComponent:
      return "contains a .. component";
    case ListedPath::kLeavesThroughLink:
      return "leads out of the game directory through a symbolic link";
  }
  return "refused";
}
