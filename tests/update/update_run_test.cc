#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "support/http_test_server.h"
#include "update/auto_update.h"
#include "update_run_fixture.h"
#include "support/text_match.h"

namespace {

using UpdateRunTest = UpdateRunFixture;

const std::map<std::string, std::string> kRelease = {
    {"Base/a.png", "png bytes"},
    {"Base/sub/b.xml", "<xml/>"},
    {"data.bin", std::string("\0\1\2binary", 9)},
};

TEST_F(UpdateRunTest, FetchesEverythingIntoAnEmptyGameDirectory) {
  Publish(kRelease, 4242);
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(run.lasterror, "");
  EXPECT_FALSE(run.restartrequired);
  for (const auto& [path, content] : kRelease) {
    EXPECT_EQ(Local(path), content) << path;
    EXPECT_EQ(Fetches(path), 1) << path;
  }
  EXPECT_EQ(Local("App/version.txt"), ListText());
  EXPECT_EQ(Local("Downloads/App/version.txt"), ListText());
  EXPECT_TRUE(Contains(run.log, "Downloading checksums from " +
                                    app_.getUpdatePath() +
                                    "App/version.txt\n\n"));
  EXPECT_TRUE(Contains(run.log, "\nComparing checksums\n"));
  EXPECT_TRUE(Contains(run.log, "Could not find autoupdate_ignore.cfg\n"));

  // The second run sees the same key and fetches nothing but the list.
  run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
  EXPECT_FALSE(Contains(run.log, "Hashing file"));
  EXPECT_EQ(server_.TotalRequestCount(), 2 + 3);
}

TEST_F(UpdateRunTest, FetchesOnlyTheFileThatChangedUnderANewKey) {
  Publish(kRelease, 1001);
  ASSERT_EQ(Run().error, 0);
  auto changed = kRelease;
  changed["Base/sub/b.xml"] = "<xml changed/>";
  Publish(changed, 1002);
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Fetches("Base/sub/b.xml"), 2);
  EXPECT_EQ(Fetches("Base/a.png"), 1);
  EXPECT_EQ(Fetches("data.bin"), 1);
  EXPECT_EQ(Local("Base/sub/b.xml"), "<xml changed/>");
  EXPECT_EQ(Local("App/version.txt"), ListText());
}

TEST_F(UpdateRunTest, HashesLocalCopiesAndFetchesOnlyDifferingOnes) {
  Publish(kRelease, 5000);
  WriteLocal("Base/a.png", "png bytes");  // current
  WriteLocal("data.bin", "stale");        // differs
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Fetches("Base/a.png"), 0);
  EXPECT_EQ(Fetches("data.bin"), 1);
  EXPECT_EQ(Fetches("Base/sub/b.xml"), 1);
  EXPECT_EQ(Local("data.bin"), kRelease.at("data.bin"));
}

TEST_F(UpdateRunTest, IgnoreListsProtectPresentFilesOnly) {
  Publish({{"Base/server.cfg", "release settings"},
           {"Base/absent.cfg", "release absent"},
           {"Base/x.png", "x"}},
          77);
  WriteLocal("autoupdate_ignore.cfg",
             "# protected\nBase/server.cfg\nBase/absent.cfg\n");
  WriteLocal("autoupdate_ignore_custom.cfg", "mine.cfg\n");
  WriteLocal("Base/server.cfg", "my settings");
  WriteLocal("Base/deep/mine.cfg", "mine");  // unlisted, but ignored by name
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("Base/server.cfg"), "my settings");
  EXPECT_EQ(Fetches("Base/server.cfg"), 0);
  EXPECT_TRUE(Contains(run.log, "Ignoring update to file Base/server.cfg\n"));
  EXPECT_EQ(Local("Base/absent.cfg"), "release absent");
  EXPECT_EQ(Fetches("Base/absent.cfg"), 1);
  EXPECT_EQ(Local("Base/deep/mine.cfg"), "mine");
  EXPECT_FALSE(LocalExists("old/Base/deep/mine.cfg"));
  EXPECT_FALSE(Contains(run.log, "Could not find"));
  EXPECT_FALSE(Contains(run.log, "Not using"));
}

