#include "engine/hash_pipeline.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

// How long a ready result may wait for the rest of its batch.
constexpr std::chrono::milliseconds kBatchDelay(20);

unsigned WorkerCount(unsigned asked) {
  return asked != 0 ? asked : std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

HashPipeline::HashPipeline(const std::vector<std::string>& paths,
                           unsigned threads, std::size_t window,
                           Digests digests)
    : paths_(paths),
      window_(window != 0 ? window : 16 * std::size_t{WorkerCount(threads)}),
      with_sha256_(digests == Digests::kMd5AndSha256),
      slots_(window_) {
  const std::size_t workers =
      std::min<std::size_t>(WorkerCount(threads), paths_.size());
  workers_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    workers_.emplace_back([this] { Work(); });
  }
}

HashPipeline::~HashPipeline() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  lock.unlock();
  work_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool HashPipeline::BatchReady() const {
  return slots_[next_take_ % window_].ready && slots_[awaited_ % window_].ready;
}

HashPipeline::Result HashPipeline::TakeNext() {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[next_take_ % window_];
  if (!slot.ready) {
    // Waking once per batch (half the window), not once per file, keeps the
    // workers on their cores.
    awaited_ = std::min(next_take_ + (window_ + 1) / 2, paths_.size()) - 1;
    const auto batch_ready = [this] { return BatchReady(); };
    while (!done_.wait_for(lock, kBatchDelay, batch_ready) && !slot.ready) {
    }
  }
  Result result = std::move(slot.result);
  slot = Slot();
  ++next_take_;
  lock.unlock();
  work_.notify_all();
  return result;
}

void HashPipeline::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] {
      return stopping_ || next_claim_ >= paths_.size() ||
             next_claim_ < next_take_ + window_;
    });
    if (stopping_ || next_claim_ >= paths_.size()) return;
    const std::size_t index = next_claim_++;
    lock.unlock();
    Result result;
    result.error = HashFile(paths_[index].c_str(), result.hex, result.facts,
                            with_sha256_);
    if (result.error != FileHashError::kNone) result.error_number = errno;
    lock.lock();
    slots_[index % window_] = Slot{true, std::move(result)};
    if (BatchReady()) done_.notify_one();
  }
}
