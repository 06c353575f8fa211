// Replacement of a file through a temporary file and a rename.
#ifndef STARTER_ENGINE_ATOMIC_FILE_H_
#define STARTER_ENGINE_ATOMIC_FILE_H_

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "engine/scoped_fd.h"

class DeferredSync;

// What a replacement does with a symbolic link found at its destination.
enum class LinkAtDestination {
  // The link itself is replaced by the new file. For the files of the game
  // tree, whose links the updater checks before it writes.
  kReplace,
  // The file the link leads to (through any number of links) is replaced
  // and the link stays, as when the file is truncated and rewritten. For
  // settings files an operator may keep elsewhere.
  kFollow,
};

// Whether a new file takes over the attributes of the file it replaces.
enum class Attributes {
  // The owner, group and permission bits of the regular file at the
  // destination, as described below.
  kOfReplaced,
  // The defaults of a new file: for a file that never replaces anything (a
  // spool of bytes that are copied elsewhere), so nothing is looked at.
  kFresh,
};

// When a commit reaches the disk.
enum class Durability {
  // The data and the new name are synced before Commit returns.
  kSynced,
  // The kernel writes them back in its own time (a later sync, or a power
  // loss, decides).
  kWriteBack,
};

// Whether the bytes of a file that AtomicFile::Adopt takes are on the disk.
enum class AdoptedData {
  // Nothing is known: a commit syncs them as a made file's.
  kUnsynced,
  // Whoever made it synced it, and it has not changed since: a deferred
  // commit then syncs only the rename, with its directory.
  kSynced,
};

// Writes a new version of a file so that the file under its name is always
// either the old version or the complete new one. The new bytes go to a new,
// uniquely named temporary file "<name>.<pid>.<XXXXXX>.tmp" beside the
// destination; Commit renames it over the destination. A temporary file that
// was neither committed nor kept is removed when the object goes.
//
// Permission bits: those of the file being replaced (and its owner and
// group, where this process may set them), or for a new file 0666 less the
// umask; SetMode chooses exact bits instead. They are applied to the
// temporary file before any byte is written to it. What processes that no
// longer run left behind goes with SweepStaleTemporaries.
//
// Writes are gathered in a buffer of kBufferBytes owned by the object, so a
// small file reaches its temporary file in one write.
class AtomicFile {
 public:
  // The end of every temporary file name, and the length of its random part.
  static constexpr const char* kTempSuffix = ".tmp";
  static constexpr std::size_t kRandomLength = 6;
  // What the stream gathers before it writes.
  static constexpr std::size_t kBufferBytes = std::size_t{16} << 10;
  // The least a file committed with a DeferredSync holds for its write-back
  // to start at once.
  static constexpr std::size_t kWriteBackFrom = std::size_t{1} << 20;

  // Creates the temporary file for `path`. Check ok(): on failure error()
  // holds the errno of the failed creation and nothing was created.
  AtomicFile(const std::string& path, LinkAtDestination links,
             Attributes attributes = Attributes::kOfReplaced);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // True while the temporary file exists and every write so far succeeded
  // (a failed rename leaves it true: the file can still be put in place).
  bool ok() const { return error_ == 0 && !temp_path_.empty(); }
  // The errno of the first failure of the file itself (creation, write,
  // sync), else that of the last rename if it failed; 0 when none failed.
  int error() const { return error_ != 0 ? error_ : rename_error_; }
  // True once the temporary file has been renamed over path().
  bool committed() const { return committed_; }
  // True when the file could not be put in place only because this process
  // may not put a new file at path() (the creation or the rename was refused:
  // a directory it may not write, or another user's file in a shared
  // directory with the sticky bit). It may still be able to write the file
  // that is there.
  bool replacement_refused() const {
    return !committed_ && (error() == EACCES || error() == EPERM);
  }
  // The file that Commit replaces (after following links for kFollow).
  const std::string& path() const { return path_; }
  // The temporary file; empty when it could not be created.
  const std::string& temp_path() const { return temp_path_; }
  // The permission bits taken over from the regular file that was at path()
  // (links followed) when the temporary file was made; nothing when there
  // was none.
  std::optional<mode_t> replaced_mode() const { return replaced_mode_; }

