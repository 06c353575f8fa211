// starter-verify's tests: the real binary run on a game directory made at
// test time, beside the release served on 127.0.0.1 and the real update run.
#ifndef STARTER_TESTS_UPDATE_VERIFY_TOOL_FIXTURE_H_
#define STARTER_TESTS_UPDATE_VERIFY_TOOL_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/key_slot.h"
#include "support/child_process.h"
#include "support/list_signing.h"
#include "support/scoped_env.h"
#include "support/tree_snapshot.h"
#include "update_run_fixture.h"

inline const std::string kTool =
    std::string(STARTER_BUILD_DIR) + "/tools/starter-verify";
inline const std::string kRepairTool =
    std::string(STARTER_BUILD_DIR) + "/tools/starter-repair";
inline const std::string kStageTool =
    std::string(STARTER_BUILD_DIR) + "/tools/starter-stage";

// The installed release of every row, before the row changes it.
inline const std::map<std::string, std::string> kRelease = {
    {"Base/a.png", "a"},
    {"Base/maps/m.txt", "m"},
    {"Base/sub/b.xml", "b"},
    {"OKUdedi", "server"},
    {"dedicatedserver.sh", "#!/bin/sh\n"}};
inline constexpr long kInstalledKey = 1000;
inline constexpr long kNewKey = 2000;

// `files` with `changes` applied over them.
inline std::map<std::string, std::string> With(
    std::map<std::string, std::string> files,
    const std::map<std::string, std::string>& changes) {
  for (const auto& [path, content] : changes) files[path] = content;
  return files;
}

struct VerifyRun {
  int status = -1;
  // The report after the lines that name the key and the installed release.
  std::string out;
  std::string err;
  // Those lines.
  std::string header;
};

// Splits the lines of starter-verify's report that name the key ("key: ")
// and the installed release ("installed release: "), which come first, off
// `run.out` into `run.header`.
inline void SplitHeader(VerifyRun& run) {
  std::size_t end = 0;
  while (run.out.compare(end, 5, "key: ") == 0 ||
         run.out.compare(end, 19, "installed release: ") == 0) {
    const std::size_t line_end = run.out.find('\n', end);
    if (line_end == std::string::npos) break;
    end = line_end + 1;
  }
  run.header = run.out.substr(0, end);
  run.out.erase(0, end);
}

// The lines of `out` that begin with `prefix`, without it.
inline std::set<std::string> LinesAfter(const std::string& out,
                                        const std::string& prefix) {
  std::set<std::string> found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) == 0) found.insert(line.substr(prefix.size()));
  }
  return found;
}

// The files a preview (starter-verify --server) says the run would request,
// in its order: its "would download PATH" and "would fail to download PATH
// (...)" lines.
inline std::vector<std::string> PredictedRequests(const std::string& out) {
  std::vector<std::string> requested;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    for (const std::string prefix :
         {"would download ", "would fail to download "}) {
      if (line.rfind(prefix, 0) != 0) continue;
      const std::size_t end = line.find(" (", prefix.size());
      requested.push_back(line.substr(prefix.size(), end - prefix.size()));
    }
  }
  return requested;
}

// The game directory with kRelease installed (its version file under
// kInstalledKey) and the same release published on the server.
class VerifyToolFixture : public UpdateRunFixture {
 public:
  VerifyToolFixture()
      : url_("STARTER_UPDATE_URL", server_.Url("/10/")),
        tmpdir_("TMPDIR", outer_ / "tmp") {
    mkdir((outer_ / "tmp").c_str(), 0700);
    mkdir((outer_ / "capture").c_str(), 0700);
    Install(kRelease, kInstalledKey);
    PublishSigned(kRelease, kInstalledKey);
  }

  void SetUp() override {
    if (access(kTool.c_str(), X_OK) != 0) {
      GTEST_SKIP() << "build the starter-verify target first";
    }
  }

