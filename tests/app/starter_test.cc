// The launcher in-process: argument scan, start-up configuration round trips,
// the update step against a release served on 127.0.0.1, and the hooks.
#include "app/starter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/md5.h"
#include "engine_starter/application.h"
#include "engine_starter/log.h"
#include "launcher/engine_defaults_setup.h"
#include "launcher/update_server.h"
#include "support/http_test_server.h"
#include "support/list_signing.h"
#include "support/published_release.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "update/auto_update.h"

namespace {

constexpr char kConfig[] = "startup_config.cfg";
constexpr char kHeader[] =
    "# Config file for Engine Starter (default keys here are only for first "
    "game run)\n";
constexpr char kCreating[] =
    "File not found startup_config.cfg - creating...\n";
constexpr char kLauncherLine[] = "Running without Launcher\n";
constexpr char kPlatform[] = "/linux32-dedicated-demo/";

// The update server base compiled into the program.
std::string CompiledUpdateUrl() {
  EngineDefaults defaults;
  SetupGame(defaults);
  return defaults.updateURL;
}

// A game directory with "Logs" as the working directory, the application
// object and its log.
class StarterTest : public ::testing::Test {
 protected:
  StarterTest() : cwd_(game_.path()) {
    // The working directories the application creates at start.
    WriteFile(game_ / "Logs/pid.txt", "1");
    WriteFile(game_ / "App/.keep", "");
    WriteFile(game_ / "Downloads/App/.keep", "");
    log_ = std::make_unique<CAppLog>((game_ / "Logs/app.txt").c_str(), false);
    app_.useAutoupdate = true;
  }

  // Builds an argument vector that outlives the starter.
  char** Args(std::vector<std::string> words) {
    words_ = std::move(words);
    pointers_.clear();
    for (std::string& w : words_) pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
    return pointers_.data();
  }

  std::unique_ptr<CStarter> Make(std::vector<std::string> words = {"DUdavi"}) {
    const int argc = static_cast<int>(words.size());
    return std::make_unique<CStarter>(argc, Args(std::move(words)));
  }

  // Log lines written since the last call.
  std::string NewLog() {
    std::string all = ReadFile(game_ / "Logs/app.txt");
    std::string fresh = all.substr(seen_);
    seen_ = all.size();
    return fresh;
  }

