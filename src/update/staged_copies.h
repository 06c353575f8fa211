// Copies of a release's files fetched ahead of the start that installs it
// (starter-stage), and how that start takes them instead of downloading.
//
// The staging area of a checksum list is "Downloads/staged/<MD5 of the
// list>/", holding each file the list names at the path the list gives it
// (below its "./"). A copy appears there only under its own name, whole and
// checked, so a start never sees half of one; a copy of another list's area
// is never taken.
#ifndef STARTER_UPDATE_STAGED_COPIES_H_
#define STARTER_UPDATE_STAGED_COPIES_H_

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

// Where the staged copy of the listed path `path` lies in the staging area
// of the list `list_md5`: the area, then the path's components below its
// "./" (ListedFileKey), so every spelling of one listed file has one copy.
std::string StagedCopyPath(std::string_view list_md5, std::string_view path);

// For each listed path of `paths`, whether the staging area of the list
// `list_md5` holds a regular file for it (links followed). Reads no file:
// whether it holds the listed bytes is checked as it is taken.
std::vector<bool> StagedCopiesPresent(std::string_view list_md5,
                                      const std::vector<std::string>& paths);

// The download of `request` at its turn (DownloadAtTurn, with its lines,
// checks and installation), its body read from the staged copy `staged`
// instead of the server, after the line "Taking <target> from the staging
// area <staged>". A copy that is gone or cannot be read ends as a failed
// transfer does, one without the expected MD5 as such a download does
// ("CCurl: MD5 mismatch ..."): nothing is installed, and the caller then
// downloads the file.
DownloadOutcome TakeStagedCopy(const DownloadRequest& request,
                               const std::string& staged,
                               DeferredSync* deferred);

#endif  // STARTER_UPDATE_STAGED_COPIES_H_
