#include "http/download_pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "engine/atomic_file.h"
#include "engine/free_space.h"
#include "engine/paths.h"
#include "engine/scoped_fd.h"
#include "http/download_body.h"
#include "http/progress_meter.h"
#include "http/speed_floor.h"
#include "http/spool_buffer.h"

namespace {

using TimePoint = std::chrono::steady_clock::time_point;

constexpr std::size_t kUnplanned = std::numeric_limits<std::size_t>::max();
// How long one wait for network activity may take before the deadline of
// the transfer whose turn it is is looked at again.
constexpr int kPollMilliseconds = 1000;

bool Expired(const std::optional<TimePoint>& deadline, TimePoint now) {
  return deadline && *deadline <= now;
}

// Whether the status line of the answer to `easy` has arrived.
bool AnswerBegun(CURL* easy) {
  long status = 0;
  return curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) ==
             CURLE_OK &&
         status != 0;
}

// Whether two requests fetch the same URL under the same speed floor.
bool SameTransfer(const DownloadRequest& a, const DownloadRequest& b) {
  return a.Url() == b.Url() && a.speed_floor == b.speed_floor;
}

}  // namespace

// One request of a file: a transfer ahead of the file's turn or at it.
struct DownloadPipeline::Attempt {
  Attempt(const DownloadRequest& of, std::size_t at)
      : index(at), request(&of), get(of) {}

  // Index in planned_, or kUnplanned.
  std::size_t index;
  const DownloadRequest* request;
  DownloadGet get;
  // While ahead of its turn: where its bytes wait, and their count.
  std::unique_ptr<SpoolBuffer> spool;
  ByteLimit spooled;
  std::unique_ptr<ProgressMeterStream> meter;
  filedata data{};
  PrefetchGate gate;
  // While ahead of its turn: when the gate last let more bytes in.
  TimePoint granted;
  CURL* easy = nullptr;
  bool started = false;  // StartAhead or StartAtTurn made it
  bool running = false;  // in the multi handle
  bool ended = false;
  CURLcode code = CURLE_OK;
  // It cannot run ahead: it starts at its turn.
  bool at_turn_only = false;
};

// The transport of one turn: the pipeline, with the attempt of the file that
// ran ahead, if any. An attempt the turn never used is ended with it.
class DownloadPipeline::Turn : public BodyTransport {
 public:
  Turn(DownloadPipeline& pipeline, std::unique_ptr<Attempt> ahead)
      : pipeline_(pipeline), ahead_(std::move(ahead)) {}
  ~Turn() override {
    if (ahead_ != nullptr) pipeline_.Retire(*ahead_);
  }

  CURLcode Fetch(const DownloadRequest& request, DownloadBody& body) override {
    return pipeline_.FetchAtTurn(std::move(ahead_), request, body);
  }

 private:
  DownloadPipeline& pipeline_;
  std::unique_ptr<Attempt> ahead_;
};

DownloadPipeline::DownloadPipeline(std::vector<DownloadRequest> planned,
                                   std::size_t in_flight,
                                   std::string spool_directory,
                                   DeferredSync* deferred, Clock clock)
    : planned_(std::move(planned)),
      in_flight_(in_flight == 0 ? 1 : in_flight),
      spool_directory_(std::move(spool_directory)),
      deferred_(deferred),
      clock_(std::move(clock)),
      multi_(curl_multi_init()) {
  struct stat info;
  if (::stat(spool_directory_.c_str(), &info) == 0) spool_device_ = info.st_dev;
}

