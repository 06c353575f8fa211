// End-to-end runs of the real starter executable in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "game_module_fixture.h"
#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/list_signing.h"
#include "support/published_release.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "support/wait_until.h"

namespace {

constexpr char kEnd[] = "THE END\n";
const char* const kWorkingDirectories[] = {
    "App",  "Cache", "Downloads", "Downloads/App",
    "Logs", "Mods",  "Security",  "Screenshots"};

class ApplicationRunTest : public ::testing::Test {
 protected:
  ApplicationRunTest() {
    char* real = realpath(game.path().c_str(), nullptr);
    game_dir = real;
    free(real);
  }

  // Runs the starter in the game directory with `args` after the program
  // path `argv0`.
  ChildResult Run(std::vector<std::string> args,
                  const std::string& argv0 = STARTER_BINARY_PATH) {
    args.insert(args.begin(), argv0);
    return RunChild(STARTER_BINARY_PATH, args, game_dir, capture.path());
  }

  void MakeGameDirectory() { WriteFile(game / "DUdavi", ""); }

  // Installs the stand-in game module where the starter loads it from.
  void InstallModule() {
    const std::string module = GameModulePath(ModuleEntry::kExported);
    ASSERT_FALSE(module.empty());
    ASSERT_EQ(
        RunShell("cp '" + module + "' '" + game_dir + "/libVelmora_dedi.so'"),
        0);
  }

  std::string AppLog() { return ReadFile(game / "Logs/app.txt"); }

  TempDir game;
  TempDir capture;
  std::string game_dir;
};

}  // namespace

TEST_F(ApplicationRunTest, GameDirectoryMarkersCreateTheWorkingDirectories) {
  for (const char* marker : {"BM.exe", "BM", "DUdavi"}) {
    TempDir dir;
    WriteFile(dir / marker, "");
    ChildResult r =
        RunChild(STARTER_BINARY_PATH, {STARTER_BINARY_PATH, "noautoupdate"},
                 dir.path(), capture.path());
    EXPECT_EQ(r.exit_code, 0) << marker;
    for (const char* sub : kWorkingDirectories) {
      EXPECT_TRUE(PathExists(dir / sub)) << marker << ": " << sub;
    }
  }
}

TEST_F(ApplicationRunTest, TheCopiedExecutableMarksItsOwnDirectory) {
  ASSERT_EQ(RunShell(std::string("cp '") + STARTER_BINARY_PATH + "' '" +
                     game_dir + "/DUdavi'"),
            0);
  ChildResult r = RunChild(game_dir + "/DUdavi", {"./DUdavi", "noautoupdate"},
                           game_dir, capture.path());
  EXPECT_EQ(r.exit_code, 0);
  for (const char* sub : kWorkingDirectories) {
    EXPECT_TRUE(PathExists(game / sub)) << sub;
  }
}

TEST_F(ApplicationRunTest, OutsideAGameDirectoryNothingIsCreated) {
  WriteFile(game / "bm", "");  // names are case-sensitive
  ChildResult r = Run({"noautoupdate"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* sub : kWorkingDirectories) {
    EXPECT_FALSE(PathExists(game / sub)) << sub;
  }
  // Without "Logs" the log only echoes to the console.
  EXPECT_TRUE(Contains(r.out, "Engine\n"));
  EXPECT_TRUE(EndsWith(r.out, kEnd)) << r.out;
}

TEST_F(ApplicationRunTest, PidFileHoldsTheProcessIdOnly) {
  MakeGameDirectory();
  WriteFile(game / "Logs/pid.txt", "9999999999 stale");
  ChildResult r = Run({"noautoupdate"});
  EXPECT_EQ(ReadFile(game / "Logs/pid.txt"), std::to_string(r.pid));
  EXPECT_TRUE(Contains(r.out, "PID: " + std::to_string(r.pid) + "\n"));
}

TEST_F(ApplicationRunTest, AppLogStartsWithTheBuildNameAndIsRewrittenEachRun) {
  MakeGameDirectory();
  WriteFile(game / "Logs/app.txt", "a line of an earlier run\n");
  for (int run = 0; run < 2; ++run) {
    Run({"noautoupdate"});
    const std::string log = AppLog();
    EXPECT_EQ(log.substr(0, 7), "Engine\n") << run;
    EXPECT_FALSE(Contains(log, "earlier run")) << run;
    EXPECT_EQ(log.find("Engine\n", 1), std::string::npos) << run;
    const std::string failure = "Could not load game module";
    EXPECT_EQ(log.find(failure), log.rfind(failure)) << run;
  }
}

TEST_F(ApplicationRunTest, SwitchMessagesAndUpdateOnlyModeSkipTheModule) {
  MakeGameDirectory();
  ChildResult r =
      Run({"onlyautoupdate", "noautoupdate", "steam", "menus", "noconsole"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find("PID: ")),
            "Running solely to Update\nRunning without AutoUpdate\n"
            "Running with Steamworks\nRunning with scripted menus\n"
            "Closing console\n");
  EXPECT_TRUE(Contains(r.out, "Starting in directory: " + game_dir + "/\n"));
  const std::string log = AppLog();
  EXPECT_EQ(log.substr(0, 7), "Engine\n");
  EXPECT_FALSE(Contains(log, "LoadLibrary"));
  EXPECT_FALSE(Contains(log, "Could not load"));
  // The launcher is left alive in this mode: its configuration is not
  // written back, as it is after a normal run.
  EXPECT_FALSE(PathExists(game / "startup_config.cfg"));
  EXPECT_TRUE(EndsWith(r.out, kEnd));
  Run({"noautoupdate"});
  EXPECT_TRUE(PathExists(game / "startup_config.cfg"));
}

TEST_F(ApplicationRunTest, MissingModuleFailsTheLoadAndTheRunStillEndsWell) {
  MakeGameDirectory();
  ChildResult r = Run({"noautoupdate"});
  EXPECT_EQ(r.exit_code, 0);
  const std::string module = game_dir + "/libVelmora_dedi.so";
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, "File not found '" + module + "'\n")) << log;
  EXPECT_TRUE(Contains(log, "\nLoadLibrary ERROR: ../Base/" + module)) << log;
  const std::string failure =
      "\nCould not load game module " + module + " (errno ";
  ASSERT_TRUE(Contains(log, failure)) << log;
  EXPECT_TRUE(EndsWith(log, "): \n")) << log;
  EXPECT_TRUE(EndsWith(r.out, kEnd));
}

