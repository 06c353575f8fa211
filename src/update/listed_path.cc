#include "update/listed_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "engine/paths.h"

namespace {

ListedPath CheckLexically(const std::string& path) {
  if (path.size() < 2 || path[0] != '.' || path[1] != '/') {
    return ListedPath::kNotRelative;
  }
  if (path.find('\\') != std::string::npos) return ListedPath::kBackslash;
  bool any_name = false;
  if (!ForEachComponent(path, 2, [&](std::string_view part, auto) {
        if (!part.empty() && part != ".") any_name = true;
        return part != "..";
      })) {
    return ListedPath::kParentComponent;
  }
  // The last component must name a file.
  const std::string last = NameOf(path);
  if (!any_name || last.empty() || last == ".") return ListedPath::kEmptyName;
  return ListedPath::kInside;
}

}  // namespace

ListedPath CheckListedPath(const std::string& path) {
  ListedPathChecker checker;
  return checker.Check(path);
}

// Follows every existing directory component that is a symbolic link and
// checks that it resolves, as far as its target exists, inside the game
// directory. A link at the file's own name is not looked at: every install
// replaces such a link itself (a rename over it, or its removal), and a
// hash only reads what it leads to.
ListedPath ListedPathChecker::Check(const std::string& path) {
  ListedPath verdict = CheckLexically(path);
  if (verdict != ListedPath::kInside) return verdict;
  const std::size_t name_starts = path.rfind('/') + 1;
  ForEachComponent(path, 2, [&](auto, std::string_view through) {
    if (through.size() >= name_starts) return false;  // the file's own name
    std::string prefix(through);
    if (plain_dirs_.count(prefix) != 0) return true;
    if (absent_.count(prefix) != 0) return false;
    struct stat info;
    // A component that does not exist yet will be created as a directory.
    if (lstat(prefix.c_str(), &info) != 0) {
      if (errno == ENOENT) absent_.insert(std::move(prefix));
      return false;
    }
    if (S_ISDIR(info.st_mode)) {
      plain_dirs_.insert(std::move(prefix));
      return true;
    }
    if (!S_ISLNK(info.st_mode)) return false;
    if (root_.empty()) root_ = CanonicalPath(".");
    // A link that leads nowhere yet is judged by where it would lead once
    // the download creates the directories below it.
    std::string target = ResolvedPath(prefix);
    if (root_.empty() || target.empty() || !PathIsWithin(target, root_)) {
      verdict = ListedPath::kLeavesThroughLink;
    }
    return verdict == ListedPath::kInside;
  });
  return verdict;
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
    case ListedPath::kNotInFileTable:
      return "the release file table has no row for it";
  }
  return "refused";
}

ListedPath CheckListedPathText(const std::string& path) {
  return CheckLexically(path);
}
