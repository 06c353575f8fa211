#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/md5.h"
#include "http/download_pipeline.h"
#include "support/http_test_server.h"
#include "support/list_signing.h"
#include "support/random_bytes.h"
#include "support/text_match.h"
#include "support/tree_snapshot.h"
#include "support/wait_until.h"
#include "update/auto_update.h"
#include "update/file_pair_index.h"
#include "update_run_fixture.h"

namespace {

// Everything a run leaves that a person, the server or the next run can see.
struct RunTrace {
  RunOutcome run;
  std::string console;
  // What reached standard error: libcurl's progress meters.
  std::string meter;
  // The files below the game directory's "Base", "old" and "Data".
  std::map<std::string, std::string> files;
  // The requests the server received during the run, sorted.
  std::vector<std::string> requests;
};

// The heads of the progress meters in `meter`: one per transfer shown.
int MeterHeads(const std::string& meter) { return Count(meter, "% Total"); }

class UpdateRunTest : public UpdateRunFixture {
 protected:
  // One run with `in_flight` transfers at a time, traced, while `beside`
  // runs on a thread of its own with the number of requests the server had
  // received before the run.
  RunTrace Trace(std::size_t in_flight,
                 const std::function<void(std::size_t)>& beside) {
    const std::size_t before = server_.Requests().size();
    std::thread beside_run([&] { beside(before); });
    RunTrace t;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    t.run = Run("App/autoupdate.cfg", in_flight);
    t.meter = testing::internal::GetCapturedStderr();
    t.console = testing::internal::GetCapturedStdout();
    beside_run.join();
    for (const std::string& path :
         {std::string("Base"), std::string("old"), std::string("Data")}) {
      for (const std::string& name : PathsEndingIn(game_ + "/" + path, "")) {
        const std::string full = path + "/" + name;
        if (!PathExists(game_ + "/" + full + "/.")) t.files[full] = Local(full);
      }
    }
    const std::vector<HttpRecordedRequest> seen = server_.Requests();
    for (std::size_t i = before; i < seen.size(); ++i) {
      t.requests.push_back(seen[i].method + " " + seen[i].path);
    }
    std::sort(t.requests.begin(), t.requests.end());
    return t;
  }
  // Expects the run with more transfers in flight to leave what the one
  // with one at a time left, and to make the same requests but for some
  // made again, and for the paths in `ahead_only` (attempts ahead of their
  // turn that did not count).
  void ExpectTheSameRun(const RunTrace& more, const RunTrace& one,
                        const std::set<std::string>& ahead_only = {}) {
    EXPECT_EQ(more.run.error, one.run.error);
    EXPECT_EQ(more.run.lasterror, one.run.lasterror);
    EXPECT_EQ(more.run.restartrequired, one.run.restartrequired);
    EXPECT_EQ(more.console, one.console);
    EXPECT_EQ(more.run.log, one.run.log);
    // Path by path: a file's content may be too large to print.
    EXPECT_EQ(more.files.size(), one.files.size());
    for (const auto& [path, content] : one.files) {
      const auto same = more.files.find(path);
      EXPECT_TRUE(same != more.files.end() && same->second == content) << path;
    }
    // A request may be made again, and none is made for anything else.
    EXPECT_TRUE(std::includes(more.requests.begin(), more.requests.end(),
                              one.requests.begin(), one.requests.end()));
    std::set<std::string> expected(one.requests.begin(), one.requests.end());
    for (const std::string& path : ahead_only) {
      expected.insert("GET /10/" + std::string(kPlatform) + path);
    }
    EXPECT_EQ(std::set<std::string>(more.requests.begin(), more.requests.end()),
              expected);
  }
};

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
  // Every file request names its release by the list's MD5, for caches in
  // front of the server; the list's own request names none.
  const std::string list = ListText();
  for (const HttpRecordedRequest& request : server_.Requests()) {
    const bool is_list = request.path.ends_with("/App/version.txt");
    EXPECT_EQ(request.Header("X-Checksum-List-MD5"),
              is_list ? "" : Md5Hex(list.data(), list.size()))
        << request.path;
  }

  // The second run sees the same key and fetches nothing but the list.
  run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
  EXPECT_FALSE(Contains(run.log, "Hashing file"));
  EXPECT_EQ(server_.TotalRequestCount(), 2 + 3);
}

// The updater constructed with the four arguments alone, as the starter
// does, takes the application object's update path and fills its
// standardFiles (refilled: an earlier entry goes), with the key of this build.
TEST_F(UpdateRunTest, TheStartersFourArgumentsUpdateThroughTheApplication) {
  Publish(kRelease, 4243);
  if (kStarterChecksSignatures) {
    ASSERT_EQ(
        SignWithOpenssl(TestPrivateKeyPath(), ReleasePath("App/version.txt")),
        0);
  }
  app_.standardFiles = {{"./Base/stale.png", std::string(32, '0')}};
  RunOutcome run = RunWithTheStartersArguments();
  EXPECT_EQ(run.error, 0) << run.log;
  EXPECT_EQ(run.lasterror, "");
  EXPECT_TRUE(Contains(run.log, "Downloading checksums from " +
                                    app_.getUpdatePath() +
                                    "App/version.txt\n\n"))
      << run.log;
  std::map<std::string, std::string> listed;
  for (const auto& [path, content] : kRelease) {
    EXPECT_EQ(Local(path), content) << path;
    listed["./" + path] = Md5Hex(content.data(), content.size());
  }
  EXPECT_EQ(app_.standardFiles, listed);
  EXPECT_EQ(Local("App/version.txt"), ListText());
}

