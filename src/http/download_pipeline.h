// Downloads in list order whose transfers overlap.
#ifndef STARTER_HTTP_DOWNLOAD_PIPELINE_H_
#define STARTER_HTTP_DOWNLOAD_PIPELINE_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "http/file_download.h"

class DeferredSync;

// Downloads files one after another, each at its turn exactly as
// CCurl::DownloadFile prints, checks and installs it, while the transfers of
// the next planned files already run (libcurl's multi interface, connections
// reused). A transfer that runs ahead of its turn writes only its own
// temporary file and holds its progress meter; at the turn the meter is
// written and everything else happens, so the console reads as a sequential
// run. With one transfer in flight each transfer starts at its own turn.
// Running ahead changes no outcome:
// - a transfer ahead of its turn pauses after a prefetch (kPrefetchBytes)
//   until its turn, so it never takes the link from the one whose turn it
//   is, and has no time limit while it waits; so that the server does not
//   give up on a connection that receives nothing, it takes in up to
//   kKeepAliveBytes more every kKeepAliveInterval while it waits;
// - a transfer's time limit counts from its turn; a transfer that exceeds it
//   ends with CURLE_OPERATION_TIMEDOUT, as when libcurl's own limit ends it;
// - an attempt that ran ahead, or had others in flight beside it, counts
//   only when it brings the whole file; whatever else ends it (a dropped,
//   refused or reset connection, an error status, a cut body, the time
//   limit, other bytes than expected, a temporary file not created) leaves
//   nothing behind, and the file gets one fresh request made alone (the
//   transfers running ahead are dropped and start again later), with a time
//   limit of its own, as the sequential run makes it. At the turn, a
//   transfer that ran ahead first takes in what has already arrived for it
//   with its meter still held, so that one whose connection was lost while
//   it waited is replaced before anything of it is printed. Once a fresh
//   request brings the file its first attempt did not, the run keeps one
//   transfer in flight;
// - a planned transfer whose target has a kept download (target + ".tmp")
//   starts only at its turn, after that file was dealt with;
// - no transfer is aborted by the launcher's flags: which files are fetched
//   is decided by the caller, turn by turn.
// Used by one thread.
class DownloadPipeline {
 public:
  // Bytes a transfer ahead of its turn writes before it pauses.
  static constexpr std::size_t kPrefetchBytes = std::size_t{1} << 20;
  // What a paused transfer ahead of its turn takes in now and then.
  static constexpr std::size_t kKeepAliveBytes = std::size_t{256} << 10;
  static constexpr std::chrono::seconds kKeepAliveInterval{20};
  // The clock the time limits are kept with.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // One file: as CCurl::DownloadFile's arguments.
  struct Request {
    std::string urldir;
    std::string filename;
    std::string downloaddir;
    int timeout_secs = 0;
    std::string expected_md5;
    // The release the file belongs to (see FileDownload); may be empty.
    std::string release;
  };

  // `planned` lists the downloads the caller expects to ask for, in the
  // order their turns will come. At most `in_flight` (at least 1) planned
  // transfers run or wait for their turn at a time. Installed ordinary files
  // join `deferred` when it is given (see InstallDownloadedFile).
  // Time limits and the pauses of transfers ahead are kept with `clock`.
  DownloadPipeline(std::vector<Request> planned, std::size_t in_flight,
                   DeferredSync* deferred,
                   Clock clock = &std::chrono::steady_clock::now);
  // Ends every transfer still running and removes its temporary file.
  ~DownloadPipeline();
  DownloadPipeline(const DownloadPipeline&) = delete;
  DownloadPipeline& operator=(const DownloadPipeline&) = delete;

  // The turn of `request`: downloads it now and returns what it did. When
  // it is the planned request number `planned`, its transfer may have run
  // ahead, and planned requests before it that were never asked for are
  // dropped without a trace. An unplanned request is transferred at once.
  DownloadOutcome Download(const Request& request,
                           std::optional<std::size_t> planned);

 private:
  struct Transfer;

  // The start of the turn of `turn`: starts it unless it ran ahead (and then
  // lets more start ahead); one that ran ahead takes in what has arrived,
  // and is made again alone unless it still runs or has brought its file.
  void BeginTurn(Transfer& turn);
  // The rest of the turn: runs `turn` to its end within its time limit,
  // makes it again alone once when it failed and was not made alone, and
  // returns its code.
  CURLcode RunTurn(Transfer& turn);
  // Replaces the attempt of `turn` by a fresh one made alone: drops the
  // transfers running ahead, prepares `turn` again and starts it.
  void Renew(Transfer& turn);
  // Lets `turn`, which ran ahead, go on and takes in what has already
  // arrived for it (at most what its socket can hold), with its meter still
  // held: a connection lost while it waited ends it here.
  void Settle(Transfer& turn);
  // Starts queued transfers that do not run (dropped ones first), queuing
  // planned ones as needed, until `in_flight_` - 1 have started ahead of
  // their turn; one whose target has a kept download stays queued without
  // starting.
  void Refill();
  // Prepares `transfer` and adds it to the multi handle; its meter is live
  // when it starts `at_turn`, else held for its turn. A transfer that cannot
  // be prepared or added has ended.
  void Start(Transfer& transfer, bool at_turn);
  // Runs the transfers until `transfer` has ended or passed its deadline.
  void RunUntilDone(Transfer& transfer);
  // Ends `transfer`'s transfer if it runs and gives its handle back; with
  // `code`, marks it ended with that code.
  void Retire(Transfer& transfer, std::optional<CURLcode> code = {});
  // Lets every transfer ahead of its turn that has had nothing for
  // kKeepAliveInterval take in kKeepAliveBytes.
  void KeepAheadAlive();
  // Marks every transfer that has ended.
  void CollectEnded();

  std::vector<Request> planned_;
  std::size_t in_flight_;
  DeferredSync* deferred_;
  Clock clock_;
  CurlGlobal global_;
  CURLM* multi_ = nullptr;
  // Planned transfers from the next turn on, the next first.
  std::deque<std::unique_ptr<Transfer>> queue_;
  // Index in planned_ of the first request not yet queued.
  std::size_t next_planned_ = 0;
  // Easy handles to reuse.
  std::vector<CURL*> idle_handles_;
};

#endif  // STARTER_HTTP_DOWNLOAD_PIPELINE_H_
