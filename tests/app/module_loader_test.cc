#include "app/module_loader.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/starter.h"
#include "engine_starter/application.h"
#include "game_module_fixture.h"
#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "support/text_match.h"

namespace {

class ModuleLoaderTest : public ::testing::Test {
 protected:
  ModuleLoaderTest() {
    log = std::make_unique<CAppLog>((dir / "log.txt").c_str(), false);
  }
  ~ModuleLoaderTest() override {
    UnloadGameModules(app);
    std::signal(SIGINT, SIG_DFL);
  }

  // Loads the stand-in module with `words` after a program path; returns
  // the entry point's result and leaves the module's output in `printed`.
  bool Load(const std::string& path, std::vector<std::string> words) {
    words.insert(words.begin(), "./DUdavi");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    bool result = app.LoadGameDLL(path.c_str(), static_cast<int>(words.size()),
                                  argv.data());
    printed = ::testing::internal::GetCapturedStdout();
    return result;
  }

  std::string LogText() { return ReadFile(dir / "log.txt"); }

  TempDir dir;
  std::unique_ptr<CAppLog> log;
  CApplication app;
  std::string printed;
};

}  // namespace

TEST_F(ModuleLoaderTest, EntersTheModuleWithTheArgumentsAndReturnsItsResult) {
  const std::string module = GameModulePath(ModuleEntry::kExported);
  ASSERT_FALSE(module.empty());
  EXPECT_TRUE(Load(module, {"noautoupdate", "two words"}));
  EXPECT_EQ(printed,
            "module: arg[0]=./DUdavi\nmodule: arg[1]=noautoupdate\n"
            "module: arg[2]=two words\n");
  EXPECT_EQ(LogText(), "Using file '" + module + "'\nAPP GameDLLInit\n\n");
  EXPECT_EQ(app.modules.size(), 1u);
  EXPECT_EQ(app.game, nullptr);

  EXPECT_FALSE(Load(module, {"mod:fail"}));
  EXPECT_EQ(app.modules.size(), 2u);
}

TEST_F(ModuleLoaderTest, MissingLibraryIsReportedAndAddsNoHandle) {
  EXPECT_FALSE(Load((dir / "libmissing.so"), {}));
  const std::string text = LogText();
  EXPECT_NE(text.find("File not found '" + (dir / "libmissing.so") + "'\n"),
            std::string::npos);
  EXPECT_NE(text.find("LoadLibrary ERROR: ../Base/" + dir.path()),
            std::string::npos)
      << text;
  EXPECT_TRUE(app.modules.empty());
}

TEST_F(ModuleLoaderTest, LibraryWithoutEntryPointIsAFailedLoadNotACall) {
  const std::string module = GameModulePath(ModuleEntry::kMissing);
  ASSERT_FALSE(module.empty());
  EXPECT_FALSE(Load(module, {}));
  EXPECT_EQ(printed, "");
  const std::string text = LogText();
  EXPECT_NE(text.find("Game module " + module +
                      " has no entry point "
                      "GameDLLInit: "),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("APP GameDLLInit"), std::string::npos);
  // The library stays open until the unload.
  EXPECT_EQ(app.modules.size(), 1u);
}

TEST_F(ModuleLoaderTest, RegistrationForwardsShutdownUntilUnload) {
  const std::string module = GameModulePath(ModuleEntry::kExported);
  ASSERT_FALSE(module.empty());
  const std::string marker = dir / "shutdown-marker";
  ASSERT_TRUE(Load(module, {"mod:register", "mod:marker=" + marker}));
  ASSERT_NE(app.game, nullptr);

  ::testing::internal::CaptureStdout();
  exit_program(SIGINT);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Ctrl+C detected\n");
  EXPECT_TRUE(PathExists(marker));

  UnloadGameModules(app);
  EXPECT_EQ(app.game, nullptr);
  EXPECT_TRUE(app.modules.empty());
  // An interrupt after the unload must not reach the closed library.
  RunShell("rm -f '" + marker + "'");
  ::testing::internal::CaptureStdout();
  exit_program(SIGINT);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Ctrl+C detected\n");
  EXPECT_FALSE(PathExists(marker));
}

TEST_F(ModuleLoaderTest, InterruptHandlerRestoresTheDefaultAction) {
  std::signal(SIGINT, exit_program);
  ::testing::internal::CaptureStdout();
  exit_program(SIGINT);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::signal(SIGINT, SIG_DFL), SIG_DFL);
}

TEST_F(ModuleLoaderTest, ALaterRegistrationReplacesTheFirst) {
  struct Counting : ICApplication {
    void Run(int, char**) override {}
    void Shutdown() override { ++shutdowns; }
    void Restart() override { ++restarts; }
    bool DownloadFile(const char*, const char*, const char*, int) override {
      return false;
    }
    std::string getUpdatePath() override { return ""; }
    int shutdowns = 0;
    int restarts = 0;
  } first, second;
  app.Shutdown();  // nothing registered: nothing happens
  EXPECT_TRUE(app.ImportDLLPointers({&first}));
  EXPECT_TRUE(app.ImportDLLPointers({&second}));
  app.Shutdown();
  app.Restart();
  EXPECT_EQ(first.shutdowns + first.restarts, 0);
  EXPECT_EQ(second.shutdowns, 1);
  EXPECT_EQ(second.restarts, 1);
  app.setBuildName(nullptr);
  app.AddCrashRptFile(nullptr);
  app.SetReportDebugString(nullptr);
  EXPECT_TRUE(app.crashRptFiles.empty());
}

