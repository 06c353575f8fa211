// One file download into the game tree, in the steps the HTTP client takes.
#ifndef STARTER_HTTP_FILE_DOWNLOAD_H_
#define STARTER_HTTP_FILE_DOWNLOAD_H_

#include <memory>
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
// through a temporary file of its own beside the target. CCurl::DownloadFile
// takes the steps one after another; DownloadPipeline prepares and transfers
// ahead of a file's turn and does the rest at the turn. Whatever the order,
// every console line is printed by RemoveKeptDownload, Announce and Finish,
// so a file's lines come at its turn and read as in one sequential download.
// Used by one thread at a time; must not move once prepared.
class FileDownload {
 public:
  FileDownload(const char* urldir, const char* filename,
               const char* downloaddir, int timeout_secs,
               std::string expected_md5);
  ~FileDownload();
  FileDownload(const FileDownload&) = delete;
  FileDownload& operator=(const FileDownload&) = delete;

  // Removes the complete download that an earlier run could not install,
  // kept as target + ".tmp". Returns false after printing "CCurl: Remove
  // failed <name> (err <errno>)" when it exists and cannot be removed: the
  // download ends there (result 1; a transfer made ahead is to be dropped).
  bool RemoveKeptDownload();

  // True when target + ".tmp" exists (of any kind): whether it can be
  // removed is decided by RemoveKeptDownload at the download's turn.
  bool HasKeptDownload() const;

  // Creates the target's directories and the temporary file, and sets up
  // `easy` (a handle without options) for the transfer: its meter goes to
  // `meter` (standard error when null), its bytes to the temporary file and
  // its digest. Without `gate` the handle limits the whole transfer to the
  // time limit; with one, the bytes pass `gate` (which must outlive the
  // transfer) and the caller keeps the time limit, counted from the
  // download's turn. Returns false, printing nothing, when the temporary
  // file cannot be created; Announce reports it.
  bool Prepare(CURL* easy, ProgressMeterStream* meter,
               PrefetchGate* gate = nullptr);

  // The time limit of the transfer in whole seconds, 0 for none.
  int timeout_secs() const { return timeout_secs_; }

  // Prints what comes before the transfer: "CCurl: Failed to create file
  // <filename> (err: <errno>)" (returns false: result 1) when Prepare could
  // not create the file, otherwise "Downloading <url>...".
  bool Announce();

  // Ends the download after its transfer ended with `code`: prints "CURL
  // Error: ..." and removes the temporary file for a failed transfer (or a
  // file that could not be completed on disk); otherwise prints "file
  // <target>", checks the MD5 when one is expected and installs the file
  // (InstallDownloadedFile, joining `deferred` when given).
  DownloadOutcome Finish(CURLcode code, DeferredSync* deferred);

  // Ends a download whose turn did not come: its temporary file goes,
  // nothing is printed.
  void Drop();

  // The file name as given (the name a launcher shows).
  const std::string& filename() const { return filename_; }

 private:
  std::string urlfull_;
  std::string filename_;
  std::string target_;
  int timeout_secs_;
  std::string expected_md5_;
  std::unique_ptr<AtomicFile> file_;
  int create_error_ = 0;
  Md5 digest_;
  filedata data_{};
};

#endif  // STARTER_HTTP_FILE_DOWNLOAD_H_
