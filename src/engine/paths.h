// Path helpers: the parts of a path, its parent directories, the targets of
// its links, its canonical form.
#ifndef STARTER_ENGINE_PATHS_H_
#define STARTER_ENGINE_PATHS_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

// Links followed in a row before a path counts as a loop (the kernel's own
// limit).
inline constexpr int kMaxLinkHops = 40;

// The directory part of `path` up to and including its last "/"; "" for a
// bare name.
std::string DirectoryOf(const std::string& path);

// The part of `path` after its last "/"; all of `path` when it has none.
std::string NameOf(const std::string& path);

// When `path` is a symbolic link, the path its target names (the target
// itself when absolute, else the target below the link's directory);
// nothing when it is no link or cannot be read.
std::optional<std::string> LinkTargetPath(const std::string& path);

// `path` after following every symbolic link at its end (up to 40): the
// file a link there leads to. A dangling link gives the path it points to;
// a path without a link at its end is returned as it is.
std::string FollowLinks(std::string path);

// Calls `visit(part, through)` for each "/"-separated component of `path`
// from index `start` on, in order, empty ones included: `part` is the
// component and `through` the path up to its end. Returns false as soon as
// `visit` does, else true.
template <typename Visit>
bool ForEachComponent(std::string_view path, std::size_t start, Visit visit) {
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (!visit(path.substr(start, end - start), path.substr(0, end))) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

// Which of the directories on the way to a path MakeParentDirectories
// creates, and how.
struct ParentDirectories {
  // The characters that end a directory name.
  const char* separators = "/";
  // Separators before this index are skipped (a leading "/" or "./").
  std::size_t first = 0;
  // The permission bits of a new directory, less the umask.
  mode_t mode = 0777;
};

// Directories known to exist, by the names MakeParentDirectories would give
// mkdir: those it created, and those a file was just created below (which
// proves each of them a directory, or a link to one, at that moment). A name
// that exists as anything else is never known. For one run of many files in
// few directories; a directory removed while it is known makes the creation
// of a file below it fail, after which the caller forgets it (Forget) and
// makes the directories again.
class KnownDirectories {
 public:
  bool Contains(const std::string& directory) const {
    return known_.count(directory) != 0;
  }
  void Add(const std::string& directory) { known_.insert(directory); }
  // Notes that a file was created at `path`: every directory `rule` names
  // on the way to it that ends at a "/" is known from now on.
  void CreatedBelow(const std::string& path, const ParentDirectories& rule);
  // Forgets every directory `rule` names on the way to `path`. Returns true
  // when one of them was known.
  bool Forget(const std::string& path, const ParentDirectories& rule);

 private:
  std::unordered_set<std::string> known_;
};

// Creates, in order, the directory that ends at each separator of `path` at
// index `rule.first` or later, with the name as written before that
// separator. Failures (a directory that exists, for one) are ignored. With
// `known`, a directory it holds is not made again, and one this call creates
// is added to it.
void MakeParentDirectories(const std::string& path,
                           const ParentDirectories& rule = {},
                           KnownDirectories* known = nullptr);

// The canonical absolute form of `path` (every link followed), or "" when it
// does not resolve.
std::string CanonicalPath(const std::string& path);

// The canonical absolute form of `path` with every link followed as far as
// something exists: what does not exist (the target of a dangling link
// included) is appended as written, its "." and ".." components taken as
// text. "" when a link cannot be read, links nest more than 40 deep (a
// loop), or an existing component cannot be looked through.
std::string ResolvedPath(const std::string& path);

// True when the canonical path `candidate` is `root` or lies below it.
bool PathIsWithin(const std::string& candidate, const std::string& root);

#endif  // STARTER_ENGINE_PATHS_H_
