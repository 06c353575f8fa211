#include "http/curl_client.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/atomic_file.h"
#include "engine/md5.h"
#include "http/progress_meter.h"
#include "launcher/starter_shared_state.h"
#include "install/file_install.h"

namespace {

const char kCookieFile[] = "../Downloads/cookies.txt";
const char kUserAgent[] =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; en-US; rv:1.4) Gecko/20030624 "
    "Netscape/7.1 (ax)";

// Creates every directory of `path` whose separator ("/" or "\") sits at
// index 3 or later, so a leading "/", "./" or "../" is skipped. Errors (an
// existing directory, for one) are ignored.
void MakeParentDirectories(const char* path) {
  std::string prefix(path);
  for (std::size_t i = 3; i < prefix.size(); ++i) {
    if (prefix[i] != '/' && prefix[i] != '\\') continue;
    const char kept = prefix[i];
    prefix[i] = '\0';
    mkdir(prefix.c_str(), 0777);
    prefix[i] = kept;
  }
}

// Clears every option of the handle when the download call ends, however it
// ends, so that nothing pointing into the finished call stays set.
class HandleResetter {
 public:
  explicit HandleResetter(CURL* curl) : curl_(curl) {}
  ~HandleResetter() {
    if (curl_ != nullptr) curl_easy_reset(curl_);
  }
  HandleResetter(const HandleResetter&) = delete;
  HandleResetter& operator=(const HandleResetter&) = delete;

 private:
  CURL* curl_;
};

// Publishes the name of the file being fetched in the live launcher, if
// there is one, and empties it again when destroyed.
class PublishedDownload {
 public:
  explicit PublishedDownload(const char* filename) {
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

// Removes the temporary file of a download that will not be installed,
// printing the failure the way the transfer's own failure is printed.
void DiscardDownload(AtomicFile& download) {
  if (!download.Abandon()) {
    std::printf("\nRemove failed %s\n", download.temp_path().c_str());
  }
}

}  // namespace

CCurl::CCurl() {
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    std::fprintf(stderr, "curl_global_init() failed\n");
    return;
  }
  curl = curl_easy_init();
  if (curl == nullptr) {
    std::fprintf(stderr, "curl_easy_init() failed\n");
    curl_global_cleanup();
    return;
  }
  global_ready_ = true;
  meter_ = std::make_unique<ProgressMeterStream>();
}

CCurl::~CCurl() {
  curl_easy_cleanup(curl);
  if (global_ready_) curl_global_cleanup();
}

void CCurl::DownloadFile(const char* urldir, const char* filename,
                         const char* downloaddir, int timeout_secs,
                         const std::string& expected_md5) {
  HandleResetter reset_on_return(curl);
  restartrequired = false;
  std::string filenamefull = downloaddir;
  if (!filenamefull.empty()) filenamefull += "/";
  filenamefull += filename;
  const std::string tempfilename = filenamefull + ".tmp";

  if (std::remove(tempfilename.c_str()) != 0 && errno > 3) {
    std::printf("CCurl: Remove failed %s (err %i)\n", tempfilename.c_str(),
                errno);
    result = static_cast<CURLcode>(1);
    return;
  }
  MakeParentDirectories(tempfilename.c_str());
  AtomicFile download(filenamefull, LinkAtDestination::kReplace);
  if (!download.ok()) {
    std::printf("CCurl: Failed to create file %s (err: %i)\n", filename,
                download.error());
    result = static_cast<CURLcode>(1);
    return;
  }
  Md5 digest;
  filedata data{download.temp_path().c_str(), download.stream(), &digest,
                meter_.get()};

  const std::string urlfull = std::string(urldir) + filename;
  curl_easy_setopt(curl, CURLOPT_URL, urlfull.c_str());
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout_secs));
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (meter_ != nullptr && meter_->stream() != nullptr) {
    curl_easy_setopt(curl, CURLOPT_STDERR, meter_->stream());
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CCurl::write_data_to_file);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &data);
  std::printf("Downloading %s...\n", urlfull.c_str());
  {
    PublishedDownload published(filename);
    result = curl_easy_perform(curl);
    if (meter_ != nullptr) meter_->Flush();
    // A file that cannot be completed on disk is a failed transfer: only a
    // whole file may reach its real name.
    if (!download.Flush() && result == CURLE_OK) result = CURLE_WRITE_ERROR;
  }

  if (result != CURLE_OK) {
    if (download.Abandon()) {
      std::printf("\nCURL Error: %s%s\n", curl_easy_strerror(result), "");
    } else {
      std::printf("\nRemove failed %s\n", download.temp_path().c_str());
    }
    return;
  }
  std::printf("file %s\n", filenamefull.c_str());
  if (!expected_md5.empty()) {
    const std::string received = digest.FinalHex();
    if (strcasecmp(received.c_str(), expected_md5.c_str()) != 0) {
      std::printf("CCurl: MD5 mismatch for %s: expected %s, received %s\n",
                  filenamefull.c_str(), expected_md5.c_str(), received.c_str());
      DiscardDownload(download);
      result = static_cast<CURLcode>(1);
      return;
    }
  }
  const InstallResult installed = InstallDownloadedFile(download, deferred_);
  if (!installed.installed) result = static_cast<CURLcode>(1);
  if (installed.restart_required) restartrequired = true;
}

void CCurl::PostForm(const char* formurl, const char* formdata,
                     const char* logurl, const char* loginfo) {
  if (logurl[0] != '\0') {
    curl_easy_setopt(curl, CURLOPT_URL, logurl);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, loginfo);
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, kCookieFile);
    // Cookies go back to the file they were read from when the handle is
    // cleaned up.
    curl_easy_setopt(curl, CURLOPT_COOKIEJAR, kCookieFile);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    // No multipart form: the fields go URL-encoded. The old option is the
    // one that clears a multipart form left on the handle.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    curl_easy_setopt(curl, CURLOPT_HTTPPOST,
                     static_cast<curl_httppost*>(nullptr));
#pragma GCC diagnostic pop
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    result = curl_easy_perform(curl);
  }
  curl_easy_setopt(curl, CURLOPT_URL, formurl);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, formdata);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  result = curl_easy_perform(curl);
}

size_t CCurl::write_data_to_file(void* buffer, size_t size, size_t nmemb,
                                 void* userp) {
  if (size * nmemb == 0) return 0;
  if (userp == nullptr) return 0;
  const filedata* data = static_cast<filedata*>(userp);
  if (data->meter != nullptr) data->meter->Flush();
  if (data->pfile == nullptr) return 0;
  const size_t written = std::fwrite(buffer, nmemb, size, data->pfile) * nmemb;
  if (data->digest != nullptr) data->digest->Update(buffer, written);
  return written;
}

FILE* fopen_mkdir(const char* name, const char* mode) {
  MakeParentDirectories(name);
  return std::fopen(name, mode);
}
