// Downloads in list order whose transfers overlap.
#ifndef STARTER_HTTP_DOWNLOAD_PIPELINE_H_
#define STARTER_HTTP_DOWNLOAD_PIPELINE_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "http/curl_client.h"
#include "http/download_request.h"
#include "http/file_download.h"

class DeferredSync;
class DownloadBody;

// Downloads files one after another, each at its turn by the one sequence
// of a download (DownloadAtTurn), while the transfers of the next planned
// files already run (libcurl's multi interface, connections reused). With
// one transfer in flight each transfer starts at its own turn, alone, and
// the run is that of CCurl::Download file after file. With more:
// - a transfer ahead of its turn writes nothing in the game tree: its bytes
//   wait in memory while they are few and then in a spool file of its own
//   in the spool directory (SpoolBuffer: a temporary file
//   "<name>.<pid>.<XXXXXX>.tmp", removed when it is done with), never
//   more than the request's most_bytes (one that passes them has failed
//   ahead of its turn), at most kPrefetchBytes before it pauses, and at
//   most kMostHeldBytes in all: so
//   that a server does not give up on a connection that receives nothing,
//   a paused transfer takes in up to kKeepAliveBytes more every
//   kKeepAliveInterval until it holds that much. It has no time limit while
//   it waits, and its progress meter is held;
// - at the file's turn its target's directories and temporary file are
//   made, the spooled bytes copied in, and the transfer goes on into it;
// - each file's time limit counts from its turn (when one at a time would
//   make its request) and covers every attempt of the file; a transfer that
//   exceeds it ends with CURLE_OPERATION_TIMEDOUT, as when libcurl's own
//   limit ends it;
// - an attempt counts when it brings the whole file as expected, when it
//   was made alone (at its turn, no other transfer in flight), or when it
//   used up the time limit; its progress meter is shown when it is known to
//   count (at once for one made alone). Another (a dropped, refused or reset
//   connection, an error status, a cut body, other bytes than expected)
//   leaves nothing behind, not even its progress meter, and the file is
//   requested once more, alone (the transfers running ahead are dropped and
//   start again later), in the rest of its time: that request counts. Once
//   such a request brings its file, the run keeps one transfer in flight;
// - a request with a speed floor (DownloadRequest::speed_floor) is held to
//   it from its turn on, with the pipeline's clock (SpeedFloorWatch): a
//   transfer at its turn that falls below it ends with
//   CURLE_OPERATION_TIMEDOUT and counts, whether made alone or not;
// - the room a download may take on its file system (RoomLeftOn) counts the
//   spool files there as free, so they change no body's bound;
// - a planned transfer whose target has a kept download (target + ".tmp")
//   starts only at its turn; one whose spool file cannot be made, or finds
//   no kMostHeldBytes of room, has failed ahead of its turn;
// - no transfer is aborted by the launcher's flags: which files are fetched
//   is decided by the caller, turn by turn.
// Used by one thread.
class DownloadPipeline {
 public:
  // Bytes a transfer ahead of its turn takes in before it pauses.
  static constexpr std::size_t kPrefetchBytes = std::size_t{1} << 20;
  // What a paused transfer ahead of its turn takes in now and then.
  static constexpr std::size_t kKeepAliveBytes = std::size_t{256} << 10;
  static constexpr std::chrono::seconds kKeepAliveInterval{20};
  // The most a transfer ahead of its turn holds in its spool file.
  static constexpr std::size_t kMostHeldBytes = std::size_t{4} << 20;
  // The clock the time limits and the pauses are kept with.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `planned` lists the downloads the caller expects to ask for, in the
  // order their turns will come. At most `in_flight` (at least 1) planned
  // transfers run or wait for their turn at a time. Transfers ahead spool
  // into `spool_directory` (ending in "/", which must exist; else none runs
  // ahead). Installed ordinary files join `deferred` when it is given (see
  // InstallDownloadedFile).
  DownloadPipeline(std::vector<DownloadRequest> planned, std::size_t in_flight,
                   std::string spool_directory, DeferredSync* deferred,
                   Clock clock = &std::chrono::steady_clock::now);
  // Ends every transfer still running and removes its spool file.
  ~DownloadPipeline();
  DownloadPipeline(const DownloadPipeline&) = delete;
  DownloadPipeline& operator=(const DownloadPipeline&) = delete;