TEST_F(UpdateRunTest, MovesUnusedBaseFilesIntoTheOldTreeOnce) {
  Publish({{"Base/keep.png", "keep"}}, 300);
  WriteLocal("Base/keep.png", "keep");
  WriteLocal("Base/gone.png", "gone");
  WriteLocal("Base/My Maps/old map.txt", "spaced");
  WriteLocal("Base/maps/level.xml", "protected");
  WriteLocal("Base/GUI/skin.png", "protected");
  WriteLocal("Base/texture.dds", "other extension");
  WriteLocal("Other/stray.png", "outside Base");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("old/Base/gone.png"), "gone");
  EXPECT_EQ(Local("old/Base/MyMaps/old map.txt"), "spaced");
  EXPECT_FALSE(LocalExists("Base/gone.png"));
  EXPECT_FALSE(LocalExists("Base/My Maps/old map.txt"));
  for (const char* stays :
       {"Base/keep.png", "Base/maps/level.xml", "Base/GUI/skin.png",
        "Base/texture.dds", "Other/stray.png"}) {
    EXPECT_TRUE(LocalExists(stays)) << stays;
  }
  EXPECT_TRUE(Contains(run.log, "Removing unused/moved files in ./Base\n"));

  // Unused files move on every run that gets the list, but none are left.
  RunShell("rm -rf '" + game_ + "/old'");
  run = Run();
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
  EXPECT_FALSE(LocalExists("old"));
}

TEST_F(UpdateRunTest, FailedDownloadLeavesTheVersionFileForTheNextRun) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 12; ++i) {
    files["Base/f" + std::to_string(i) + ".png"] = "file " + std::to_string(i);
  }
  Publish(files, 900);
  const std::string broken = "/10/" + std::string(kPlatform) + "Base/f4.png";
  server_.SetReply(broken, HttpReply::Status(500));
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error downloading ./Base/f4.png");
  EXPECT_TRUE(Contains(run.log, "Error downloading ./Base/f4.png\n"));
  for (const auto& [path, content] : files) {
    EXPECT_EQ(Fetches(path), 1) << path;
    if (path != "Base/f4.png") {
      EXPECT_EQ(Local(path), content) << path;
    }
  }
  EXPECT_FALSE(LocalExists("Base/f4.png"));
  EXPECT_FALSE(LocalExists("Base/f4.png.tmp"));
  EXPECT_NE(Local("App/version.txt"), ListText());
  EXPECT_EQ(Local("App/version.txt").rfind("version_file ", 0), 0u);

  // Fixed server: the next run fetches only the missing file and converges.
  server_.SetReply(broken, HttpReply::Ok(files["Base/f4.png"]));
  run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(run.lasterror, "");
  EXPECT_EQ(Fetches("Base/f4.png"), 2);
  EXPECT_EQ(Fetches("Base/f0.png"), 1);
  EXPECT_EQ(Local("Base/f4.png"), "file 4");
  EXPECT_EQ(Local("App/version.txt"), ListText());
  EXPECT_TRUE(Contains(Run().log, "Version file the same (key matches)\n"));
}

TEST_F(UpdateRunTest, ContentThatDoesNotMatchItsListedHashIsNotInstalled) {
  Publish({{"Base/a.png", "genuine"}, {"Base/b.png", "b"}}, 31337);
  WriteLocal("Base/a.png", "old local");
  // The server now delivers other bytes than the list promises.
  WriteFile(ReleasePath("Base/a.png"), "tampered");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error downloading ./Base/a.png");
  EXPECT_EQ(Local("Base/a.png"), "old local");
  EXPECT_FALSE(LocalExists("Base/a.png.tmp"));
  EXPECT_EQ(Local("Base/b.png"), "b");
  EXPECT_NE(Local("App/version.txt"), ListText());
}