TEST_F(ApplicationRunTest, ModuleRunsWithTheUnchangedArguments) {
  MakeGameDirectory();
  InstallModule();
  ChildResult r = Run({"noautoupdate", "two words", "-join"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out,
                       "module: arg[1]=noautoupdate\n"
                       "module: arg[2]=two words\n"
                       "module: arg[3]=-join\n"))
      << r.out;
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, "Using file '" + game_dir +
                                "/libVelmora_dedi.so'\nAPP GameDLLInit\n"))
      << log;
  EXPECT_FALSE(Contains(log, "Could not load"));
  EXPECT_TRUE(EndsWith(r.out, kEnd));
}

TEST_F(ApplicationRunTest, ModuleReturningFalseCountsAsAFailedLoad) {
  MakeGameDirectory();
  InstallModule();
  ChildResult r = Run({"noautoupdate", "mod:fail"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(AppLog(), "Could not load game module " + game_dir +
                                     "/libVelmora_dedi.so (errno "));
}

TEST_F(ApplicationRunTest, RestartRunsTheSameArgumentsAsAChildInTheAppDir) {
  MakeGameDirectory();
  InstallModule();
  // The program path is a script standing in for the restarted starter.
  const std::string script = game_dir + "/printargs.sh";
  WriteFile(script,
            "#!/bin/sh\npwd > args.txt\n"
            "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> args.txt; "
            "done\necho child-ran\n");
  RunShell("chmod +x '" + script + "'");
  ChildResult r =
      Run({"noautoupdate", "mod:restart", "with space", "a;touch INJECTED"},
          script);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ReadFile(game / "args.txt"),
            game_dir +
                "\n[noautoupdate]\n[mod:restart]\n[with]\n[space]\n"
                "[a;touch]\n[INJECTED]\n");
  EXPECT_FALSE(PathExists(game / "INJECTED"));
  const std::string tail = r.out.substr(r.out.find("*****"));
  EXPECT_EQ(tail,
            "***************** RESTARTING *******************\n"
            "Module asked for a restart\n\n"
            "cmd: " +
                script +
                " noautoupdate mod:restart with space a\\;touch INJECTED \n"
                "child-ran\nTHE END\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ApplicationRunTest, FailingRestartIsReportedAndExitStaysZero) {
  MakeGameDirectory();
  InstallModule();
  const std::string script = game_dir + "/fail.sh";
  WriteFile(script, "#!/bin/sh\nexit 3\n");
  RunShell("chmod +x '" + script + "'");
  ChildResult r = Run({"noautoupdate", "mod:restart"}, script);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "cmd " + script + " noautoupdate mod:restart  failed");
  EXPECT_TRUE(EndsWith(r.out, kEnd));
}

