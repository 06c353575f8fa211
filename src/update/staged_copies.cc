#include "update/staged_copies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

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

std::vector<bool> StagedCopiesPresent(std::string_view list_md5,
                                      const std::vector<std::string>& paths) {
  std::vector<bool> present(paths.size(), false);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    struct stat info;
    present[i] = stat(StagedCopyPath(list_md5, paths[i]).c_str(), &info) == 0 &&
                 S_ISREG(info.st_mode);
  }
  return present;
}

DownloadOutcome TakeStagedCopy(const DownloadRequest& request,
                               const std::string& staged,
                               DeferredSync* deferred) {
  std::printf("Taking %s from the staging area %s\n",
              request.Target().c_str(), staged.c_str());
  StagedCopyTransport transport(staged);
  return DownloadAtTurn(request, transport, deferred);
}