  TempDir game_;
  ScopedCwd cwd_;
  std::unique_ptr<CAppLog> log_;
  CApplication app_;
  std::size_t seen_ = 0;
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

TEST_F(StarterTest, ConstructionSetsTheInitialStateAndTheEngineDefaults) {
  auto starter = Make();
  EXPECT_EQ(starter->startup_error, -1);
  EXPECT_TRUE(starter->nolauncher);
  EXPECT_TRUE(starter->running);
  EXPECT_FALSE(starter->cancel);
  EXPECT_EQ(starter->device, nullptr);
  EXPECT_TRUE(starter->download_file.empty());
  EXPECT_TRUE(starter->error_string.empty());
  EXPECT_EQ(starter->autoupdate, nullptr);
  EXPECT_EQ(starter->argc, 1);
  EXPECT_STREQ(starter->argv[0], "DUdavi");
  EXPECT_EQ(app_.defaults.initialWidth, 1136);
  EXPECT_EQ(app_.defaults.gameName, "Brackmoor");
  EXPECT_EQ(app_.defaults.updateURL, CompiledUpdateUrl());
  // The constructor never publishes itself.
  EXPECT_EQ(CStarter::starter, nullptr);
}

TEST_F(StarterTest, ArgumentScanLogsOneLinePerExactMatch) {
  const struct {
    std::vector<std::string> args;
    int lines;
  } cases[] = {
      {{"DUdavi"}, 0},
      {{"DUdavi", "join"}, 1},
      {{"DUdavi", "-join", "server:1"}, 1},
      {{"DUdavi", "nolauncher", "join", "-join", "join"}, 4},
      {{"nolauncher"}, 1},  // the program path is scanned too
      {{"DUdavi", "Join", "--join", "nolauncher=1", "NOLAUNCHER", "join "}, 0},
  };
  for (const auto& c : cases) {
    NewLog();
    auto starter = Make(c.args);
    EXPECT_EQ(Count(NewLog(), kLauncherLine), c.lines) << c.args.back();
    EXPECT_TRUE(starter->nolauncher);
  }
}

TEST_F(StarterTest, StartDeviceMovesTheStatusToZeroUnlessItIsAboveZero) {
  auto starter = Make();
  EXPECT_TRUE(starter->StartDevice());
  EXPECT_EQ(starter->startup_error, 0);
  starter->startup_error = 10;
  EXPECT_FALSE(starter->StartDevice());
  EXPECT_EQ(starter->startup_error, 10);
}

TEST_F(StarterTest, StartupConfigRoundTrips) {
  const struct {
    const char* name;
    const char* content;  // null: no file
    bool logs_creating;
    std::uint32_t width, height;
    bool fullscreen;
    std::string written;
  } cases[] = {
      {"missing", nullptr, true, 1136, 640, false,
       "Fullscreen=0\nWindow.Height=640\nWindow.Width=1136\n"},
      {"empty", "", true, 1136, 640, false,
       "Fullscreen=0\nWindow.Height=640\nWindow.Width=1136\n"},
      {"width only", "Window.Width = 800\n", false, 800, 0, false,
       "Fullscreen=0\nWindow.Height=0\nWindow.Width=800\n"},
      {"minus one", "Window.Width=-1\nWindow.Height=480\nFullscreen=1\n", false,
       4294967295u, 480, true,
       "Fullscreen=1\nWindow.Height=480\nWindow.Width=4294967295\n"},
      {"hexadecimal", "Window.Width=0x400\nWindow.Height=768\n", false, 1024,
       768, false, "Fullscreen=0\nWindow.Height=768\nWindow.Width=1024\n"},
      {"unknown keys kept",
       "# mine\nZoom = 2\nWindow.Width=640\nWindow.Height=360\n"
       "Fullscreen=7\nAudio.Volume=  80\n",
       false, 640, 360, true,
       "Audio.Volume=80\nFullscreen=1\nWindow.Height=360\nWindow.Width=640\n"
       "Zoom=2\n"},
      {"only comments", "# nothing here\n\n", false, 0, 0, false,
       "Fullscreen=0\nWindow.Height=0\nWindow.Width=0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(kConfig);
    if (c.content != nullptr) WriteFile(game_ / kConfig, c.content);
    NewLog();
    {
      auto starter = Make();
      EXPECT_EQ(Count(NewLog(), kCreating), c.logs_creating ? 1 : 0);
      EXPECT_EQ(starter->config_screen.Width, c.width);
      EXPECT_EQ(starter->config_screen.Height, c.height);
      EXPECT_EQ(starter->config_fullscreen, c.fullscreen);
      // Reading never writes.
      EXPECT_EQ(ReadFile(game_ / kConfig), c.content ? c.content : "");
    }
    EXPECT_EQ(ReadFile(game_ / kConfig), kHeader + c.written);
  }
}

TEST_F(StarterTest, ChangedSizesAreWrittenBackOnDestruction) {
  {
    auto starter = Make();
    starter->config_screen = {1920, 1080};
    starter->config_fullscreen = true;
  }
  EXPECT_EQ(ReadFile(game_ / kConfig),
            std::string(kHeader) +
                "Fullscreen=1\nWindow.Height=1080\nWindow.Width=1920\n");
  // A second launch reads back what the first wrote.
  auto starter = Make();
  EXPECT_EQ(starter->config_screen.Width, 1920u);
  EXPECT_EQ(starter->config_screen.Height, 1080u);
  EXPECT_TRUE(starter->config_fullscreen);
  EXPECT_EQ(Count(NewLog(), kCreating), 1);  // only the first launch
}

TEST_F(StarterTest, UnwritableConfigIsReportedAndTheRunGoesOn) {
  // A directory where the file is expected.
  WriteFile(game_ / "startup_config.cfg/inside", "");
  { auto starter = Make(); }
  EXPECT_TRUE(PathExists(game_ / "startup_config.cfg/inside"));
  EXPECT_NE(NewLog().find(kCreating), std::string::npos);
}

TEST_F(StarterTest, SwitchedOffUpdateLogsTheBannerAndCreatesNoUpdater) {
  app_.useAutoupdate = false;
  auto starter = Make();
  starter->StartDevice();
  NewLog();
  starter->Autoupdate();
  EXPECT_EQ(NewLog(),
            "____________________________________________________NO "
            "AUTOUPDATE _________________________________________\n\n");
  EXPECT_EQ(starter->autoupdate, nullptr);
  EXPECT_EQ(starter->startup_error, 0);
}

// The probe of "Logs/pid.txt" changes nothing: a missing file is only
// logged, and a FIFO there is opened without waiting for a writer.
TEST_F(StarterTest, MissingPidFileIsOnlyLogged) {
  const struct {
    const char* name;
    bool fifo;
    const char* logged;
  } cases[] = {
      {"missing", false, "File open error: No such file or directory\n\n"},
      {"fifo", true, ""},
  };
  app_.useAutoupdate = false;
  for (const auto& c : cases) {
    std::remove((game_ / "Logs/pid.txt").c_str());
    if (c.fifo) {
      ASSERT_EQ(mkfifo((game_ / "Logs/pid.txt").c_str(), 0644), 0);
    }
    auto starter = Make();
    starter->StartDevice();
    NewLog();
    starter->Autoupdate();
    const std::string log = NewLog();
    EXPECT_EQ(log.substr(0, log.find("____")), c.logged) << c.name;
    EXPECT_NE(log.find("NO AUTOUPDATE"), std::string::npos) << c.name;
  }
}

TEST_F(StarterTest, StatusAboveZeroSkipsTheUpdateStep) {
  auto starter = Make();
  starter->startup_error = 10;
  NewLog();
  starter->Autoupdate();
  EXPECT_EQ(NewLog(), "");
  EXPECT_EQ(starter->autoupdate, nullptr);
}

TEST_F(StarterTest, HooksKeepTheirFixedResults) {
  auto starter = Make();
  starter->Update();
  starter->SetupGUI();
  starter->DrawDownloadProgress();
  starter->RegisterJoinLink();
  starter->DrawMessage(L"Please wait a minute...");
  EXPECT_EQ(starter->ReadNews(), 0);
  EXPECT_FALSE(starter->OnEvent(irr::SEvent{}));
  EXPECT_EQ(starter->startup_error, -1);
}

TEST_F(StarterTest, DownloadProgressStoresTheFractionAndAsksToStopOnceHalted) {
  auto starter = Make();
  EXPECT_EQ(starter->DownloadProgress(nullptr, 200.0, 50.0, 0, 0), 0);
  EXPECT_FLOAT_EQ(starter->download_percent, 0.25f);
  EXPECT_EQ(starter->DownloadProgress(nullptr, 0.0, 50.0, 0, 0), 0);
  EXPECT_FLOAT_EQ(starter->download_percent, 0.0f);
  EXPECT_EQ(starter->DownloadProgress(nullptr, -1.0, 5.0, 0, 0), 0);
  EXPECT_FLOAT_EQ(starter->download_percent, 0.0f);
  starter->running = false;
  EXPECT_EQ(starter->DownloadProgress(nullptr, 10.0, 10.0, 0, 0), 1);
  EXPECT_FLOAT_EQ(starter->download_percent, 1.0f);
}

TEST_F(StarterTest, PhaseDestroysAndUnpublishesTheStarterAfterTheUpdateStep) {
  app_.useAutoupdate = false;
  char** argv = Args({"DUdavi", "join"});
  EXPECT_EQ(RunStarterPhase(2, argv, false), 0);
  EXPECT_EQ(CStarter::starter, nullptr);
  // Destruction wrote the configuration back.
  EXPECT_EQ(ReadFile(game_ / kConfig),
            std::string(kHeader) +
                "Fullscreen=0\nWindow.Height=640\nWindow.Width=1136\n");
  const std::string log = NewLog();
  EXPECT_LT(log.find(kLauncherLine), log.find("NO AUTOUPDATE"));
}

TEST_F(StarterTest, UpdateOnlyPhaseLeavesTheStarterAliveAndPublished) {
  app_.useAutoupdate = false;
  char** argv = Args({"DUdavi", "onlyautoupdate"});
  EXPECT_EQ(RunStarterPhase(2, argv, true), 0);
  ASSERT_NE(CStarter::starter, nullptr);
  // Published with its own type, as the pointer the updater reads.
  CStarter* published = CStarter::starter;
  EXPECT_EQ(static_cast<StarterSharedState*>(published),
            StarterSharedState::starter);
  EXPECT_FALSE(CStarter::starter->OnEvent(irr::SEvent{}));
  // The process would end with the starter alive; the test takes it over.
  std::unique_ptr<CStarter> live(published);
  CStarter::starter = nullptr;
  EXPECT_EQ(StarterSharedState::starter, nullptr);
  EXPECT_TRUE(live->running);
  EXPECT_EQ(live->startup_error, 0);
  EXPECT_FALSE(PathExists(game_ / kConfig));
}

// The update step against a release served on 127.0.0.1; the update server
// comes from the environment override.
class StarterUpdateTest : public StarterTest {
 protected:
  StarterUpdateTest() : env_("STARTER_UPDATE_URL", server_.Url("/10/")) {
    server_.ServeDirectory("/10/", release_.path());
  }

  void Publish(const std::map<std::string, std::string>& files, long key) {
    PublishList(ChecksumListOf(files, key));
    for (const auto& [path, content] : files) {
      WriteFile(release_.path() + kPlatform + path, content);
    }
  }
  // Publishes `list` as the release's checksum list, signed with the test key
  // when the starter checks signatures.
  void PublishList(const std::string& list) {
    WriteFile(ListPath(), list);
    if (kStarterChecksSignatures) {
      ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), ListPath()), 0);
    }
  }
  std::string ListPath() const {
    return release_.path() + kPlatform + "App/version.txt";
  }

