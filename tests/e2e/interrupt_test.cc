// Ctrl+C reaching the real program: forwarded to the running game module as a
// shutdown request, and a second one ending the process. And a service
// manager's stop of the program after it restarted itself: SIGINT to every
// process of the service, or to the main process only.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "game_fixture.h"
#include "support/wait_until.h"

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
  // The checksum list is held back until the first Ctrl+C has been handled,
  // so that it arrives while no game is registered and the run goes on.
  const std::string list_path = "/10/linux32-dedicated-demo/App/version.txt";
  server.Hold(list_path);

  auto child = Start({});
  ASSERT_TRUE(WaitUntil([&] { return server.RequestCount(list_path) > 0; }));
  ASSERT_EQ(kill(child->pid(), SIGINT), 0);
  const bool first_handled = WaitUntil(
      [&] { return Contains(child->OutputSoFar(), "Ctrl+C detected\n"); });
  server.Release(list_path);
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

// Longer than any of these tests; the unit's TimeoutStopSec is 120 s.
constexpr int kStopTimeoutSecs = 60;
constexpr char kServiceRunning[] = "Velmora: server running for 300 s";
constexpr char kShutDown[] = "Velmora: server shut down on request";
constexpr char kModuleEnds[] = ", module ends\n";

// Orphans of this process's descendants come to this process while it
// lives, as they come to the service manager, so that it can reap them.
class ScopedSubreaper {
 public:
  ScopedSubreaper() { ok_ = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }
  ~ScopedSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  ScopedSubreaper(const ScopedSubreaper&) = delete;
  ScopedSubreaper& operator=(const ScopedSubreaper&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// How the processes of a group that were reaped ended.
struct GroupEnd {
  bool gone = false;   // no process of the group was left
  int exited = 0;      // reaped after a normal exit
  int signalled = 0;   // reaped after a signal ended them
};

// Reaps the members of process group `pgid` as they end, until none is
// left or `timeout_secs` have passed.
GroupEnd WaitUntilGroupGone(pid_t pgid, int timeout_secs) {
  GroupEnd end;
  const auto reaped_all = [&] {
    int status = 0;
    while (waitpid(-pgid, &status, WNOHANG) > 0) {
      if (WIFEXITED(status)) ++end.exited;
      if (WIFSIGNALED(status)) ++end.signalled;
    }
    return kill(-pgid, 0) != 0 && errno == ESRCH;
  };
  end.gone = WaitUntil(reaped_all, std::chrono::seconds(timeout_secs),
                       std::chrono::milliseconds(5));
  return end;
}

// True while `pid`, a child of this process, has not ended (it is not
// reaped).
bool StillRunning(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// True when `pid` ignores SIGINT, from its /proc status.
bool IgnoresSigint(pid_t pid) {
  const std::string status =
      ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("SigIgn:\t");
  if (at == std::string::npos) return false;
  const unsigned long long ignored =
      std::strtoull(status.c_str() + at + 8, nullptr, 16);
  return (ignored & (1ULL << (SIGINT - 1))) != 0;
}

// The starter as a service runs it: leading a process group of its own.
// The release replaces the game's executable, so the starter installs it
// and runs itself again through the shell, and the restarted starter runs
// the game module while the first one waits for it.
class ServiceStopTest : public ServedGameFixture {
 protected:
  std::unique_ptr<ChildProcess> StartUntilTheRestartedGameRuns() {
    PublishRelease({{"OKUdedi", "#!/bin/sh\necho new\n"}});
    WriteFile(game + "/OKUdedi", "#!/bin/sh\necho old\n");
    auto child = Start({}, /*own_process_group=*/true);
    EXPECT_TRUE(WaitFor(game + "/Logs/app.txt", kServiceRunning))
        << child->OutputSoFar();
    EXPECT_TRUE(Contains(child->OutputSoFar(), "RESTARTING"));
    return child;
  }

  ScopedSubreaper subreaper;
  ScopedEnv long_loop{"VELMORA_SERVER_SECONDS", "300"};
};

// systemd's stop with KillMode=control-group and KillSignal=SIGINT: the
// restarted starter gets the signal and shuts the game down once, and
// every process ends by itself.
TEST_F(ServiceStopTest, SigintToTheWholeGroupShutsTheRestartedGameDown) {
  ASSERT_TRUE(subreaper.ok());
  auto child = StartUntilTheRestartedGameRuns();
  const pid_t group = child->pid();
  ASSERT_EQ(kill(-group, SIGINT), 0);

  const ChildResult main = child->Wait(kStopTimeoutSecs);
  EXPECT_EQ(main.exit_code, 0);
  const GroupEnd rest = WaitUntilGroupGone(group, kStopTimeoutSecs);
  EXPECT_TRUE(rest.gone);
  EXPECT_EQ(rest.signalled, 0);  // nothing left over had to be killed
  const std::string out = child->OutputSoFar();
  EXPECT_EQ(Count(out, "Ctrl+C detected\n"), 1) << out;
  EXPECT_EQ(Count(out, kShutDown), 1) << out;
  EXPECT_EQ(Count(out, kModuleEnds), 1) << out;
  EXPECT_EQ(Count(out, kTheEnd), 2) << out;
  EXPECT_TRUE(Contains(AppLog(), std::string(kShutDown) + kModuleEnds));
}

// Why the unit does not use KillMode=process: the starter that runs the
// restarted one ignores SIGINT while it waits, so a signal to the main
// process alone is lost and the game plays on, until the final SIGKILL to
// everything left ends it without its shutdown.
TEST_F(ServiceStopTest, SigintToTheMainProcessOnlyNeverReachesTheGame) {
  ASSERT_TRUE(subreaper.ok());
  auto child = StartUntilTheRestartedGameRuns();
  const pid_t group = child->pid();
  ASSERT_TRUE(IgnoresSigint(child->pid()));
  ASSERT_EQ(kill(child->pid(), SIGINT), 0);

  // Two more seconds of play: a requested shutdown ends the loop within a
  // tenth of a second.
  const std::string log = AppLog();
  int ticks = 0;
  while (Contains(log, "Velmora: tick " + std::to_string(ticks + 1) + "\n")) {
    ++ticks;
  }
  ASSERT_TRUE(WaitFor(game + "/Logs/app.txt",
                      "Velmora: tick " + std::to_string(ticks + 2) + "\n"));
  EXPECT_TRUE(StillRunning(child->pid()));
  EXPECT_FALSE(Contains(child->OutputSoFar(), "Ctrl+C detected"));

  // What the service manager does when the stop times out: SIGKILL to every
  // process left. The main process goes first, so that the restarted starter
  // is orphaned to this process, which then sees how it ends (killed
  // together, the main process could reap it first).
  ASSERT_EQ(kill(child->pid(), SIGKILL), 0);
  const ChildResult main = child->Wait(kStopTimeoutSecs);
  EXPECT_EQ(main.signal, SIGKILL);
  ASSERT_EQ(kill(-group, SIGKILL), 0);
  const GroupEnd rest = WaitUntilGroupGone(group, kStopTimeoutSecs);
  EXPECT_TRUE(rest.gone);
  EXPECT_GE(rest.signalled, 1);  // the restarted starter with the game
  EXPECT_FALSE(Contains(child->OutputSoFar(), kShutDown));
  EXPECT_FALSE(Contains(AppLog(), kModuleEnds));
}

}  // namespace
