#include "http/progress_meter.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http/curl_client.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace {

// A socket pair that keeps the boundaries of every write: each write the
// stream makes arrives as one message.
class MessagePipe {
 public:
  MessagePipe() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds_), 0);
  }
  ~MessagePipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int writer() const { return fds_[0]; }
  // Every message written so far, in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    char buffer[65536];
    for (ssize_t n; (n = recv(fds_[1], buffer, sizeof buffer, 0)) >= 0;) {
      messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return messages;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::string Joined(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& part : parts) all += part;
  return all;
}

TEST(ProgressMeterStreamTest, WritesOneUpdateAtATimeAndEveryByte) {
  const std::string header =
      "  % Total    % Received\n  Dload  Upload\n";
  const std::string first = "\r  0     0    0     0";
  const std::string second = "\r100 16384  100 16384";
  const std::string last = "\r100 16384  100 16384 done\n";
  MessagePipe pipe;
  {
    ProgressMeterStream meter(pipe.writer());
    ASSERT_NE(meter.stream(), nullptr);
    // libcurl prints a character at a time.
    for (char c : header + first + second) std::fputc(c, meter.stream());
    meter.Flush();  // between two updates, as after a received chunk
    for (char c : last) std::fputc(c, meter.stream());
    std::fputs("\rheld", meter.stream());
  }
  const std::vector<std::string> expected = {
      "  % Total    % Received\n", "  Dload  Upload\n", first, second, last,
      "\rheld"};
  EXPECT_EQ(pipe.Messages(), expected);
}

// A real transfer: the meter libcurl prints on standard error arrives in
// whole updates, a few writes per file instead of one per byte.
TEST(ProgressMeterStreamTest, ClientMeterReachesStandardErrorInWholeUpdates) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  HttpTestServer server;
  server.SetReply("/10/big.bin", HttpReply::Ok(std::string(300000, 'b')));
  MessagePipe pipe;
  const int saved_stderr = dup(2);
  ASSERT_GE(saved_stderr, 0);
  ASSERT_EQ(dup2(pipe.writer(), 2), 2);
  testing::internal::CaptureStdout();
  {
    CCurl client;
    client.DownloadFile(server.Url("/10/").c_str(), "big.bin", "", 10);
    EXPECT_EQ(client.result, CURLE_OK);
  }
  testing::internal::GetCapturedStdout();
  dup2(saved_stderr, 2);
  close(saved_stderr);

  const std::vector<std::string> messages = pipe.Messages();
  const std::string meter = Joined(messages);
  ASSERT_NE(meter.find("% Total"), std::string::npos) << meter;
  EXPECT_LE(messages.size() * 20, meter.size()) << meter;
  for (const std::string& message : messages) {
    const bool line = message.back() == '\n' &&
                      message.find('\n') == message.size() - 1;
    const bool update = message.front() == '\r' &&
                        message.find_first_of("\r\n", 1) == std::string::npos;
    EXPECT_TRUE(line || update) << "split update: [" << message << "]";
  }
  EXPECT_EQ(ReadFile("big.bin").size(), 300000u);
}

}  // namespace
