// A game directory, an application object and a release served on 127.0.0.1
// for the update run tests.
#ifndef STARTER_TESTS_UPDATE_UPDATE_RUN_FIXTURE_H_
#define STARTER_TESTS_UPDATE_UPDATE_RUN_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/md5.h"
#include "engine_starter/application.h"
#include "engine_starter/log.h"
#include "launcher/starter_shared_state.h"
#include "support/http_test_server.h"
#include "support/published_release.h"
#include "support/scoped_starter.h"
#include "support/temp_dir.h"
#include "update/auto_update.h"

// What one update run left behind.
struct RunOutcome {
  int error = 0;
  bool restartrequired = false;
  std::string lasterror;
  // The application log lines the run wrote.
  std::string log;
};

// The game directory is outer/game, so that "../" from it is a directory the
// test owns and can check for stray files.
class UpdateRunFixture : public ::testing::Test {
 protected:
  static constexpr char kPlatform[] = "linux32-dedicated-demo/";

  UpdateRunFixture()
      : game_(MakeGameDir(outer_)),
        cwd_(game_),
        log_(LogPath(game_).c_str(), false) {
    server_.ServeDirectory("/10/", release_.path());
    app_.defaults.updateURL = server_.Url("/10/");
  }

  // Publishes `files` (path below the game directory, without "./", to
  // content) and their list under `key`, replacing the list.
  void Publish(const std::map<std::string, std::string>& files, long key) {
    PublishReleaseFiles(release_.path() + "/" + kPlatform, files, key);
  }
  // Publishes `list` verbatim as the release's checksum list.
  void PublishList(const std::string& list) {
    WriteFile(ReleasePath("App/version.txt"), list);
  }
  std::string ReleasePath(const std::string& path) const {
    return release_.path() + "/" + kPlatform + path;
  }
  std::string ListText() const {
    return ReadFile(ReleasePath("App/version.txt"));
  }

  // Requests the server received for `path` (below the game directory).
  int Fetches(const std::string& path) const {
    return server_.RequestCount("/10/" + std::string(kPlatform) + path);
  }

  // One update run with `in_flight` transfers at a time, checking the
  // list's signature with `trusted_key` when one is given.
  RunOutcome Run(const char* versionfile = "App/autoupdate.cfg",
                 std::size_t in_flight = 1,
                 ListSigningKey trusted_key = ListSigningKey()) {
    std::size_t before = Log().size();
    UpdateSettings settings;
    settings.standard_files = &app_.standardFiles;
    settings.downloads_in_flight = in_flight;
    settings.trusted_key = std::move(trusted_key);
    settings.now = now_;
    settings.allow_expired = allow_expired_;
    settings.mirror_speed_floor = mirror_speed_floor_;
    CAutoUpdate update(versionfile, "App/version.txt", ".", true,
                       std::move(settings));
    return {update.error, update.restartrequired, update.lasterror,
            Log().substr(before)};
  }
  RunOutcome Run(const char* versionfile, ListSigningKey trusted_key) {
    return Run(versionfile, 1, std::move(trusted_key));
  }
  // One update run constructed as the starter does, with the four arguments
  // alone: everything else comes from the application object and the build.
  RunOutcome RunWithTheStartersArguments() {
    std::size_t before = Log().size();
    CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true);
    return {update.error, update.restartrequired, update.lasterror,
            Log().substr(before)};
  }

  std::string Log() const { return ReadFile(game_ + "/Logs/app.txt"); }
  std::string Local(const std::string& path) const {
    return ReadFile(game_ + "/" + path);
  }
  bool LocalExists(const std::string& path) const {
    return PathExists(game_ + "/" + path);
  }
  void WriteLocal(const std::string& path, const std::string& content) {
    WriteFile(game_ + "/" + path, content);
  }

  // The clock a run judges release statements by, and whether it may
  // install an expired one (unset: the system clock, the environment).
  std::optional<std::int64_t> now_;
  std::optional<bool> allow_expired_ = false;
  // The speed floor of the files of a mirror with another after it (unset:
  // the starter's).
  std::optional<SpeedFloor> mirror_speed_floor_;

  TempDir outer_;
  TempDir release_;
  std::string game_;
  ScopedCwd cwd_;
  CAppLog log_;
  HttpTestServer server_;
  CApplication app_;

 private:
  static std::string MakeGameDir(const TempDir& outer) {
    // The directories the application creates at start.
    std::string game = outer / "game";
    for (const char* dir :
         {"", "/App", "/Cache", "/Downloads", "/Downloads/App", "/Logs",
          "/Mods", "/Security", "/Screenshots"}) {
      mkdir((game + dir).c_str(), 0755);
    }
    return game;
  }
  static std::string LogPath(const std::string& game) {
    WriteFile(game + "/Logs/app.txt", "");
    return game + "/Logs/app.txt";
  }
};

// A window device whose event loop stops the starter after `passes` passes.
class StoppingDevice : public irr::IrrlichtDevice {
 public:
  StoppingDevice(StarterSharedState& state, int passes)
      : state_(state), passes_(passes) {}
  bool run() override {
    ++calls;
    if (calls >= passes_) state_.running = false;
    return true;
  }
  int calls = 0;

 private:
  StarterSharedState& state_;
  int passes_;
};

#endif  // STARTER_TESTS_UPDATE_UPDATE_RUN_FIXTURE_H_