DownloadPipeline::~DownloadPipeline() {
  for (auto& attempt : queue_) Retire(*attempt);
  queue_.clear();
  for (CURL* easy : idle_handles_) curl_easy_cleanup(easy);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

DownloadOutcome DownloadPipeline::Download(const DownloadRequest& request,
                                           std::optional<std::size_t> planned) {
  while (planned && !queue_.empty() && queue_.front()->index < *planned) {
    Retire(*queue_.front());
    queue_.pop_front();
  }
  std::unique_ptr<Attempt> ahead;
  if (planned && !queue_.empty() && queue_.front()->index == *planned) {
    ahead = std::move(queue_.front());
    queue_.pop_front();
  } else if (planned && *planned >= next_planned_) {
    next_planned_ = *planned + 1;
  }
  Turn turn(*this, std::move(ahead));
  return DownloadAtTurn(request, turn, deferred_, &directories_);
}

void DownloadPipeline::Replan(
    const std::function<void(DownloadRequest&)>& change) {
  std::vector<bool> changed(planned_.size(), false);
  for (std::size_t i = 0; i < planned_.size(); ++i) {
    const DownloadRequest before = planned_[i];
    change(planned_[i]);
    changed[i] = !SameTransfer(before, planned_[i]);
  }
  for (auto& queued : queue_) {
    if (!changed[queued->index]) continue;
    Retire(*queued);
    queued = std::make_unique<Attempt>(planned_[queued->index], queued->index);
  }
}

CURLcode DownloadPipeline::FetchAtTurn(std::unique_ptr<Attempt> first,
                                       const DownloadRequest& request,
                                       DownloadBody& body) {
  std::optional<TimePoint> deadline;
  if (request.timeout_secs > 0) {
    deadline = clock_() + std::chrono::seconds(request.timeout_secs);
  }
  if (spool_device_) body.AllowRoomOn(*spool_device_, Spooled(first.get()));
  if (first != nullptr && !first->started) {
    Retire(*first);
    first.reset();
  }
  if (first != nullptr && first->ended && first->code != CURLE_OK) {
    // Failed ahead of its turn: it does not count.
    Retire(*first);
    return FetchAlone(request, body, deadline);
  }
  if (first != nullptr) {
    Adopt(*first, body);
  } else {
    first = std::make_unique<Attempt>(request, kUnplanned);
    StartAtTurn(*first, body);
  }
  const bool ran_ahead = first->index != kUnplanned;
  Refill();
  const bool alone =
      !ran_ahead && std::none_of(queue_.begin(), queue_.end(),
                                 [](const auto& other) { return other->running; });
  if (alone) first->meter->GoLive();
  const CURLcode code = Run(*first, request, body, deadline);
  const bool counts = alone || body.Whole(code) || body.too_slow() ||
                      Expired(deadline, clock_());
  Retire(*first);
  if (counts) {
    first->meter->GoLive();
    first->meter->Flush();
    return code;
  }
  // Its meter goes with it, unseen.
  first.reset();
  if (!body.Restart()) return CURLE_WRITE_ERROR;
  return FetchAlone(request, body, deadline);
}

CURLcode DownloadPipeline::FetchAlone(const DownloadRequest& request,
                                      DownloadBody& body,
                                      std::optional<TimePoint> deadline) {
  DropAhead();
  Attempt attempt(request, kUnplanned);
  StartAtTurn(attempt, body);
  attempt.meter->GoLive();
  const CURLcode code = Run(attempt, request, body, deadline);
  Retire(attempt);
  // The request made alone brought what one beside others did not: this
  // server does not take transfers in flight, so one at a time from here.
  if (body.Whole(code)) in_flight_ = 1;
  return code;
}

void DownloadPipeline::Adopt(Attempt& attempt, DownloadBody& body) {
  const bool fits = attempt.spool->MoveInto(body);
  attempt.spool.reset();
  attempt.data = body.Sink(attempt.meter.get(), &attempt.gate);
  attempt.gate.ahead = false;
  if (!fits) {
    Retire(attempt, CURLE_WRITE_ERROR);
  } else if (attempt.running) {
    curl_easy_pause(attempt.easy, CURLPAUSE_CONT);
  }
}

void DownloadPipeline::Refill() {
  std::size_t ahead = 0;
  for (const auto& attempt : queue_) ahead += attempt->started ? 1 : 0;
  // Queued transfers that do not run (dropped to let a request be made
  // alone) start again before later ones are queued.
  for (std::size_t i = 0; ahead + 1 < in_flight_; ++i) {
    if (i == queue_.size()) {
      if (next_planned_ == planned_.size()) return;
      queue_.push_back(
          std::make_unique<Attempt>(planned_[next_planned_], next_planned_));
      ++next_planned_;
    }
    Attempt& queued = *queue_[i];
    if (queued.started || queued.at_turn_only) continue;
    // Without a spool file nothing more starts ahead for now.
    if (!StartAhead(queued)) return;
    if (queued.started) ++ahead;
  }
}

bool DownloadPipeline::StartAhead(Attempt& attempt) {
  if (!spool_device_) return false;
  struct stat info;
  const std::string target = attempt.request->Target();
  if (::lstat((target + ".tmp").c_str(), &info) == 0) {
    // A kept download is dealt with at the turn, before any request.
    attempt.at_turn_only = true;
    return true;
  }
  attempt.spool = std::make_unique<SpoolBuffer>(
      spool_directory_ + NameOf(target), kMostHeldBytes);
  if (!attempt.spool->ok()) {
    attempt.spool.reset();
    return false;
  }
  attempt.started = true;
  attempt.meter = std::make_unique<ProgressMeterStream>(2, false);
  attempt.gate = {true, kPrefetchBytes};
  // Not even its spool file takes more than the file may have.
  attempt.spooled = {};
  attempt.spooled.most = attempt.request->most_bytes.value_or(kNoRoomBound);
  attempt.data = {nullptr, attempt.spool->stream(),
                  nullptr, attempt.meter.get(), &attempt.gate,
                  &attempt.spooled};
  Launch(attempt, attempt.request->most_bytes.value_or(kNoRoomBound));
  return true;
}

void DownloadPipeline::StartAtTurn(Attempt& attempt, DownloadBody& body) {
  attempt.started = true;
  attempt.meter = std::make_unique<ProgressMeterStream>(2, false);
  attempt.gate = {};
  attempt.data = body.Sink(attempt.meter.get(), &attempt.gate);
  Launch(attempt, body.most_bytes());
}

void DownloadPipeline::Launch(Attempt& attempt, std::uint64_t most_bytes) {
  attempt.granted = clock_();
  attempt.easy =
      idle_handles_.empty() ? curl_easy_init() : idle_handles_.back();
  if (!idle_handles_.empty()) idle_handles_.pop_back();
  // The pipeline keeps the time limit itself, from the file's turn.
  attempt.get.SetUp(attempt.easy, &attempt.data, attempt.meter->stream(), 0L,
                    most_bytes);
  curl_easy_setopt(attempt.easy, CURLOPT_PRIVATE, &attempt);
  if (attempt.easy == nullptr || multi_ == nullptr ||
      curl_multi_add_handle(multi_, attempt.easy) != CURLM_OK) {
    // As a client without a handle: the transfer fails at once.
    attempt.ended = true;
    attempt.code = CURLE_BAD_FUNCTION_ARGUMENT;
    return;
  }
  attempt.running = true;
}

CURLcode DownloadPipeline::Run(Attempt& attempt, const DownloadRequest& request,
                               DownloadBody& body,
                               std::optional<TimePoint> deadline) {
  std::optional<SpeedFloorWatch> floor;
  if (request.speed_floor) floor.emplace(*request.speed_floor);
  while (!attempt.ended) {
    KeepAheadAlive();
    int wait_ms = kPollMilliseconds;
    if (deadline) {
      const auto left = *deadline - clock_();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        Retire(attempt, CURLE_OPERATION_TIMEDOUT);
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
    if (attempt.ended) break;
    if (floor && floor->TooSlow(clock_(), AnswerBegun(attempt.easy),
                                attempt.data.limit->received)) {
      body.MarkTooSlow();
      Retire(attempt, CURLE_OPERATION_TIMEDOUT);
      break;
    }
    if (status != CURLM_OK) {
      // The multi handle broke: every transfer ends here.
      for (auto& queued : queue_) Retire(*queued, CURLE_ABORTED_BY_CALLBACK);
      Retire(attempt, CURLE_ABORTED_BY_CALLBACK);
      break;
    }
    curl_multi_poll(multi_, nullptr, 0, wait_ms, nullptr);
  }
  if (attempt.meter != nullptr) attempt.meter->Flush();
  return attempt.code;
}

void DownloadPipeline::DropAhead() {
  for (auto& queued : queue_) {
    if (!queued->running) continue;
    Retire(*queued);
    queued = std::make_unique<Attempt>(planned_[queued->index], queued->index);
  }
}

std::uint64_t DownloadPipeline::Spooled(const Attempt* also) const {
  std::uint64_t bytes =
      also != nullptr && also->spool != nullptr ? also->spool->on_disk() : 0;
  for (const auto& attempt : queue_) {
    if (attempt->spool != nullptr) bytes += attempt->spool->on_disk();
  }
  return bytes;
}

void DownloadPipeline::KeepAheadAlive() {
  const auto now = clock_();
  for (auto& queued : queue_) {
    Attempt& ahead = *queued;
    const std::size_t held = ahead.spooled.received;
    if (!ahead.running || !ahead.gate.ahead || held >= kMostHeldBytes ||
        now - ahead.granted < kKeepAliveInterval) {
      continue;
    }
    ahead.granted = now;
    ahead.gate.allowance = std::min(
        std::max(ahead.gate.allowance, kKeepAliveBytes), kMostHeldBytes - held);
    curl_easy_pause(ahead.easy, CURLPAUSE_CONT);
  }
}

void DownloadPipeline::CollectEnded() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    Attempt* attempt = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &attempt);
    curl_multi_remove_handle(multi_, easy);
    if (attempt == nullptr) continue;
    attempt->running = false;
    attempt->ended = true;
    attempt->code = code;
  }
}

void DownloadPipeline::Retire(Attempt& attempt, std::optional<CURLcode> code) {
  if (attempt.running) {
    curl_multi_remove_handle(multi_, attempt.easy);
    attempt.running = false;
  }
  if (attempt.easy != nullptr) {
    curl_easy_reset(attempt.easy);
    idle_handles_.push_back(attempt.easy);
    attempt.easy = nullptr;
  }
  if (code) {
    attempt.ended = true;
    attempt.code = *code;
  }
}
