// Putting a downloaded file in place, and the file helpers of the update.
#ifndef STARTER_INSTALL_FILE_INSTALL_H_
#define STARTER_INSTALL_FILE_INSTALL_H_

class AtomicFile;
class DeferredSync;

// What a release states of a file's mode.
enum class StatedMode {
  // Nothing: the file gets the mode the install gives it.
  kUnstated,
  // It is executable: its owner may read, write and run it.
  kExecutable,
};

// Outcome of installing one downloaded file.
struct InstallResult {
  // False when the file could not be put in place. The complete download is
  // then kept as target + ".tmp" for the operator.
  bool installed = true;
  // True when one of the game's executables was replaced.
  bool restart_required = false;
};

// Puts the complete download `download` (written, not yet committed) in
// place at download.path(). The game's executables are renamed aside to
// target + ".tmp2" and its scripts to "sh.tmp" first; both get mode 0700,
// also when nothing was there to rename aside (a first install, which goes
// the ordinary way). Any other file keeps the permission bits of the file it
// replaces (new files get the default). An ordinary file that cannot be
// replaced by a rename is removed first, or backed up as target + ".bak" when it cannot
// be removed. A file whose `mode` is kExecutable gets its owner's read,
// write and execute bits besides the bits it keeps (0700 when it is new);
// the game's executables and scripts stay 0700. Executables, scripts and
// files with an execute bit are synced to the disk at once; other files
// join `deferred` when it is given (the caller syncs them together later),
// else they are synced at once too. Messages go to standard output.
InstallResult InstallDownloadedFile(AtomicFile& download,
                                    DeferredSync* deferred,
                                    StatedMode mode = StatedMode::kUnstated);

// True when `name` is one of the game's executables, as a target path.
bool IsExecutableName(const char* name);
// True when InstallDownloadedFile, putting a download in place at `target`
// now, would swap it in for one of the game's executables and ask for a
// restart: `target` is an executable name and something (of any kind, a
// dangling link included) is there to be renamed aside. Changes nothing.
bool ReplacesExecutable(const char* target);
// True when `name` is one of the game's scripts, as a target path.
bool IsScriptName(const char* name);
// True when `target` is an executable or script name and a regular file
// there (through links) lacks its owner's execute bit, which every install
// of it gives (mode 0700). Changes nothing; false when nothing is there.
bool LacksExecutableMode(const char* target);
// Gives the file at `target` the mode an install gives the game's
// executables and scripts (0700). False (errno set) when it cannot.
bool GiveExecutableMode(const char* target);

// CopyFileContents(SRC, DEST, CopyAttributes::kNone): the copy keeps the
// permission bits of the file it replaces. `type` is not used.
bool copyFile(const char* SRC, const char* DEST, int type);

// True when `fileName` opens for reading (without waiting on a FIFO); a
// failed open is logged while FileLock::reportError is on.
bool fileExists(const char* fileName);

#endif  // STARTER_INSTALL_FILE_INSTALL_H_
