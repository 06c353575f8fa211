// The name of the file being fetched, as the live launcher shows it.
#ifndef STARTER_HTTP_PUBLISHED_DOWNLOAD_H_
#define STARTER_HTTP_PUBLISHED_DOWNLOAD_H_

#include <string>

#include "launcher/starter_shared_state.h"

// Sets the live launcher's download_file to a file name for the life of the
// object and empties it again; does nothing when there is no launcher.
class PublishedDownload {
 public:
  explicit PublishedDownload(const std::string& filename) {
    if (StarterSharedState::starter != nullptr) {
      StarterSharedState::starter->download_file = filename;
    }
  }
  ~PublishedDownload() {
    if (StarterSharedState::starter != nullptr) {
      StarterSharedState::starter->download_file.clear();
    }
  }
  PublishedDownload(const PublishedDownload&) = delete;
  PublishedDownload& operator=(const PublishedDownload&) = delete;
};

#endif  // STARTER_HTTP_PUBLISHED_DOWNLOAD_H_
