#include "http/file_download.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "engine/atomic_file.h"
#include "http/progress_meter.h"
#include "install/file_install.h"
#include "launcher/starter_shared_state.h"

FileDownload::FileDownload(const char* urldir, const char* filename,
                           const char* downloaddir, int timeout_secs,
                           std::string expected_md5, std::string release)
    : urlfull_(std::string(urldir) + filename),
      filename_(filename),
      target_(downloaddir),
      timeout_secs_(timeout_secs),
      expected_md5_(std::move(expected_md5)),
      release_(std::move(release)) {
  if (!target_.empty()) target_ += "/";
  target_ += filename;
}

FileDownload::~FileDownload() = default;

DownloadOutcome FileDownload::TakeTurn(
    const std::function<void()>& prepare,
    const std::function<CURLcode()>& transfer, DeferredSync* deferred) {
  const DownloadOutcome failed{static_cast<CURLcode>(1)};
  const std::string kept = target_ + ".tmp";
  if (std::remove(kept.c_str()) != 0 && errno > 3) {
    std::printf("CCurl: Remove failed %s (err %i)\n", kept.c_str(), errno);
    return failed;
  }
  prepare();
  if (file_ == nullptr) return NotCreated();
  std::printf("Downloading %s...\n", urlfull_.c_str());
  if (data_.meter != nullptr) data_.meter->GoLive();
  StarterSharedState* starter = StarterSharedState::starter;
  if (starter != nullptr) starter->download_file = filename_;
  const CURLcode code = transfer();
  if (data_.meter != nullptr) data_.meter->Flush();
  if (starter != nullptr) starter->download_file.clear();
  // Prepared again during the transfer, and that failed.
  if (file_ == nullptr) return NotCreated();
  return Finish(code, deferred);
}

DownloadOutcome FileDownload::NotCreated() const {
  std::printf("CCurl: Failed to create file %s (err: %i)\n", filename_.c_str(),
              create_error_);
  return {static_cast<CURLcode>(1)};
}

bool FileDownload::HasKeptDownload() const {
  struct stat info;
  return lstat((target_ + ".tmp").c_str(), &info) == 0;
}

bool FileDownload::Prepare(CURL* easy, ProgressMeterStream* meter,
                           PrefetchGate* gate) {
  data_ = filedata{};
  file_.reset();
  digest_ = Md5();
  received_md5_.reset();
  MakeParentDirectories(target_ + ".tmp", kDownloadDirectories);
  file_ = std::make_unique<AtomicFile>(target_, LinkAtDestination::kReplace);
  if (!file_->ok()) {
    create_error_ = file_->error();
    file_.reset();
    return false;
  }
  data_ = filedata{file_->temp_path().c_str(), file_->stream(), &digest_, meter,
                   gate};
  curl_easy_setopt(easy, CURLOPT_URL, urlfull_.c_str());
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT,
                   gate == nullptr ? static_cast<long>(timeout_secs_) : 0L);
  curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  if (meter != nullptr && meter->stream() != nullptr) {
    curl_easy_setopt(easy, CURLOPT_STDERR, meter->stream());
  }
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CCurl::write_data_to_file);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &data_);
  if (!release_.empty()) {
    const std::string line = std::string(kReleaseHeader) + ": " + release_;
    headers_.reset(curl_slist_append(nullptr, line.c_str()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
  }
  return true;
}

bool FileDownload::Delivered(CURLcode code) {
  return code == CURLE_OK && file_ != nullptr && file_->Flush() &&
         strcasecmp(ReceivedMd5().c_str(), expected_md5_.c_str()) == 0;
}

const std::string& FileDownload::ReceivedMd5() {
  if (!received_md5_) {
    received_md5_ = expected_md5_.empty() ? std::string() : digest_.FinalHex();
  }
  return *received_md5_;
}

DownloadOutcome FileDownload::Finish(CURLcode code, DeferredSync* deferred) {
  // A file that cannot be completed on disk is a failed transfer: only a
  // whole file may reach its real name.
  if (!file_->Flush() && code == CURLE_OK) code = CURLE_WRITE_ERROR;
  if (code != CURLE_OK) {
    if (file_->Abandon()) {
      std::printf("\nCURL Error: %s%s\n", curl_easy_strerror(code), "");
    } else {
      std::printf("\nRemove failed %s\n", file_->temp_path().c_str());
    }
    return {code};
  }
  std::printf("file %s\n", target_.c_str());
  const CURLcode failed = static_cast<CURLcode>(1);
  const std::string& received = ReceivedMd5();
  if (strcasecmp(received.c_str(), expected_md5_.c_str()) != 0) {
    std::printf("CCurl: MD5 mismatch for %s: expected %s, received %s\n",
                target_.c_str(), expected_md5_.c_str(), received.c_str());
    if (!file_->Abandon()) {
      std::printf("\nRemove failed %s\n", file_->temp_path().c_str());
    }
    return {failed};
  }
  const InstallResult installed = InstallDownloadedFile(*file_, deferred);
  return {installed.installed ? CURLE_OK : failed, installed.restart_required};
}
