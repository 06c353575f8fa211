#include "http/download_pipeline.h"

#include <algorithm>
#include <limits>

#include "http/progress_meter.h"

namespace {

constexpr std::size_t kUnplanned = std::numeric_limits<std::size_t>::max();
// How long one wait for network activity may take before the deadline of
// the transfer whose turn it is is looked at again.
constexpr int kPollMilliseconds = 1000;

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
      [&] {
        if (!turn.started) Start(turn, true);
        Refill();
      },
      [&] {
        // The turn: the time limit counts from here, and a transfer that
        // ran ahead goes on past its prefetch.
        if (turn.download.timeout_secs() > 0) {
          turn.deadline =
              clock_() + std::chrono::seconds(turn.download.timeout_secs());
        }
        turn.gate.ahead = false;
        if (turn.running) curl_easy_pause(turn.easy, CURLPAUSE_CONT);
        RunUntilDone(turn);
        return turn.code;
      },
      deferred_);
  // The handle goes back before the download goes, with its temporary file
  // when that was neither installed nor kept.
  Retire(turn);
  return outcome;
}

void DownloadPipeline::Refill() {
  std::size_t ahead = 0;
  for (const auto& transfer : queue_) ahead += transfer->started ? 1 : 0;
  while (ahead + 1 < in_flight_ && next_planned_ < planned_.size()) {
    auto transfer =
        std::make_unique<Transfer>(planned_[next_planned_], next_planned_);
    ++next_planned_;
    if (!transfer->download.HasKeptDownload()) {
      Start(*transfer, false);
      ++ahead;
    }
    queue_.push_back(std::move(transfer));
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