TEST_F(ModuleLoaderTest, DownloadServiceFetchesAndReportsFailures) {
  HttpTestServer server;
  server.SetReply("/files/news.txt", HttpReply::Ok("hello"));
  ScopedCwd cwd(dir.path());
  // The module's directory is its own: not even what looks like a
  // temporary of a process that is gone is cleared from it.
  const pid_t gone = PidOfAGoneProcess();
  ASSERT_GT(gone, 0);
  const std::string kept =
      dir / ("Downloads/notes.txt." + std::to_string(gone) + ".Ab12Cd.tmp");
  WriteFile(kept, "the module's");
  EXPECT_TRUE(app.DownloadFile(server.Url("/files/").c_str(), "news.txt",
                               "Downloads", 10));
  EXPECT_EQ(ReadFile(dir / "Downloads/news.txt"), "hello");
  EXPECT_EQ(ReadFile(kept), "the module's");
  EXPECT_FALSE(app.DownloadFile(server.Url("/files/").c_str(), "absent.txt",
                                "Downloads", 10));
  EXPECT_FALSE(PathExists(dir / "Downloads/absent.txt"));
  const std::string text = LogText();
  EXPECT_NE(text.find("APP: downloading file " + server.Url("/files/") +
                      "/news.txt\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("APP: error downloading file to Downloads (err 22)\n"),
            std::string::npos)
      << text;
}

// A module that declares the boundary itself, from the slot order alone,
// reaches every operation of the application object (but Run), of the log and
// of the starter through its slot: each call has its own effect.
TEST_F(ModuleLoaderTest, AModuleWithItsOwnDeclarationReachesEverySlot) {
  HttpTestServer server;
  server.SetReply("/files/news.txt", HttpReply::Ok("hello"));
  ScopedCwd cwd(dir.path());
  app.log = log.get();
  app.buildName = "Engine";
  app.appDir = "/game/";
  // The starter fills the engine defaults; the update URL is set after it.
  auto starter = std::make_unique<CStarter>(0, nullptr);
  app.defaults.updateURL = "http://updates.example/";
  char address[32];
  std::snprintf(address, sizeof address, "%jx",
                static_cast<std::uintmax_t>(
                    reinterpret_cast<std::uintptr_t>(starter.get())));
  const std::string module = SlotOrderModulePath();
  const std::string nested = GameModulePath(ModuleEntry::kExported);
  ASSERT_FALSE(module.empty());
  ASSERT_FALSE(PathExists(dir / "startup_config.cfg"));

  starter.release();  // the module deletes it through its slot
  log.release();      // likewise the log
  ASSERT_TRUE(Load(module, {"slots:url=" + server.Url("/files/"),
                            "slots:load=" + nested,
                            std::string("slots:starter=") + address,
                            "slots:delete-log"}));
  app.log = nullptr;

  EXPECT_EQ(printed,
            std::string("slots: buildName Engine\n"
                        "slots: ImportDLLPointers true\n"
                        "slots: game Shutdown\n"
                        "slots: game Restart\n"
                        "slots: getUpdatePath "
                        "http://updates.example/linux32-dedicated-demo/\n") +
                "Downloading " + server.Url("/files/") + "news.txt...\n" +
                "file Downloads/news.txt\n"
                "slots: DownloadFile true\n"
                "slots: useFile ../Base/slots-absent.txt\n"
                "slots: getDirectoryFromArgs /opt/game/\n"
                "slots: buildName Engine\n"
                "Running with Steamworks\n"
                "slots: ParseCmdLine 0\n"
                "slots: getAppDirFile /game/x.cfg\n"
                "module: arg[0]=nested\n"
                "slots: LoadGameDLL true\n"
                "slots: OnEvent false\n"
                "slots: starter deleted\n"
                "slots: log deleted\n");
  EXPECT_EQ(ReadFile(dir / "Downloads/news.txt"), "hello");
  EXPECT_NE(app.game, nullptr);
  EXPECT_TRUE(app.useSteam);
  EXPECT_TRUE(app.crashRptFiles.empty());
  EXPECT_EQ(app.modules.size(), 2u);
  // The starter's destructor ran: it writes the start-up configuration.
  EXPECT_TRUE(Contains(ReadFile(dir / "startup_config.cfg"),
                       "Window.Width"));
  // The log's destructor ran: it left its registration and its lines.
  EXPECT_FALSE(Singleton<CAppLog>::IsValid());
  const std::string text = LogText();
  EXPECT_TRUE(Contains(text, "slots: Write 7 seven\n")) << text;
  EXPECT_TRUE(Contains(text, "slots: WriteNoArgs 100%d\n")) << text;
  EXPECT_TRUE(Contains(text, "APP: downloading file " + server.Url("/files/") +
                                 "/news.txt\n"))
      << text;
  EXPECT_TRUE(Contains(text, "File not found 'slots-absent.txt'\n")) << text;
  EXPECT_TRUE(Contains(text, "Using file '" + nested + "'\n")) << text;
}
