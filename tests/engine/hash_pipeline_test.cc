#include "engine/hash_pipeline.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/random_bytes.h"
#include "support/temp_dir.h"

namespace {

class HashPipelineTest : public testing::Test {
 protected:
  HashPipelineTest() {
    for (int i = 0; i < 60; ++i) {
      const std::string path = dir_ / ("f" + std::to_string(i));
      // Sizes from empty to a few blocks of the hasher.
      WriteFile(path, RandomBytes(static_cast<std::size_t>(i) * 9000, i));
      paths_.push_back(path);
    }
    paths_.insert(paths_.begin() + 7, dir_ / "missing");
    paths_.insert(paths_.begin() + 20, dir_.path());
    mkfifo((dir_ / "fifo").c_str(), 0644);
    paths_.insert(paths_.begin() + 33, dir_ / "fifo");
  }

  TempDir dir_;
  std::vector<std::string> paths_;
};

// Whatever the number of workers and the window, the results come in the
// order of the paths and equal what HashFile says of each, failures
// included; a FIFO never blocks a worker.
TEST_F(HashPipelineTest, TakesEveryResultInOrder) {
  const struct {
    unsigned threads;
    std::size_t window;
  } cases[] = {{1, 1}, {2, 1}, {2, 3}, {4, 2}, {3, 64}, {1, 64}, {0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, window "
                                    << c.window);
    HashPipeline pipeline(paths_, c.threads, c.window);
    for (const std::string& path : paths_) {
      std::string expected;
      const FileHashError error = HashFile(path.c_str(), expected);
      const HashPipeline::Result result = pipeline.TakeNext();
      EXPECT_EQ(result.error, error) << path;
      EXPECT_EQ(result.hex, error == FileHashError::kNone ? expected : "")
          << path;
    }
  }
}

// A consumer that stops early (a stopped update run) takes correct results
// so far, and the pipeline goes without waiting for the rest.
TEST_F(HashPipelineTest, StopsWhenTheConsumerGoesEarly) {
  for (std::size_t taken : {0u, 1u, 5u}) {
    HashPipeline pipeline(paths_, 2, 4);
    for (std::size_t i = 0; i < taken; ++i) {
      std::string expected;
      HashFile(paths_[i].c_str(), expected);
      EXPECT_EQ(pipeline.TakeNext().hex, expected) << i;
    }
  }
  const std::vector<std::string> none;
  HashPipeline empty(none);
  SUCCEED() << "an empty sequence starts no worker";
}

}  // namespace
