// One file download into the game tree, in the steps the HTTP client takes.
#ifndef STARTER_HTTP_FILE_DOWNLOAD_H_
#define STARTER_HTTP_FILE_DOWNLOAD_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "engine/md5.h"
#include "http/curl_client.h"

class AtomicFile;
class DeferredSync;
class ProgressMeterStream;

// What one download did in the end.
struct DownloadOutcome {
  // 0 success; libcurl's code for a failed transfer; 1 for a local failure
  // or a download that was not installed.
  CURLcode result = CURLE_OK;
  // True when one of the game's executables was replaced.
  bool restart_required = false;
};

// Downloads urldir + filename (plain concatenation) to the target
// downloaddir + "/" + filename (filename alone when downloaddir is empty)
// through a temporary file of its own beside the target. Its transfer may be
// prepared ahead of the file's turn (DownloadPipeline); every other step,
// and every console line, comes at the turn (TakeTurn), so a file's lines
// read as in one sequential download. A download that names the release its
// file belongs to sends it in the request header "X-Checksum-List-MD5"
// (kReleaseHeader), so that a cache in front of the server can keep one copy
// of the file per release; nothing else shows it. A temporary file that was
// neither installed nor kept goes with the object. Used by one thread at a
// time; must not move once prepared.
class FileDownload {
 public:
  // The request header that names the release.
  static constexpr char kReleaseHeader[] = "X-Checksum-List-MD5";

  // `release` names the release (empty: none, no header is sent).
  FileDownload(const char* urldir, const char* filename,
               const char* downloaddir, int timeout_secs,
               std::string expected_md5, std::string release = std::string());
  ~FileDownload();
  FileDownload(const FileDownload&) = delete;
  FileDownload& operator=(const FileDownload&) = delete;

  // True when target + ".tmp" exists (of any kind): whether it can be
  // removed is decided at the download's turn.
  bool HasKeptDownload() const;

  // Creates the target's directories and the temporary file, and sets up
  // `easy` (a handle without options) for the transfer: its meter goes to
  // `meter` (standard error when null), its bytes to the temporary file and
  // its digest. Without `gate` the handle limits the whole transfer to the
  // time limit; with one, the bytes pass `gate` (which must outlive the
  // transfer) and the caller keeps the time limit, counted from the
  // download's turn. Prepared again, the download starts afresh: the
  // temporary file of the earlier attempt, and what it received, go first.
  // Returns false, printing nothing, when the temporary file cannot be
  // created; the turn reports it.
  bool Prepare(CURL* easy, ProgressMeterStream* meter,
               PrefetchGate* gate = nullptr);

  // Whether the prepared transfer, ended with `code`, brought the whole
  // file: `code` is 0, every byte is in the temporary file, and it has the
  // expected MD5 when one was given. False when nothing was prepared.
  bool Delivered(CURLcode code);

  // The time limit of the transfer in whole seconds, 0 for none.
  int timeout_secs() const { return timeout_secs_; }

  // The download's turn, all of it: removes the download an earlier run
  // could not install, kept as target + ".tmp" (result 1 after printing
  // "CCurl: Remove failed <name> (err <errno>)" when it cannot); calls
  // `prepare`, which must Prepare the transfer unless that was done ahead;
  // prints "CCurl: Failed to create file <filename> (err: <errno>)" (result
  // 1) when the temporary file could not be created, otherwise
  // "Downloading <url>..."; writes the meter held so far; calls `transfer`,
  // which runs the transfer to its end and returns its code, while the
  // launcher shows the file name (it may Prepare the download again, and
  // then reports as above if that fails); then ends the download: prints "CURL
  // Error: ..." and removes the temporary file for a failed transfer (or a
  // file that could not be completed on disk); otherwise prints "file
  // <target>", checks the MD5 when one is expected and installs the file
  // (InstallDownloadedFile, joining `deferred` when given).
  DownloadOutcome TakeTurn(const std::function<void()>& prepare,
                           const std::function<CURLcode()>& transfer,
                           DeferredSync* deferred);

 private:
  // Prints that the temporary file could not be created; result 1.
  DownloadOutcome NotCreated() const;
  // The end of TakeTurn, from the transfer's code on.
  DownloadOutcome Finish(CURLcode code, DeferredSync* deferred);
  // The MD5 of the bytes received, as hexadecimal digits ("" when no MD5 is
  // expected, or when it cannot be computed).
  const std::string& ReceivedMd5();

  std::string urlfull_;
  std::string filename_;
  std::string target_;
  int timeout_secs_;
  std::string expected_md5_;
  std::string release_;
  // The request's extra header lines, owned for as long as a handle may
  // use them.
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers_{
      nullptr, &curl_slist_free_all};
  std::unique_ptr<AtomicFile> file_;
  int create_error_ = 0;
  Md5 digest_;
  std::optional<std::string> received_md5_;
  filedata data_{};
};

#endif  // STARTER_HTTP_FILE_DOWNLOAD_H_
