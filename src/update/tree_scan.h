// The local tree scan and the file hash of the update.
#ifndef STARTER_UPDATE_TREE_SCAN_H_
#define STARTER_UPDATE_TREE_SCAN_H_

#include <dirent.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/md5.h"

// The hash text of a file that cannot be read. Not an MD5 text (it is not
// 32 hex digits), so it matches no listed hash, not even a list's own
// "unreadable" (see FilePairIndex::Contains); free of blanks and not empty,
// so such a file always counts as changed and its version-file line stays
// readable.
inline constexpr char kUnreadableHash[] = "unreadable";

// How a scan treats a symbolic link to a directory.
enum class DirectoryLinks {
  // Followed like the directory itself, so its files appear under the
  // link's name too; only a link (or directory) that leads to a directory
  // already on the path being walked (by device and inode) is not entered,
  // since it would walk the same directories without end.
  kFollow,
  // Each directory is entered once: a link to a directory of the scanned
  // tree (an alias, or a loop back to a directory above it) is not
  // followed, so its files appear under the directory's own name; a link
  // that leads elsewhere is followed where it is first met (by device and
  // inode), and not again. For a release's list, which names each file
  // once.
  kOncePerDirectory,
};

// Appends to `refvecFiles` the paths (root + "/" + name) of the accepted
// regular files below `refcstrRootDirectory`, in directory order, recursing
// into subdirectories when `bSearchSubdirectories` is set except
// "Screenshots", "Downloads", "Cache", "Logs", ".svn", "Mods" and
// "AS_DEBUG"; `links` says how links to directories are followed. Hidden
// files are never listed. `refcstrExtension` "*" takes every file except
// the extensions ilk, pdb, bak, tmp, suo and the bare names in
// `ignoreFiles`; any other value takes only that exact extension. A path
// equal to the last one appended is not appended again. Entries that are
// neither file nor directory are logged as "Odd something d_type = %i". An
// unreadable root adds nothing. Always returns 0.
int SearchDirectory(std::vector<std::string>& refvecFiles,
                    const std::string& refcstrRootDirectory,
                    const std::string& refcstrExtension,
                    bool bSearchSubdirectories,
                    const std::vector<std::string>& ignoreFiles,
                    DirectoryLinks links = DirectoryLinks::kFollow);

// Calls `found` with the path of every file SearchDirectory accepts, in its
// order and with its log lines, but keeps none of them. When `odd` is set,
// calls it too with the path of every entry not hidden that is neither file
// nor directory once links are followed (a link that leads nowhere, a FIFO,
// a socket), after its "Odd something" line.
void ScanTree(const std::string& root, const std::string& extension,
              bool subdirectories, const std::vector<std::string>& ignoreFiles,
              const std::function<void(std::string)>& found,
              DirectoryLinks links = DirectoryLinks::kFollow,
              const std::function<void(std::string)>& odd = {});

namespace tree_scan {
// True when `path` + "/" + the entry's name (cut to 4095 bytes) is a
// regular file, following links; false when stat fails.
bool _is_reg(const char* path, const dirent* entry);
// True when `path` + "/" + the entry's name (cut to 4095 bytes) is a
// directory, following links; false when stat fails.
bool _is_dir(const char* path, const dirent* entry);
}  // namespace tree_scan

// The number of space characters in `file`.
int spacesinfile(const char* file);

// Sets `hashstring` to the MD5 of the file's bytes (32 lower-case hex digits)
// and returns true. When the file cannot be opened or read, or is not a
// regular file (a FIFO or device is never waited on), sets it to
// kUnreadableHash, stores why in `why` when given, and returns false.
bool stdCalculateMD5(const char* filename, std::string& hashstring,
                     FileHashError* why = nullptr);

#endif  // STARTER_UPDATE_TREE_SCAN_H_
