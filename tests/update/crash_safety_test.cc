// Crash safety of the update run: a real run in a child process is killed
// with SIGKILL at many points (during the list download, the relocation, the
// hashing, a file transfer, between installations and at timed moments after
// a transfer). After every kill each listed file present under its real name
// holds its old or its complete new content and nothing outside the game
// directory exists; the next run goes on from there. A final run without a
// kill converges on exactly the release, with the version file a byte copy
// of the list.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/md5.h"
#include "support/child_process.h"
#include "support/random_bytes.h"
#include "support/scoped_env.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPlatformDir = "/10/linux32-dedicated-demo/";
const std::string kListUrlPath = kPlatformDir + "App/version.txt";
constexpr auto kTriggerTimeout = std::chrono::seconds(60);

// Where a run is killed.
enum class Stop {
  kOnRequest,  // when the request for a path arrives: between installations
  kMidBody,    // when half of a path's body has been sent
  kAfterBody,  // a moment after the whole body of a path has been sent
  kOnLogLine,  // as soon as the application log shows a line
};

const char* StopName(Stop stop) {
  switch (stop) {
    case Stop::kOnRequest:
      return "on request";
    case Stop::kMidBody:
      return "mid body";
    case Stop::kAfterBody:
      return "after body";
    case Stop::kOnLogLine:
      return "on log line";
  }
  return "?";
}

struct KillPoint {
  Stop stop;
  // The URL path (request stops) or the log text (kOnLogLine).
  std::string target;
  std::chrono::microseconds delay{0};

  std::string Describe() const {
    return std::string(StopName(stop)) + " " + target + " +" +
           std::to_string(delay.count()) + "us";
  }
};

// Serves the release through handlers of an HttpTestServer and stops the one
// response an armed kill point names, telling the test when it got there.
// A stopped response stays stopped until Release().
class GatedRelease {
 public:
  GatedRelease(HttpTestServer& server,
               const std::map<std::string, std::string>& bodies) {
    for (const auto& entry : bodies) {
      const std::string url_path = entry.first;
      auto shared = std::make_shared<const std::string>(entry.second);
      server.SetHandler(url_path,
                        [this, url_path, shared](const httplib::Request&,
                                                 httplib::Response& response) {
                          Answer(url_path, shared, response);
                        });
    }
  }
  ~GatedRelease() { Release(); }
  GatedRelease(const GatedRelease&) = delete;
  GatedRelease& operator=(const GatedRelease&) = delete;

  // Stops the next response for `url_path` as `stop` says.
  void Arm(Stop stop, const std::string& url_path) {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = stop;
    path_ = url_path;
    armed_ = true;
    reached_ = false;
    released_ = false;
  }
  // True once the armed response got to its stop; waits up to `wait`.
  bool WaitReached(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, wait, [this] { return reached_; });
  }
  // When the armed response got to its stop.
  Clock::time_point ReachedAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reached_at_;
  }
  // True when a request arrived after `moment`.
  bool RequestArrivedAfter(Clock::time_point moment) {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_arrival_ > moment;
  }
  // Lets a stopped response end (its connection is closed) and disarms.
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    released_ = true;
    changed_.notify_all();
  }

 private:
  // Claims the armed stop for this request when it matches.
  bool Claim(const std::string& url_path, Stop stop) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!armed_ || reached_ || stop_ != stop || path_ != url_path) {
      return false;
    }
    return true;
  }
  void MarkReached() {
    std::lock_guard<std::mutex> lock(mutex_);
    reached_ = true;
    reached_at_ = Clock::now();
    changed_.notify_all();
  }
  void WaitReleased() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kTriggerTimeout, [this] { return released_; });
  }

  void Answer(const std::string& url_path,
              const std::shared_ptr<const std::string>& body,
              httplib::Response& response) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_arrival_ = Clock::now();
    }
    if (Claim(url_path, Stop::kOnRequest)) {
      MarkReached();
      WaitReleased();
      response.status = 503;
      return;
    }
    const bool mid = Claim(url_path, Stop::kMidBody);
    const bool after = !mid && Claim(url_path, Stop::kAfterBody);
    if (!mid && !after) {
      response.set_content(*body, "application/octet-stream");
      return;
    }
    const std::size_t half = body->size() / 2;
    response.set_content_provider(
        body->size(), "application/octet-stream",
        [this, body, half, mid](std::size_t offset, std::size_t,
                                httplib::DataSink& sink) {
          if (mid && offset >= half) {
            MarkReached();
            WaitReleased();
            return false;
          }
          const std::size_t end =
              mid ? half : std::min(body->size(), offset + 65536);
          const std::size_t length = std::min<std::size_t>(end - offset, 65536);
          if (!sink.write(body->data() + offset, length)) return false;
          if (!mid && offset + length == body->size()) MarkReached();
          return true;
        });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Stop stop_ = Stop::kOnRequest;
  std::string path_;
  bool armed_ = false;
  bool reached_ = false;
  bool released_ = false;
  Clock::time_point reached_at_;
  Clock::time_point last_arrival_;
};

