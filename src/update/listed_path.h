// Which paths of a checksum list the updater may write.
#ifndef STARTER_UPDATE_LISTED_PATH_H_
#define STARTER_UPDATE_LISTED_PATH_H_

#include <string>
#include <unordered_set>

// Verdict on one listed path. Only kInside may be hashed, downloaded or
// installed; every other value names why the path is refused.
enum class ListedPath {
  kInside,
  // Does not begin with "./" (this includes absolute paths).
  kNotRelative,
  // Nothing follows the "./".
  kEmptyName,
  // Holds a "\", which the server side may take for a separator.
  kBackslash,
  // Holds a ".." component.
  kParentComponent,
  // An existing directory component (any but the file's own name) is a
  // symbolic link that leads out of the game directory (its target followed
  // as far as it exists), or one that cannot be resolved (a loop). A link at
  // the file's own name is judged by nothing: the install replaces it.
  kLeavesThroughLink,
  // The release states sizes, SHA-256 and modes of its files (a file
  // table), and none for this path. Only a comparison walk that holds the
  // table gives it; CheckListedPath never does.
  kNotInFileTable,
};

// Checks `path` (as listed, e.g. "./Base/x.png") against the game directory,
// which is the current directory. Looks at the file system only to follow the
// components that already exist; never changes anything.
ListedPath CheckListedPath(const std::string& path);

// CheckListedPath for many paths of one run: remembers the directories it
// found to be real directories (not links) and the components it found
// absent, so a list of many files in few directories costs one lstat per
// directory. Use one checker per run only: it assumes no directory is
// replaced by a link while it lives, and that what was absent is made by
// the run itself, which makes only directories and regular files (either
// gives the verdict an absent component gives).
class ListedPathChecker {
 public:
  // The verdict for `path`, as CheckListedPath gives it.
  ListedPath Check(const std::string& path);

 private:
  std::unordered_set<std::string> plain_dirs_;
  std::unordered_set<std::string> absent_;
  std::string root_;
};

// A short English reason for a refused verdict, e.g. "contains a .. component".
const char* ListedPathReason(ListedPath verdict);

// The verdict on the text of `path` alone, without looking at the file
// system: kInside unless every game directory refuses it (kNotRelative,
// kEmptyName, kBackslash, kParentComponent).
ListedPath CheckListedPathText(const std::string& path);

#endif  // STARTER_UPDATE_LISTED_PATH_H_