  // Runs construction, StartDevice and Autoupdate as the application does.
  std::unique_ptr<CStarter> Launch() {
    auto starter = Make();
    CStarter::starter = starter.get();
    starter->StartDevice();
    starter->Autoupdate();
    CStarter::starter = nullptr;
    return starter;
  }

  TempDir release_;
  HttpTestServer server_;
  ScopedEnv env_;
};

TEST_F(StarterUpdateTest, CurrentInstallationGoesOn) {
  Publish({{"Base/motd.txt", "hello\n"}}, 4242);
  auto starter = Launch();
  EXPECT_EQ(app_.defaults.updateURL, server_.Url("/10/"));
  ASSERT_NE(starter->autoupdate, nullptr);
  EXPECT_EQ(starter->autoupdate->error, 0);
  EXPECT_EQ(starter->startup_error, 0);
  EXPECT_TRUE(starter->running);
  EXPECT_EQ(ReadFile(game_ / "Base/motd.txt"), "hello\n");
  EXPECT_TRUE(app_.restartstring.empty());
  EXPECT_TRUE(starter->error_string.empty());
  // The probe of "App/autoupdate.cfg" is logged and changes nothing.
  EXPECT_NE(NewLog().find("File open error: No such file or directory\n"),
            std::string::npos);
}

