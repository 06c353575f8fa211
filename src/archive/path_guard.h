// Checks that keep everything an archive names inside the extraction
// directory (no ".." components, no link target that leaves it, no write
// through a symbolic link), and the building of its output paths.
#ifndef STARTER_ARCHIVE_PATH_GUARD_H_
#define STARTER_ARCHIVE_PATH_GUARD_H_

#include <cstddef>
#include <string>

// True when the "/"-separated `name` has a component that is exactly "..".
bool hasDotDotComponent(const char* name);

// True when the symbolic link target `target`, read relative to the directory
// of the entry `linkName` (a normalised name relative to the extraction
// directory), stays inside the extraction directory. Refused: an empty or
// absolute target, one that climbs above the extraction directory, and one
// with ".." after a name component (which could climb out through a link).
bool symlinkTargetStaysInside(const char* linkName, const char* target);

// True when the hard link target `target` (a member name of the archive) is
// neither absolute nor has a ".." component.
bool hardlinkTargetStaysInside(const char* target);

// True when no directory on the way to `path` is a symbolic link, looking
// only at the components that end at or after index `rootLength` (the part
// the archive chose; the extraction directory itself is trusted). Stops at
// the first component that does not exist yet. The last component of `path`
// is not examined.
bool parentsAreReal(const char* path, std::size_t rootLength);

// Prints "<name>: refused: <reason>" to the standard error stream: the line
// of an entry that is not extracted because of where it leads.
void printRefusal(const char* name, const char* reason);

// Writes the output path `prefix` + `name` into `out` (`size` bytes,
// NUL-terminated). Returns false, with the refusal line printed for `name`
// ("path too long") or for the path ("path passes through a symbolic link"),
// when it does not fit or a directory below `prefix` on its way is a
// symbolic link; `out` is then unspecified. `name` must not lie in `out`.
bool buildOutputPath(const std::string& prefix, const char* name, char* out,
                     std::size_t size);

// False, with the system error printed for `path`, when `path` names a file
// other than a directory or symbolic link that this process may not write
// to (it could not be opened for writing in place); else true.
bool mayReplace(const char* path);

#endif  // STARTER_ARCHIVE_PATH_GUARD_H_