  // The turn of `request`: downloads it now (DownloadAtTurn, knowing the
  // directories of the pipeline's earlier downloads) and returns what it
  // did. When it is the planned request number `planned`, its
  // transfer may have run ahead, and planned requests before it that were
  // never asked for are dropped without a trace. An unplanned request is
  // transferred at its turn.
  DownloadOutcome Download(const DownloadRequest& request,
                           std::optional<std::size_t> planned);

  // Lets `change` rewrite every planned request whose turn has not come
  // (the caller now expects to ask for the rewritten ones). A transfer
  // ahead of its turn whose URL or speed floor changed is dropped, with its
  // spool file, and starts again later as rewritten.
  void Replan(const std::function<void(DownloadRequest&)>& change);

 private:
  struct Attempt;
  class Turn;

  // The transfer of a turn into `body`, from `ahead` (the file's attempt
  // that ran ahead, if it did) on; see BodyTransport::Fetch.
  CURLcode FetchAtTurn(std::unique_ptr<Attempt> ahead,
                       const DownloadRequest& request, DownloadBody& body);
  // The file's last attempt: made alone, until `deadline`.
  CURLcode FetchAlone(const DownloadRequest& request, DownloadBody& body,
                      std::optional<std::chrono::steady_clock::time_point>
                          deadline);
  // Lets `attempt`, which ran ahead, go on into `body`: its spooled bytes
  // first. An attempt whose bytes do not fit ends here.
  void Adopt(Attempt& attempt, DownloadBody& body);
  // Starts queued transfers that do not run (dropped ones first), queuing
  // planned ones as needed, until `in_flight_` - 1 have started ahead of
  // their turn.
  void Refill();
  // Starts `attempt` ahead of its turn, into its SpoolBuffer, or leaves it
  // to start at its turn when its target has a kept download. False,
  // starting nothing, when no SpoolBuffer can be made.
  bool StartAhead(Attempt& attempt);
  // Starts `attempt` at its turn, into `body`, its meter held.
  void StartAtTurn(Attempt& attempt, DownloadBody& body);
  // Adds `attempt`, set up, to the multi handle; the body may announce at
  // most `most_bytes`. One that cannot be added has ended.
  void Launch(Attempt& attempt, std::uint64_t most_bytes);
  // Runs the transfers until `attempt`, the one whose turn it is, has
  // ended, passed `deadline` or fallen below `request`'s speed floor (then
  // marked so in `body`), and returns its code.
  CURLcode Run(Attempt& attempt, const DownloadRequest& request,
               DownloadBody& body,
               std::optional<std::chrono::steady_clock::time_point> deadline);
  // Ends `attempt`'s transfer if it runs and gives its handle back; with
  // `code`, marks it ended with that code.
  void Retire(Attempt& attempt, std::optional<CURLcode> code = {});
  // Drops the transfers running ahead; they start again later.
  void DropAhead();
  // The bytes in the spool files of the transfers ahead, `also` included
  // (not those still in memory).
  std::uint64_t Spooled(const Attempt* also) const;
  // Lets every paused transfer ahead that has had nothing for
  // kKeepAliveInterval take in kKeepAliveBytes, up to kMostHeldBytes.
  void KeepAheadAlive();
  // Marks every transfer that has ended.
  void CollectEnded();

  std::vector<DownloadRequest> planned_;
  std::size_t in_flight_;
  std::string spool_directory_;
  std::optional<dev_t> spool_device_;
  DeferredSync* deferred_;
  // The directories the downloads of this pipeline made or found.
  KnownDirectories directories_;
  Clock clock_;
  CurlGlobal global_;
  CURLM* multi_ = nullptr;
  // Planned transfers from the next turn on, the next first.
  std::deque<std::unique_ptr<Attempt>> queue_;
  // Index in planned_ of the first request not yet queued.
  std::size_t next_planned_ = 0;
  // Easy handles to reuse.
  std::vector<CURL*> idle_handles_;
};

#endif  // STARTER_HTTP_DOWNLOAD_PIPELINE_H_