TEST_F(StarterUpdateTest, ReplacedExecutableAsksForARestart) {
  WriteFile(game_ / "OKUdedi", "old build");
  Publish({{"OKUdedi", "new build"}}, 77);
  auto starter = Launch();
  EXPECT_EQ(starter->startup_error, 10);
  EXPECT_FALSE(starter->running);
  EXPECT_EQ(app_.restartstring,
            "Major file update - please restart the game\n");
  EXPECT_EQ(ReadFile(game_ / "OKUdedi"), "new build");
  // A further StartDevice cannot undo the restart status.
  EXPECT_FALSE(starter->StartDevice());
  EXPECT_EQ(starter->startup_error, 10);
}

TEST_F(StarterUpdateTest, FailedUpdateIsLoggedAndDoesNotStopTheLaunch) {
  Publish({{"Base/present.txt", "x"}}, 91);
  // Listed but not on the server.
  PublishList(ReadFile(ListPath()) +
              "./Base/absent.txt 0123456789abcdef0123456789abcdef\n");
  NewLog();
  auto starter = Launch();
  EXPECT_EQ(starter->autoupdate->error, 1);
  EXPECT_NE(NewLog().find("autoupdate->error 1\n"), std::string::npos);
  EXPECT_EQ(starter->error_string, "Error downloading ./Base/absent.txt");
  EXPECT_EQ(starter->startup_error, 0);
  EXPECT_TRUE(app_.restartstring.empty());
}

