#include "http/download_pipeline.h"

#include <sys/socket.h>

#include <algorithm>
#include <limits>

#include "http/progress_meter.h"

namespace {

constexpr std::size_t kUnplanned = std::numeric_limits<std::size_t>::max();
// How long one wait for network activity may take before the deadline of
// the transfer whose turn it is is looked at again.
constexpr int kPollMilliseconds = 1000;
// What libcurl may hold for a paused transfer beside its socket's buffer.
constexpr curl_off_t kHeldByLibcurl = curl_off_t{64} << 10;

// The body bytes `easy` has received so far.
curl_off_t ReceivedBy(CURL* easy) {
  curl_off_t received = 0;
  curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
  return received;
}

// What the system may hold for the connection of `easy` before it is read
// (0 when it has none).
curl_off_t ReceiveBufferOf(CURL* easy) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  int size = 0;
  socklen_t length = sizeof size;
  if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD ||
      getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) {
    return 0;
  }
  return size;
}

}  // namespace

struct DownloadPipeline::Transfer {
  Transfer(const Request& request, std::size_t at)
      : index(at),
        download(request.urldir.c_str(), request.filename.c_str(),
                 request.downloaddir.c_str(), request.timeout_secs,
                 request.expected_md5, request.release) {}

  // Index in planned_, or kUnplanned.
  std::size_t index;
  FileDownload download;
  std::unique_ptr<ProgressMeterStream> meter;
  CURL* easy = nullptr;
  PrefetchGate gate;
  // While ahead of its turn: when the gate last let more bytes in.
  std::chrono::steady_clock::time_point granted;
  // Set at the turn when the transfer has a time limit.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  bool started = false;  // Start was called
  bool running = false;  // in the multi handle
  bool ended = false;
  CURLcode code = CURLE_OK;
  // Made at its turn with no other transfer in flight: its end counts.
  bool alone = false;
  // Made again after an attempt that did not count.
  bool renewed = false;
};

DownloadPipeline::DownloadPipeline(std::vector<Request> planned,
                                   std::size_t in_flight,
                                   DeferredSync* deferred, Clock clock)
    : planned_(std::move(planned)),
      in_flight_(in_flight == 0 ? 1 : in_flight),
      deferred_(deferred),
      clock_(std::move(clock)),
      multi_(curl_multi_init()) {}

