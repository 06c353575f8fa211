#include "engine/file_lock.h"

#include <gtest/gtest.h>

#include <string>

#include "engine_starter/log.h"
#include "support/temp_dir.h"

namespace {

class FileLockTest : public testing::Test {
 protected:
  TempDir dir_;
  std::string log_path_ = dir_ / "app.txt";
};

TEST_F(FileLockTest, LogsAFailedOpenWhileTheAppLogExists) {
  {
    CAppLog log(log_path_.c_str(), false);
    FileLock lock(std::fopen((dir_ / "absent.txt").c_str(), "rb"));
    EXPECT_FALSE(lock.isValid());
    EXPECT_TRUE(lock.close());
  }
  EXPECT_EQ(ReadFile(log_path_),
            "File open error: No such file or directory\n\n");
}

TEST_F(FileLockTest, FailedOpenIsSilentWithoutTheAppLog) {
  testing::internal::CaptureStdout();
  FileLock lock(std::fopen((dir_ / "absent.txt").c_str(), "rb"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(lock.isValid());
}

TEST_F(FileLockTest, FailedOpenIsSilentWhileReportingIsOff) {
  {
    CAppLog log(log_path_.c_str(), false);
    FileLock::reportError = false;
    FileLock lock(std::fopen((dir_ / "absent.txt").c_str(), "rb"));
    FileLock::reportError = true;
  }
  EXPECT_EQ(ReadFile(log_path_), "");
}

TEST_F(FileLockTest, ReleaseLeavesTheStreamOpenForTheNewOwner) {
  const std::string path = dir_ / "data.txt";
  FILE* stream = nullptr;
  {
    FileLock lock(std::fopen(path.c_str(), "wb"));
    ASSERT_TRUE(lock.isValid());
    stream = lock.release();
    EXPECT_FALSE(lock.isValid());
  }
  ASSERT_NE(stream, nullptr);
  EXPECT_GE(std::fputs("written after release", stream), 0);
  EXPECT_EQ(std::fclose(stream), 0);
  EXPECT_EQ(ReadFile(path), "written after release");
}

TEST_F(FileLockTest, DestructionClosesTheStream) {
  const std::string path = dir_ / "data.txt";
  {
    FileLock lock(std::fopen(path.c_str(), "wb"));
    ASSERT_TRUE(lock.isValid());
    std::fputs("buffered", lock.get());
    EXPECT_EQ(ReadFile(path), "");  // still in the stream's buffer
  }
  EXPECT_EQ(ReadFile(path), "buffered");
}

TEST_F(FileLockTest, CloseReportsAFailedFinalWrite) {
  FileLock lock(std::fopen("/dev/full", "wb"));
  ASSERT_TRUE(lock.isValid());
  std::fputs("does not fit", lock.get());
  EXPECT_FALSE(lock.close());
  EXPECT_FALSE(lock.isValid());
}

}  // namespace