TEST_F(UpdateRunTest, UnreachableServerTouchesNothing) {
  int closed_port;
  {
    HttpTestServer gone;
    closed_port = gone.port();
  }
  app_.defaults.updateURL =
      "http://127.0.0.1:" + std::to_string(closed_port) + "/10/";
  WriteLocal("App/version.txt", "version_file 12\n./Base/a.png abc\n");
  WriteLocal("Base/gone.png", "unlisted");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(run.lasterror, "Error downloading checksum");
  EXPECT_TRUE(Contains(run.log, "Error downloading checksum from " +
                                    app_.getUpdatePath() +
                                    "App/version.txt (err:7)\n"));
  EXPECT_EQ(Local("App/version.txt"), "version_file 12\n./Base/a.png abc\n");
  EXPECT_EQ(Local("Base/gone.png"), "unlisted");
  EXPECT_FALSE(LocalExists("old"));
}

TEST_F(UpdateRunTest, ListSlowerThanNineSecondsEndsTheRun) {
  Publish(kRelease, 55);
  WriteLocal("Base/gone.png", "unlisted");
  server_.SetReply(
      "/10/" + std::string(kPlatform) + "App/version.txt",
      HttpReply::SlowDrip(ListText(), std::chrono::milliseconds(200)));
  auto start = std::chrono::steady_clock::now();
  RunOutcome run = Run();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  EXPECT_GE(seconds, 8);
  EXPECT_LE(seconds, 15);
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(run.lasterror, "Error downloading checksum");
  EXPECT_TRUE(Contains(run.log, "(err:28)\n"));
  EXPECT_FALSE(LocalExists("App/version.txt"));
  EXPECT_FALSE(LocalExists("Downloads/App/version.txt"));
  EXPECT_EQ(Local("Base/gone.png"), "unlisted");
  EXPECT_EQ(server_.TotalRequestCount(), 1);
}

TEST_F(UpdateRunTest, ReplacedExecutableRequiresARestart) {
  Publish({{"OKU", "new executable"}, {"dedicatedserver.sh", "#!/bin/sh\n"}},
          808);
  WriteLocal("OKU", "running executable");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_TRUE(run.restartrequired);
  EXPECT_EQ(Local("OKU"), "new executable");
  EXPECT_EQ(Local("OKU.tmp2"), "running executable");
  struct stat info;
  ASSERT_EQ(stat("OKU", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(UpdateRunTest, VersioningOnlyRecordsLocalHashesAndFetchesNothing) {
  Publish(kRelease, 6060);
  WriteLocal("Base/a.png", "local png");
  RunOutcome run = Run(nullptr);
  EXPECT_EQ(run.error, 0);
  EXPECT_TRUE(Contains(run.log, "Just versioning\n"));
  EXPECT_EQ(server_.TotalRequestCount(), 1);
  std::string version = Local("App/version.txt");
  EXPECT_TRUE(Contains(version, "./Base/a.png " + Md5Hex("local png", 9) +
                                    "\n./Base/sub/b.xml unreadable\n"
                                    "./data.bin unreadable\n"))
      << version;
  EXPECT_NE(version, ListText());
}

TEST_F(UpdateRunTest, StoppedStarterEndsTheRunAfterTheList) {
  Publish(kRelease, 7070);
  WriteLocal("Base/gone.png", "unlisted");
  ScopedStarter starter;
  starter.state.running = false;
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_TRUE(
      Contains(run.log, "User termination while version file download\n"));
  EXPECT_EQ(server_.TotalRequestCount(), 1);
  EXPECT_FALSE(LocalExists("App/version.txt"));
  EXPECT_TRUE(LocalExists("Base/gone.png"));

  starter.state.running = true;
  starter.state.cancel = true;
  run = Run();
  EXPECT_TRUE(
      Contains(run.log, "User termination while version file download\n"));
}

TEST_F(UpdateRunTest, StopDuringHashingLeavesAPartialVersionFile) {
  Publish(kRelease, 8080);
  ScopedStarter starter;
  // Four passes read the list (three entries and its end); the fifth comes
  // with the first file to hash.
  StoppingDevice device(starter.state, 5);
  starter.state.device = &device;
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_FALSE(Contains(run.log, "Comparing checksums"));
  EXPECT_EQ(server_.TotalRequestCount(), 1);
  std::string version = Local("App/version.txt");
  EXPECT_TRUE(Contains(version, "\n./Base/a.png unreadable\n")) << version;
  EXPECT_FALSE(Contains(version, "b.xml")) << version;
}

}  // namespace
