#include "update/patch_download.h"

#include <cstdint>
#include <string>

#include "engine/app_log.h"
#include "engine/paths.h"
#include "engine/stale_temporaries.h"
#include "http/curl_client.h"
#include "http/download_body.h"
#include "patch/file_patch.h"

namespace {

// Reads the body of a download by decoding a patch, whole and checked on
// the disk, with the file's local copy as its reference.
class PatchTransport : public BodyTransport {
 public:
  PatchTransport(std::string patch, std::string reference)
      : patch_(std::move(patch)), reference_(std::move(reference)) {}

  CURLcode Fetch(const DownloadRequest& request, DownloadBody& body) override {
    const PatchSink sink = [&body](const std::uint8_t* data, std::size_t size) {
      return body.Append(reinterpret_cast<const char*>(data), size);
    };
    result_ = ApplyPatch(reference_.empty() ? request.Target() : reference_,
                         patch_, sink,
                         PatchLimits{body.most_bytes()});
    switch (result_.status) {
      case PatchStatus::kOk:
        return CURLE_OK;
      case PatchStatus::kOutputTooLarge:
        return CURLE_FILESIZE_EXCEEDED;
      case PatchStatus::kWriteFailed:
        return CURLE_WRITE_ERROR;
      case PatchStatus::kWindowTooLarge:
      case PatchStatus::kCorrupt:
      case PatchStatus::kCodecFailed:
        return CURLE_BAD_CONTENT_ENCODING;
      default:
        return CURLE_READ_ERROR;
    }
  }

  // What the decoding ended with.
  const PatchResult& result() const { return result_; }

 private:
  std::string patch_;
  std::string reference_;
  PatchResult result_;
};

// The transfer of the patch `patch` of `file` into kPatchSpoolDirectory.
DownloadRequest PatchRequest(const DownloadRequest& file,
                             const ReleaseFileRecord& patch) {
  DownloadRequest request;
  request.urldir = file.urldir;
  request.filename = std::string(patch.path);
  // The spool file lies in kPatchSpoolDirectory, below the patch's name.
  request.downloaddir = "Downloads";
  request.timeout_secs = file.timeout_secs;
  request.most_bytes = patch.size;
  request.expected_sha256 = std::string(patch.sha256);
  request.release = file.release;
  return request;
}

DownloadOutcome NotPatching(const DownloadRequest& file,
                            const std::string& reason) {
  LogLine("Not patching %s: %s; downloading the whole file\n",
          file.filename.c_str(), reason.c_str());
  return {static_cast<CURLcode>(1), false, false};
}

// Why the decoded patch of `file` was not installed, from the decoding's
// `result` and the download's `outcome`.
std::string WhyNotInstalled(const PatchResult& result,
                            const DownloadOutcome& outcome) {
  if (!result.ok()) {
    return "the patch does not apply (" + DescribePatchResult(result) + ")";
  }
  return outcome.local ? "the patched file could not be put in place"
                       : "the patched file is not the listed one";
}

}  // namespace

DownloadOutcome DownloadThroughPatch(CCurl& client, const DownloadRequest& file,
                                     const ReleaseFileRecord& patch,
                                     DeferredSync* deferred,
                                     const std::string& reference) {
  const DownloadRequest request = PatchRequest(file, patch);
  const std::string spool_path = request.Target();
  MakeParentDirectories(spool_path, kDownloadDirectories);
  SweepStaleTemporaries(DirectoryOf(spool_path));
  DownloadBody spool(request);
  if (!spool.ok()) {
    return NotPatching(file, "no temporary file for its patch in " +
                                 DirectoryOf(spool_path) + " (err " +
                                 std::to_string(spool.create_error()) + ")");
  }
  const CURLcode code = client.Fetch(request, spool);
  if (code == CURLE_FILESIZE_EXCEEDED) {
    return NotPatching(
        file, "its patch " + request.Url() + " is larger than the " +
                  std::to_string(spool.most_bytes()) + " bytes " +
                  (spool.bounded_by_room() ? "its file system can spare"
                                           : "it may have"));
  }
  if (code != CURLE_OK) {
    return NotPatching(
        file, "its patch " + request.Url() +
                  " not downloaded (err:" + std::to_string(code) + ")");
  }
  if (!spool.HasExpectedSha256()) {
    return NotPatching(file, "its patch " + request.Url() +
                                 " is not the one the file table names (its "
                                 "SHA-256 differs)");
  }
  PatchTransport transport(spool.file().temp_path(), reference);
  DownloadRequest decoded = file;
  decoded.quiet_failure = true;
  const DownloadOutcome outcome = DownloadAtTurn(decoded, transport, deferred);
  if (outcome.result != CURLE_OK) {
    return NotPatching(file, WhyNotInstalled(transport.result(), outcome));
  }
  LogLine("%s arrived as a patch of %llu bytes\n", file.filename.c_str(),
          static_cast<unsigned long long>(patch.size));
  return outcome;
}
