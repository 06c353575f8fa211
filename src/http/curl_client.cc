#include "http/curl_client.h"

#include <cstdio>
#include <string>

#include "engine/md5.h"
#include "http/file_download.h"
#include "http/progress_meter.h"

namespace {

const char kCookieFile[] = "../Downloads/cookies.txt";
const char kUserAgent[] =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; en-US; rv:1.4) Gecko/20030624 "
    "Netscape/7.1 (ax)";

}  // namespace

CurlGlobal::CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {
  if (!ok_) std::fprintf(stderr, "curl_global_init() failed\n");
}

CurlGlobal::~CurlGlobal() {
  if (ok_) curl_global_cleanup();
}

CCurl::CCurl()
    : global_(std::make_unique<CurlGlobal>()),
      meter_(std::make_unique<ProgressMeterStream>()) {
  if (!global_->ok()) return;
  curl = curl_easy_init();
  if (curl == nullptr) {
    std::fprintf(stderr, "curl_easy_init() failed\n");
    global_.reset();
  }
}

CCurl::~CCurl() { curl_easy_cleanup(curl); }

void CCurl::DownloadFile(const char* urldir, const char* filename,
                         const char* downloaddir, int timeout_secs,
                         const std::string& expected_md5) {
  FileDownload download(urldir, filename, downloaddir, timeout_secs,
                        expected_md5);
  const DownloadOutcome outcome = download.TakeTurn(
      [&] { download.Prepare(curl, meter_.get()); },
      [&] { return curl_easy_perform(curl); }, deferred_);
  result = outcome.result;
  restartrequired = outcome.restart_required;
  // Nothing pointing into the finished call stays set on the handle.
  if (curl != nullptr) curl_easy_reset(curl);
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
  if (size * nmemb == 0 || userp == nullptr) return 0;
  const filedata* data = static_cast<filedata*>(userp);
  if (data->gate != nullptr && data->gate->ahead) {
    // libcurl hands the same chunk over again when the transfer resumes.
    if (size * nmemb > data->gate->allowance) return CURL_WRITEFUNC_PAUSE;
    data->gate->allowance -= size * nmemb;
  }
  if (data->meter != nullptr) data->meter->Flush();
  if (data->pfile == nullptr) return 0;
  const size_t written = std::fwrite(buffer, nmemb, size, data->pfile) * nmemb;
  if (data->digest != nullptr) data->digest->Update(buffer, written);
  return written;
}

FILE* fopen_mkdir(const char* name, const char* mode) {
  MakeParentDirectories(name, kDownloadDirectories);
  return std::fopen(name, mode);
}
