// Putting a downloaded file in place, and the file helpers of the update.
#ifndef STARTER_UPDATE_FILE_INSTALL_H_
#define STARTER_UPDATE_FILE_INSTALL_H_

// Outcome of installing one downloaded file.
struct InstallResult {
  // False when the file could not be put in place (the temporary file then
  // stays where it is).
  bool installed = true;
  // True when one of the game's executables was replaced.
  bool restart_required = false;
};

// Moves the downloaded temporary file `temp_path` to `target_path`. The
// game's executables are renamed aside to target + ".tmp2" and its scripts to
// "sh.tmp" first, the new file getting mode 0700; an ordinary file that
// cannot be removed is backed up as target + ".bak". Messages go to standard
// output.
InstallResult InstallDownloadedFile(const char* target_path,
                                    const char* temp_path);

// True when `name` is one of the game's executables, as a target path.
bool IsExecutableName(const char* name);
// True when `name` is one of the game's scripts, as a target path.
bool IsScriptName(const char* name);

// Copies all bytes of SRC to DEST. Returns false when either file cannot be
// opened or a read or write fails; DEST is then left as it was (the copy is
// written under a temporary name and renamed over DEST only when complete).
// `type` is not used.
bool copyFile(const char* SRC, const char* DEST, int type);

// True when `fileName` opens for reading; a failed open is logged while
// FileLock::reportError is on.
bool fileExists(const char* fileName);

#endif  // STARTER_UPDATE_FILE_INSTALL_H_
