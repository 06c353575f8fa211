// What a real server host does to a game directory: two starters started
// together, data directories linked to a shared place, special files where
// the release has a file, and a server that changes an executable on every
// run. The real executable against a release served by the in-process test
// server, which can slow or vary its answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/md5.h"
#include "game_fixture.h"
#include "support/list_signing.h"
#include "support/wait_until.h"
#include "update/list_signature.h"

namespace {

constexpr char kListPath[] = "/10/linux32-dedicated-demo/App/version.txt";
constexpr char kModuleEnter[] = "APP GameDLLInit\n";
constexpr char kWaitingForTheLock[] =
    "Waiting for another update of this game directory to finish\n";

class HazardTest : public ServedGameFixture {
 protected:
  // The listed paths of the server's list ("./" removed).
  std::vector<std::string> ListedPaths() const {
    std::vector<std::string> paths;
    const std::string list = ServerList();
    std::size_t line = list.find('\n');
    while (line != std::string::npos && line + 1 < list.size()) {
      const std::size_t end = list.find('\n', line + 1);
      const std::string entry = list.substr(line + 1, end - line - 1);
      paths.push_back(entry.substr(2, entry.find(' ') - 2));
      line = end;
    }
    return paths;
  }
};

// The second starter waits for the first one's update and then finds the
// installation current: nothing the list names ends up in ./old, and the
// version file is the list.
TEST_F(HazardTest, TwoStartersAtOnceTakeTurnsAndConverge) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 200; ++i) {
    files["Base/data/f" + std::to_string(i) + ".txt"] =
        "file " + std::to_string(i) + "\n";
  }
  PublishRelease(files);
  // The first run stalls on one file while it holds the lock, until the
  // second has logged that it waits for it.
  const std::string slow = "/10/linux32-dedicated-demo/Base/data/f100.txt";
  server.Hold(slow);
  auto first = Start({"onlyautoupdate"});
  ASSERT_TRUE(WaitUntil([&] { return server.RequestCount(slow) > 0; }));
  auto second = Start({"onlyautoupdate"});
  ASSERT_TRUE(WaitFor(game + "/Logs/app.txt", kWaitingForTheLock));
  server.Release(slow);
  const ChildResult a = first->Wait(120);
  const ChildResult b = second->Wait(120);
  EXPECT_EQ(a.exit_code, 0) << a.out << a.err;
  EXPECT_EQ(b.exit_code, 0) << b.out << b.err;
  EXPECT_TRUE(Contains(b.out, kWaitingForTheLock)) << b.out;
  EXPECT_TRUE(Contains(b.out, "Version file the same (key matches)\n"))
      << b.out;

  EXPECT_EQ(Game("App/version.txt"), ServerList());
  for (const std::string& path : ListedPaths()) {
    EXPECT_EQ(Game(path), ReadFile(release + "/" + path)) << path;
    EXPECT_FALSE(GameHas("old/" + path)) << path;
  }
  EXPECT_TRUE(PathsEndingIn(game, ".tmp").empty());
}

// A data directory the operator linked to a shared place keeps its files:
// they are not this game's to move, whether the link is Base/Sounds or
// Base itself; two links to one place are each scanned, and each says so.
TEST_F(HazardTest, LinkedDataDirectoriesKeepTheirFiles) {
  const struct {
    std::vector<const char*> links;  // below the game directory
    const char* shared;              // below root/shared, the links' target
    const char* files[2];            // unlisted files in the shared directory
  } cases[] = {
      {{"Base/Sounds"}, "sounds", {"theme.ogg", "sub/hit.ogg"}},
      {{"Base"}, "base", {"motd.txt", "notes.txt"}},
      {{"Base/Music", "Base/Themes"}, "music", {"a.ogg", "b.ogg"}},
  };
  PublishRelease();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.links.front());
    RunShell("rm -rf '" + game + "/Base' '" + game + "/old'");
    const std::string shared = root.path() + "/shared/" + c.shared;
    for (const char* file : c.files) {
      WriteFile(shared + "/" + file, std::string("shared ") + file);
    }
    WriteFile(game + "/Base/.keep", "");
    std::remove((game + "/Base/.keep").c_str());
    if (std::string(c.links.front()) == "Base") {
      rmdir((game + "/Base").c_str());
    }
    for (const char* link : c.links) {
      ASSERT_EQ(symlink(shared.c_str(), (game + "/" + link).c_str()), 0);
    }

    const ChildResult r = Run({"onlyautoupdate"});
    EXPECT_EQ(r.exit_code, 0);
    for (const char* file : c.files) {
      EXPECT_EQ(ReadFile(shared + "/" + file), std::string("shared ") + file)
          << file;
    }
    for (const char* link : c.links) {
      EXPECT_FALSE(GameHas(std::string("old/") + link));
      EXPECT_TRUE(Contains(
          r.out, "Leaving unused files in ./" + std::string(link) + " alone"))
          << r.out;
    }
  }
  // Nothing was written beside the game directory either.
  EXPECT_EQ(NamesIn(root.path() + "/shared"),
            (std::set<std::string>{"base", "music", "sounds"}));
}

