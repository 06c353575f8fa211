#include "http/file_download.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "engine/atomic_file.h"
#include "engine/paths.h"
#include "http/curl_client.h"
#include "http/download_body.h"
#include "install/file_install.h"
#include "launcher/starter_shared_state.h"

namespace {

constexpr CURLcode kLocalFailure = static_cast<CURLcode>(1);

// Removes the temporary file of a body that is not installed; prints that
// it could not be removed, or else `report`.
void Discard(DownloadBody& body, const char* report) {
  if (body.file().Abandon()) {
    std::fputs(report, stdout);
  } else {
    std::printf("\nRemove failed %s\n", body.file().temp_path().c_str());
  }
}

// Says which bound a body passed.
void ReportCut(const std::string& target, const DownloadBody& body) {
  std::printf("CCurl: %s is larger than the %llu bytes %s\n", target.c_str(),
              static_cast<unsigned long long>(body.most_bytes()),
              body.bounded_by_room() ? "its file system can spare"
                                     : "it may have");
}

// Says that a body arrived below its speed floor.
void ReportTooSlow(const DownloadRequest& request) {
  std::printf("CCurl: %s came slower than %llu bytes a second over %lld s\n",
              request.Target().c_str(),
              static_cast<unsigned long long>(
                  request.speed_floor->bytes_per_second),
              static_cast<long long>(request.speed_floor->window.count()));
}

// Whether a transfer of `body` that failed with `code` failed on this side.
bool FailedHere(CURLcode code, const DownloadBody& body) {
  return code == CURLE_WRITE_ERROR ||
         (code == CURLE_FILESIZE_EXCEEDED && body.bounded_by_room());
}

// The transfer of `request` into `body` and its report: 0 when the body
// arrived whole and as expected, else the download's result (its temporary
// file then removed).
CURLcode Receive(const DownloadRequest& request, BodyTransport& transport,
                 DownloadBody& body) {
  const bool quiet = request.quiet_failure;
  if (!quiet) std::printf("Downloading %s...\n", request.Url().c_str());
  StarterSharedState* starter = StarterSharedState::starter;
  if (starter != nullptr) starter->download_file = request.filename;
  const CURLcode code = body.Outcome(transport.Fetch(request, body));
  if (starter != nullptr) starter->download_file.clear();
  if (quiet) {
    if (code != CURLE_OK) {
      body.file().Abandon();
      return code;
    }
    if (!body.HasExpectedMd5() || !body.HasExpectedSha256()) {
      body.file().Abandon();
      return kLocalFailure;
    }
    std::printf("Downloading %s...\n", request.Url().c_str());
  }
  if (code != CURLE_OK) {
    if (code == CURLE_FILESIZE_EXCEEDED) ReportCut(request.Target(), body);
    if (body.too_slow() && request.speed_floor) ReportTooSlow(request);
    const std::string error =
        std::string("\nCURL Error: ") + curl_easy_strerror(code) + "\n";
    Discard(body, error.c_str());
    return code;
  }
  const std::string target = request.Target();
  std::printf("file %s\n", target.c_str());
  if (!body.HasExpectedMd5()) {
    std::printf("CCurl: MD5 mismatch for %s: expected %s, received %s\n",
                target.c_str(), request.expected_md5.c_str(),
                body.ReceivedMd5().c_str());
    Discard(body, "");
    return kLocalFailure;
  }
  if (!body.HasExpectedSha256()) {
    std::printf("CCurl: SHA-256 mismatch for %s: expected %s, received %s\n",
                target.c_str(), request.expected_sha256.c_str(),
                body.ReceivedSha256().c_str());
    Discard(body, "");
    return kLocalFailure;
  }
  return CURLE_OK;
}

}  // namespace

DownloadOutcome DownloadAtTurn(const DownloadRequest& request,
                               BodyTransport& transport,
                               DeferredSync* deferred,
                               KnownDirectories* known) {
  const std::string kept = request.Target() + ".tmp";
  if (std::remove(kept.c_str()) != 0 && errno > 3) {
    if (!request.quiet_failure) {
      std::printf("CCurl: Remove failed %s (err %i)\n", kept.c_str(), errno);
    }
    return {kLocalFailure, false, true};
  }
  MakeParentDirectories(kept, kDownloadDirectories, known);
  std::optional<DownloadBody> made(std::in_place, request);
  if (known != nullptr) {
    if (made->ok()) {
      known->CreatedBelow(kept, kDownloadDirectories);
    } else if (known->Forget(kept, kDownloadDirectories)) {
      // A directory known from an earlier download is gone: made again, as
      // a download that knew nothing would have made it.
      made.reset();
      MakeParentDirectories(kept, kDownloadDirectories, known);
      made.emplace(request);
      if (made->ok()) known->CreatedBelow(kept, kDownloadDirectories);
    }
  }
  DownloadBody& body = *made;
  if (!body.ok()) {
    if (!request.quiet_failure) {
      std::printf("CCurl: Failed to create file %s (err: %i)\n",
                  request.filename.c_str(), body.create_error());
    }
    return {kLocalFailure, false, true};
  }
  const CURLcode code = Receive(request, transport, body);
  if (code != CURLE_OK) return {code, false, FailedHere(code, body)};
  const InstallResult installed =
      InstallDownloadedFile(body.file(), deferred, request.mode);
  return {installed.installed ? CURLE_OK : kLocalFailure,
          installed.restart_required, !installed.installed};
}
