// Link entries of a tar archive: the check of the link target, the refusal
// of links that lead out of the extraction directory, and the link itself
// (or a copy where a hard link cannot be made).
#ifndef STARTER_ARCHIVE_TAR_LINKS_H_
#define STARTER_ARCHIVE_TAR_LINKS_H_

#include <cstdio>
#include <memory>
#include <string>

// Closes a C stream; the deleter of OwnedFile.
struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
// An owned C stream, closed when the owner goes.
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

// The two kinds of link entry.
enum class LinkKind { kHard, kSymbolic };

// Extracts the link entry `name` (a normalised entry name without ".."
// components) whose target text is `linkto`, under the path prefix
// `extractPath`, at once and in this order:
//  1. A target that leads out of the extraction directory is refused
//     ("<name>: refused: link target leaves the extraction directory"), and
//     so is a hard link target that is a symbolic link, is reached through
//     one, or is not a regular file.
//  2. The target is opened for reading. When that fails, the system error
//     for `linkto` is printed and the entry is skipped: a target that comes
//     later in the archive is not waited for. With an empty `extractPath`
//     the target is opened as it reads, from the current directory. Under a
//     non-empty one it is looked for there, never in the working directory:
//     a hard link target is an archive member name, read as `extractPath` +
//     target; a symbolic link target is read from the link's own directory
//     there, which is where the link will lead.
//  3. The output path `extractPath` + `name` is refused when it is too long
//     for the name buffer or passes through a symbolic link. Its directories
//     are created. A file there that this process may not write to is left
//     as it is (system error printed for the path, the entry skipped);
//     otherwise what is at the path, unless a directory, is removed (its
//     name, never its data: it may be a hard link to a file still wanted).
//  4. linkorcopy makes the link.
// Returns true when the link (or its copy) was made, false when the entry
// was skipped; every skip has its printed line.
bool extractLink(const std::string& extractPath, const char* name,
                 const char* linkto, LinkKind kind);

// Makes `dst` a symbolic link (`sym` true) with the text `src`, or a hard
// link (`sym` false) to the file `src`. When the hard link cannot be made,
// copies `source` (the open `src`) to a new file with its permission bits
// (times of its own) that replaces `dst`, and prints "<dst>: copy instead of
// link". Returns
// false, with the system error printed for `dst`, when nothing was made.
// Closes `source` (null for a symbolic link).
bool linkorcopy(const char* src, const char* dst, bool sym, OwnedFile source);

#endif  // STARTER_ARCHIVE_TAR_LINKS_H_
