// Hashing many files on every core, with the results taken in order.
#ifndef STARTER_ENGINE_HASH_PIPELINE_H_
#define STARTER_ENGINE_HASH_PIPELINE_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/md5.h"

// Hashes a sequence of files (HashFile) on worker threads, ahead of one
// consumer that takes the results one by one in the sequence's order. At most
// a fixed window of files is hashed ahead of the consumer, so memory and
// wasted reads stay bounded when the consumer stops early. Nothing is
// logged or printed: whatever the consumer does with a result happens on its
// own thread, in order, as if it had hashed the files itself.
class HashPipeline {
 public:
  // What HashFile gave for one file.
  struct Result {
    FileHashError error = FileHashError::kNone;
    // 32 lower-case hex digits when error is kNone, else empty.
    std::string hex;
    // The errno HashFile left when it failed, else 0.
    int error_number = 0;
    // When error is kNone: the file's size and mode, and its SHA-256 when
    // the pipeline was asked for it (see FileFacts).
    FileFacts facts;
  };

  // Which digests each file gets: its MD5 alone, or its SHA-256 too, from
  // the same read.
  enum class Digests { kMd5, kMd5AndSha256 };

  // Starts hashing `paths`, which must outlive the pipeline, on `threads`
  // workers (0: one per core) at most `window` files ahead (0: a few per
  // worker). A path is not read once its result has been taken.
  explicit HashPipeline(const std::vector<std::string>& paths,
                        unsigned threads = 0, std::size_t window = 0,
                        Digests digests = Digests::kMd5);
  // Stops the workers after the files they are reading; results not taken
  // are dropped.
  ~HashPipeline();
  HashPipeline(const HashPipeline&) = delete;
  HashPipeline& operator=(const HashPipeline&) = delete;

  // The result for the next file of the sequence, waiting until it is
  // ready; a wait lasts until the next few results are ready too, or a
  // moment more. Call it at most once per path.
  Result TakeNext();

 private:
  struct Slot {
    bool ready = false;
    Result result;
  };
  void Work();
  // Under mutex_: the next result and the last of its batch are ready.
  bool BatchReady() const;

  const std::vector<std::string>& paths_;
  const std::size_t window_;
  const bool with_sha256_;
  std::vector<Slot> slots_;  // results by index modulo window_
  std::mutex mutex_;
  std::condition_variable work_;  // a worker may claim another file
  std::condition_variable done_;  // a batch of results is ready
  std::size_t next_claim_ = 0;
  std::size_t next_take_ = 0;
  std::size_t awaited_ = 0;  // the last result of the batch waited for
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

#endif  // STARTER_ENGINE_HASH_PIPELINE_H_