// True when the child has ended (it is not reaped here).
bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info,
                WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

struct ListedFile {
  std::string path;  // below the game directory, without "./"
  std::string fresh;
  std::optional<std::string> old;  // the seeded local copy, if any
};

class CrashSafetyTest : public ::testing::Test {
 protected:
  CrashSafetyTest() { MakeRelease(); }
  // Lets every stopped response end before the server stops; the gate
  // outlives the server.
  ~CrashSafetyTest() override { gate_->Release(); }

  // The release: two large files (one stale and downloaded, one current and
  // only hashed), an executable, and small files that are stale, missing or
  // current; plus unlisted files of "./Base" that the run relocates.
  void MakeRelease() {
    files_.push_back(
        {"data/big1.bin", RandomBytes(3 << 20, 1), RandomBytes(3 << 20, 2)});
    std::string big2 = RandomBytes(2 << 20, 3);
    files_.push_back({"data/big2.bin", big2, big2});
    files_.push_back({"OKU", "new executable " + RandomBytes(3000, 4),
                      std::string("old executable")});
    for (int i = 0; i < 30; ++i) {
      const std::string dir = i % 2 == 0 ? "Base/set" + std::to_string(i % 3)
                                         : "data/d" + std::to_string(i % 4);
      ListedFile file{dir + "/f" + std::to_string(i) + ".png",
                      RandomBytes(500 + 1700 * i, 100 + i), std::nullopt};
      if (i % 3 == 0) file.old = RandomBytes(300 + 50 * i, 200 + i);
      if (i % 3 == 2) file.old = file.fresh;
      files_.push_back(file);
    }
    // A stale file larger than a socket buffer holds, for a stop mid-body.
    files_.push_back({"Base/zz/large.png", RandomBytes(2 << 20, 5),
                      RandomBytes(1 << 20, 6)});
    list_ = "version_file 90210\n";
    std::map<std::string, std::string> bodies;
    for (const ListedFile& file : files_) {
      list_ += "./" + file.path + " " +
               Md5Hex(file.fresh.data(), file.fresh.size()) + "\n";
      bodies[kPlatformDir + file.path] = file.fresh;
    }
    bodies[kListUrlPath] = list_;
    for (int i = 0; i < 12; ++i) {
      unused_["Base/obsolete/u" + std::to_string(i) + ".png"] =
          "unused " + std::to_string(i);
    }
    gate_ = std::make_unique<GatedRelease>(server_, bodies);
  }

  // A fresh game directory with the old release in it.
  void SeedGameDirectory() {
    game_ = outer_ / "game";
    RunShell("rm -rf '" + game_ + "'");
    for (const char* dir : {"", "/App", "/Downloads", "/Logs", "/Base"}) {
      mkdir((game_ + dir).c_str(), 0755);
    }
    for (const ListedFile& file : files_) {
      if (file.old) WriteFile(game_ + "/" + file.path, *file.old);
    }
    for (const auto& [path, content] : unused_) {
      WriteFile(game_ + "/" + path, content);
    }
    WriteFile(game_ + "/App/version.txt", "version_file 17\n");
  }

  std::string Local(const std::string& path) const {
    return ReadFile(game_ + "/" + path);
  }

  // Listed files whose local copy is not yet the release's, in list order.
  std::vector<const ListedFile*> Pending() const {
    std::vector<const ListedFile*> pending;
    for (const ListedFile& file : files_) {
      if (Local(file.path) != file.fresh) pending.push_back(&file);
    }
    return pending;
  }

  std::unique_ptr<ChildProcess> StartRunner() {
    std::remove((game_ + "/Logs/app.txt").c_str());
    return std::make_unique<ChildProcess>(
        UPDATE_RUNNER_PATH,
        std::vector<std::string>{"update_runner", server_.Url("/10/")}, game_,
        capture_.path());
  }

