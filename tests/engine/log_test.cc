#include "engine_starter/log.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/app_log.h"
#include "support/temp_dir.h"

namespace {

class LogTest : public testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_ / "app.txt";
};

TEST_F(LogTest, WritesFormattedLinesAndEchoesThemToStandardOutput) {
  testing::internal::CaptureStdout();
  {
    CLog log(path_.c_str(), true);
    log.Write("Engine");
    log.Write("value %d of %s", 7, "eight");
    log.Write("ends in line feed\n");
  }
  std::string echoed = testing::internal::GetCapturedStdout();
  const std::string expected =
      "Engine\nvalue 7 of eight\nends in line feed\n\n";
  EXPECT_EQ(ReadFile(path_), expected);
  EXPECT_EQ(echoed, expected);
}

TEST_F(LogTest, IsFlushedAfterEveryLine) {
  CLog log(path_.c_str(), false);
  log.Write("first");
  EXPECT_EQ(ReadFile(path_), "first\n");
  log.WriteNoArgs("second");
  EXPECT_EQ(ReadFile(path_), "first\nsecond\n");
}

TEST_F(LogTest, WithoutEchoPrintsNothing) {
  testing::internal::CaptureStdout();
  {
    CLog log(path_.c_str(), false);
    log.Write("quiet");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ReadFile(path_), "quiet\n");
}

TEST_F(LogTest, SecondLogOnSameFileTruncatesTheFirst) {
  {
    CLog first(path_.c_str(), false);
    first.Write("first run line one");
    first.Write("first run line two");
  }
  {
    CLog second(path_.c_str(), false);
    second.Write("second run");
  }
  EXPECT_EQ(ReadFile(path_), "second run\n");
}

TEST_F(LogTest, WriteNoArgsKeepsPercentSignsUnchanged) {
  CLog log(path_.c_str(), false);
  log.WriteNoArgs("100%d %s done");
  EXPECT_EQ(ReadFile(path_), "100%d %s done\n");
}

TEST_F(LogTest, OverlongMessageIsCutToTheBuffer) {
  const std::string longText(CLog::kBufferSize + 5000, 'x');
  {
    CLog log(path_.c_str(), false);
    log.Write("%s", longText.c_str());
    log.Write("after");
  }
  const std::string expected =
      std::string(CLog::kBufferSize - 1, 'x') + "\nafter\n";
  EXPECT_EQ(ReadFile(path_), expected);
}

TEST_F(LogTest, NullMessageWritesNothingAndLaterLinesStillArrive) {
  testing::internal::CaptureStdout();
  {
    CLog log(path_.c_str(), true);
    log.WriteNoArgs(nullptr);
    log.Write(nullptr);
    log.Write("still here");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n");
  EXPECT_EQ(ReadFile(path_), "still here\n");
}

TEST_F(LogTest, ConsoleOnlyLogWithoutFileName) {
  testing::internal::CaptureStdout();
  {
    CLog log(nullptr, true);
    log.Write("console %s", "only");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "console only\n");
}

TEST_F(LogTest, UncreatableFileStillEchoes) {
  testing::internal::CaptureStdout();
  {
    CLog log((dir_ / "missing/app.txt").c_str(), true);
    log.Write("echo survives");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "echo survives\n");
  EXPECT_FALSE(PathExists(dir_ / "missing"));
}

TEST_F(LogTest, AppLogRegistersItselfForItsLifetime) {
  ASSERT_FALSE(Singleton<CAppLog>::IsValid());
  testing::internal::CaptureStdout();
  LogLine("before the log %d", 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::string longText(CLog::kBufferSize + 5000, 'x');
  {
    CAppLog log(path_.c_str(), false);
    EXPECT_EQ(Singleton<CAppLog>::GetSingleton(), &log);
    Singleton<CAppLog>::GetSingleton()->Write("through the singleton");
    // LogLine writes what Write would, an overlong text cut the same way.
    LogLine("value %d of %s\n", 7, "eight");
    LogLine("%s", longText.c_str());
  }
  EXPECT_FALSE(Singleton<CAppLog>::IsValid());
  LogLine("after the log");
  EXPECT_EQ(ReadFile(path_), "through the singleton\nvalue 7 of eight\n\n" +
                                 std::string(CLog::kBufferSize - 1, 'x') +
                                 "\n");
}

}  // namespace
