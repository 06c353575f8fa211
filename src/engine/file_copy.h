// Copying a file through the replacement of another.
#ifndef STARTER_ENGINE_FILE_COPY_H_
#define STARTER_ENGINE_FILE_COPY_H_

class AtomicFile;

// What a copy takes over from its source besides the bytes.
enum class CopyAttributes {
  // Nothing: the copy has the permission bits AtomicFile gives it (those of
  // the file it replaces, or the default for a new file).
  kNone,
  // The source's permission bits (a file being moved), set before the first
  // byte is written.
  kMode,
  // As kMode, and the source's access and modification times once the last
  // byte is written.
  kModeAndTimes,
};

// Writes every byte of the open file `source`, from its offset to its end,
// into `out` and gives `out` the attributes `attributes` names. Committing is
// left to the caller. Returns false when `out` failed before or during the
// copy (out.ok() is then false), or (errno set, out.ok() still true) when
// `source` could not be examined or read.
bool CopyInto(int source, AtomicFile& out, CopyAttributes attributes);

// Copies all bytes of `source` to `dest` through AtomicFile: `dest` is
// either as it was or the complete, synced copy (a symbolic link at `dest`
// is replaced). Where this process may not put a new file at `dest` but may
// write the file there (a directory it may not write, or a file of another
// user in a shared directory with the sticky bit), `dest` is opened for
// writing, truncated, written in place and synced instead, never through a
// symbolic link. Returns false (errno set) when either file cannot be opened or a
// read, write, sync or rename fails.
bool CopyFileContents(const char* source, const char* dest,
                      CopyAttributes attributes);

#endif  // STARTER_ENGINE_FILE_COPY_H_