  // Runs the updater until `point` is reached, kills it there and checks
  // what it left. Returns true when the kill ended a running updater.
  bool KillAt(const KillPoint& point) {
    SCOPED_TRACE(point.Describe());
    if (point.stop != Stop::kOnLogLine) gate_->Arm(point.stop, point.target);
    std::unique_ptr<ChildProcess> child = StartRunner();
    const bool reached = WaitFor(point, child->pid());
    if (reached && point.delay.count() > 0) {
      std::this_thread::sleep_until(gate_->ReachedAt() + point.delay);
    }
    kill(child->pid(), SIGKILL);
    ChildResult result = child->Wait(30);
    gate_->Release();
    const bool landed = result.signal == SIGKILL;
    if (!landed) {
      // The run ended by itself before the stop: that is only acceptable
      // when the point came after the last piece of work.
      EXPECT_TRUE(reached) << "run ended before " << point.Describe() << "\n"
                           << result.out;
    }
    ExpectOnlyWholeFiles();
    return landed;
  }

  // Waits until the child reaches `point` or ends; true when it got there.
  bool WaitFor(const KillPoint& point, pid_t pid) {
    bool reached = false;
    const auto reached_or_ended = [&] {
      reached = point.stop == Stop::kOnLogLine
                    ? Contains(Local("Logs/app.txt"), point.target)
                    : gate_->WaitReached(std::chrono::milliseconds(2));
      return reached || HasEnded(pid);
    };
    if (!WaitUntil(reached_or_ended, kTriggerTimeout,
                   std::chrono::microseconds(200))) {
      ADD_FAILURE() << "timed out waiting for " << point.Describe();
    }
    return reached;
  }

  // After a kill: every listed file under its real name is its old or its
  // complete new content; every unlisted file is whole in "./Base" or in
  // "./old"; nothing but the game directory exists beside it.
  void ExpectOnlyWholeFiles() {
    for (const ListedFile& file : files_) {
      const std::string full = game_ + "/" + file.path;
      struct stat info;
      if (lstat(full.c_str(), &info) != 0) continue;
      ASSERT_TRUE(S_ISREG(info.st_mode)) << file.path;
      const std::string content = ReadFile(full);
      const bool whole =
          content == file.fresh || (file.old && content == *file.old);
      EXPECT_TRUE(whole) << file.path << " holds " << content.size()
                         << " bytes that are neither old nor new";
    }
    for (const auto& [path, content] : unused_) {
      const bool in_base = PathExists(game_ + "/" + path);
      const bool in_old = PathExists(game_ + "/old/" + path);
      EXPECT_TRUE(in_base || in_old) << path << " lost";
      if (in_base) {
        EXPECT_EQ(Local(path), content) << path;
      }
      if (in_old) {
        EXPECT_EQ(Local("old/" + path), content) << path;
      }
    }
    EXPECT_EQ(NamesIn(outer_.path()), (std::set<std::string>{"game"}));
  }

