// Durability for many files at once.
#ifndef STARTER_ENGINE_DEFERRED_SYNC_H_
#define STARTER_ENGINE_DEFERRED_SYNC_H_

#include <sys/types.h>

#include <map>
#include <set>
#include <string>

#include "engine/scoped_fd.h"

// Collects the file systems that received writes not yet synced, so that
// they can be made durable together: one syncfs per file system instead of
// one fsync per file. Used by one thread at a time.
class DeferredSync {
 public:
  // Remembers the file system that holds the directory `dir`. When the
  // directory cannot be opened, SyncAll falls back to syncing every file
  // system of the machine. A directory noted since the last SyncAll is not
  // looked at again: its file system is known.
  void Note(const std::string& dir);

  // Remembers the directory `dir`, whose entries changed for files whose
  // data is on the disk already (renamed into it), and the directories
  // above it as it names them, whose entries may be new too, so that
  // SyncAll makes them durable with one fsync of each, unless it syncs
  // their file system whole anyway. A directory that cannot be opened then
  // is a failure of SyncAll.
  void NoteDirectory(const std::string& dir);

  // Writes everything noted since the last call through to its disk: the
  // data and the names of every file committed there, and the entries of
  // every directory noted alone. Attempts every file system and directory;
  // returns false (errno set) when any sync failed. Forgets what was noted
  // either way.
  bool SyncAll();

  // True when nothing has been noted since the last SyncAll.
  bool empty() const {
    return file_systems_.empty() && directories_.empty() && !sync_everything_;
  }

 private:
  // One open directory per file system, keyed by device.
  std::map<dev_t, ScopedFd> file_systems_;
  // The directories noted so far, as they were named.
  std::set<std::string> noted_;
  // The directories noted alone, as they were named.
  std::set<std::string> directories_;
  bool sync_everything_ = false;
};

// Makes the directory entry changes (renames, creations) of the directory
// holding `path` durable with one fsync of that directory. Returns false
// (errno set) when it cannot be opened or synced.
bool SyncParentDirectory(const std::string& path);

#endif  // STARTER_ENGINE_DEFERRED_SYNC_H_
