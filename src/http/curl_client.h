// The program's HTTP client: downloads into the game tree and form posts.
#ifndef STARTER_HTTP_CURL_CLIENT_H_
#define STARTER_HTTP_CURL_CLIENT_H_

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/free_space.h"
#include "engine/paths.h"
#include "http/download_request.h"

class DeferredSync;
class DownloadBody;
class Md5;
class ProgressMeterStream;
class Sha256;

// Holds back a transfer that runs ahead of its turn, so that it cannot take
// the link from the transfer whose turn it is: while `ahead` is true, the
// write callback accepts `allowance` more bytes at most and pauses the
// transfer (CURL_WRITEFUNC_PAUSE) at the first chunk that would exceed it.
// The owner clears `ahead` and resumes the transfer (curl_easy_pause) at its
// turn.
struct PrefetchGate {
  bool ahead = false;
  std::size_t allowance = 0;
};

// The most bytes a transfer's body may bring: the write callback refuses,
// writing nothing of it, the first chunk that would take `received` past
// `most`, and sets `passed`; libcurl then ends the transfer at once.
struct ByteLimit {
  std::uint64_t most = kNoRoomBound;
  std::uint64_t received = 0;
  bool passed = false;
};

// User data of the write callback: the file being written, and optionally
// the digests of the bytes received, the meter to pass on, the gate of a
// transfer that runs ahead and the limit of the body.
struct filedata {
  const char* filename;
  FILE* pfile;
  Md5* digest = nullptr;
  ProgressMeterStream* meter = nullptr;
  PrefetchGate* gate = nullptr;
  ByteLimit* limit = nullptr;
  Sha256* sha256 = nullptr;
};

// Holds libcurl's global state (curl_global_init with CURL_GLOBAL_ALL) for
// its life; every user of libcurl holds one. On failure prints
// "curl_global_init() failed" to standard error and holds nothing.
// Initialisation and clean-up stay balanced across any number of holders;
// create and destroy them on one thread at a time.
//
// While any holder holds the state, SIGPIPE is ignored (set once by the
// first, the earlier action put back by the last): a peer that closes its
// connection then fails a write with EPIPE instead of ending the process,
// without libcurl setting and restoring the action around every step of
// every transfer (see TransfersWithoutSignals).
class CurlGlobal {
 public:
  CurlGlobal();
  ~CurlGlobal();
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;

  // Whether the global state is held.
  bool ok() const { return ok_; }

  // True when this libcurl resolves names without alarms (its threaded or
  // asynchronous resolver): then a transfer set up by DownloadGet asks
  // libcurl not to touch signals (CURLOPT_NOSIGNAL), and a resolve still
  // ends with the transfer's time limit. False for a synchronous resolver,
  // whose time limit needs SIGALRM.
  static bool TransfersWithoutSignals();

 private:
  bool ok_;
};

// The libcurl options of the GET of one download. Owns what a handle set up
// with it points to (the URL, the header lines): it must outlive the
// transfer. A request that names its release sends it in the header
// kReleaseHeader, so that a cache in front of the server can keep one copy
// of a file per release.
class DownloadGet {
 public:
  // The request header that names the release.
  static constexpr char kReleaseHeader[] = "X-Checksum-List-MD5";

  explicit DownloadGet(const DownloadRequest& request);
  ~DownloadGet();
  DownloadGet(const DownloadGet&) = delete;
  DownloadGet& operator=(const DownloadGet&) = delete;

  // Sets up `easy` (a handle without options of a download) in the client's
  // order: the URL, no verbose output, `timeout_secs` as libcurl's limit of
  // the whole transfer (0: none), FAILONERROR, the progress meter (to
  // `meter`, or libcurl's standard error when null), the write callback
  // with `data` (which must outlive the transfer), the release header,
  // `most_bytes` as the most a body may announce (kNoRoomBound: any) and,
  // for a request that accepts gzip, that encoding (a gzip body announces
  // its encoded length: it may announce up to GzipBound(most_bytes)); and
  // CURLOPT_NOSIGNAL where CurlGlobal::TransfersWithoutSignals().
  void SetUp(CURL* easy, filedata* data, FILE* meter, long timeout_secs,
             std::uint64_t most_bytes) const;