// A FIFO where the release has a file neither stops the run nor survives
// it: it counts as changed and is replaced, with a log line. One at
// "Logs/pid.txt" that nobody reads is not written, and the start says
// nothing of it (the pid file is written before the log exists; the later
// probe opens it without waiting).
TEST_F(HazardTest, FifoAtAListedPathIsReplacedWithoutWaiting) {
  PublishRelease({{"Base/console.txt", "console settings\n"}});
  WriteFile(game + "/Base/.keep", "");
  ASSERT_EQ(mkfifo((game + "/Base/console.txt").c_str(), 0644), 0);
  WriteFile(game + "/Logs/.keep", "");
  ASSERT_EQ(mkfifo((game + "/Logs/pid.txt").c_str(), 0644), 0);
  const ChildResult r = Run({"onlyautoupdate"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(
      r.out.rfind(
          "Running solely to Update\nPID: " + std::to_string(r.pid) + "\n", 0),
      0u)
      << r.out;
  EXPECT_FALSE(Contains(r.out + r.err, "No such device or address")) << r.out;
  struct stat pid_file;
  ASSERT_EQ(lstat((game + "/Logs/pid.txt").c_str(), &pid_file), 0);
  EXPECT_TRUE(S_ISFIFO(pid_file.st_mode));
  EXPECT_TRUE(Contains(
      r.out, "Not a regular file: ./Base/console.txt (it will be replaced)\n"))
      << r.out;
  struct stat info;
  ASSERT_EQ(lstat((game + "/Base/console.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(Game("Base/console.txt"), "console settings\n");
  EXPECT_EQ(Game("App/version.txt"), ServerList());
}

// A server whose every list carries a new executable: the starter restarts
// itself three times in a row, then goes on with the launch.
TEST_F(HazardTest, EndlessExecutableUpdatesStopRestartingAtTheLimit) {
  PublishRelease();
  // The lists are made as they are asked for, without release statements.
  std::remove((ServerListPath() + ".release").c_str());
  WriteFile(game + "/OKUdedi", "#!/bin/sh\necho installed\n");
  const std::string list = ServerList();
  std::atomic<int> published{0};
  auto executable = [](int n) {
    return "#!/bin/sh\necho build " + std::to_string(n) + "\n";
  };
  // Each list, and in a build that checks signatures its signature by the
  // test key, made when it is asked for.
  std::mutex mutex;
  std::string signature;
  const std::string list_file = root / "list.txt";
  server.SetHandler(kListPath, [&](const httplib::Request&,
                                   httplib::Response& r) {
    const int n = ++published;
    const std::string body = executable(n);
    std::string text = "version_file " + std::to_string(5000 + n) +
                       list.substr(list.find('\n')) + "./OKUdedi " +
                       Md5Hex(body.data(), body.size()) + "\n";
    if (kStarterChecksSignatures) {
      std::lock_guard<std::mutex> lock(mutex);
      WriteFile(list_file, text);
      std::string why;
      EXPECT_TRUE(SignListFile(TestPrivateKeyPath(), list_file, signature, why))
          << why;
    }
    r.set_content(text, "text/plain");
  });
  server.SetHandler(std::string(kListPath) + ".sig",
                    [&](const httplib::Request&, httplib::Response& r) {
                      std::lock_guard<std::mutex> lock(mutex);
                      r.set_content(signature, "application/octet-stream");
                    });
  server.SetHandler("/10/linux32-dedicated-demo/OKUdedi",
                    [&](const httplib::Request&, httplib::Response& r) {
                      r.set_content(executable(published), "text/plain");
                    });

  const ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Count(r.out, "***************** RESTARTING"), 3) << r.out;
  EXPECT_EQ(Count(r.out, "UPDATED EXECUTABLE\n"), 4);
  EXPECT_EQ(Count(r.out, kModuleEnter), 1);
  EXPECT_EQ(Count(r.out, "Not restarting again after 3 restarts in a row; "
                         "going on with the launch\n"),
            1);
  EXPECT_EQ(Count(r.out, kTheEnd), 4);
  EXPECT_EQ(published, 4);
}

}  // namespace
