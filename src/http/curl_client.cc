#include "http/curl_client.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/file_lock.h"
#include "engine/md5.h"
#include "launcher/starter_shared_state.h"
#include "update/file_install.h"

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

// Writes the received bytes through to the disk and closes the file. False
// when any of that failed: the file may then be incomplete.
bool FinishTemporaryFile(FileLock& file) {
  bool ok = std::fflush(file.get()) == 0;
  ok = fsync(fileno(file.get())) == 0 && ok;
  return file.close() && ok;
}

// Checks the downloaded `temp_path` against `expected_md5` (any case).
// Prints why and returns false when the file cannot be hashed or differs.
bool HasExpectedMd5(const std::string& target_path, const char* temp_path,
                    const std::string& expected_md5) {
  std::string actual;
  if (!Md5File(temp_path, actual)) {
    std::printf("CCurl: Cannot hash %s (err %i)\n", temp_path, errno);
    return false;
  }
  if (strcasecmp(actual.c_str(), expected_md5.c_str()) == 0) return true;
  std::printf("CCurl: MD5 mismatch for %s: expected %s, received %s\n",
              target_path.c_str(), expected_md5.c_str(), actual.c_str());
  return false;
}

// Removes the temporary file of a download that will not be installed.
void DiscardTemporaryFile(const char* temp_path) {
  if (std::remove(temp_path) != 0)
    std::printf("\nRemove failed %s\n", temp_path);
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
  FILE* raw_file = std::fopen(tempfilename.c_str(), "w+b");
  if (raw_file == nullptr) {
    std::printf("CCurl: Failed to create file %s (err: %i)\n", filename, errno);
    result = static_cast<CURLcode>(1);
    return;
  }
  FileLock file(raw_file);
  filedata data{tempfilename.c_str(), file.get()};

  const std::string urlfull = std::string(urldir) + filename;
  curl_easy_setopt(curl, CURLOPT_URL, urlfull.c_str());
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout_secs));
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CCurl::write_data_to_file);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &data);
  std::printf("Downloading %s...\n", urlfull.c_str());
  {
    PublishedDownload published(filename);
    result = curl_easy_perform(curl);
    // A file that cannot be completed on disk is a failed transfer: only a
    // whole file may reach its real name.
    if (!FinishTemporaryFile(file) && result == CURLE_OK) {
      result = CURLE_WRITE_ERROR;
    }
  }

  if (result != CURLE_OK) {
    if (std::remove(tempfilename.c_str()) != 0) {
      std::printf("\nRemove failed %s\n", tempfilename.c_str());
    } else {
      std::printf("\nCURL Error: %s%s\n", curl_easy_strerror(result), "");
    }
    return;
  }
  std::printf("file %s\n", filenamefull.c_str());
  if (!expected_md5.empty() &&
      !HasExpectedMd5(filenamefull, tempfilename.c_str(), expected_md5)) {
    DiscardTemporaryFile(tempfilename.c_str());
    result = static_cast<CURLcode>(1);
    return;
  }
  const InstallResult installed =
      InstallDownloadedFile(filenamefull.c_str(), tempfilename.c_str());
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
  FILE* file = static_cast<filedata*>(userp)->pfile;
  if (file == nullptr) return 0;
  return std::fwrite(buffer, nmemb, size, file) * nmemb;
}

FILE* fopen_mkdir(const char* name, const char* mode) {
  MakeParentDirectories(name);
  return std::fopen(name, mode);
}
