#include "update/staged_copies.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "engine/hash_pipeline.h"
#include "engine/scoped_fd.h"
#include "http/download_body.h"
#include "update/update_decisions.h"

namespace {

// Reads the body of a download from a staged copy.
class StagedCopyTransport : public BodyTransport {
 public:
  explicit StagedCopyTransport(std::string staged)
      : staged_(std::move(staged)) {}

  CURLcode Fetch(const DownloadRequest& /*request*/,
                 DownloadBody& body) override {
    const ScopedFd fd(open(staged_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return CURLE_READ_ERROR;
    constexpr std::size_t kChunk = std::size_t{1} << 18;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
      const ssize_t got = read(fd.get(), buffer.get(), kChunk);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return CURLE_READ_ERROR;
      if (got == 0) return CURLE_OK;
      if (!body.Append(buffer.get(), static_cast<std::size_t>(got))) {
        return CURLE_WRITE_ERROR;
      }
    }
  }

 private:
  std::string staged_;
};

}  // namespace

std::string StagingAreaOf(std::string_view list_md5) {
  return std::string(kStagingDirectory) + "/" + std::string(list_md5);
}

std::string StagedCopyPath(std::string_view list_md5, std::string_view path) {
  return StagingAreaOf(list_md5) + ListedFileKey(path);
}

std::vector<bool> MatchingStagedCopies(
    std::string_view list_md5, const std::vector<StagedCandidate>& candidates) {
  std::vector<std::string> copies;
  copies.reserve(candidates.size());
  for (const StagedCandidate& candidate : candidates) {
    copies.push_back(StagedCopyPath(list_md5, candidate.path));
  }
  std::vector<bool> matching(candidates.size(), false);
  if (copies.empty()) return matching;
  HashPipeline hashes(copies);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const HashPipeline::Result hashed = hashes.TakeNext();
    const std::string& listed = candidates[i].md5;
    matching[i] = hashed.error == FileHashError::kNone &&
                  hashed.hex.size() == listed.size() &&
                  strcasecmp(hashed.hex.c_str(), listed.c_str()) == 0;
  }
  return matching;
}

DownloadOutcome TakeStagedCopy(const DownloadRequest& request,
                               const std::string& staged,
                               DeferredSync* deferred) {
  std::printf("Taking %s from the staging area %s\n",
              request.Target().c_str(), staged.c_str());
  StagedCopyTransport transport(staged);
  return DownloadAtTurn(request, transport, deferred);
}