// Without an application object there is no update path to take: the run
// ends as when the list cannot be fetched, and touches nothing.
TEST(UpdateRunWithoutApplicationTest, HasNoUpdatePathAndTouchesNothing) {
  ASSERT_FALSE(Singleton<CApplication>::IsValid());
  TempDir game;
  ScopedCwd cwd(game.path());
  mkdir((game / "Logs").c_str(), 0755);
  WriteFile(game / "App/version.txt", "version_file 12\n");
  {
    CAppLog log((game / "Logs/app.txt").c_str(), false);
    CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true);
    EXPECT_EQ(update.error, 0);
    EXPECT_EQ(update.lasterror, "Error downloading checksum");
  }
  const std::string log = ReadFile(game / "Logs/app.txt");
  EXPECT_TRUE(Contains(log, "No update path\n")) << log;
  EXPECT_FALSE(Contains(log, "Downloading checksums")) << log;
  EXPECT_EQ(ReadFile(game / "App/version.txt"), "version_file 12\n");
}

// The relocation fills the standardFiles of the application object that
// exists when it runs, also one that came after the updater: cleared first,
// so a list that cannot be read leaves it empty.
TEST(UpdateRunWithoutApplicationTest, RelocationFillsTheApplicationOfTheMoment) {
  ASSERT_FALSE(Singleton<CApplication>::IsValid());
  TempDir game;
  ScopedCwd cwd(game.path());
  mkdir((game / "Logs").c_str(), 0755);
  const std::string hash(32, 'a');
  WriteFile(game / "Downloads/App/version.txt",
            "version_file 12\n./Base/a.png " + hash + "\n");
  CAppLog log((game / "Logs/app.txt").c_str(), false);
  CAutoUpdate update("App/autoupdate.cfg", "App/version.txt", ".", true);
  CApplication app;
  app.standardFiles = {{"./Base/stale.png", hash}};
  update.MoveUnusedFiles("Downloads/App/version.txt", "./Base");
  EXPECT_EQ(app.standardFiles,
            (std::map<std::string, std::string>{{"./Base/a.png", hash}}));
  update.MoveUnusedFiles("Downloads/App/missing.txt", "./Base");
  EXPECT_TRUE(app.standardFiles.empty());
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

// Links inside Base on a current installation: every unlisted name moves
// in one run (a second hard link or a link to a listed file included: only
// that name goes), a listed file met under an alias of its directory stays,
// an unlisted one met under two names moves once and its other name ends
// as a file conflict, a loop is not walked; nothing listed moves or is
// fetched, and the next run changes nothing.
TEST_F(UpdateRunTest, LinksInsideBaseMoveEveryUnlistedNameInOneRun) {
  const struct Link {
    bool hard;
    const char* path;
    const char* target;  // from the link's directory; from game_ when hard
  } alias{false, "Base/Textures", "textures"}, loop{false, "Base/again", "."},
      hard_copy{true, "Base/a_copy.txt", "Base/a.txt"},
      file_link{false, "Base/l.txt", "a.txt"},
      second_name{true, "Base/u2.cfg", "Base/u.cfg"};
  const std::map<std::string, std::string> unlisted_moved = {
      {"Base/u.cfg", "unlisted"}, {"Base/textures/u.png", "unlisted"}};
  const struct {
    const char* name;
    Link link;
    // Below old/, in lower case (an alias's name and its directory's differ
    // only in case), to content.
    std::map<std::string, std::string> also_moved;
    int conflicts;
  } cases[] = {
      {"alias of a directory", alias, {}, 1},
      {"loop back to Base", loop, {}, 0},
      {"hard link to a listed file", hard_copy, {{"base/a_copy.txt", "a"}}, 0},
      {"link to a listed file", file_link, {{"base/l.txt", "a"}}, 0},
      {"two names of an unlisted file",
       second_name,
       {{"base/u2.cfg", "unlisted"}},
       0},
  };
  const std::map<std::string, std::string> release = {
      {"Base/textures/t.png", "t"}, {"Base/a.txt", "a"}, {"data.bin", "d"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunShell("rm -rf '" + game_ + "/Base' '" + game_ + "/old'");
    Publish(release, 600);
    for (const auto& [path, content] : release) WriteLocal(path, content);
    WriteLocal("App/version.txt", ListText());
    for (const auto& [path, content] : unlisted_moved) {
      WriteLocal(path, content);
    }
    const std::string at = game_ + "/" + c.link.path;
    ASSERT_EQ(c.link.hard
                  ? link((game_ + "/" + c.link.target).c_str(), at.c_str())
                  : symlink(c.link.target, at.c_str()),
              0);
    const int requests = server_.TotalRequestCount();

    testing::internal::CaptureStdout();
    RunOutcome run = Run();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(run.error, 0);
    EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
    for (const auto& [path, content] : release) {
      EXPECT_EQ(Local(path), content) << path;
    }
    std::map<std::string, std::string> expected;
    for (const auto& [path, content] : unlisted_moved) {
      EXPECT_FALSE(LocalExists(path)) << path;
      expected[LowerBytes(path)] = content;
    }
    expected.insert(c.also_moved.begin(), c.also_moved.end());
    // A link to a directory stays; a name of a file moves.
    EXPECT_EQ(LocalExists(c.link.path), c.also_moved.empty());
    std::map<std::string, std::string> moved;
    for (const std::string& path : PathsEndingIn(game_ + "/old", "")) {
      if (!PathExists(game_ + "/old/" + path + "/.")) {
        moved[LowerBytes(path)] = Local("old/" + path);
      }
    }
    EXPECT_EQ(moved, expected) << console;
    EXPECT_EQ(Count(console, "FILE CONFLICT"), c.conflicts) << console;
    EXPECT_FALSE(Contains(run.log, "Leaving unused files"));

    const auto base = SnapshotTree(game_ + "/Base");
    const auto old = SnapshotTree(game_ + "/old");
    run = Run();
    EXPECT_EQ(run.error, 0);
    EXPECT_EQ(SnapshotTree(game_ + "/Base"), base);
    EXPECT_EQ(SnapshotTree(game_ + "/old"), old);
    // Only the list was fetched, once a run.
    EXPECT_EQ(server_.TotalRequestCount(), requests + 2);
  }
}

// A link at a listed file's own name, wherever it leads: hashed through,
// left alone while what it leads to is current, else replaced by the file
// as the install replaces any file there (an executable's or a script's
// link renamed aside); the place it leads to is never written.
TEST_F(UpdateRunTest, LinksAtAListedFilesOwnNameAreHashedAndReplaced) {
  const std::string shared = outer_ / "shared";
  const struct {
    const char* path;
    const char* target;   // below shared/ when it begins with "shared/"
    const char* content;  // of the target, when it is there
    bool fetched;
    const char* aside;  // where the link goes, when it is renamed aside
  } cases[] = {
      {"Base/a.png", "nothere.png", nullptr, true, nullptr},
      {"Base/sub/b.xml", "../../Other/b.xml", nullptr, true, nullptr},
      {"Base/current.png", "shared/current.png", "release Base/current.png",
       false, nullptr},
      {"Base/changed.png", "shared/changed.png", "theirs", true, nullptr},
      {"OKUdedi", "shared/OKUdedi", "their server", true, "OKUdedi.tmp2"},
      {"dedicatedserver.sh", "shared/ds.sh", "their script", true, "sh.tmp"},
  };
  std::map<std::string, std::string> files;
  for (const auto& c : cases) files[c.path] = std::string("release ") + c.path;
  Publish(files, 601);
  WriteLocal("Base/sub/.keep", "");
  for (const auto& c : cases) {
    std::string target = c.target;
    if (target.rfind("shared/", 0) == 0) {
      target = outer_ / target;
      WriteFile(target, c.content);
    }
    ASSERT_EQ(symlink(target.c_str(), (game_ + "/" + c.path).c_str()), 0);
  }
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0) << run.log;
  EXPECT_TRUE(run.restartrequired);
  EXPECT_FALSE(Contains(run.log, "Refusing listed path"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Fetches(c.path), c.fetched ? 1 : 0);
    struct stat info;
    ASSERT_EQ(lstat((game_ + "/" + c.path).c_str(), &info), 0);
    EXPECT_EQ(S_ISLNK(info.st_mode), !c.fetched);
    EXPECT_EQ(Local(c.path), files.at(c.path));
    if (c.aside != nullptr) {
      ASSERT_EQ(lstat((game_ + "/" + c.aside).c_str(), &info), 0);
      EXPECT_TRUE(S_ISLNK(info.st_mode));
      EXPECT_EQ(PermissionsOf(game_ + "/" + c.path), 0700u);
    }
  }
  EXPECT_FALSE(LocalExists("Base/nothere.png"));
  EXPECT_FALSE(LocalExists("Other"));
  // What the links outside lead to is as it was, and nothing came beside it.
  EXPECT_EQ(ReadFile(shared + "/current.png"), "release Base/current.png");
  EXPECT_EQ(ReadFile(shared + "/changed.png"), "theirs");
  EXPECT_EQ(ReadFile(shared + "/OKUdedi"), "their server");
  EXPECT_EQ(ReadFile(shared + "/ds.sh"), "their script");
  EXPECT_EQ(NamesIn(shared), (std::set<std::string>{"OKUdedi", "changed.png",
                                                    "current.png", "ds.sh"}));
  EXPECT_EQ(Local("App/version.txt"), ListText());
  run = Run();
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
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

// Mirrors: a first entry that is dead, fails, answers a page that is not a
// list, or a list whose signature is refused counts as failed with its own
// line, and the next entry serves the list, its signature and every file.
TEST_F(UpdateRunTest, MirrorsAreTriedInOrderUntilOneServesAnAcceptedList) {
  const ListSigningKey key{ReadFile(TestPublicKeyPath())};
  HttpTestServer first;
  const std::string first_list =
      "/10/" + std::string(kPlatform) + "App/version.txt";
  const std::string refusing =
      "Refusing checksum list Downloads/App/version.txt: ";
  const struct {
    const char* name;
    // Sets up the first entry; returns its base address.
    std::function<std::string()> first_entry;
    std::string failure_line;
    int first_requests;
  } cases[] = {
      {"dead", [] { return std::string("http://127.0.0.1:1/10/"); },
       "Error downloading checksum from http://127.0.0.1:1/10/" +
           std::string(kPlatform) + "App/version.txt (err:7)\n",
       0},
      {"500",
       [&] {
         first.SetReply(first_list, HttpReply::Status(500));
         return first.Url("/10/");
       },
       "Error downloading checksum from " + first.Url("/10/") + kPlatform +
           "App/version.txt (err:22)\n",
       1},
      {"a page that is not a list",
       [&] {
         first.SetReply(first_list, HttpReply::Ok("<html>Welcome</html>\n"));
         return first.Url("/10/");
       },
       "Not a checksum list: Downloads/App/version.txt (no version_file "
       "header)\n",
       1},
      {"a list whose signature is refused",
       [&] {
         first.SetReply(first_list,
                        HttpReply::Ok("version_file 31\n./Base/a.png " +
                                      std::string(32, 'f') + "\n"));
         first.SetReply(first_list + ".sig",
                        HttpReply::Ok(std::string(64, 'x')));
         return first.Url("/10/");
       },
       refusing + "signature wrong (does not verify the list)\n", 2},
  };
  long release_key = 6000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, std::string> release = kRelease;
    for (auto& [path, content] : release) content += c.name;
    Publish(release, ++release_key);
    ASSERT_EQ(
        SignWithOpenssl(TestPrivateKeyPath(), ReleasePath("App/version.txt")),
        0);
    const int first_before = first.TotalRequestCount();
    const int second_before = server_.TotalRequestCount();
    const std::string first_url = c.first_entry();
    app_.defaults.updateURL = first_url + " " + server_.Url("/10/");
    RunOutcome run = Run("App/autoupdate.cfg", key);
    EXPECT_EQ(run.error, 0);
    EXPECT_FALSE(run.restartrequired);
    const std::size_t tried_first =
        run.log.find("Downloading checksums from " + first_url + kPlatform +
                     "App/version.txt\n");
    const std::size_t failed = run.log.find(c.failure_line);
    const std::size_t tried_second =
        run.log.find("Downloading checksums from " + server_.Url("/10/") +
                     kPlatform + "App/version.txt\n");
    EXPECT_LT(tried_first, failed) << run.log;
    EXPECT_LT(failed, tried_second) << run.log;
    EXPECT_NE(tried_second, std::string::npos) << run.log;
    for (const auto& [path, content] : release) {
      EXPECT_EQ(Local(path), content) << path;
    }
    EXPECT_EQ(Local("App/version.txt"), ListText());
    // The first entry saw its list (and signature) requests alone; the
    // second served the list, its signature, the release statement it does
    // not have (404) and the three files.
    EXPECT_EQ(first.TotalRequestCount() - first_before, c.first_requests);
    EXPECT_EQ(server_.TotalRequestCount() - second_before, 3 + 3);
  }
}

// When no entry serves an accepted list, the run ends as the last refusal
// ended it, or, without one, as an unreachable server ends it; nothing is
// moved or installed.
TEST_F(UpdateRunTest, MirrorsThatAllFailEndTheRunAsTheLastRefusal) {
  HttpTestServer not_a_list;
  not_a_list.SetReply("/10/" + std::string(kPlatform) + "App/version.txt",
                      HttpReply::Ok("<html>Welcome</html>\n"));
  const std::string dead = "http://127.0.0.1:1/10/";
  const struct {
    std::string update_url;
    int error;
    std::string lasterror;
    int failure_lines;
  } cases[] = {
      {not_a_list.Url("/10/") + " " + dead, 1,
       "Invalid checksum list Downloads/App/version.txt", 1},
      {dead + " " + not_a_list.Url("/10/"), 1,
       "Invalid checksum list Downloads/App/version.txt", 1},
      {dead + " " + dead, 0, "Error downloading checksum", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.update_url);
    WriteLocal("App/version.txt", "version_file 12\n./Base/a.png abc\n");
    WriteLocal("Base/gone.png", "unlisted");
    app_.defaults.updateURL = c.update_url;
    RunOutcome run = Run();
    EXPECT_EQ(run.error, c.error);
    EXPECT_EQ(run.lasterror, c.lasterror);
    EXPECT_EQ(Count(run.log, "Downloading checksums from "), 2) << run.log;
    EXPECT_EQ(Count(run.log, "Error downloading checksum from " + dead),
              c.failure_lines);
    EXPECT_EQ(Local("App/version.txt"), "version_file 12\n./Base/a.png abc\n");
    EXPECT_EQ(Local("Base/gone.png"), "unlisted");
    EXPECT_FALSE(LocalExists("old"));
  }
}

// A half-synced first mirror serves the new list, but of its files one is
// missing (404), one is the last release's (other bytes than listed) and
// one is cut short. Each of those is requested from the second mirror in
// the same run, and a fresh game directory as well as one holding the last
// release converge in one run, one at a time and four in flight; the other
// files come from the first mirror alone.
TEST_F(UpdateRunTest, FilesTheListsMirrorFailsComeFromTheNextInTheSameRun) {
  HttpTestServer first;
  first.ServeDirectory("/10/", release_.path());
  const std::string platform = "/10/" + std::string(kPlatform);
  std::map<std::string, std::string> release = kRelease;
  release["Base/c.png"] = "c from either mirror";
  const struct {
    const char* path;
    std::function<HttpReply(const std::string&)> on_first;
  } failing[] = {
      {"Base/a.png", [](const std::string&) { return HttpReply::Status(404); }},
      {"Base/sub/b.xml",
       [](const std::string&) { return HttpReply::Ok("<last release/>"); }},
      {"data.bin",
       [](const std::string& body) { return HttpReply::ShortBody(body, 3); }},
  };
  long key = 7000;
  for (const bool fresh : {true, false}) {
    for (const std::size_t in_flight : {std::size_t{1}, std::size_t{4}}) {
      SCOPED_TRACE(std::string(fresh ? "fresh" : "last release") +
                   ", in flight " + std::to_string(in_flight));
      for (const auto& [path, content] : release) {
        std::remove((game_ + "/" + path).c_str());
        if (!fresh && path != "Base/c.png") WriteLocal(path, "last " + content);
      }
      if (fresh) {
        std::remove((game_ + "/App/version.txt").c_str());
      } else {
        WriteLocal("App/version.txt", "version_file 12\n");
        WriteLocal("Base/c.png", release["Base/c.png"]);
      }
      Publish(release, ++key);
      for (const auto& f : failing) {
        first.SetReply(platform + f.path, f.on_first(release[f.path]));
      }
      std::map<std::string, int> first_before, second_before;
      for (const auto& [path, content] : release) {
        first_before[path] = first.RequestCount(platform + path);
        second_before[path] = Fetches(path);
      }
      app_.defaults.updateURL = first.Url("/10/") + " " + server_.Url("/10/");
      testing::internal::CaptureStdout();
      RunOutcome run = Run("App/autoupdate.cfg", in_flight);
      const std::string console = testing::internal::GetCapturedStdout();
      EXPECT_EQ(run.error, 0) << run.log;
      EXPECT_EQ(run.lasterror, "");
      for (const auto& [path, content] : release) {
        EXPECT_EQ(Local(path), content) << path;
      }
      EXPECT_EQ(Local("App/version.txt"), ListText());
      EXPECT_FALSE(Contains(run.log, "Error downloading")) << run.log;
      EXPECT_FALSE(Contains(run.log, "Leaving the update server")) << run.log;
      EXPECT_EQ(Count(run.log, "from the next update server"), 3) << run.log;
      for (const auto& f : failing) {
        EXPECT_TRUE(Contains(run.log, "Fetching ./" + std::string(f.path) +
                                          " from the next update server: " +
                                          server_.Url(platform) + "./" +
                                          f.path + "\n"))
            << run.log;
        EXPECT_GE(first.RequestCount(platform + f.path) - first_before[f.path],
                  1)
            << f.path;
        EXPECT_EQ(Fetches(f.path) - second_before[f.path], 1) << f.path;
        // Each attempt prints the lines of a download.
        EXPECT_TRUE(Contains(console, "Downloading " + server_.Url(platform) +
                                          "./" + f.path + "...\n"))
            << f.path;
      }
      EXPECT_TRUE(Contains(console, "CCurl: MD5 mismatch for ./Base/sub/b.xml"))
          << console;
      // The file the first mirror has comes from there (a transfer ahead
      // of its turn may be made again), or is current.
      const int c_requests = first.RequestCount(platform + "Base/c.png") -
                             first_before["Base/c.png"];
      if (fresh) {
        EXPECT_GE(c_requests, 1);
      } else {
        EXPECT_EQ(c_requests, 0);
      }
      EXPECT_EQ(Fetches("Base/c.png") - second_before["Base/c.png"], 0);
    }
  }
}

// A first mirror that trickles every one of 20 files (a byte per 200 ms)
// before a good one, with a floor of 1 KiB/s over 1 s for the test (the
// starter's: over 30 s): the first file it is asked for is cut at the
// floor and fetched from the second, the first is left for the rest of the
// run, and every file arrives in one run, one at a time and four in flight.
// The first mirror sees no file request after the first one but those
// already running ahead of their turn (at most in flight - 1). The bound:
// the floor's window once (1 s) + at most 1 s between two looks at the
// transfer + the second mirror's 20 small files (far below 1 s) = under
// 3 s, where a run that stayed with the first mirror would take at least 20
// windows: the counts below (one cut, one leave, the first mirror's
// requests) hold the run to that bound without timing it. With the starter's
// floor the same run takes under 30 + 1 s + the good mirror's time, where
// without it each file took its 600 s.
TEST_F(UpdateRunTest, TricklingMirrorIsLeftAfterItsFirstSlowFile) {
  HttpTestServer first;
  first.ServeDirectory("/10/", release_.path());
  const std::string platform = "/10/" + std::string(kPlatform);
  std::map<std::string, std::string> release;
  for (int i = 0; i < 20; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Base/f%02d.bin", i);
    release[name] = RandomBytes(2000, static_cast<unsigned>(i + 40));
  }
  for (const auto& [path, content] : release) {
    first.SetReply(
        platform + path,
        HttpReply::SlowDrip(content, std::chrono::milliseconds(200)));
  }
  mirror_speed_floor_ = SpeedFloor{1024, std::chrono::seconds(1)};
  app_.defaults.updateURL = first.Url("/10/") + " " + server_.Url("/10/");
  long key = 7100;
  for (const std::size_t in_flight : {std::size_t{1}, std::size_t{4}}) {
    SCOPED_TRACE(in_flight);
    for (const auto& [path, content] : release) {
      std::remove((game_ + "/" + path).c_str());
    }
    Publish(release, ++key);
    const int first_before = first.TotalRequestCount();
    const int second_before = server_.TotalRequestCount();
    testing::internal::CaptureStdout();
    RunOutcome run = Run("App/autoupdate.cfg", in_flight);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(run.error, 0) << run.log;
    for (const auto& [path, content] : release) {
      EXPECT_TRUE(Local(path) == content) << path;
      EXPECT_EQ(Fetches(path), in_flight == 1 ? 1 : 2) << path;
    }
    EXPECT_EQ(Local("App/version.txt"), ListText());
    EXPECT_EQ(Count(run.log, "Leaving the update server " +
                                 first.Url(platform) +
                                 " for the rest of this run: ./Base/f00.bin "
                                 "was too slow\n"),
              1)
        << run.log;
    EXPECT_EQ(Count(run.log, "from the next update server"), 1) << run.log;
    EXPECT_TRUE(Contains(console, "CCurl: ./Base/f00.bin came slower than "
                                  "1024 bytes a second over 1 s\n"))
        << console;
    // The list from the first mirror, then its file requests: the first,
    // and those that ran ahead of their turn.
    const int first_files = first.TotalRequestCount() - first_before - 1;
    EXPECT_GE(first_files, 1);
    EXPECT_LE(first_files, static_cast<int>(in_flight));
    EXPECT_EQ(server_.TotalRequestCount() - second_before, 20);
  }
}

TEST_F(UpdateRunTest, ListSlowerThanNineSecondsEndsTheRun) {
  Publish(kRelease, 55);
  WriteLocal("Base/gone.png", "unlisted");
  server_.SetReply(
      "/10/" + std::string(kPlatform) + "App/version.txt",
      HttpReply::SlowDrip(ListText(), std::chrono::milliseconds(200)));
  RunOutcome run = Run();
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

// The same release, with a slow first file, a missing file, a cut body, a
// wrong hash, a refused path, an ignored file present locally, a file
// listed twice, an ignored file listed twice that the first entry brings,
// and a target whose kept download cannot be removed, among good ones:
// whatever the number of transfers in flight, the console, the log, the
// files and the outcome are those of the run that fetches one file after
// another, and so are the requests the server sees, but for files whose
// transfer ahead of its turn failed and was made again.
TEST_F(UpdateRunTest, TransfersInFlightChangeNothingButTheTime) {
  std::map<std::string, std::string> release;
  for (int i = 0; i < 14; ++i) {
    release["Base/f" + std::to_string(i) + ".png"] =
        "content of file " + std::to_string(i);
  }
  release["Base/kept.cfg"] = "release settings";
  release["Base/opt.cfg"] = "release options";
  release["Data/locked.bin"] = "locked content";
  Publish(release, 777);
  std::string list = ListText();
  list += "./../outside.png " + Md5Hex("x", 1) + "\n";
  list += "./Base/gone.png " + Md5Hex("gone", 4) + "\n";
  list += "./Base/wrong.png " + Md5Hex("expected", 8) + "\n";
  const auto hash_of = [&](const std::string& path) {
    return Md5Hex(release[path].data(), release[path].size());
  };
  list += "./Base/f5.png " + hash_of("Base/f5.png") + "\n";
  list += "./Base/opt.cfg " + hash_of("Base/opt.cfg") + "\n";
  list += "./Base/cut.png " + Md5Hex("whole body", 10) + "\n";
  PublishList(list);
  WriteFile(ReleasePath("Base/wrong.png"), "received");
  server_.SetReply("/10/" + std::string(kPlatform) + "Base/cut.png",
                   HttpReply::ShortBody("whole body", 4));
  const std::string first = "/10/" + std::string(kPlatform) + "Base/f0.png";

  auto trace = [&](std::size_t in_flight) {
    RunShell("rm -rf '" + game_ + "/Base' '" + game_ + "/old' '" + game_ +
             "/Data'");
    WriteLocal("Base/f3.png", "content of file 3");  // already current
    WriteLocal("Base/f4.png", "an old version");
    WriteLocal("Base/kept.cfg", "operator settings");
    WriteLocal("Data/locked.bin.tmp/keep", "not a kept download");
    WriteLocal("autoupdate_ignore.cfg", "Base/kept.cfg\nBase/opt.cfg\n");
    WriteLocal("App/version.txt", "version_file 1\n");
    // The first file answers last: after the list and the transfers in
    // flight beside it have been asked for.
    server_.Hold(first);
    return Trace(in_flight, [&](std::size_t before) {
      server_.WaitForTotalRequests(static_cast<int>(before + 1 + in_flight));
      server_.Release(first);
    });
  };
  const RunTrace one = trace(1);
  const RunTrace four = trace(4);

  EXPECT_EQ(one.run.error, 1);
  EXPECT_EQ(one.run.lasterror, "Error downloading ./Base/cut.png");
  ExpectTheSameRun(four, one);
  // What both runs did.
  EXPECT_EQ(one.files.at("Base/f0.png"), release["Base/f0.png"]);
  EXPECT_EQ(one.files.at("Base/f4.png"), release["Base/f4.png"]);
  EXPECT_EQ(one.files.at("Base/kept.cfg"), "operator settings");
  EXPECT_EQ(one.files.at("Base/opt.cfg"), release["Base/opt.cfg"]);
  EXPECT_EQ(one.files.count("Base/gone.png"), 0u);
  EXPECT_EQ(one.files.count("Base/wrong.png"), 0u);
  EXPECT_EQ(one.files.count("Base/cut.png"), 0u);
  EXPECT_EQ(one.files.count("Data/locked.bin"), 0u);
  for (const char* line :
       {"Refusing listed path ./../outside.png: contains a .. component\n",
        "Ignoring update to file Base/kept.cfg\n",
        "Ignoring update to file Base/opt.cfg\n",
        "Error downloading ./Base/gone.png\n",
        "Error downloading ./Base/wrong.png\n",
        "Error downloading ./Data/locked.bin\n",
        "Error downloading ./Base/cut.png\n"}) {
    EXPECT_TRUE(Contains(one.run.log, line)) << line;
  }
  EXPECT_TRUE(Contains(one.console,
                       "CCurl: Remove failed ./Data/locked.bin.tmp (err 39)\n"))
      << one.console;
  const auto requested = [&](const std::string& path) {
    return std::count(one.requests.begin(), one.requests.end(),
                      "GET /10/" + std::string(kPlatform) + path);
  };
  EXPECT_EQ(requested("Base/f5.png"), 2);
  EXPECT_EQ(requested("Base/opt.cfg"), 1);
  EXPECT_EQ(requested("Base/kept.cfg"), 0);
  EXPECT_EQ(requested("Data/locked.bin"), 0);
  EXPECT_LT(one.console.find("file ./Base/f0.png\n"),
            one.console.find("file ./Base/f1.png\n"));
  EXPECT_EQ(PathsEndingIn(game_, ".tmp"),
            std::set<std::string>{"Data/locked.bin.tmp"});
}

// One file at a time and four in flight, on real runs against servers with
// one fault each. Where the server's answers depend neither on timing, nor
// on the connections open, nor on earlier requests (an error status, a
// reset on every request, a wrong or cut body, a slow answer held by the
// test, a directory aliased by a link), the console, the progress meters
// shown, the log, the files, `error` and `lasterror` are the same both ways.
// Servers that end or turn away transfers in flight, as the idle time-outs
// and per-client connection limits of servers, proxies and CDNs do (one that
// drops a connection whose sends have stalled, one that allows each client
// one connection and answers 503 on another or resets it), end the same
// way too. A server that resets a file's first request only is the one case
// where four in flight end otherwise, and better: the attempt ahead of its
// turn does not count, the file is requested again alone and installed, and
// the run is that of one at a time against a server without the fault.
TEST_F(UpdateRunTest, TransfersInFlightEndAsOneAtATimeOrBetter) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 8; ++i) {
    files["Base/" + std::to_string(i) + ".png"] =
        RandomBytes(200000 + 1000 * i, 40 + i);
  }
  const auto url_path = [](const std::string& path) {
    return "/10/" + std::string(kPlatform) + path;
  };
  // A file ahead of its turn with four in flight (the first file's turn
  // starts the next three), or at its turn beside others.
  const std::string faulty = "Base/2.png";
  const std::string large = "Base/1.pak";
  using Other = HttpTestServer::OtherConnection;
  // Holds the answers of the first `count` listed files until the list and
  // the first `in_flight` files have been asked for.
  const auto hold_first = [&](std::size_t count) {
    return [&, count](std::size_t in_flight, std::size_t before) {
      std::vector<std::string> held;
      for (std::size_t i = 0; i < std::min(count, in_flight); ++i) {
        held.push_back(url_path("Base/" + std::to_string(i) + ".png"));
        server_.Hold(held.back());
      }
      return std::function<void()>([this, held, in_flight, before] {
        server_.WaitForTotalRequests(static_cast<int>(before + 1 + in_flight));
        for (const std::string& path : held) server_.Release(path);
      });
    };
  };
  const struct {
    const char* server;
    // Publishes the row's release and sets its faults and local files.
    std::function<void()> serve;
    // For the run with `in_flight`: holds answers as it needs and returns
    // what runs beside the run (given the requests before it).
    std::function<std::function<void()>(std::size_t in_flight,
                                        std::size_t before)>
        beside;
    // The run's lasterror with one at a time ("": none, error 0).
    std::string lasterror;
    // Four in flight end as one at a time against the server without its
    // fault.
    bool fault_absorbed = false;
    // Paths that only attempts ahead of their turn request (one at a time
    // never reaches their request).
    std::set<std::string> ahead_only = {};
  } rows[] = {
      {"resets every request of a file",
       [&] {
         Publish(files, 3301);
         server_.SetReply(url_path(faulty),
                          HttpReply::ResetMidBody(files[faulty], 100000));
       },
       hold_first(1), "Error downloading ./" + faulty},
      // The first file's transfer runs at its turn beside the three
      // started ahead: its attempt does not count, nor its progress meter,
      // and the file is requested again alone.
      {"resets every request of the first file",
       [&] {
         Publish(files, 3311);
         server_.SetReply(url_path("Base/0.png"),
                          HttpReply::ResetMidBody(files["Base/0.png"], 100000));
       },
       [](std::size_t, std::size_t) { return std::function<void()>([] {}); },
       "Error downloading ./Base/0.png"},
      // Its first attempt brought part of the body before the reset; the
      // request made again alone starts the file afresh.
      {"resets the first request of the first file only",
       [&] {
         Publish(files, 3312);
         server_.SetReply(
             url_path("Base/0.png"),
             HttpReply::ResetMidBody(files["Base/0.png"], 100000, 1));
       },
       [](std::size_t, std::size_t) { return std::function<void()>([] {}); },
       "Error downloading ./Base/0.png", true},
      {"resets the first request of a file only",
       [&] {
         Publish(files, 3302);
         server_.SetReply(url_path(faulty),
                          HttpReply::ResetMidBody(files[faulty], 100000, 1));
       },
       hold_first(1), "Error downloading ./" + faulty, true},
      {"answers 500 for a file",
       [&] {
         Publish(files, 3303);
         server_.SetReply(url_path(faulty), HttpReply::Status(500));
       },
       hold_first(1), "Error downloading ./" + faulty},
      {"answers other bytes for a file",
       [&] {
         Publish(files, 3304);
         server_.SetReply(url_path(faulty), HttpReply::Ok("other bytes"));
       },
       hold_first(1), "Error downloading ./" + faulty},
      {"cuts a body short",
       [&] {
         Publish(files, 3305);
         server_.SetReply(url_path(faulty),
                          HttpReply::ShortBody(files[faulty], 1000));
       },
       hold_first(1), "Error downloading ./" + faulty},
      {"answers a slow file behind a fast one",
       [&] { Publish(files, 3306); },
       [&](std::size_t in_flight, std::size_t before) {
         // The second file answers once the list, the first file and the
         // transfers in flight beside the second have been asked for.
         const std::string slow = url_path("Base/1.png");
         server_.Hold(slow);
         return std::function<void()>([this, slow, in_flight, before] {
           server_.WaitForTotalRequests(
               static_cast<int>(before + 2 + in_flight));
           server_.Release(slow);
         });
       },
       ""},
      {"serves a file at a directory that another listed file reaches "
       "through a link",
       [&] {
         std::map<std::string, std::string> aliased = files;
         aliased["Base/d"] = "a file where a directory was";
         aliased["Base/alias/x.png"] = "x";
         Publish(aliased, 3307);
         // Base/d first, then Base/alias/x.png, while Base/alias -> d.
         std::string list = "version_file 3307\n";
         for (const char* path :
              {"Base/0.png", "Base/d", "Base/alias/x.png", "Base/3.png"}) {
           list += std::string("./") + path + " " +
                   Md5Hex(aliased[path].data(), aliased[path].size()) + "\n";
         }
         PublishList(list);
         mkdir((game_ + "/Base").c_str(), 0755);
         mkdir((game_ + "/Base/d").c_str(), 0755);
         symlink("d", (game_ + "/Base/alias").c_str());
       },
       hold_first(1), "Error downloading ./Base/alias/x.png", false,
       {"Base/alias/x.png"}},
      {"drops a connection whose send has stalled",
       [&] {
         std::map<std::string, std::string> with_large = files;
         // Far more than a transfer ahead holds and the sockets between.
         with_large[large] = RandomBytes(std::size_t{16} << 20, 26);
         Publish(with_large, 3308);
         server_.SetReply(url_path(large),
                          HttpReply::DroppedWhenStalled(with_large[large]));
       },
       [&](std::size_t in_flight, std::size_t before) {
         const std::string first = url_path("Base/0.png");
         server_.Hold(first);
         return std::function<void()>([this, first, in_flight, before] {
           server_.WaitForTotalRequests(
               static_cast<int>(before + 1 + in_flight));
           if (in_flight > 1) {
             // The large file has spooled its prefetch ahead of its turn
             // and stopped reading: its send stalls, and the server drops
             // it.
             EXPECT_TRUE(WaitUntil([&] {
               return TemporarySizeOf(game_ + "/Downloads/1.pak") >=
                      off_t(DownloadPipeline::kPrefetchBytes - 65536);
             }));
             EXPECT_EQ(server_.DropStalledSends(), 1);
           }
           server_.Release(first);
         });
       },
       ""},
      {"answers 503 on a second connection of a client",
       [&] {
         Publish(files, 3309);
         server_.AllowOneConnectionPerClient(Other::kAnswered503);
       },
       hold_first(4), ""},
      {"resets a second connection of a client",
       [&] {
         Publish(files, 3310);
         server_.AllowOneConnectionPerClient(Other::kReset);
       },
       hold_first(4), ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.server);
    const auto trace = [&](std::size_t in_flight, bool with_fault) {
      RunShell("rm -rf '" + game_ + "/Base' '" + release_.path() + "/" +
               kPlatform + "'");
      WriteLocal("App/version.txt", "version_file 1\n");
      const auto serve_plainly = [&] {
        server_.AllowOneConnectionPerClient(Other::kServed);
        for (const auto& [path, content] : files) {
          server_.ClearReply(url_path(path));
        }
        server_.ClearReply(url_path(large));
      };
      serve_plainly();
      row.serve();
      if (!with_fault) serve_plainly();
      const std::size_t before = server_.Requests().size();
      const std::function<void()> beside = row.beside(in_flight, before);
      return Trace(in_flight, [&](std::size_t) { beside(); });
    };
    const RunTrace one = trace(1, true);
    const RunTrace four = trace(4, true);
    EXPECT_EQ(one.run.lasterror, row.lasterror) << one.run.log;
    EXPECT_EQ(one.run.error, row.lasterror.empty() ? 0 : 1);
    const RunTrace same_as = row.fault_absorbed ? trace(1, false) : one;
    if (row.fault_absorbed) {
      EXPECT_EQ(same_as.run.error, 0) << same_as.run.log;
      EXPECT_EQ(same_as.files.at(faulty), files[faulty]);
    }
    ExpectTheSameRun(four, same_as, row.ahead_only);
    EXPECT_EQ(MeterHeads(four.meter), MeterHeads(same_as.meter));
    // Nothing of a transfer ahead stays in Downloads/.
    EXPECT_TRUE(PathsEndingIn(game_ + "/Downloads", ".tmp").empty());
  }
  server_.AllowOneConnectionPerClient(Other::kServed);
}