  // A buffered stream on the temporary file, owned by this object; null when
  // the temporary file could not be created. Write errors on it count as
  // failures of Flush and Commit.
  FILE* stream() { return stream_; }
  // Appends `size` bytes. Returns false (and remembers the error) on a
  // failed write.
  bool Write(const void* data, std::size_t size);
  // Gives the new file exactly the permission bits `mode`, now.
  void SetMode(mode_t mode);
  // Gives the new file the access and modification times `access` and
  // `modification` (seconds since 1970), now. Buffered bytes are written out
  // first, so that only later writes change the times again. Returns false
  // (errno set) when those bytes could not be written, which is a failure of
  // the file as for Flush, or when the times could not be set.
  bool SetTimes(time_t access, time_t modification);
  // Pushes the buffered bytes into the temporary file, so that it can be
  // read by its name. Returns false (errno set) when a write failed.
  bool Flush();
  // Discards every byte written so far: the temporary file is empty again,
  // and later writes start at its beginning. Returns false (errno set, a
  // failure of the file as for Flush) when that fails.
  bool Truncate();

  // Takes the complete file `existing`, open at `fd`, as the temporary file
  // in place of the one this object made, which is removed: Commit renames
  // `existing` over path(), KeepAs keeps it, Abandon (or the object's end)
  // removes it. It gets the owner, group and permission bits the made file
  // had; its bytes stay, and later writes go after them. Only a regular
  // file with no other name, on the file system of the made file, is
  // taken. A commit syncs it as a made file, but a deferred one of `data`
  // kSynced, without later writes, notes only the directory of path() (a
  // synced commit still syncs the file: its attributes changed). Returns
  // false (errno set: EXDEV on another file system, EMLINK for a file with
  // more names, EINVAL for another kind of file) and changes nothing when
  // it cannot take it; `fd` is then still the caller's, else it is this
  // object's.
  bool Adopt(ScopedFd& fd, const std::string& existing,
             AdoptedData data = AdoptedData::kUnsynced);

  // Finishes the file and renames it over path(). kSynced writes the data
  // and the new name through to the disk before returning; kWriteBack
  // leaves both to the kernel's write-back. Returns false (errno set) when a
  // write, the sync or the rename failed: path() is then as it was, and the
  // temporary file stays until this object goes (or KeepAs keeps it), so a
  // caller may try other ways to put it in place. When only the final sync
  // of the directory fails, Commit returns false although committed() is
  // true: the new file is in place but may not survive a power loss.
  bool Commit(Durability durability = Durability::kSynced);
  // As Commit(kWriteBack), but starts writing the data back at once, and
  // notes the file's file system in `deferred`, whose SyncAll makes this and
  // other files durable together (only its directory, for an adopted file
  // whose data is synced; see Adopt).
  bool Commit(DeferredSync& deferred);

  // Finishes the file and renames the temporary file to `name` instead,
  // where it stays after this object goes (a download kept for the operator
  // to install by hand). Returns false (errno set) on failure.
  bool KeepAs(const std::string& name);

  // Removes the temporary file now; nothing is committed afterwards. Returns
  // false (errno set) when it exists and could not be removed.
  bool Abandon();

 private:
  // What Finish does for the data on the disk.
  enum class DataSync { kNone, kStart, kNow };
  // Flushes and closes the temporary file (once), syncing its data as
  // `sync` says. False (errno set) on failure.
  bool Finish(DataSync sync);
  // Finishes the file and renames it to `name`; see Commit.
  bool RenameTo(const std::string& name, DataSync sync);
  // Remembers errno as the first failure, if none was remembered yet.
  void Fail();

  std::string path_;
  std::string temp_path_;
  std::optional<mode_t> replaced_mode_;
  // The stream's buffer; it outlives the stream, which is closed before the
  // object goes.
  std::unique_ptr<char[]> buffer_;
  FILE* stream_ = nullptr;
  int error_ = 0;
  int rename_error_ = 0;
  bool done_ = false;
  bool committed_ = false;
  // Set by Adopt for a file whose bytes are on the disk; cleared by a write.
  bool data_synced_ = false;
};

#endif  // STARTER_ENGINE_ATOMIC_FILE_H_