TEST_F(ApplicationRunTest, InterruptBeforeRegistrationOnlyPrintsAndRestores) {
  MakeGameDirectory();
  InstallModule();
  ChildResult r = Run({"noautoupdate", "mod:sigint"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "Ctrl+C detected\n"));
  EXPECT_TRUE(Contains(r.out, "module: no shutdown\n"));
  EXPECT_TRUE(Contains(r.out, "module: SIGINT default\n"));
}

TEST_F(ApplicationRunTest, InterruptReachesTheRegisteredModule) {
  MakeGameDirectory();
  InstallModule();
  ChildResult r = Run({"noautoupdate", "mod:register", "mod:sigint"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "Ctrl+C detected\n"));
  EXPECT_TRUE(Contains(r.out, "module: shutdown received\n"));
  EXPECT_TRUE(EndsWith(r.out, kEnd));
}

TEST_F(ApplicationRunTest, SecondInterruptEndsTheProcess) {
  MakeGameDirectory();
  InstallModule();
  ChildResult r = Run({"noautoupdate", "mod:register", "mod:sigint2"});
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(r.exit_code, -1);
}

TEST_F(ApplicationRunTest, CtrlCFromOutsideShutsTheRunningGameDown) {
  MakeGameDirectory();
  InstallModule();
  ChildProcess child(
      STARTER_BINARY_PATH,
      {STARTER_BINARY_PATH, "noautoupdate", "mod:register", "mod:wait"},
      game_dir, capture.path());
  ASSERT_TRUE(WaitUntil(
      [&] { return Contains(child.OutputSoFar(), "module: waiting"); }));
  ASSERT_EQ(kill(child.pid(), SIGINT), 0);
  ChildResult r = child.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "Ctrl+C detected\n"));
  EXPECT_TRUE(Contains(r.out, "module: shutdown received\n"));
  EXPECT_TRUE(EndsWith(r.out, kEnd));
}

// Under a service manager standard output and standard error are one pipe
// to the journal. Every line the starter prints is in the pipe as soon as it
// is printed, while the game module still runs (here held at its start until
// the test releases it), in the order printed, and libcurl's progress meter
// on standard error lies between the lines of its transfer.
TEST_F(ApplicationRunTest, EveryLineReachesAPipeWhileTheGameRuns) {
  MakeGameDirectory();
  InstallModule();
  TempDir release;
  const std::string platform = release.path() + "/linux32-dedicated-demo";
  PublishReleaseFiles(platform, {{"Base/motd.txt", "hello\n"}}, 4242);
  if (kStarterChecksSignatures) {
    ASSERT_EQ(
        SignWithOpenssl(TestPrivateKeyPath(), platform + "/App/version.txt"),
        0);
  }
  HttpTestServer server;
  server.ServeDirectory("/10/", release.path());
  const ScopedEnv url("STARTER_UPDATE_URL", server.Url("/10/"));
  const std::string hold = game_dir + "/hold";
  ASSERT_EQ(mkfifo(hold.c_str(), 0600), 0);

  PipedChild child(STARTER_BINARY_PATH,
                   {STARTER_BINARY_PATH, "mod:hold=" + hold}, game_dir);
  // The FIFO opens for writing once the module has opened it for reading:
  // the module runs, and everything the starter prints before it was
  // printed.
  int writer = -1;
  ASSERT_TRUE(WaitUntil([&] {
    writer = open(hold.c_str(), O_WRONLY | O_NONBLOCK);
    return writer >= 0;
  }));
  const std::string before = child.ReadArrived();
  EXPECT_EQ(
      before.rfind("PID: " + std::to_string(child.pid()) +
                       "\nStarting in directory: " + game_dir + "/\nEngine\n",
                   0),
      0u)
      << before;
  const std::size_t fetch =
      before.find("Downloading " + server.Url("/10/") +
                  "linux32-dedicated-demo/./Base/motd.txt...\n");
  const std::size_t meter = before.find("% Total", fetch);
  const std::size_t fetched = before.find("\nfile ./Base/motd.txt\n", fetch);
  EXPECT_NE(fetch, std::string::npos) << before;
  EXPECT_LT(fetch, meter) << before;
  EXPECT_LT(meter, fetched) << before;
  EXPECT_NE(fetched, std::string::npos) << before;
  EXPECT_TRUE(EndsWith(before, "APP GameDLLInit\n\n")) << before;

  ASSERT_EQ(write(writer, "go", 2), 2);
  close(writer);
  const ChildResult r = child.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.substr(0, before.size()), before);
  EXPECT_TRUE(Contains(r.out.substr(before.size()),
                       "module: arg[1]=mod:hold=" + hold + "\n"))
      << r.out;
  EXPECT_TRUE(EndsWith(r.out, kEnd)) << r.out;
  EXPECT_EQ(ReadFile(game / "Base/motd.txt"), "hello\n");
}
