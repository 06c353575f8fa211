#include "http/curl_client.h"

#include <signal.h>

#include <cstdio>
#include <limits>
#include <string>

#include "engine/md5.h"
#include "engine/sha256.h"
#include "http/download_body.h"
#include "http/file_download.h"
#include "http/progress_meter.h"

namespace {

const char kCookieFile[] = "../Downloads/cookies.txt";
const char kUserAgent[] =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; en-US; rv:1.4) Gecko/20030624 "
    "Netscape/7.1 (ax)";

// A download's transfer on one handle, with libcurl's own time limit: one
// attempt, which counts whatever it ends with.
class HandleTransport : public BodyTransport {
 public:
  HandleTransport(CURL* curl, ProgressMeterStream* meter,
                  CCurl::Meter shown = CCurl::Meter::kShown)
      : curl_(curl), meter_(meter), shown_(shown) {}

  CURLcode Fetch(const DownloadRequest& request, DownloadBody& body) override {
    const DownloadGet get(request);
    filedata data = body.Sink(meter_);
    get.SetUp(curl_, &data, meter_->stream(), request.timeout_secs,
              body.most_bytes());
    if (shown_ == CCurl::Meter::kHidden) {
      curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 1L);
    }
    const CURLcode code = curl_easy_perform(curl_);
    meter_->Flush();
    // Nothing pointing into this call stays set on the handle.
    if (curl_ != nullptr) curl_easy_reset(curl_);
    return code;
  }

 private:
  CURL* curl_;
  ProgressMeterStream* meter_;
  CCurl::Meter shown_;
};

}  // namespace

namespace {

// The holders of CurlGlobal that hold the state, and the action of SIGPIPE
// before the first of them.
int holders = 0;
struct sigaction sigpipe_before;

}  // namespace

CurlGlobal::CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {
  if (!ok_) {
    std::fprintf(stderr, "curl_global_init() failed\n");
    return;
  }
  if (holders++ == 0) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &sigpipe_before);
  }
}

CurlGlobal::~CurlGlobal() {
  if (!ok_) return;
  if (--holders == 0) ::sigaction(SIGPIPE, &sigpipe_before, nullptr);
  curl_global_cleanup();
}

bool CurlGlobal::TransfersWithoutSignals() {
  static const bool asynchronous =
      (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_ASYNCHDNS) !=
      0;
  return asynchronous;
}

DownloadGet::DownloadGet(const DownloadRequest& request)
    : url_(request.Url()), accept_gzip_(request.accept_gzip) {
  if (!request.release.empty()) {
    const std::string line =
        std::string(kReleaseHeader) + ": " + request.release;
    headers_ = curl_slist_append(nullptr, line.c_str());
  }
}

DownloadGet::~DownloadGet() { curl_slist_free_all(headers_); }

void DownloadGet::SetUp(CURL* easy, filedata* data, FILE* meter,
                        long timeout_secs, std::uint64_t most_bytes) const {
  curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeout_secs);
  curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  if (meter != nullptr) curl_easy_setopt(easy, CURLOPT_STDERR, meter);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CCurl::write_data_to_file);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, data);
  // SIGPIPE is ignored while libcurl is in use (CurlGlobal), and names are
  // resolved without alarms: libcurl need not set signal actions around
  // every step of the transfer.
  if (CurlGlobal::TransfersWithoutSignals()) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  }
  if (headers_ != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_);
  if (accept_gzip_) {
    // The write callback sees the decoded bytes, and holds them to
    // `most_bytes`.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip");
    most_bytes = GzipBound(most_bytes);
  }
  if (most_bytes <
      static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max())) {
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(most_bytes));
  }
}

std::uint64_t DownloadGet::GzipBound(std::uint64_t decoded) {
  // Stored blocks cost 5 bytes in at most 65535, header and trailer 18; a
  // name or comment in the header fits in the rest.
  const std::uint64_t overhead = decoded / 64 + 1024;
  return decoded > kNoRoomBound - overhead ? kNoRoomBound : decoded + overhead;
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
  DownloadRequest request;
  request.urldir = urldir;
  request.filename = filename;
  request.downloaddir = downloaddir;
  request.timeout_secs = timeout_secs;
  request.expected_md5 = expected_md5;
  Download(request);
}

void CCurl::Download(const DownloadRequest& request) {
  HandleTransport transport(curl, meter_.get());
  const DownloadOutcome outcome =
      DownloadAtTurn(request, transport, deferred_, &directories_);
  result = outcome.result;
  restartrequired = outcome.restart_required;
}

CURLcode CCurl::Fetch(const DownloadRequest& request, DownloadBody& body,
                      Meter meter) {
  HandleTransport transport(curl, meter_.get(), meter);
  return body.Outcome(transport.Fetch(request, body));
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
  const size_t bytes = size * nmemb;
  if (bytes == 0 || userp == nullptr) return 0;
  filedata* data = static_cast<filedata*>(userp);
  if (data->gate != nullptr && data->gate->ahead) {
    // libcurl hands the same chunk over again when the transfer resumes.
    if (bytes > data->gate->allowance) return CURL_WRITEFUNC_PAUSE;
    data->gate->allowance -= bytes;
  }
  ByteLimit* limit = data->limit;
  if (limit != nullptr && bytes > limit->most - limit->received) {
    limit->passed = true;
    return 0;
  }
  if (data->meter != nullptr) data->meter->Flush();
  if (data->pfile == nullptr) return 0;
  const size_t written = std::fwrite(buffer, nmemb, size, data->pfile) * nmemb;
  if (data->digest != nullptr) data->digest->Update(buffer, written);
  if (data->sha256 != nullptr) data->sha256->Update(buffer, written);
  if (limit != nullptr) limit->received += written;
  return written;
}

FILE* fopen_mkdir(const char* name, const char* mode) {
  MakeParentDirectories(name, kDownloadDirectories);
  return std::fopen(name, mode);
}
