#include "http/download_body.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

DownloadBody::DownloadBody(const DownloadRequest& request)
    : file_(request.Target(), LinkAtDestination::kReplace),
      created_(file_.ok()),
      create_error_(file_.ok() ? 0 : file_.error()),
      expected_md5_(request.expected_md5),
      requested_most_(request.most_bytes),
      expected_sha256_(request.expected_sha256) {
  if (!created_) return;
  room_ = RoomLeftOn(::fileno(file_.stream()));
  SetLimit();
}

filedata DownloadBody::Sink(ProgressMeterStream* meter, PrefetchGate* gate) {
  return {file_.temp_path().c_str(),
          file_.stream(),
          &digest_,
          meter,
          gate,
          &limit_,
          expected_sha256_.empty() ? nullptr : &sha256_};
}

void DownloadBody::AllowRoomOn(dev_t device, std::uint64_t bytes) {
  struct stat info;
  if (bytes > 0 && created_ && ::fstat(::fileno(file_.stream()), &info) == 0 &&
      info.st_dev == device) {
    room_ = room_ > kNoRoomBound - bytes ? kNoRoomBound : room_ + bytes;
    SetLimit();
  }
}

void DownloadBody::SetLimit() {
  bounded_by_room_ = !requested_most_.has_value() || room_ < *requested_most_;
  limit_.most = bounded_by_room_ ? room_ : *requested_most_;
}

bool DownloadBody::Append(const char* data, std::size_t size) {
  if (size > limit_.most - limit_.received) {
    limit_.passed = true;
    return false;
  }
  if (!file_.Write(data, size)) return false;
  digest_.Update(data, size);
  if (!expected_sha256_.empty()) sha256_.Update(data, size);
  limit_.received += size;
  return true;
}

bool DownloadBody::Adopt(ScopedFd& fd, const std::string& existing,
                         const KnownDigests* known) {
  // Known digests come from a check of the file once it was synced.
  if (!file_.Adopt(fd, existing,
                   known != nullptr ? AdoptedData::kSynced
                                    : AdoptedData::kUnsynced)) {
    return false;
  }
  const int taken = ::fileno(file_.stream());
  if (known != nullptr) {
    struct stat info;
    if (::fstat(taken, &info) != 0) return false;
    CountAdopted(static_cast<std::uint64_t>(info.st_size));
    received_md5_ = expected_md5_.empty() ? std::string() : known->md5;
    received_sha256_ = expected_sha256_.empty() ? std::string() : known->sha256;
    return true;
  }
  std::string md5;
  FileFacts facts;
  if (::lseek(taken, 0, SEEK_SET) != 0 ||
      HashOpenFile(taken, md5, facts, !expected_sha256_.empty()) !=
          FileHashError::kNone) {
    return false;
  }
  CountAdopted(facts.size);
  received_md5_ = expected_md5_.empty() ? std::string() : md5;
  received_sha256_ = facts.sha256;
  return true;
}

void DownloadBody::CountAdopted(std::uint64_t size) {
  limit_.received = size;
  // The room of the file system does not bound bytes already on it.
  const std::uint64_t most = requested_most_.value_or(size);
  limit_.passed = size > most;
}

bool DownloadBody::Restart() {
  digest_ = Md5();
  received_md5_.reset();
  sha256_ = Sha256();
  received_sha256_.reset();
  limit_.received = 0;
  limit_.passed = false;
  return file_.Truncate();
}

bool DownloadBody::Whole(CURLcode code) {
  return Outcome(code) == CURLE_OK && HasExpectedMd5() && HasExpectedSha256();
}

CURLcode DownloadBody::Outcome(CURLcode code) {
  if (limit_.passed) return CURLE_FILESIZE_EXCEEDED;
  // Only a whole file may reach its real name: a file that cannot be
  // completed on disk is a failed transfer.
  if (!file_.Flush() && code == CURLE_OK) return CURLE_WRITE_ERROR;
  return code;
}

const std::string& DownloadBody::ReceivedMd5() {
  if (!received_md5_) {
    received_md5_ = expected_md5_.empty() ? std::string() : digest_.FinalHex();
  }
  return *received_md5_;
}

bool DownloadBody::HasExpectedMd5() {
  return strcasecmp(ReceivedMd5().c_str(), expected_md5_.c_str()) == 0;
}

const std::string& DownloadBody::ReceivedSha256() {
  if (!received_sha256_) {
    received_sha256_ =
        expected_sha256_.empty() ? std::string() : sha256_.FinalHex();
  }
  return *received_sha256_;
}

bool DownloadBody::HasExpectedSha256() {
  return expected_sha256_.empty() || ReceivedSha256() == expected_sha256_;
}
