// The whole program: the real executable in a temporary game directory,
// updated from a release published with the checksum tool and served by
// python3's http.server, then running the sample game module.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "game_fixture.h"
#include "python_http_server.h"
#include "support/raw_http_server.h"

namespace {

constexpr char kRestartMessage[] =
    "Major file update - please restart the game\n\n";
constexpr char kKeyMatch[] = "Version file the same (key matches)\n";
constexpr char kModuleEnter[] = "APP GameDLLInit\n";
constexpr char kModuleEnd[] = "Velmora: server finished, module ends\n";
constexpr char kConfigHeader[] =
    "# Config file for Engine Starter (default keys here are only for first "
    "game run)\n";

class LaunchTest : public GameFixture {
 protected:
  LaunchTest() : server(root.path() + "/server") {
    EXPECT_NE(server.port(), 0);
    UseUpdateServer(server.Url("/10/"));
  }

  PythonHttpServer server;
};

TEST_F(LaunchTest, FirstRunInstallsTheReleaseAndRunsTheModule) {
  PublishRelease({{"Base/maps/arena.txt", "arena\n"},
                  {"OKUdedi", "#!/bin/sh\necho server\n"}});
  for (const char* runnable : {"/OKUdedi", "/dedicatedserver.sh"}) {
    ASSERT_EQ(chmod((release + runnable).c_str(), 0755), 0);
  }
  WriteFile(game + "/Base/news.txt", "unlisted, moved aside\n");
  ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(EndsWith(r.out, kTheEnd)) << r.out;
  EXPECT_EQ(Count(r.out, kTheEnd), 1);  // no restart
  EXPECT_FALSE(Contains(r.out, "RESTARTING"));

  // The installation is the release, and the list became the version file.
  EXPECT_EQ(Game("App/version.txt"), ServerList());
  EXPECT_EQ(Game("Base/maps/arena.txt"), "arena\n");
  EXPECT_TRUE(Game("libVelmora_dedi.so") ==
              ReadFile(release + "/libVelmora_dedi.so"));
  EXPECT_EQ(Game("old/Base/news.txt"), "unlisted, moved aside\n");
  EXPECT_FALSE(GameHas("Base/news.txt"));
  // The game's executable and script arrive runnable by their owner only,
  // as later installs swap them in; nothing was there to swap out, so the
  // starter does not restart.
  EXPECT_EQ(PermissionsOf(game + "/OKUdedi"), 0700u);
  EXPECT_EQ(PermissionsOf(game + "/dedicatedserver.sh"), 0700u);
  EXPECT_EQ(PermissionsOf(game + "/Base/maps/arena.txt"),
            PermissionsOf(game + "/Base/server.cfg"));
  EXPECT_TRUE(Contains(r.out, "EXECUTABLE ./OKUdedi\n"));
  EXPECT_FALSE(Contains(r.out, "UPDATED EXECUTABLE"));

  const std::string log = AppLog();
  EXPECT_EQ(log.rfind("Engine\n", 0), 0u);
  EXPECT_TRUE(
      Contains(log, "File not found startup_config.cfg - creating...\n"));
  EXPECT_TRUE(Contains(log, kModuleEnter));
  EXPECT_TRUE(Contains(log, "Velmora: module started with 1 arguments\n"));
  EXPECT_TRUE(Contains(log, "Velmora: first-run window 1136 x 640"));
  EXPECT_TRUE(
      Contains(log, "Velmora: server config Base/server.cfg: Test server\n"));
  EXPECT_TRUE(Contains(
      log, "Velmora: message of the day: Welcome to the test server\n"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
  EXPECT_EQ(Game("Downloads/Base/motd.txt"), "Welcome to the test server\n");
  // The configuration is written when the starter goes, before the module.
  EXPECT_EQ(Game("startup_config.cfg"),
            std::string(kConfigHeader) +
                "Fullscreen=0\nWindow.Height=640\nWindow.Width=1136\n");
}

TEST_F(LaunchTest, SecondRunFindsTheKeyMatchAndDownloadsNothingElse) {
  PublishRelease();
  ASSERT_EQ(Run().exit_code, 0);
  // A file changed behind the updater's back stays as it is: the key matches.
  WriteFile(game + "/Base/server.cfg", "changed locally\n");
  ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(EndsWith(r.out, kTheEnd));
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, kKeyMatch));
  EXPECT_FALSE(Contains(log, "Hashing file"));
  EXPECT_FALSE(Contains(log, "File not found startup_config.cfg"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
  EXPECT_EQ(Game("Base/server.cfg"), "changed locally\n");

  // A new release (another key) brings the file back. The tool draws keys
  // from a clock seeded in whole seconds, so the key is set here.
  std::string list = ServerList();
  list.replace(0, list.find('\n'), "version_file 424242");
  ReplaceServerList(list);
  ASSERT_EQ(Run().exit_code, 0);
  EXPECT_FALSE(Contains(AppLog(), kKeyMatch));
  EXPECT_EQ(Game("Base/server.cfg"), "Test server\nport=7777\n");
}

TEST_F(LaunchTest, NoAutoupdateSkipsTheServerAndRunsTheModule) {
  PublishRelease();
  InstallModuleInGame();
  ChildResult r = Run({"noautoupdate"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "Running without AutoUpdate\n"));
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, "NO AUTOUPDATE"));
  EXPECT_FALSE(Contains(log, "Downloading checksums"));
  EXPECT_FALSE(GameHas("App/version.txt"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
  // The module's own download still works.
  EXPECT_TRUE(GameHas("Downloads/Base/motd.txt"));
}

TEST_F(LaunchTest, OnlyAutoupdateUpdatesWithoutModuleOrConfigWriteBack) {
  PublishRelease();
  ChildResult r = Run({"onlyautoupdate"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "Running solely to Update\n"));
  EXPECT_TRUE(EndsWith(r.out, kTheEnd));
  EXPECT_EQ(Game("App/version.txt"), ServerList());
  EXPECT_TRUE(GameHas("libVelmora_dedi.so"));
  EXPECT_FALSE(Contains(AppLog(), kModuleEnter));
  EXPECT_FALSE(Contains(AppLog(), "Could not load game module"));
  EXPECT_FALSE(GameHas("startup_config.cfg"));
}

TEST_F(LaunchTest,
       MajorUpdateRestartsWithTheSameArgumentsAndThenRunsTheModule) {
  PublishRelease({{"OKUdedi", "#!/bin/sh\necho new\n"}});
  WriteFile(game + "/OKUdedi", "#!/bin/sh\necho old\n");
  ChildResult r = Run({"autoconfig", "server-a.cfg", "steam"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "UPDATED EXECUTABLE\n"));
  const auto banner =
      r.out.find("***************** RESTARTING *******************\n");
  ASSERT_NE(banner, std::string::npos);
  const std::string first = r.out.substr(0, banner);
  const std::string child = r.out.substr(banner);
  // The first process never entered the module.
  EXPECT_FALSE(Contains(first, kModuleEnter));
  EXPECT_TRUE(Contains(child, kRestartMessage));
  EXPECT_TRUE(
      Contains(child, "cmd: ./DUdavi autoconfig server-a.cfg steam \n"));
  // The child is current, enters the module with the same arguments, and
  // both processes end.
  EXPECT_TRUE(Contains(child, kKeyMatch));
  EXPECT_EQ(Count(child, kModuleEnter), 1);
  EXPECT_TRUE(Contains(child, "Velmora: argument 2: server-a.cfg\n"));
  EXPECT_TRUE(Contains(child,
                       "autoconfig server-a.cfg, autostart "
                       "Scripts/server_autostart.as, steam on"));
  EXPECT_EQ(Count(r.out, kTheEnd), 2);
  EXPECT_EQ(Game("OKUdedi"), "#!/bin/sh\necho new\n");
  EXPECT_EQ(Game("OKUdedi.tmp2"), "#!/bin/sh\necho old\n");
}

// A release that ships the starter itself and other runnable or private
// files: each keeps its permission bits, so the restart runs the new
// starter.
TEST_F(LaunchTest, UpdatedStarterScriptsAndSecretsKeepTheirModes) {
  const std::string new_starter =
      "#!/bin/sh\necho \"new starter: $*\"\n";
  // The publishing tools sign no release whose DUdavi is no keyed starter.
  PublishRelease({{"OKUdedi", "#!/bin/sh\necho new\n"},
                  {"DUdavi", new_starter},
                  {"rungame.sh", "#!/bin/sh\nexec ./DUdavi \"$@\"\n"},
                  {"Base/secret.cfg", "password=new\n"}},
                 false);
  WriteFile(game + "/OKUdedi", "#!/bin/sh\necho old\n");
  WriteFile(game + "/rungame.sh", "#!/bin/sh\necho old\n");
  WriteFile(game + "/Base/secret.cfg", "password=old\n");
  ASSERT_EQ(chmod((game + "/rungame.sh").c_str(), 0755), 0);
  ASSERT_EQ(chmod((game + "/Base/secret.cfg").c_str(), 0600), 0);
  ASSERT_EQ(chmod((game + "/DUdavi").c_str(), 0755), 0);

  ChildResult r = Run({"steam"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(Contains(r.out, "UPDATED EXECUTABLE\n"));
  EXPECT_TRUE(Contains(r.out, "cmd: ./DUdavi steam \n"));
  EXPECT_TRUE(Contains(r.out, "new starter: steam\n")) << r.out << r.err;
  EXPECT_FALSE(Contains(r.err, "Permission denied")) << r.err;
  EXPECT_EQ(Game("DUdavi"), new_starter);
  EXPECT_EQ(PermissionsOf(game + "/DUdavi"), 0755u);
  EXPECT_EQ(PermissionsOf(game + "/rungame.sh"), 0755u);
  EXPECT_EQ(PermissionsOf(game + "/Base/secret.cfg"), 0600u);
  EXPECT_EQ(Game("Base/secret.cfg"), "password=new\n");
  EXPECT_EQ(PermissionsOf(game + "/OKUdedi"), 0700u);
  EXPECT_EQ(Game("App/version.txt"), ServerList());
}

// Links the operator made at the starter's own files, to files kept
// elsewhere: every step of a whole run (the update and its version file,
// the configuration, the log, the process id) keeps the link and writes the
// file it leads to, also in a directory the starter may not write (as a
// user other than root, the files its own), where they are rewritten in
// place; the next start finds the key matching.
TEST_F(LaunchTest, OperatorsLinksAtTheStartersOwnFilesStay) {
  const struct {
    const char* name;    // below the game directory
    const char* target;  // below root/conf
  } links[] = {
      {"App/version.txt", "version.txt"},
      {"startup_config.cfg", "startup.cfg"},
      {"Logs/app.txt", "app.txt"},
      {"Logs/pid.txt", "pid.txt"},
  };
  PublishRelease();
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  for (const bool as_nobody : {false, true}) {
    SCOPED_TRACE(as_nobody ? "as nobody, in a directory it may not write"
                           : "as root");
    const std::string conf =
        root.path() + (as_nobody ? "/conf-nobody/" : "/conf/");
    RunShell("rm -rf '" + game + "/App' '" + game + "/Logs' '" + game +
             "/startup_config.cfg'");
    for (const auto& l : links) {
      WriteFile(conf + l.target, "kept elsewhere\n");
      ASSERT_EQ(chmod((conf + l.target).c_str(), 0666), 0);
      WriteFile(game + "/" + l.name, "");
      std::remove((game + "/" + l.name).c_str());
      ASSERT_EQ(
          symlink((conf + l.target).c_str(), (game + "/" + l.name).c_str()), 0);
    }
    ASSERT_EQ(chmod(conf.c_str(), 0755), 0);  // root's
    if (as_nobody) {
      ASSERT_EQ(RunShell("chown -R nobody:nogroup '" + game + "'"), 0);
    }
    const auto run = [&] { return as_nobody ? RunAsNobody() : Run(); };
    const ChildResult r = run();
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(Contains(r.out, "Remove failed")) << r.out;
    for (const auto& l : links) {
      struct stat info;
      ASSERT_EQ(lstat((game + "/" + l.name).c_str(), &info), 0) << l.name;
      EXPECT_TRUE(S_ISLNK(info.st_mode)) << l.name;
    }
    EXPECT_EQ(ReadFile(conf + "version.txt"), ServerList());
    EXPECT_TRUE(Contains(ReadFile(conf + "startup.cfg"), kConfigHeader));
    const std::string log = ReadFile(conf + "app.txt");
    EXPECT_EQ(log.rfind("Engine\n", 0), 0u) << log;
    EXPECT_TRUE(Contains(log, kModuleEnd)) << log;
    EXPECT_EQ(ReadFile(conf + "pid.txt"), std::to_string(r.pid));
    EXPECT_EQ(NamesIn(conf),
              (std::set<std::string>{"app.txt", "pid.txt", "startup.cfg",
                                     "version.txt"}));
    const ChildResult again = run();
    EXPECT_EQ(again.exit_code, 0) << again.out;
    EXPECT_TRUE(Contains(again.out, kKeyMatch)) << again.out;
  }
}

// The ignore test looks for the local copy at each entry: a file on an
// ignore list that this process cannot open counts as absent at every entry
// of it, also after an earlier entry installed it (keeping its bits).
TEST_F(LaunchTest, IgnoreTestProbesTheLocalCopyAtEachEntry) {
  PublishRelease({{"Base/private.cfg", "release settings\n"}});
  const std::string list = ServerList();
  const std::size_t line = list.find("./Base/private.cfg ");
  ReplaceServerList(list + list.substr(line, list.find('\n', line) + 1 - line));
  WriteFile(game + "/autoupdate_ignore_custom.cfg", "Base/private.cfg\n");
  WriteFile(game + "/Base/private.cfg", "mine\n");
  ASSERT_EQ(chmod((game + "/Base/private.cfg").c_str(), 0200), 0);
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  ASSERT_EQ(RunShell("chown -R nobody:nogroup '" + game + "'"), 0);
  const ChildResult r = RunAsNobody({"onlyautoupdate"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(Count(r.out, "/./Base/private.cfg...\n"), 2) << r.out;
  EXPECT_FALSE(Contains(r.out, "Ignoring update to file")) << r.out;
  EXPECT_EQ(Game("Base/private.cfg"), "release settings\n");
  EXPECT_EQ(PermissionsOf(game + "/Base/private.cfg"), 0200u);
}

TEST_F(LaunchTest, FailedUpdateDoesNotStopTheLaunch) {
  PublishRelease();
  // Listed, but gone from the server.
  std::remove((release + "/Base/server.cfg").c_str());
  ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, "Error downloading ./Base/server.cfg\n"));
  EXPECT_TRUE(Contains(log, "autoupdate->error 1\n"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
  EXPECT_NE(Game("App/version.txt"), ServerList());
}

TEST_F(LaunchTest, UnreachableUpdateServerStillLaunches) {
  UseUpdateServer("http://127.0.0.1:1/10/");
  InstallModuleInGame();
  ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log,
                       "Error downloading checksum from "
                       "http://127.0.0.1:1/10/linux32-dedicated-demo/"
                       "App/version.txt (err:7)\n"));
  EXPECT_TRUE(Contains(log, "Velmora: no message of the day\n"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
}

// The environment's proxy settings, which libcurl reads: with http_proxy
// the update server's host, which no resolver knows, is reached through a
// forwarding proxy on 127.0.0.1; when no_proxy names the host the starter
// goes to it directly, cannot resolve it, and still launches.
TEST_F(LaunchTest, UpdatesThroughTheProxyOfTheEnvironment) {
  constexpr char kHiddenServer[] = "http://updates.brackmoor.invalid";
  const std::string list_url = std::string(kHiddenServer) +
                               "/10/linux32-dedicated-demo/App/version.txt";
  std::mutex mutex;
  std::vector<std::string> forwarded;  // request targets the proxy saw
  RawHttpServer proxy([&](int fd, const std::string& target) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      forwarded.push_back(target);
    }
    httplib::Client origin("127.0.0.1", server.port());
    const std::string path = target.rfind(kHiddenServer, 0) == 0
                                 ? target.substr(std::strlen(kHiddenServer))
                                 : target;
    const httplib::Result reply = origin.Get(path);
    const int status = reply ? reply->status : 502;
    const std::string body = reply ? reply->body : std::string();
    RawHttpServer::SendAll(fd, RawHttpServer::Head(status, body.size()) + body);
    return RawHttpServer::Ending::kClose;
  });
  PublishRelease();
  UseUpdateServer(std::string(kHiddenServer) + "/10/");
  ScopedEnv http_proxy("http_proxy", proxy.Url("/"));

  const struct {
    const char* no_proxy;
    bool through_proxy;
  } cases[] = {
      {"", true},
      {"updates.brackmoor.invalid", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("no_proxy=") + c.no_proxy);
    ScopedEnv no_proxy("no_proxy", c.no_proxy);
    {
      std::lock_guard<std::mutex> lock(mutex);
      forwarded.clear();
    }
    const ChildResult r = Run();
    EXPECT_EQ(r.exit_code, 0);
    const std::string log = AppLog();
    EXPECT_TRUE(Contains(log, "Downloading checksums from " + list_url));
    EXPECT_TRUE(Contains(log, kModuleEnd));
    std::lock_guard<std::mutex> lock(mutex);
    if (c.through_proxy) {
      EXPECT_EQ(Game("App/version.txt"), ServerList());
      EXPECT_TRUE(Contains(
          log, "Velmora: message of the day: Welcome to the test server\n"));
      ASSERT_FALSE(forwarded.empty());
      EXPECT_EQ(forwarded.front(), list_url);
      // The update fetches each file once; the module fetches the message
      // of the day again.
      const std::pair<const char*, int> fetches[] = {
          {"/libVelmora_dedi.so", 1}, {"/Base/motd.txt", 2}};
      for (const auto& [file, times] : fetches) {
        EXPECT_EQ(std::count(forwarded.begin(), forwarded.end(),
                             std::string(kHiddenServer) +
                                 "/10/linux32-dedicated-demo" + file),
                  times)
            << file;
      }
    } else {
      EXPECT_TRUE(Contains(log, "Error downloading checksum from " + list_url))
          << log;
      EXPECT_TRUE(Contains(log, "Velmora: no message of the day\n"));
      EXPECT_TRUE(forwarded.empty());
    }
  }
}

// Runs without a module in the game directory and without updating.
class ModuleFailureTest : public GameFixture {};

TEST_F(ModuleFailureTest, MissingModuleIsStatusTwoWithBothLogLines) {
  ChildResult r = Run({"noautoupdate"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(EndsWith(r.out, kTheEnd));
  const std::string log = AppLog();
  const auto load_error = log.find("LoadLibrary ERROR: ");
  const auto failure = log.find("Could not load game module " + game +
                                "/libVelmora_dedi.so (errno ");
  ASSERT_NE(load_error, std::string::npos);
  ASSERT_NE(failure, std::string::npos);
  EXPECT_LT(load_error, failure);
  EXPECT_TRUE(EndsWith(log, "): \n"));
  EXPECT_FALSE(Contains(log, kModuleEnter));
}

TEST_F(ModuleFailureTest, ModuleWithoutEntryPointIsNeverEntered) {
  ASSERT_EQ(RunShell("cp '" NO_ENTRY_MODULE_PATH "' '" + game +
                     "/libVelmora_dedi.so'"),
            0);
  ChildResult r = Run({"noautoupdate"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.signal, 0);
  EXPECT_TRUE(EndsWith(r.out, kTheEnd));
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, "GameDLLInit"));  // the reason names the symbol
  EXPECT_FALSE(Contains(log, kModuleEnter));
  EXPECT_TRUE(Contains(log, "Could not load game module " + game +
                                "/libVelmora_dedi.so (errno "));
}

// "startup_config.cfg" through whole runs of the program.
TEST_F(ModuleFailureTest, StartupConfigRoundTrips) {
  const struct {
    const char* name;
    const char* before;  // null: no file
    std::string after;
    mode_t mode = 0;           // 0: as created; else set before, kept after
    bool through_link = false;  // a link to conf/startup.cfg
  } cases[] = {
      {"missing", nullptr,
       "Fullscreen=0\nWindow.Height=640\nWindow.Width=1136\n"},
      {"empty", "", "Fullscreen=0\nWindow.Height=640\nWindow.Width=1136\n"},
      {"width only", "Window.Width=800\n",
       "Fullscreen=0\nWindow.Height=0\nWindow.Width=800\n"},
      {"minus one", "Window.Width=-1\nWindow.Height=720\n",
       "Fullscreen=0\nWindow.Height=720\nWindow.Width=4294967295\n"},
      {"hexadecimal", "Window.Width = 0x400\nFullscreen = 1\n",
       "Fullscreen=1\nWindow.Height=0\nWindow.Width=1024\n"},
      {"unknown keys", "# comment\nServer.Name = My server\nWindow.Width=640\n",
       "Fullscreen=0\nServer.Name=My server\nWindow.Height=0\n"
       "Window.Width=640\n"},
      {"private", "Window.Width=800\n",
       "Fullscreen=0\nWindow.Height=0\nWindow.Width=800\n", 0600},
      {"linked", "Window.Width=640\nWindow.Height=480\n",
       "Fullscreen=0\nWindow.Height=480\nWindow.Width=640\n", 0640, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = game + "/startup_config.cfg";
    const std::string real =
        c.through_link ? game + "/conf/startup.cfg" : path;
    std::remove(path.c_str());
    if (c.through_link) {
      WriteFile(real, "");
      ASSERT_EQ(symlink("conf/startup.cfg", path.c_str()), 0);
    }
    if (c.before != nullptr) WriteFile(real, c.before);
    if (c.mode != 0) {
      ASSERT_EQ(chmod(real.c_str(), c.mode), 0);
    }
    ChildResult r = Run({"noautoupdate"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(ReadFile(path), kConfigHeader + c.after);
    if (c.mode != 0) {
      EXPECT_EQ(PermissionsOf(real), c.mode);
    }
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_EQ(S_ISLNK(info.st_mode), c.through_link);
    EXPECT_EQ(Contains(AppLog(),
                       "File not found startup_config.cfg - "
                       "creating...\n"),
              c.before == nullptr || *c.before == '\0');
  }
}

}  // namespace
