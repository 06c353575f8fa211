// One file to download, as the HTTP client's callers describe it.
#ifndef STARTER_HTTP_DOWNLOAD_REQUEST_H_
#define STARTER_HTTP_DOWNLOAD_REQUEST_H_

#include <cstdint>
#include <optional>
#include <string>

#include "http/speed_floor.h"
#include "install/file_install.h"

// CCurl::DownloadFile's arguments, and what the answer must be to be
// installed.
struct DownloadRequest {
  // The file is fetched from urldir + filename (plain concatenation: urldir
  // carries its own "/", filename may begin with "./").
  std::string urldir;
  std::string filename;
  // The target is downloaddir + "/" + filename, or filename alone when
  // downloaddir is empty.
  std::string downloaddir;
  // The limit of the whole transfer in whole seconds; 0 for none.
  int timeout_secs = 0;
  // The body is installed only when its MD5 is this (in either letter
  // case); empty: any body.
  std::string expected_md5;
  // Where a release states it: the body is installed only when its SHA-256
  // is this too (64 lower-case hex digits); empty: not checked.
  std::string expected_sha256;
  // Where a release states that the file is executable, it is installed
  // so (see InstallDownloadedFile).
  StatedMode mode = StatedMode::kUnstated;
  // The most bytes the body may have: a body that announces more fails
  // before it arrives, one that passes them is cut off there, and the
  // download fails with CURLE_FILESIZE_EXCEEDED. For a checksum list or a
  // signature, the most any can have; for a file, its size where the
  // release states it. Unset: only the room on the target's file system
  // bounds it (RoomLeftOn). That room bounds every download.
  std::optional<std::uint64_t> most_bytes;
  // The release the file belongs to, named in the request header
  // "X-Checksum-List-MD5" (DownloadGet::kReleaseHeader); empty: no header.
  std::string release;
  // The least the transfer must bring once its answer has begun; a transfer
  // below it ends as timed out (CURLE_OPERATION_TIMEDOUT), after "CCurl:
  // <target> came slower than ...". Kept by DownloadPipeline, which makes
  // the update run's file transfers; CCurl::Download keeps timeout_secs
  // only. Unset: no floor.
  std::optional<SpeedFloor> speed_floor;
  // Whether the body may travel gzip-compressed: the request asks for
  // "Accept-Encoding: gzip" and a body so encoded is decoded as it arrives.
  // The digests and most_bytes then hold for the decoded bytes; a server
  // that does not compress answers as for any other request.
  bool accept_gzip = false;
  // Whether a download that fails says nothing of it: for a body its caller
  // fetches otherwise when this way fails (a file decoded from a patch), and
  // reports itself. Its "Downloading" and "file" lines then come only once
  // the body is whole and as expected, just before it is installed.
  bool quiet_failure = false;

  // urldir + filename.
  std::string Url() const { return urldir + filename; }
  // downloaddir + "/" + filename, or filename when downloaddir is empty.
  std::string Target() const {
    return downloaddir.empty() ? filename : downloaddir + "/" + filename;
  }
};

#endif  // STARTER_HTTP_DOWNLOAD_REQUEST_H_
