// Listed files that arrive as patches of their local copies: a release's
// file table names, for a file whose local copy has the MD5 OLD and whose
// listed MD5 is NEW, the patch "./.patches/OLD-NEW" (release_table.h), a
// zstd frame with the old bytes as its reference (patch/file_patch.h). The
// update run fetches that instead of the whole file, and the whole file
// when anything about the patch fails.
//
// Memory stays bounded whatever the sizes: the patch is fetched into a
// file, its digest taken as it arrives, and read back in pieces; the local
// copy is mapped, not read in. Files larger than the decoder's window
// (kPatchWindowLogMax) get no patch from the publisher, and a patch that
// declares a larger window is refused (the whole file is fetched).
#ifndef STARTER_UPDATE_PATCH_DOWNLOAD_H_
#define STARTER_UPDATE_PATCH_DOWNLOAD_H_

#include "http/download_request.h"
#include "http/file_download.h"
#include "update/release_table.h"

class CCurl;
class DeferredSync;

// Where the patches a run fetches wait while they are checked and decoded:
// each in a temporary file of its own there, removed when done with.
inline constexpr char kPatchSpoolDirectory[] = "Downloads/.patches";

// The download of the listed file `file` at its turn (as the run requests
// it: its listed MD5, its row's size and SHA-256 where the release states
// them, the mirror it comes from) through the patch whose table row is
// `patch`, the file at `reference` (the local copy at file.Target() when
// empty) as its reference:
// 1. the patch is fetched with `client` from file.urldir + patch.path,
//    naming the release as `file` does, into a temporary file in
//    kPatchSpoolDirectory, of at most patch.size bytes, printing no line of
//    a download (only the progress meter);
// 2. its SHA-256 must be patch.sha256 before any byte of it is decoded;
// 3. it is decoded into the file's temporary name by the one sequence of a
//    download (DownloadAtTurn, joining `deferred`): the checks of a download
//    of the file, then its lines ("Downloading <file url>...", "file
//    <path>") and its installation, then the log line "<path> arrived as a
//    patch of <n> bytes".
// When the patch cannot be fetched, is not the row's, does not decode
// (corrupt, too large a window, more bytes than the file may have) or
// decodes to other bytes than listed, nothing is installed and nothing of
// the file's download is printed: one log line says why, "Not patching
// <path>: <reason>; downloading the whole file", and the outcome is a
// failure for the caller to fetch the whole file.
DownloadOutcome DownloadThroughPatch(CCurl& client, const DownloadRequest& file,
                                     const ReleaseFileRecord& patch,
                                     DeferredSync* deferred,
                                     const std::string& reference = {});

#endif  // STARTER_UPDATE_PATCH_DOWNLOAD_H_
