// Ignore lists and the relocation of files a release no longer lists.
#ifndef STARTER_UPDATE_UNUSED_FILES_H_
#define STARTER_UPDATE_UNUSED_FILES_H_

#include <map>
#include <string>
#include <vector>

// The tree the update run relocates unused files from.
inline constexpr char kRelocatedTree[] = "./Base";

// Appends the entry names of "autoupdate_ignore.cfg" and then of
// "autoupdate_ignore_custom.cfg" (key/value syntax; values are ignored) to
// `ignoreFiles`, in file order. A missing or empty file is logged as "Could
// not find autoupdate_ignore.cfg" or "Not using autoupdate_ignore_custom.cfg".
void LoadIgnoreLists(std::vector<std::string>& ignoreFiles);

// True when the scanned path `path` is to be moved: it lies in a "base" tree
// (first "base", ignoring case, at position 4 or before), `standardFiles`
// does not list it, its extension (after the last ".", lowered) is one of
// cfg, as, png, ogg, xml, ttf, txt, json, frag, vert, and no "maps" or "gui"
// starts at position 7 or before, nor "old" at position 4 or before.
bool IsUnusedFileToMove(
    const std::string& path,
    const std::map<std::string, std::string>& standardFiles);

// Where MoveUnusedFile puts `filename`: the directory (spaces removed) and
// the full destination path. For "./Base/D/N" and ".../old/" that is
// "./old/./Base/D" and "./old/./Base/D/N".
struct UnusedFileDestination {
  std::string directory;
  std::string path;
};
UnusedFileDestination UnusedFileDestinationFor(const std::string& filename,
                                               const std::string& baseDir);

// Moves one file into the relocation tree: creates the destination
// directories (mode 0775) and sweeps the destination's directory of stale
// temporaries, prints "MOVING UNUSED FILE:\n%s to %s\n" when `printMoves` is
// set, copies the file (with its permission bits, synced) over any older copy
// and removes the original. When the copy fails, prints "FILE CONFLICT %s.
// PLEASE DELETE THIS FILE OR REINSTALL A CLEAN COPY\n" and leaves the file in
// place.
void MoveUnusedFile(const char* filename, const char* baseDir, bool printMoves);

// Refills `standardFiles` from the checksum list at `downloadfilename`: path
// to hash, the first hash of a path winning; end-of-list reads are logged as
// "fscanf read error: autoupdate 1 - ...". Returns false, with the map left
// empty and "Failed to open - Invalid File %s" logged, when the list cannot
// be opened.
bool LoadStandardFiles(const char* downloadfilename,
                       std::map<std::string, std::string>& standardFiles);

// What the relocation does with one scanned path.
enum class UnusedFileAction {
  // Listed, or not selected by IsUnusedFileToMove.
  kKeep,
  // Selected, and the directory that holds it lies inside the game
  // directory.
  kMove,
  // Selected, but the directory that holds it lies outside the game
  // directory (reached through a symbolic link), or cannot be looked at:
  // left where it is.
  kLeaveOutside,
};

// A scanned file the relocation does not simply keep.
struct UnusedFile {
  std::string path;
  // kMove or kLeaveOutside.
  UnusedFileAction action;
  // kMove: the same directory entry is moved under an earlier name of the
  // plan (its directory met through an alias), so when that move succeeds
  // this one finds nothing to copy and ends as a file conflict.
  bool moved_before = false;
};

// The relocation's decisions for the files below `downloaddir` (scanned
// with the names in `ignoreFiles` left out, every link into a directory
// followed) against the listed paths in `standardFiles`, in scan order:
// each file IsUnusedFileToMove selects, kLeaveOutside when the directory
// holding it lies outside the game directory, else kMove; except that a
// name whose removal would take a listed file from its path is kept: the
// directory entry of a listed path, met through another name of its
// directory, or one a listed path leads to through symbolic links. A hard
// link or a symbolic link to a listed file under another name is moved.
// Looks at the file system only; changes nothing and logs only the scan's
// lines.
std::vector<UnusedFile> PlanUnusedFiles(
    const char* downloaddir, const std::vector<std::string>& ignoreFiles,
    const std::map<std::string, std::string>& standardFiles);

// Refills `standardFiles` from the checksum list at `downloadfilename` (first
// hash of a path wins) and acts on PlanUnusedFiles: moves each kMove file
// into "./old/" (MoveUnusedFile; one moved before under another name ends
// as a file conflict, its copy finding nothing), and leaves the
// kLeaveOutside ones with one log line per directory as scanned. A list
// that cannot be opened is logged ("Failed to open - Invalid File %s") and
// leaves the map empty and every file in place.
void MoveUnusedFiles(const char* downloadfilename, const char* downloaddir,
                     const std::vector<std::string>& ignoreFiles,
                     std::map<std::string, std::string>& standardFiles);

#endif  // STARTER_UPDATE_UNUSED_FILES_H_
