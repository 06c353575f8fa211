// A published release, its update server and a fresh game directory holding
// the real starter executable, for end-to-end runs.
#ifndef STARTER_TESTS_E2E_GAME_FIXTURE_H_
#define STARTER_TESTS_E2E_GAME_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/list_signing.h"
#include "support/temp_dir.h"
#include "support/scoped_env.h"
#include "support/text_match.h"
#include "support/wait_until.h"
#include "update/release_statement.h"

// The end of every normal run.
inline constexpr char kTheEnd[] = "THE END\n";

// root/server holds the update server's tree (release under
// 10/linux32-dedicated-demo/), root/game the game directory with "DUdavi".
class GameFixture : public ::testing::Test {
 protected:
  static constexpr char kReleaseDir[] = "/server/10/linux32-dedicated-demo";

  GameFixture() : game(root / "game"), release(root.path() + kReleaseDir) {
    WriteFile(game + "/.keep", "");
    WriteFile(release + "/.keep", "");
    std::remove((game + "/.keep").c_str());
    std::remove((release + "/.keep").c_str());
    EXPECT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + game + "/DUdavi'"),
              0);
  }

  // Publishes the sample module, a "Base" tree with the message of the day,
  // the server script and `extra` files, then writes the checksum list with
  // the publishing tool (signed by it when the starter checks signatures,
  // with the release statement; with `tool_signs` false, by openssl, without
  // a statement, for a release the tool would not sign).
  void PublishRelease(const std::map<std::string, std::string>& extra = {},
                      bool tool_signs = true) {
    CopyIntoRelease(VELMORA_MODULE_PATH, "libVelmora_dedi.so");
    WriteFile(release + "/Base/motd.txt", "Welcome to the test server\n");
    WriteFile(release + "/Base/server.cfg", "Test server\nport=7777\n");
    WriteFile(release + "/dedicatedserver.sh", "#!/bin/sh\nexec ./DUdavi\n");
    for (const auto& [path, content] : extra) {
      WriteFile(release + "/" + path, content);
    }
    WriteChecksumList(tool_signs);
    if (!tool_signs) ReplaceServerList(ServerList());
  }
  void CopyIntoRelease(const std::string& from, const std::string& to) {
    WriteFile(release + "/" + to, "");
    ASSERT_EQ(RunShell("cp '" + from + "' '" + release + "/" + to + "'"), 0);
  }
  // Puts the sample module into the game directory, as an earlier update
  // would have.
  void InstallModuleInGame() {
    ASSERT_EQ(RunShell("cp '" VELMORA_MODULE_PATH "' '" + game +
                       "/libVelmora_dedi.so'"),
              0);
  }
  // Writes the release's checksum list with the publishing tool, signed with
  // the test key when the starter checks signatures and `tool_signs`.
  void WriteChecksumList(bool tool_signs = true) {
    ASSERT_EQ(RunShell("mkdir -p '" + release + "/App'"), 0);
    const std::string sign = kStarterChecksSignatures && tool_signs
                                 ? "--sign '" + TestPrivateKeyPath() + "' "
                                 : std::string();
    ASSERT_EQ(RunShell("'" CHECKSUM_TOOL_PATH "' " + sign + "'" + release +
                       "' '" + release + "/App/version.txt' > /dev/null"),
              0);
  }
  // Replaces the release's checksum list by `list`, signed with the test key
  // when the starter checks signatures; a release statement beside it is
  // made again for the new list, under the next serial.
  void ReplaceServerList(const std::string& list) {
    WriteFile(ServerListPath(), list);
    if (!kStarterChecksSignatures) return;
    ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), ServerListPath()), 0);
    ReleaseStatement statement;
    const std::string path = ServerListPath() + kStatementSuffix;
    if (ReadStatementFile(path, nullptr, statement) != "") return;
    statement.serial += 1;
    statement.list = *DigestOfFile(ServerListPath());
    WriteFile(path, SignStatementWithOpenssl(TestPrivateKeyPath(),
                                             StatementBody(statement),
                                             root.path()));
  }
  std::string ServerListPath() const { return release + "/App/version.txt"; }
  std::string ServerList() const { return ReadFile(ServerListPath()); }

  // Points the starter at `url` (an update server base ending in "/10/").
  void UseUpdateServer(const std::string& url) {
    update_url.reset();  // its destructor unsets the variable
    update_url = std::make_unique<ScopedEnv>("STARTER_UPDATE_URL", url);
  }

  // Runs "./DUdavi" with `args` in the game directory and waits for it.
  ChildResult Run(const std::vector<std::string>& args = {}) {
    return RunChild(game + "/DUdavi", Argv(args), game, capture.path());
  }
  // Runs it as the user nobody, so that permission checks apply (the game
  // directory has to be nobody's, and reachable).
  ChildResult RunAsNobody(const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = {"setpriv", "--reuid=nobody",
                                     "--regid=nogroup", "--clear-groups"};
    const std::vector<std::string> starter = Argv(args);
    argv.insert(argv.end(), starter.begin(), starter.end());
    return RunChild("/usr/bin/setpriv", argv, game, capture.path());
  }
  // Starts it without waiting; with `own_process_group` it leads a process
  // group of its own, as under a service manager.
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                      bool own_process_group = false) {
    return std::make_unique<ChildProcess>(game + "/DUdavi", Argv(args), game,
                                          capture.path(), own_process_group);
  }

  // Waits for `part` to appear in `file`; true when it did, false when the
  // support library's deadline passed first.
  static bool WaitFor(const std::string& file, const std::string& part) {
    return WaitUntil([&] { return Contains(ReadFile(file), part); },
                     kWaitDeadline, std::chrono::milliseconds(2));
  }

  std::string Game(const std::string& path) const {
    return ReadFile(game + "/" + path);
  }
  bool GameHas(const std::string& path) const {
    return PathExists(game + "/" + path);
  }
  std::string AppLog() const { return Game("Logs/app.txt"); }

  TempDir root;
  TempDir capture;
  std::string game;
  std::string release;
  // The module's server loop ends at once unless a test says otherwise.
  ScopedEnv server_seconds{"VELMORA_SERVER_SECONDS", "0"};
  std::unique_ptr<ScopedEnv> update_url;

 private:
  static std::vector<std::string> Argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"./DUdavi"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
};

// A game fixture whose release is served by the in-process test server,
// which can slow, vary or cut its answers.
class ServedGameFixture : public GameFixture {
 protected:
  ServedGameFixture() {
    server.ServeDirectory("/10/", root.path() + "/server/10");
    UseUpdateServer(server.Url("/10/"));
  }

  HttpTestServer server;
};

#endif  // STARTER_TESTS_E2E_GAME_FIXTURE_H_
