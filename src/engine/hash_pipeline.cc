#include "engine/hash_pipeline.h"

#include <algorithm>
#include <cerrno>

namespace {

unsigned WorkerCount(unsigned asked) {
  if (asked != 0) return asked;
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

HashPipeline::HashPipeline(const std::vector<std::string>& paths,
                           unsigned threads, std::size_t window)
    : paths_(paths),
      window_(window != 0 ? window : 4 * std::size_t{WorkerCount(threads)}),
      slots_(window_) {
  const std::size_t workers =
      std::min<std::size_t>(WorkerCount(threads), paths_.size());
  workers_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    workers_.emplace_back([this] { Work(); });
  }
}

HashPipeline::~HashPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

HashPipeline::Result HashPipeline::TakeNext() {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[next_take_ % window_];
  done_.wait(lock, [&slot] { return slot.ready; });
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
    result.error = HashFile(paths_[index].c_str(), result.hex);
    if (result.error != FileHashError::kNone) {
      result.error_number = errno;
      result.hex.clear();
    }
    lock.lock();
    slots_[index % window_] = Slot{true, std::move(result)};
    done_.notify_all();
  }
}