// The run looks at the launcher's flags after the list arrived, before the
// comparison and while hashing, and nowhere else: a launcher that stops
// while the files are being fetched ends no transfer, whatever the number
// in flight. Every file is fetched, the list is installed, and the console
// and the requests are those of one transfer at a time.
TEST_F(UpdateRunTest, LauncherStoppedDuringTheWalkEndsNoTransfer) {
  std::map<std::string, std::string> release;
  for (int i = 0; i < 8; ++i) {
    release["Base/f" + std::to_string(i) + ".png"] =
        std::string(200000, static_cast<char>('a' + i));
  }
  Publish(release, 31337);
  // Stops the launcher at the first pass of its event loop after the
  // second file is in place.
  class StopAfterSecondFile : public irr::IrrlichtDevice {
   public:
    StopAfterSecondFile(StarterSharedState& state, std::string game)
        : state_(state), game_(std::move(game)) {}
    bool run() override {
      if (PathExists(game_ + "/Base/f1.png")) state_.running = false;
      return true;
    }

   private:
    StarterSharedState& state_;
    std::string game_;
  };
  ScopedStarter starter;
  StopAfterSecondFile device(starter.state, game_);
  starter.state.device = &device;
  std::vector<std::string> consoles;
  std::vector<std::vector<std::string>> requests;
  for (std::size_t in_flight : {std::size_t{1}, std::size_t{4}}) {
    SCOPED_TRACE(in_flight);
    RunShell("rm -rf '" + game_ + "/Base'");
    WriteLocal("App/version.txt", "version_file 1\n");
    starter.state.running = true;
    const std::size_t before = server_.Requests().size();
    testing::internal::CaptureStdout();
    const RunOutcome run = Run("App/autoupdate.cfg", in_flight);
    consoles.push_back(testing::internal::GetCapturedStdout());
    requests.emplace_back();
    const std::vector<HttpRecordedRequest> seen = server_.Requests();
    for (std::size_t i = before; i < seen.size(); ++i) {
      requests.back().push_back(seen[i].path);
    }
    std::sort(requests.back().begin(), requests.back().end());
    EXPECT_FALSE(starter.state.running);
    EXPECT_EQ(run.error, 0);
    EXPECT_EQ(run.lasterror, "");
    EXPECT_FALSE(Contains(consoles.back(), "CURL Error")) << consoles.back();
    for (const auto& [path, content] : release) {
      EXPECT_EQ(Local(path), content) << path;
    }
    EXPECT_EQ(Local("App/version.txt"), ListText());
    EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
  }
  EXPECT_EQ(consoles[1], consoles[0]);
  EXPECT_EQ(requests[1], requests[0]);
  EXPECT_EQ(requests[0].size(), 1 + release.size());
}

}  // namespace
