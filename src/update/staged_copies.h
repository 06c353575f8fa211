// Copies of a release's files fetched ahead of the start that installs it
// (starter-stage), the record of the checks made of them, and how that start
// takes them instead of downloading.
//
// The staging area of a checksum list is "Downloads/staged/<MD5 of the
// list>/", holding each file the list names at the path the list gives it
// (below its "./"). A copy appears there only under its own name, whole and
// checked, so a start never sees half of one; a copy of another list's area
// is never taken. Beside the area, "Downloads/staged/<MD5 of the
// list>.checked" records, for each copy that starter-stage checked after it
// was synced, what it found: the copy's identity and times, and the digests
// of its bytes. A start takes a copy whose identity and times are still
// the recorded ones without reading it again; any write to it since changes
// its times, and then it is read and checked again. The record gives no one
// more than they have: it lies in the game directory, written by the user
// who writes the game's files.
#ifndef STARTER_UPDATE_STAGED_COPIES_H_
#define STARTER_UPDATE_STAGED_COPIES_H_

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/file_download.h"

class DeferredSync;

// The directory that holds the staging areas, below the game directory.
inline constexpr char kStagingDirectory[] = "Downloads/staged";

// The staging area of the list whose MD5 is `list_md5`:
// "Downloads/staged/<list_md5>".
std::string StagingAreaOf(std::string_view list_md5);

// The record of the checks of the staging area of `list_md5`:
// "Downloads/staged/<list_md5>.checked".
std::string StagingRecordOf(std::string_view list_md5);

// Where a start that took copies from the staging area of `list_md5` keeps
// the files they replaced: "Downloads/staged/<list_md5>.replaced", each
// under the number of its inode. Freeing a large file takes the file system
// a while; kept there, the old files are freed by starter-stage, which
// removes these directories, and not while the game waits to start.
std::string ReplacedFilesOf(std::string_view list_md5);

// Where the staged copy of the listed path `path` lies in the staging area
// of the list `list_md5`: the area, then the path's components below its
// "./" (ListedFileKey), so every spelling of one listed file has one copy.
std::string StagedCopyPath(std::string_view list_md5, std::string_view path);

// For each listed path of `paths`, whether the staging area of the list
// `list_md5` holds a regular file for it (links followed). Reads no file:
// whether it holds the listed bytes is checked as it is taken.
std::vector<bool> StagedCopiesPresent(std::string_view list_md5,
                                      const std::vector<std::string>& paths);

// What a check found of one staged copy.
struct StagedCopyCheck {
  // ListedFileKey of its listed path.
  std::string key;
  // The copy as fstat gave it before and after its bytes were read.
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  // Its MD5 and SHA-256, lower-case hex digits.
  std::string md5;
  std::string sha256;
  // Whether the clock had passed its last change when it was read, so that
  // any later change gives it other times: only such a check is recorded.
  bool recordable = false;

  // Whether `status` (of an open copy) is the copy this check read: the
  // same size, device, inode, modification and change times.
  bool SameCopy(const struct stat& status) const;
};

// Checks the staged copy of `path` in the staging area of `list_md5`: syncs
// it to the disk, reads it whole (MD5 and SHA-256) and returns what it
// found when it holds `md5` (either letter case), and `size` and `sha256`
// when they are given; nothing when it does not, is not a regular file,
// cannot be read, or changed while it was read. Waits a moment at most for
// the clock to pass the copy's last change (else, or when the sync failed,
// the check is not recordable).
std::optional<StagedCopyCheck> CheckStagedCopy(
    std::string_view list_md5, std::string_view path, std::string_view md5,
    std::optional<std::uint64_t> size, std::string_view sha256);

// The checks recorded for one staging area.
class StagingRecord {
 public:
  // The record of the staging area of `list_md5` as its file holds it;
  // empty when the file is missing, or malformed in any line.
  static StagingRecord Read(std::string_view list_md5);

  // Adds (or replaces) the check of the copy of check.key.
  void Add(StagedCopyCheck check);
  // Writes the record of the staging area of `list_md5` in place of the one
  // there, synced (AtomicFile): only recordable checks. False (errno set)
  // when it cannot.
  bool Write(std::string_view list_md5) const;
  // The digests recorded for the listed path `path` when its copy, open
  // with `status`, is the copy checked (StagedCopyCheck::SameCopy); else
  // null.
  const StagedCopyCheck* Find(std::string_view path,
                              const struct stat& status) const;
  // The number of checks held.
  std::size_t size() const { return checks_.size(); }

 private:
  std::map<std::string, StagedCopyCheck, std::less<>> checks_;
};

// The download of `request` at its turn (DownloadAtTurn, with its lines,
// checks and installation), its body the staged copy of `path` in the
// staging area of `list_md5` instead of the server's, after the line
// "Taking <target> from the staging area <copy>". A copy that is a regular
// file with no other name, below the game directory and on the target's
// file system, is installed by renaming it (AtomicFile::Adopt), its MD5 and
// SHA-256 taken from `record` when it holds the copy, else read from it;
// any other is read and copied. The file at the target, when it is a
// regular file, first gets a second name in ReplacedFilesOf(`list_md5`)
// (when the file system allows it), so that replacing it frees nothing. A
// copy that is gone or cannot be read ends
// as a failed transfer does, one without the expected MD5 as such a
// download does ("CCurl: MD5 mismatch ...", the copy then removed): nothing
// is installed, and the caller then downloads the file.
DownloadOutcome TakeStagedCopy(const DownloadRequest& request,
                               std::string_view list_md5, std::string_view path,
                               const StagingRecord& record,
                               DeferredSync* deferred);

// Removes the staging area of `list_md5` and its record, for a start that
// installed that list as its version file: copies it did not take are not
// needed any more. Links in it are removed, never followed. The files the
// start replaced (ReplacedFilesOf) stay for starter-stage to remove. Logs "Removed
// the staging area <area>" when something was there, or why it could not.
void RemoveStagingArea(std::string_view list_md5);

#endif  // STARTER_UPDATE_STAGED_COPIES_H_
