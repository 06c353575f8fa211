// The one sequence of a file download at its turn.
#ifndef STARTER_HTTP_FILE_DOWNLOAD_H_
#define STARTER_HTTP_FILE_DOWNLOAD_H_

#include <curl/curl.h>

#include "http/download_request.h"

class DeferredSync;
class DownloadBody;
class KnownDirectories;

// What one download did in the end.
struct DownloadOutcome {
  // 0 success; libcurl's code for a failed transfer; 1 for a local failure
  // or a download that was not installed.
  CURLcode result = CURLE_OK;
  // True when one of the game's executables was replaced.
  bool restart_required = false;
  // True when the failure lies on this side, where another server would
  // not change it: the kept download not removable, the temporary file not
  // creatable, the body not written out in full or larger than the room of
  // its file system, the file not put in place.
  bool local = false;
};

// Makes the transfer of a download at the file's turn: one handle at a time
// (CCurl), or transfers that overlap (DownloadPipeline).
class BodyTransport {
 public:
  virtual ~BodyTransport() = default;

  // Transfers request.Url() (as DownloadGet sets it up) into `body` and
  // returns the code of the attempt that counts. All attempts together end
  // within request.timeout_secs of the call (0: no limit); an attempt that
  // does not count leaves nothing in `body`, and only the progress meter of
  // the attempt that counts is written (to standard error, complete when
  // Fetch returns). Prints nothing else.
  virtual CURLcode Fetch(const DownloadRequest& request,
                         DownloadBody& body) = 0;
};

// The download of `request` at its turn, all of it, in this order: removes
// the download an earlier run could not install, kept as target + ".tmp"
// (result 1 after printing "CCurl: Remove failed <name> (err <errno>)" when
// it cannot); creates the target's directories (kDownloadDirectories) and
// the temporary file beside it (result 1 after printing "CCurl: Failed to
// create file <filename> (err: <errno>)" when it cannot); prints
// "Downloading <url>..."; lets `transport` fetch the body while the launcher
// shows the file name; then for a failed transfer (or a body that could not
// be written out in full) removes the temporary file and prints "CURL
// Error: <libcurl's text>" (or "Remove failed <temporary file>"), after
// "CCurl: <target> is larger than the <n> bytes ..." for a body past its
// most bytes, or "CCurl: <target> came slower than <n> bytes a second
// over <s> s" for one cut at its speed floor; otherwise prints "file
// <target>", checks the MD5 when one is expected ("CCurl: MD5 mismatch for
// ...", result 1), then the SHA-256 when one is expected ("CCurl: SHA-256
// mismatch for ...", result 1), and installs the file with the request's
// mode (InstallDownloadedFile, joining `deferred` when given). Nothing is
// written in the game tree before the turn. With `known` (the directories
// of earlier downloads of the same run), a directory known to exist is not
// made again; when the temporary file then cannot be created below a known
// directory, the directories are forgotten and made again before one more
// try, so the outcome is the same as without `known`. With
// request.quiet_failure, a download that fails prints none of these lines,
// and "Downloading <url>..." comes once the body has arrived whole and with
// the expected digests, right before "file <target>".
DownloadOutcome DownloadAtTurn(const DownloadRequest& request,
                               BodyTransport& transport,
                               DeferredSync* deferred,
                               KnownDirectories* known = nullptr);

#endif  // STARTER_HTTP_FILE_DOWNLOAD_H_
