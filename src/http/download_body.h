// What a download's transfer fills at the file's turn.
#ifndef STARTER_HTTP_DOWNLOAD_BODY_H_
#define STARTER_HTTP_DOWNLOAD_BODY_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "engine/atomic_file.h"
#include "engine/md5.h"
#include "engine/sha256.h"
#include "http/curl_client.h"
#include "http/download_request.h"

class ProgressMeterStream;

// The digests of a file's bytes as a check made before found them: its MD5
// (and SHA-256, empty when not checked) as lower-case hex digits.
struct KnownDigests {
  std::string md5;
  std::string sha256;
};

// The body of one download: the temporary file beside the target that its
// transfer writes (an AtomicFile, never through a link at the target), the
// MD5 of the bytes received (and their SHA-256 when the request expects
// one), and the most bytes it may take: the request's
// most_bytes, and no more than the room left on the temporary file's file
// system (RoomLeftOn) when the body was made. A temporary file that was
// neither installed nor kept goes with the object. Must not move while a
// transfer writes through its Sink.
class DownloadBody {
 public:
  // Creates the temporary file beside request.Target(), whose directory
  // must exist; check ok().
  explicit DownloadBody(const DownloadRequest& request);
  DownloadBody(const DownloadBody&) = delete;
  DownloadBody& operator=(const DownloadBody&) = delete;

  // Whether the temporary file was created; if not, create_error() holds
  // the errno of the failed creation.
  bool ok() const { return created_; }
  int create_error() const { return create_error_; }

  // The write callback's data for this body's bytes, passing on `meter` and
  // held back by `gate` when they are given.
  filedata Sink(ProgressMeterStream* meter, PrefetchGate* gate = nullptr);
  // The most bytes the body may take.
  std::uint64_t most_bytes() const { return limit_.most; }
  // Whether the room on the file system, not the request, sets most_bytes().
  bool bounded_by_room() const { return bounded_by_room_; }
  // Lets the body take `bytes` more of the room of its file system when
  // that file system is `device`: space the caller holds there that one
  // download at a time would not hold. Changes nothing else.
  void AllowRoomOn(dev_t device, std::uint64_t bytes);

  // Writes bytes that arrived for the body before it existed, as the write
  // callback would (counted against most_bytes(), added to the MD5).
  // Returns false when they would pass most_bytes() (nothing of them is
  // written) or cannot be written.
  bool Append(const char* data, std::size_t size);
  // Takes the complete file `existing`, open for reading and writing at
  // `fd`, as the body in place of the bytes of a transfer (AtomicFile::Adopt:
  // installing the body renames it). Its bytes count against most_bytes();
  // its digests are those of `known`, a check of the same bytes made
  // once they were synced, when given (its installation then syncs only the
  // rename: AdoptedData::kSynced), else they are read from it (and synced
  // as a download's). Call it on an empty
  // body only. False (errno set) when it cannot be taken (nothing changed,
  // `fd` still the caller's) or, once taken, cannot be read (a failed
  // transfer: the caller discards the body).
  bool Adopt(ScopedFd& fd, const std::string& existing,
             const KnownDigests* known);
  // Forgets every byte so far, for a new attempt: the file is empty again.
  // False when it cannot be emptied (the body is then no longer ok()).
  bool Restart();

  // Whether a transfer that ended with `code` brought the whole body the
  // request asks for: `code` is 0, every byte is written out, and the MD5
  // and the SHA-256 are the expected ones where they are expected.
  bool Whole(CURLcode code);
  // What a transfer that ended with `code` means for the download: a body
  // cut at most_bytes() is CURLE_FILESIZE_EXCEEDED, a body that could not
  // be written out in full CURLE_WRITE_ERROR, anything else `code`.
  CURLcode Outcome(CURLcode code);
  // The MD5 of the bytes received as lower-case hex digits; "" when no MD5
  // is expected (or it cannot be computed). Ends the digest: call it only
  // once the transfer is over.
  const std::string& ReceivedMd5();
  // Whether ReceivedMd5() is the expected MD5 (in either letter case).
  bool HasExpectedMd5();
  // The SHA-256 of the bytes received as 64 lower-case hex digits; "" when
  // none is expected (or it cannot be computed). Ends the digest, as
  // ReceivedMd5 does.
  const std::string& ReceivedSha256();
  // Whether ReceivedSha256() is the expected SHA-256; true when none is
  // expected.
  bool HasExpectedSha256();

  // Marks the body as cut for arriving below its request's speed floor.
  void MarkTooSlow() { too_slow_ = true; }
  // Whether MarkTooSlow was called.
  bool too_slow() const { return too_slow_; }

  AtomicFile& file() { return file_; }

 private:
  // Sets most_bytes() from the request and the room.
  void SetLimit();
  // Counts the `size` bytes of an adopted file against most_bytes().
  void CountAdopted(std::uint64_t size);

  AtomicFile file_;
  bool created_;
  int create_error_ = 0;
  std::string expected_md5_;
  std::optional<std::uint64_t> requested_most_;
  std::uint64_t room_ = 0;
  bool bounded_by_room_ = false;
  Md5 digest_;
  std::optional<std::string> received_md5_;
  std::string expected_sha256_;
  Sha256 sha256_;
  std::optional<std::string> received_sha256_;
  ByteLimit limit_;
  bool too_slow_ = false;
};

#endif  // STARTER_HTTP_DOWNLOAD_BODY_H_