  // A run without a kill ends with exactly the release installed.
  void ExpectConvergence() {
    ChildResult result = StartRunner()->Wait(120);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "\nerror=0\nlasterror=\n")) << result.out;
    for (const ListedFile& file : files_) {
      EXPECT_TRUE(Local(file.path) == file.fresh) << file.path;
    }
    EXPECT_TRUE(Local("App/version.txt") == list_);
    EXPECT_EQ(PathsEndingIn(game_, ".tmp"), std::set<std::string>());
    for (const auto& [path, content] : unused_) {
      EXPECT_FALSE(PathExists(game_ + "/" + path)) << path;
      EXPECT_EQ(Local("old/" + path), content) << path;
    }
    EXPECT_EQ(NamesIn(outer_.path()), (std::set<std::string>{"game"}));
    // And the run after that finds nothing to do.
    const int requests = server_.TotalRequestCount();
    result = StartRunner()->Wait(60);
    EXPECT_TRUE(Contains(Local("Logs/app.txt"),
                         "Version file the same (key matches)\n"));
    EXPECT_EQ(server_.TotalRequestCount(), requests + 1);
  }

  // Timed kills across the installation of one large stale file: a first
  // run measures the time from the file's last byte to the next request (by
  // then the file is installed); then `count` runs, each from the file's old
  // copy, are killed at moments spread evenly over that time.
  void SweepInstallation(const ListedFile& file, int count) {
    SCOPED_TRACE("installation of " + file.path);
    WriteFile(game_ + "/" + file.path, *file.old);
    WriteFile(game_ + "/App/version.txt", "version_file 18\n");
    const KillPoint end_of_body{Stop::kAfterBody, kPlatformDir + file.path};
    gate_->Arm(end_of_body.stop, end_of_body.target);
    std::unique_ptr<ChildProcess> child = StartRunner();
    ASSERT_TRUE(WaitFor(end_of_body, child->pid()));
    const Clock::time_point sent = gate_->ReachedAt();
    EXPECT_TRUE(WaitUntil(
        [&] {
          return gate_->RequestArrivedAfter(sent) || HasEnded(child->pid());
        },
        kTriggerTimeout, std::chrono::microseconds(100)));
    const auto window = Clock::now() - sent;
    kill(child->pid(), SIGKILL);
    child->Wait(30);
    gate_->Release();
    ExpectOnlyWholeFiles();
    for (int i = 1; i <= count && !HasFatalFailure(); ++i) {
      // As after an interrupted run: the old copy and a version file whose
      // key is not the list's.
      WriteFile(game_ + "/" + file.path, *file.old);
      WriteFile(game_ + "/App/version.txt", "version_file 18\n");
      KillPoint point = end_of_body;
      point.delay = std::chrono::duration_cast<std::chrono::microseconds>(
          window * i / (count + 1));
      if (KillAt(point)) ++sweep_kills_;
    }
  }

  // One round from the old release: stops at the list, the relocation and
  // the hashing, then a stop per step at a pending file, cycling through
  // the request stops, until nothing is pending (`offset` shifts the
  // cycle); last, timed stops across the installation of each large file.
  void KillRound(int offset) {
    SeedGameDirectory();
    const std::chrono::microseconds kDelays[] = {
        std::chrono::microseconds(0), std::chrono::microseconds(300),
        std::chrono::microseconds(1000), std::chrono::microseconds(2500),
        std::chrono::microseconds(6000)};
    std::vector<KillPoint> fixed = {
        {Stop::kMidBody, kListUrlPath},
        {Stop::kOnLogLine, "Removing unused/moved files in ./Base\n"},
        {Stop::kOnLogLine, "Hashing file ./data/big1.bin"},
        {Stop::kOnLogLine, "Hashing file ./data/big2.bin"},
    };
    for (const KillPoint& point : fixed) {
      if (KillAt(point)) ++landed_[point.stop];
    }

    const Stop kCycle[] = {Stop::kOnRequest, Stop::kMidBody, Stop::kAfterBody};
    std::size_t last_pending = 0;
    int stalled = 0;
    for (int step = offset; step < offset + 60; ++step) {
      std::vector<const ListedFile*> pending = Pending();
      // The last large file may outlast every stop of the cycle; the
      // installation sweep below takes it on.
      stalled = pending.size() == last_pending ? stalled + 1 : 0;
      last_pending = pending.size();
      if (pending.empty() || stalled == 3) break;
      const ListedFile* target =
          pending[std::min<std::size_t>(step % 3, pending.size() - 1)];
      KillPoint point{kCycle[step % 3], kPlatformDir + target->path,
                      kDelays[(step / 3) % 5]};
      if (KillAt(point)) ++landed_[point.stop];
      if (HasFatalFailure()) return;
    }
    for (const ListedFile& file : files_) {
      if (file.fresh.size() >= (2 << 20) && file.old != file.fresh) {
        SweepInstallation(file, 8);
      }
    }
  }

  std::unique_ptr<GatedRelease> gate_;
  TempDir outer_;
  TempDir capture_;
  HttpTestServer server_;
  std::string game_;
  std::vector<ListedFile> files_;
  std::map<std::string, std::string> unused_;
  std::string list_;
  std::map<Stop, int> landed_;
  int sweep_kills_ = 0;
};

TEST_F(CrashSafetyTest, KilledRunsLeaveWholeFilesAndTheNextRunConverges) {
  // Two rounds with one transfer at a time, where every stop of the cycle
  // meets the file it names; then a round with transfers running ahead of
  // their turns, killed the same way.
  const char* const kInFlight[] = {"1", "1", "4"};
  std::map<Stop, int> sequential;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ScopedEnv in_flight("STARTER_DOWNLOADS", kInFlight[round]);
    if (round == 2) {
      sequential = landed_;
      landed_.clear();
    }
    KillRound(round);
    ASSERT_FALSE(HasFatalFailure());
    ExpectConvergence();
  }
  // Every kind of stop was met by a running updater.
  for (Stop stop :
       {Stop::kOnRequest, Stop::kMidBody, Stop::kAfterBody, Stop::kOnLogLine}) {
    EXPECT_GE(sequential[stop], 4) << StopName(stop);
    EXPECT_GE(landed_[stop], 1) << StopName(stop) << ", transfers ahead";
  }
  EXPECT_GE(sweep_kills_, 16);
  std::printf("kills across installations: %d\n", sweep_kills_);
  for (const auto& [stop, count] : sequential) {
    std::printf("kills %s: %d\n", StopName(stop), count);
  }
  for (const auto& [stop, count] : landed_) {
    std::printf("kills %s, transfers ahead: %d\n", StopName(stop), count);
  }
}

}  // namespace