  // Writes `files` into the game directory and their list as its version
  // file; the game's executables and scripts get 0700, as the update run
  // installs them.
  void Install(const std::map<std::string, std::string>& files, long key) {
    for (const auto& [path, content] : files) {
      WriteLocal(path, content);
      if (path == "OKUdedi" || path == "dedicatedserver.sh") {
        EXPECT_EQ(chmod(Game(path).c_str(), 0700), 0);
      }
    }
    WriteLocal("App/version.txt", ChecksumListOf(files, key));
  }
  // Publishes `files` under `key`, signed with the test key when the build
  // checks signatures.
  void PublishSigned(const std::map<std::string, std::string>& files,
                     long key) {
    Publish(files, key);
    Resign();
  }
  // Signs the published list again, after a change, when the build checks
  // signatures.
  void Resign() {
    if (kStarterChecksSignatures) {
      ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), ServerListPath()), 0);
    }
  }
  // Puts the built starter into the game directory as DUdavi, trusting the
  // public key `pem` ("": none).
  void StarterTrusting(const std::string& pem) {
    ASSERT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + Game("DUdavi") + "'"),
              0);
    ASSERT_TRUE(FillKeySlot(Game("DUdavi"), pem));
  }
  std::string Game(const std::string& path) const { return game_ + "/" + path; }
  std::string Outer(const std::string& path) const { return outer_ / path; }
  std::string ServerListPath() const { return ReleasePath("App/version.txt"); }
  std::string ListUrl() const {
    return "/10/" + std::string(kPlatform) + "App/version.txt";
  }
  HttpTestServer& server() { return server_; }
  void WriteGame(const std::string& path, const std::string& content) {
    WriteLocal(path, content);
  }
  void RemoveGame(const std::string& path) {
    ASSERT_EQ(unlink(Game(path).c_str()), 0) << path;
  }

  // Runs starter-verify with `args` and the game directory from outside it,
  // and checks that it left the game directory and the temporary directory
  // as they were. The game directory's path reads "GAME" in the output.
  VerifyRun Verify(std::vector<std::string> args) {
    const auto before = SnapshotTree(game_);
    args.insert(args.begin(), "starter-verify");
    args.push_back(game_);
    const ChildResult r =
        RunChild(kTool, args, outer_.path(), Outer("capture"));
    EXPECT_EQ(SnapshotTree(game_), before) << "the game directory changed";
    EXPECT_EQ(NamesIn(Outer("tmp")), std::set<std::string>{})
        << "the temporary directory was left behind";
    VerifyRun run{r.exit_code, GameNamed(r.out), GameNamed(r.err), ""};
    SplitHeader(run);
    return run;
  }
  // Runs starter-repair with `args` and the game directory from outside it.
  // The game directory's path reads "GAME" in the output.
  VerifyRun Repair(std::vector<std::string> args) {
    args.insert(args.begin(), "starter-repair");
    args.push_back(game_);
    const ChildResult r =
        RunChild(kRepairTool, args, outer_.path(), Outer("capture"));
    return {r.exit_code, GameNamed(r.out), GameNamed(r.err), ""};
  }
  // Runs starter-stage with `args` and the game directory from outside it.
  // The game directory's path reads "GAME" in the output.
  VerifyRun Stage(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "starter-stage");
    args.push_back(game_);
    const ChildResult r =
        RunChild(kStageTool, args, outer_.path(), Outer("capture"));
    EXPECT_EQ(NamesIn(Outer("tmp")), std::set<std::string>{})
        << "the temporary directory was left behind";
    VerifyRun run{r.exit_code, GameNamed(r.out), GameNamed(r.err), ""};
    SplitHeader(run);
    return run;
  }
  // Runs starter-verify with `args` and the game directory, its standard
  // input and output closed, as some service managers and schedulers start
  // programs. Returns its exit status and what it wrote to standard error.
  VerifyRun VerifyWithoutStandardOutput(const std::vector<std::string>& args) {
    std::string command = "exec '" + kTool + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const std::string err = Outer("capture/closed.err");
    command += " '" + game_ + "' <&- >&- 2>'" + err + "'";
    const int status = RunShell(command);
    return {status, "", GameNamed(ReadFile(err)), ""};
  }
  // `text` with the game directory's path as "GAME".
  std::string GameNamed(std::string text) const {
    for (std::size_t at = text.find(game_); at != std::string::npos;
         at = text.find(game_, at)) {
      text.replace(at, game_.size(), "GAME");
    }
    return text;
  }

  // One real update run, trusting the test key when the build does.
  RunOutcome RealRun() {
    return kStarterChecksSignatures
               ? Run("App/autoupdate.cfg",
                     ListSigningKey{ReadFile(TestPublicKeyPath())})
               : Run();
  }

  // The files below "old" of the game directory, as paths below the game
  // directory ("old/./Base/x" is "Base/x").
  std::set<std::string> MovedFiles() const {
    std::set<std::string> moved;
    for (const std::string& path : PathsEndingIn(Game("old"), "")) {
      struct stat info;
      if (stat(Game("old/" + path).c_str(), &info) == 0 &&
          S_ISREG(info.st_mode)) {
        moved.insert(path);
      }
    }
    return moved;
  }

  // The listed files the server was asked for since request `since`, in
  // the order asked (not the list and the files beside it: its signature,
  // release statement and file table).
  std::vector<std::string> FetchedFiles(std::size_t since) const {
    const std::string prefix = "/10/" + std::string(kPlatform);
    std::vector<std::string> fetched;
    const std::vector<HttpRecordedRequest> requests = server_.Requests();
    for (std::size_t i = since; i < requests.size(); ++i) {
      std::string path = requests[i].path.substr(prefix.size());
      if (!path.starts_with("App/version.txt")) {
        fetched.push_back(path);
      }
    }
    return fetched;
  }

 private:
  ScopedEnv url_;
  ScopedEnv tmpdir_;
};

#endif  // STARTER_TESTS_UPDATE_VERIFY_TOOL_FIXTURE_H_