DownloadPipeline::~DownloadPipeline() {
  for (auto& transfer : queue_) Retire(*transfer);
  queue_.clear();
  for (CURL* easy : idle_handles_) curl_easy_cleanup(easy);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

DownloadOutcome DownloadPipeline::Download(const Request& request,
                                           std::optional<std::size_t> planned) {
  while (planned && !queue_.empty() && queue_.front()->index < *planned) {
    Retire(*queue_.front());
    queue_.pop_front();
  }
  std::unique_ptr<Transfer> transfer;
  if (planned && !queue_.empty() && queue_.front()->index == *planned) {
    transfer = std::move(queue_.front());
    queue_.pop_front();
  } else {
    transfer = std::make_unique<Transfer>(request, kUnplanned);
    if (planned && *planned >= next_planned_) next_planned_ = *planned + 1;
  }

  Transfer& turn = *transfer;
  const DownloadOutcome outcome = turn.download.TakeTurn(
      [&] { BeginTurn(turn); }, [&] { return RunTurn(turn); }, deferred_);
  // The handle goes back before the download goes, with its temporary file
  // when that was neither installed nor kept.
  Retire(turn);
  return outcome;
}

void DownloadPipeline::BeginTurn(Transfer& turn) {
  if (!turn.started) {
    Start(turn, true);
    Refill();
    turn.alone = std::none_of(queue_.begin(), queue_.end(),
                              [](const auto& ahead) { return ahead->running; });
    return;
  }
  if (turn.running) Settle(turn);
  if (turn.ended && !turn.download.Delivered(turn.code)) {
    Renew(turn);
    return;
  }
  Refill();
}

CURLcode DownloadPipeline::RunTurn(Transfer& turn) {
  for (;;) {
    // The time limit counts from here, and a transfer that ran ahead goes
    // on past its prefetch.
    turn.deadline.reset();
    if (turn.download.timeout_secs() > 0) {
      turn.deadline =
          clock_() + std::chrono::seconds(turn.download.timeout_secs());
    }
    turn.gate.ahead = false;
    if (turn.running) curl_easy_pause(turn.easy, CURLPAUSE_CONT);
    RunUntilDone(turn);
    if (turn.alone || turn.download.Delivered(turn.code)) break;
    Renew(turn);
  }
  // The request made alone brought what the one beside others did not: this
  // server does not take transfers in flight, so one at a time from here.
  if (turn.renewed && turn.download.Delivered(turn.code)) in_flight_ = 1;
  return turn.code;
}

void DownloadPipeline::Renew(Transfer& turn) {
  Retire(turn);
  for (auto& queued : queue_) {
    if (!queued->running) continue;
    Retire(*queued);
    queued = std::make_unique<Transfer>(planned_[queued->index], queued->index);
  }
  turn.ended = false;
  turn.code = CURLE_OK;
  Start(turn, true);
  turn.alone = true;
  turn.renewed = true;
}

void DownloadPipeline::Settle(Transfer& turn) {
  turn.gate.ahead = false;
  curl_easy_pause(turn.easy, CURLPAUSE_CONT);
  const curl_off_t first = ReceivedBy(turn.easy);
  const curl_off_t most = ReceiveBufferOf(turn.easy) + kHeldByLibcurl;
  curl_off_t before = first;
  for (;;) {
    int running = 0;
    const CURLMcode status = curl_multi_perform(multi_, &running);
    CollectEnded();
    if (turn.ended || status != CURLM_OK) return;
    const curl_off_t now = ReceivedBy(turn.easy);
    if (now == before || now - first > most) return;
    before = now;
  }
}

void DownloadPipeline::Refill() {
  std::size_t ahead = 0;
  for (const auto& transfer : queue_) ahead += transfer->started ? 1 : 0;
  // Queued transfers that do not run (dropped to let a request be made
  // alone) start again before later ones are queued.
  for (std::size_t i = 0; ahead + 1 < in_flight_; ++i) {
    if (i == queue_.size()) {
      if (next_planned_ == planned_.size()) return;
      queue_.push_back(
          std::make_unique<Transfer>(planned_[next_planned_], next_planned_));
      ++next_planned_;
    }
    Transfer& queued = *queue_[i];
    if (!queued.started && !queued.download.HasKeptDownload()) {
      Start(queued, false);
      ++ahead;
    }
  }
}

void DownloadPipeline::Start(Transfer& transfer, bool at_turn) {
  transfer.started = true;
  transfer.meter = std::make_unique<ProgressMeterStream>(2, at_turn);
  transfer.gate = {!at_turn, kPrefetchBytes};
  transfer.granted = clock_();
  transfer.easy =
      idle_handles_.empty() ? curl_easy_init() : idle_handles_.back();
  if (!idle_handles_.empty()) idle_handles_.pop_back();
  if (!transfer.download.Prepare(transfer.easy, transfer.meter.get(),
                                 &transfer.gate)) {
    // Reported at the turn; ahead of it, the turn prepares it again.
    transfer.ended = true;
    transfer.code = CURLE_WRITE_ERROR;
    return;
  }
  curl_easy_setopt(transfer.easy, CURLOPT_PRIVATE, &transfer);
  if (transfer.easy == nullptr || multi_ == nullptr ||
      curl_multi_add_handle(multi_, transfer.easy) != CURLM_OK) {
    // As a client without a handle: the transfer fails at once.
    transfer.ended = true;
    transfer.code = CURLE_BAD_FUNCTION_ARGUMENT;
    return;
  }
  transfer.running = true;
}

void DownloadPipeline::RunUntilDone(Transfer& transfer) {
  while (!transfer.ended) {
    KeepAheadAlive();
    int wait_ms = kPollMilliseconds;
    if (transfer.deadline) {
      const auto left = *transfer.deadline - clock_();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        Retire(transfer, CURLE_OPERATION_TIMEDOUT);
        break;
      }
      const auto left_ms =
          std::chrono::ceil<std::chrono::milliseconds>(left).count();
      wait_ms = static_cast<int>(
          std::min<decltype(left_ms)>(left_ms, kPollMilliseconds));
    }
    int running = 0;
    const CURLMcode status = curl_multi_perform(multi_, &running);
    CollectEnded();
    if (transfer.ended) break;
    if (status != CURLM_OK) {
      // The multi handle broke: every transfer ends here.
      for (auto& queued : queue_) Retire(*queued, CURLE_ABORTED_BY_CALLBACK);
      Retire(transfer, CURLE_ABORTED_BY_CALLBACK);
      break;
    }
    curl_multi_poll(multi_, nullptr, 0, wait_ms, nullptr);
  }
}

void DownloadPipeline::KeepAheadAlive() {
  const auto now = clock_();
  for (auto& queued : queue_) {
    Transfer& ahead = *queued;
    if (!ahead.running || !ahead.gate.ahead ||
        now - ahead.granted < kKeepAliveInterval) {
      continue;
    }
    ahead.granted = now;
    ahead.gate.allowance = std::max(ahead.gate.allowance, kKeepAliveBytes);
    curl_easy_pause(ahead.easy, CURLPAUSE_CONT);
  }
}

void DownloadPipeline::CollectEnded() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    Transfer* transfer = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
    curl_multi_remove_handle(multi_, easy);
    if (transfer == nullptr) continue;
    transfer->running = false;
    transfer->ended = true;
    transfer->code = code;
  }
}

void DownloadPipeline::Retire(Transfer& transfer,
                              std::optional<CURLcode> code) {
  if (transfer.running) {
    curl_multi_remove_handle(multi_, transfer.easy);
    transfer.running = false;
  }
  if (transfer.easy != nullptr) {
    curl_easy_reset(transfer.easy);
    idle_handles_.push_back(transfer.easy);
    transfer.easy = nullptr;
  }
  if (code) {
    transfer.ended = true;
    transfer.code = *code;
  }
}
