// Ctrl+C reaching the real program: forwarded to the running game module as a
// shutdown request, and a second one ending the process.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "game_fixture.h"

namespace {

constexpr char kServerRunning[] = "Velmora: server running for 30 s";

class InterruptTest : public ServedGameFixture {
 protected:
  ScopedEnv long_loop{"VELMORA_SERVER_SECONDS", "30"};
};

TEST_F(InterruptTest, CtrlCShutsTheRunningGameDownCleanly) {
  PublishRelease();
  auto child = Start({});
  ASSERT_TRUE(WaitFor(game + "/Logs/app.txt", kServerRunning));
  ASSERT_EQ(kill(child->pid(), SIGINT), 0);
  ChildResult r = child->Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.signal, 0);
  EXPECT_TRUE(Contains(r.out, "Ctrl+C detected\n"));
  EXPECT_TRUE(EndsWith(r.out, kTheEnd));
  const std::string log = AppLog();
  EXPECT_TRUE(
      Contains(log, "Velmora: server shut down on request, module ends\n"));
  EXPECT_FALSE(Contains(log, "Velmora: tick 30\n"));
}

TEST_F(InterruptTest, SecondCtrlCEndsTheProcess) {
  PublishRelease();
  const std::string list = ServerList();
  // The checksum list is held back until the first Ctrl+C has been handled,
  // so that it arrives while no game is registered and the run goes on.
  std::atomic<bool> list_requested{false};
  std::atomic<bool> release_list{false};
  server.SetHandler(
      "/10/linux32-dedicated-demo/App/version.txt",
      [&](const httplib::Request&, httplib::Response& response) {
        list_requested = true;
        for (int i = 0; i < 800 && !release_list; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        response.set_content(list, "text/plain");
      });

  auto child = Start({});
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!list_requested && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(list_requested);
  ASSERT_EQ(kill(child->pid(), SIGINT), 0);
  bool first_handled = false;
  while (!first_handled && std::chrono::steady_clock::now() < deadline) {
    first_handled = Contains(child->OutputSoFar(), "Ctrl+C detected\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  release_list = true;
  ASSERT_TRUE(first_handled);

  // The update finishes and the game runs; the next Ctrl+C is not caught.
  ASSERT_TRUE(WaitFor(game + "/Logs/app.txt", kServerRunning));
  ASSERT_EQ(kill(child->pid(), SIGINT), 0);
  ChildResult r = child->Wait();
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_EQ(Count(r.out, "Ctrl+C detected\n"), 1);
  EXPECT_FALSE(Contains(r.out, kTheEnd));
  EXPECT_FALSE(Contains(AppLog(), "module ends"));
}

}  // namespace