  // The most bytes a gzip body of `decoded` bytes takes, with room for a
  // compressor that stores what it cannot shrink.
  static std::uint64_t GzipBound(std::uint64_t decoded);

 private:
  std::string url_;
  bool accept_gzip_ = false;
  curl_slist* headers_ = nullptr;
};

// Wraps one libcurl easy handle. Messages go to the console.
class CCurl {
 public:
  // Takes libcurl's global state (CurlGlobal) and creates the handle; on
  // failure prints "curl_global_init() failed" or "curl_easy_init() failed"
  // to standard error, holds no global state and leaves the handle null
  // (later transfers then fail with 43).
  CCurl();
  ~CCurl();
  CCurl(const CCurl&) = delete;
  CCurl& operator=(const CCurl&) = delete;

  // Download({urldir, filename, downloaddir, timeout_secs, expected_md5}).
  void DownloadFile(const char* urldir, const char* filename,
                    const char* downloaddir, int timeout_secs,
                    const std::string& expected_md5 = std::string());

  // Fetches `request` into its target through a temporary file of its own
  // beside it, then installs it in place (executables and scripts
  // specially, see InstallDownloadedFile): the one sequence of a download
  // (DownloadAtTurn), its transfer made on this client's handle with
  // libcurl's own time limit. A download that cannot be installed is kept
  // as target + ".tmp", which the next download of the same target removes
  // first. Outcome in `result` (0 success) and `restartrequired` (an
  // executable was replaced). libcurl's progress meter goes to standard
  // error, one update per write. The handle is reset after the transfer.
  // The directories of this client's earlier downloads are not made again
  // (KnownDirectories).
  void Download(const DownloadRequest& request);

  // Whether Fetch writes the progress meter.
  enum class Meter { kShown, kHidden };
  // Transfers request.Url() into `body` (made for `request`) on this
  // client's handle, as Download's transfer does (DownloadGet, libcurl's
  // time limit), for a file its caller checks and uses itself: prints
  // nothing but the progress meter (to standard error, unless kHidden),
  // installs nothing, and leaves `result` and `restartrequired` as they
  // were. Returns body.Outcome() of the transfer: 0 when the body arrived
  // whole within its bound.
  CURLcode Fetch(const DownloadRequest& request, DownloadBody& body,
                 Meter meter = Meter::kShown);

  // Lets the ordinary files this client installs join `deferred`, which the
  // caller syncs once for all of them, instead of being synced one by one;
  // null (the default) syncs each as it is installed. `deferred` must
  // outlive the downloads.
  void SetDeferredSync(DeferredSync* deferred) { deferred_ = deferred; }

  // Posts `formdata` to `formurl`, first posting `loginfo` to `logurl` with
  // the cookie engine on when `logurl` is not empty. Outcome in `result`.
  void PostForm(const char* formurl, const char* formdata, const char* logurl,
                const char* loginfo);

  // libcurl write callback; `userp` is a filedata. Returns the bytes
  // written, 0 (aborting the transfer) on a short write, a missing file or
  // a chunk that would pass `limit`, CURL_WRITEFUNC_PAUSE (writing nothing)
  // when `gate` holds the transfer back. Adds the bytes written to `digest`,
  // `sha256` and `limit`, and passes on the meter's text, when they are set.
  static size_t write_data_to_file(void* buffer, size_t size, size_t nmemb,
                                   void* userp);

  CURL* curl = nullptr;
  CURLcode result = CURLE_OK;
  bool restartrequired = false;

 private:
  std::unique_ptr<CurlGlobal> global_;
  DeferredSync* deferred_ = nullptr;
  // The directories this client's downloads made or found.
  KnownDirectories directories_;
  std::unique_ptr<ProgressMeterStream> meter_;
};

// The directories a download makes on the way to its file: those that end
// at a "/" or "\" at index 3 or later, so a leading "/", "./" or "../" is
// skipped.
inline constexpr ParentDirectories kDownloadDirectories{"/\\", 3, 0777};

// MakeParentDirectories(name, kDownloadDirectories), then fopen(name, mode).
FILE* fopen_mkdir(const char* name, const char* mode);

#endif  // STARTER_HTTP_CURL_CLIENT_H_