TEST_F(StarterUpdateTest, UnsignedListFailsTheUpdateOnlyWithACompiledInKey) {
  Publish({{"Base/motd.txt", "hello\n"}}, 4242);
  std::remove((ListPath() + ".sig").c_str());
  auto starter = Launch();
  EXPECT_EQ(starter->startup_error, 0);
  if (kStarterChecksSignatures) {
    EXPECT_EQ(starter->autoupdate->error, 1);
    EXPECT_EQ(starter->error_string, "Invalid signature of the checksum list");
    EXPECT_FALSE(PathExists(game_ / "Base/motd.txt"));
  } else {
    EXPECT_EQ(starter->autoupdate->error, 0);
    EXPECT_TRUE(starter->error_string.empty());
    EXPECT_EQ(ReadFile(game_ / "Base/motd.txt"), "hello\n");
  }
}

TEST_F(StarterUpdateTest, UnreachableServerIsNoFailureOfTheLaunch) {
  ScopedEnv dead("STARTER_UPDATE_URL", "http://127.0.0.1:1/10/");
  auto starter = Launch();
  EXPECT_EQ(starter->autoupdate->error, 0);
  EXPECT_EQ(starter->autoupdate->lasterror, "Error downloading checksum");
  EXPECT_TRUE(starter->error_string.empty());
  EXPECT_EQ(starter->startup_error, 0);
}

// Several addresses are mirrors, tried in order: a dead first one is
// logged and the next serves the run.
TEST_F(StarterUpdateTest, MirrorsFromTheEnvironmentAreTriedInOrder) {
  Publish({{"Base/motd.txt", "hello\n"}}, 4343);
  ScopedEnv mirrors("STARTER_UPDATE_URL",
                    " http://127.0.0.1:1/10/ \t" + server_.Url("/10/"));
  NewLog();
  auto starter = Launch();
  const std::string log = NewLog();
  EXPECT_EQ(app_.defaults.updateURL,
            "http://127.0.0.1:1/10/ " + server_.Url("/10/"));
  EXPECT_TRUE(Contains(log,
                       "Update servers from STARTER_UPDATE_URL, tried "
                       "in order: http://127.0.0.1:1/10/ " +
                           server_.Url("/10/") + "\n"))
      << log;
  EXPECT_TRUE(Contains(log,
                       "Error downloading checksum from "
                       "http://127.0.0.1:1/10/linux32-dedicated-demo/"
                       "App/version.txt (err:7)\n"));
  EXPECT_EQ(starter->autoupdate->error, 0);
  EXPECT_EQ(ReadFile(game_ / "Base/motd.txt"), "hello\n");
}

TEST_F(StarterUpdateTest, MalformedOverrideIsLoggedAndIgnored) {
  const struct {
    const char* value;
    const char* why;
  } cases[] = {
      {"ftp://127.0.0.1/10/", "not an http URL ending in /"},
      {"http://127.0.0.1:1/10", "not an http URL ending in /"},
      {"127.0.0.1/10/", "not an http URL ending in /"},
      {"http://", "no host name in it"},
      {"https:///10/", "no host name in it"},
      {"http://127.0.0.1:1/10/\r", "a control character in it"},
      {"http://127.0.0.1:1/10/ http://127.0.0.1:2/10",
       "http://127.0.0.1:2/10: not an http URL ending in /"},
      {"http://127.0.0.1:1/10/ http:///10/", "http:///10/: no host name in it"},
  };
  for (const auto& c : cases) {
    ScopedEnv env("STARTER_UPDATE_URL", c.value);
    NewLog();
    auto starter = Make();
    const std::string log = NewLog();
    EXPECT_EQ(app_.defaults.updateURL, CompiledUpdateUrl()) << c.value;
    const std::string line = std::string("STARTER_UPDATE_URL ignored (") +
                             c.why + "): " + c.value + "\n";
    EXPECT_EQ(Count(log, line), 1) << c.value;
    EXPECT_EQ(IgnoredUpdateServerVariable() + "\n", line);
  }
  ScopedEnv used("STARTER_UPDATE_URL", "https://updates.example.net/10/");
  EXPECT_EQ(IgnoredUpdateServerVariable(), "");
}

}  // namespace
