// starter-stage, the real binary, on game directories made at test time
// against the in-process server, and the real update run that takes what it
// staged: what it fetches and where, what it leaves alone, its exit
// statuses, and its way beside a running game and a running start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/md5.h"
#include "engine/sha256.h"
#include "patch/file_patch.h"
#include "support/list_signing.h"
#include "support/published_release.h"
#include "update/release_table.h"
#include "support/random_bytes.h"
#include "support/scoped_tmpfs.h"
#include "support/text_match.h"
#include "support/wait_until.h"
#include "verify_tool_fixture.h"

namespace {

// The release after kRelease: one data file and the server's executable
// changed.
const std::map<std::string, std::string> kChanges = {
    {"Base/a.png", "a, second release"}, {"OKUdedi", "server, second"}};

using Tree = std::map<std::string, std::string>;

// The paths of the snapshots `before` and `after` that differ, outside the
// staging areas (and the directory "Downloads", which gets the first).
std::set<std::string> ChangedOutsideStaging(const Tree& before,
                                            const Tree& after) {
  std::set<std::string> changed;
  for (const Tree* tree : {&before, &after}) {
    for (const auto& [path, facts] : *tree) {
      const auto there = (tree == &before ? after : before).find(path);
      if (there == (tree == &before ? after : before).end() ||
          there->second != facts) {
        changed.insert(path);
      }
    }
  }
  std::erase_if(changed, [](const std::string& path) {
    return path == "Downloads" || path.starts_with("Downloads/staged");
  });
  return changed;
}

class StageToolTest : public VerifyToolFixture {
 public:
  void SetUp() override {
    VerifyToolFixture::SetUp();
    if (access(kStageTool.c_str(), X_OK) != 0) {
      GTEST_SKIP() << "build the starter-stage target first";
    }
  }

  // The MD5 of the served list: the name of its staging area.
  std::string ServedListMd5() const {
    std::string md5;
    EXPECT_TRUE(Md5File(ServerListPath().c_str(), md5));
    return md5;
  }
  std::string StagedCopy(const std::string& md5,
                         const std::string& path) const {
    return Game("Downloads/staged/" + md5 + "/" + path);
  }
  // The listed files whose bodies the server sent since request `since`
  // (GET requests; HEAD asks for a length only).
  std::vector<std::string> FetchedBodies(std::size_t since) const {
    const std::string prefix = "/10/" + std::string(kPlatform);
    std::vector<std::string> fetched;
    const std::vector<HttpRecordedRequest> requests = server_.Requests();
    for (std::size_t i = since; i < requests.size(); ++i) {
      const std::string path = requests[i].path.substr(prefix.size());
      if (requests[i].method == "GET" && !path.starts_with("App/version.txt")) {
        fetched.push_back(path);
      }
    }
    return fetched;
  }
  static ino_t InodeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  }
  // Waits until the clock that stamps changes has passed the last change of
  // `path`, so that the next change gives it other times.
  static void WaitForTheClockToPass(const std::string& path) {
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    ASSERT_TRUE(WaitUntil([&] {
      timespec now;
      clock_gettime(CLOCK_REALTIME_COARSE, &now);
      return now.tv_sec > info.st_ctim.tv_sec ||
             (now.tv_sec == info.st_ctim.tv_sec &&
              now.tv_nsec > info.st_ctim.tv_nsec);
    }));
  }
  // Rewrites the record of the area `md5` so that its line for `key` holds
  // the copy as it is now (size, device, inode and times), its digests as
  // they were recorded.
  void RecordCopyAsItIs(const std::string& md5, const std::string& key) {
    const std::string record = Game("Downloads/staged/" + md5 + ".checked");
    struct stat info;
    ASSERT_EQ(stat(StagedCopy(md5, key.substr(1)).c_str(), &info), 0);
    std::istringstream lines(ReadFile(record));
    std::string text;
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
      if (line.ends_with(" " + key)) {
        std::istringstream fields(line);
        std::string md5_field, sha256_field;
        fields >> md5_field >> sha256_field;
        const auto ns = [](const timespec& t) {
          return std::to_string(t.tv_sec * 1000000000LL + t.tv_nsec);
        };
        line = md5_field + " " + sha256_field + " " +
               std::to_string(info.st_size) + " " +
               std::to_string(info.st_dev) + " " +
               std::to_string(info.st_ino) + " " + ns(info.st_mtim) + " " +
               ns(info.st_ctim) + " " + key;
        found = true;
      }
      text += line + "\n";
    }
    ASSERT_TRUE(found) << ReadFile(record);
    WriteFile(record, text);
  }
  // One real update run, with what it printed.
  RunOutcome StartRun(std::string& printed) {
    ::testing::internal::CaptureStdout();
    RunOutcome outcome = RealRun();
    printed = ::testing::internal::GetCapturedStdout();
    return outcome;
  }
};

// Staging fetches exactly the files the start would download into the
// list's area and nothing else in the game directory, and records its
// checks beside the area; staging again keeps them; the start then takes
// them and asks the server for no file body, installing them through the
// same steps (the executable is swapped in, gets the executables' mode and
// asks for a restart) by renaming each copy into place, and removes the
// area and its record once the list is installed.
TEST_F(StageToolTest, TheNextStartTakesTheStagedReleaseAndFetchesNoBody) {
  PublishSigned(With(kRelease, kChanges), kNewKey);
  const std::string md5 = ServedListMd5();
  const auto before = SnapshotTree(game_);
  const std::size_t requests = server_.Requests().size();

  const VerifyRun staged = Stage();
  EXPECT_EQ(staged.status, 0) << staged.err;
  EXPECT_EQ(staged.out,
            "staged Base/a.png\nstaged OKUdedi\nsummary: staged release with "
            "list key 2000, 2 files (0 already staged), 31 bytes fetched, in "
            "Downloads/staged/" +
                md5 + "/\n");
  EXPECT_EQ(FetchedBodies(requests),
            (std::vector<std::string>{"Base/a.png", "OKUdedi"}));
  EXPECT_EQ(ChangedOutsideStaging(before, SnapshotTree(game_)),
            std::set<std::string>{});
  EXPECT_EQ(ReadFile(StagedCopy(md5, "Base/a.png")), "a, second release");
  EXPECT_EQ(ReadFile(StagedCopy(md5, "OKUdedi")), "server, second");
  EXPECT_EQ(NamesIn(Game("Downloads/staged/" + md5)),
            (std::set<std::string>{"Base", "OKUdedi"}));
  EXPECT_EQ(NamesIn(Game("Downloads/staged")),
            (std::set<std::string>{md5, md5 + ".checked"}));

  const std::size_t again = server_.Requests().size();
  const VerifyRun kept = Stage({"--quiet"});
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(kept.out.rfind("summary: staged release with list key 2000, 2 "
                          "files (2 already staged), 0 bytes fetched",
                          0),
            0u)
      << kept.out;
  EXPECT_EQ(FetchedBodies(again), std::vector<std::string>{});

  const ino_t data_copy = InodeOf(StagedCopy(md5, "Base/a.png"));
  const ino_t server_copy = InodeOf(StagedCopy(md5, "OKUdedi"));
  const ino_t data_before = InodeOf(Game("Base/a.png"));
  const std::string old_data = Local("Base/a.png");
  const std::size_t start = server_.Requests().size();
  std::string printed;
  const RunOutcome run = StartRun(printed);
  EXPECT_EQ(run.error, 0) << run.lasterror;
  EXPECT_TRUE(run.restartrequired);
  EXPECT_EQ(FetchedBodies(start), std::vector<std::string>{});
  EXPECT_EQ(InodeOf(Game("Base/a.png")), data_copy);
  EXPECT_EQ(InodeOf(Game("OKUdedi")), server_copy);
  EXPECT_EQ(PermissionsOf(Game("OKUdedi")), 0700u);
  // The area is gone; the files the copies replaced wait to be freed.
  const std::string replaced = "Downloads/staged/" + md5 + ".replaced";
  EXPECT_EQ(NamesIn(Game("Downloads/staged")),
            std::set<std::string>{md5 + ".replaced"});
  EXPECT_EQ(ReadFile(Game(replaced + "/" + std::to_string(data_before))),
            old_data);

  EXPECT_EQ(Local("Base/a.png"), "a, second release");
  EXPECT_EQ(Local("OKUdedi"), "server, second");
  EXPECT_EQ(Local("OKUdedi.tmp2"), "server");
  EXPECT_EQ(Local("App/version.txt"), ListText());
  EXPECT_TRUE(Contains(printed, "Taking ./Base/a.png from the staging area "
                                "Downloads/staged/" +
                                    md5 + "/Base/a.png\n"))
      << printed;
  EXPECT_TRUE(Contains(printed, "EXECUTABLE ./OKUdedi\n")) << printed;
  EXPECT_TRUE(Contains(printed, "UPDATED EXECUTABLE\n")) << printed;

  const VerifyRun current = Stage();
  EXPECT_EQ(current.status, 1) << current.err;
  EXPECT_EQ(current.out, "removed the files a start replaced, " + replaced +
                             "\nsummary: up to date (key matches), nothing "
                             "to stage\n");
  EXPECT_EQ(NamesIn(Game("Downloads/staged")), std::set<std::string>{});
}

// Where the release's file table names a patch from the local copy to the
// listed file, staging fetches the patch and decodes it against the local
// copy, as the start would; a patch that is not its row's costs the whole
// file, fetched after it.
TEST_F(StageToolTest, StagesAPatchOfTheLocalCopyOrElseTheWholeFile) {
  if (!kStarterChecksSignatures) {
    GTEST_SKIP() << "file tables are checked with the key of a keyed build";
  }
  // Outside the tool's temporary directory, which must stay empty.
  const std::string scratch = Outer("scratch");
  ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
  WriteFile(scratch + "/old", kRelease.at("Base/a.png"));
  WriteFile(scratch + "/new", kChanges.at("Base/a.png"));
  ASSERT_TRUE(MakePatch(scratch + "/old", scratch + "/new", scratch + "/patch",
                        3)
                  .ok());
  const std::string patch = ReadFile(scratch + "/patch");
  std::string corrupt = patch;
  corrupt.back() = static_cast<char>(corrupt.back() ^ 1);
  const std::string name =
      PatchTablePath(Md5Hex(kRelease.at("Base/a.png").data(), 1),
                     Md5Hex(kChanges.at("Base/a.png").data(),
                            kChanges.at("Base/a.png").size()));
  const struct {
    const char* name;
    std::string served;  // at the patch's name
    std::vector<std::string> fetched;
    std::size_t bytes;
  } rows[] = {
      {"the patch", patch, {name.substr(2), "OKUdedi"},
       patch.size() + kChanges.at("OKUdedi").size()},
      {"other bytes than its row's", corrupt,
       {name.substr(2), "Base/a.png", "OKUdedi"},
       kChanges.at("Base/a.png").size() + kChanges.at("OKUdedi").size()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(Game("Downloads/staged"));
    Install(kRelease, kInstalledKey);
    PublishSigned(With(kRelease, kChanges), kNewKey);
    WriteFile(ReleasePath(name.substr(2)), row.served);
    std::string table = ReleaseTableOf(With(kRelease, kChanges));
    // A patch's row comes first: "./." sorts before every listed path.
    const std::string header = ReleaseTableHeader();
    table.insert(header.size(),
                 ReleaseTableLine(name, patch.size(),
                                  Sha256Hex(patch), false));
    WriteFile(ServerListPath() + ".files", table);
    WriteFile(ServerListPath() + ".release",
              SignStatementWithOpenssl(
                  TestPrivateKeyPath(),
                  StatementBodyOf({1, "patched", 1700000000, std::nullopt},
                                  ReadFile(ServerListPath()), table),
                  outer_.path()));
    const std::string md5 = ServedListMd5();
    const std::size_t requests = server_.Requests().size();
    const VerifyRun staged = Stage({"--quiet"});
    EXPECT_EQ(staged.status, 0) << staged.err;
    EXPECT_TRUE(Contains(staged.out, std::to_string(row.bytes) +
                                         " bytes fetched"))
        << staged.out;
    EXPECT_EQ(FetchedBodies(requests), row.fetched);
    EXPECT_EQ(ReadFile(StagedCopy(md5, "Base/a.png")),
              kChanges.at("Base/a.png"));
    EXPECT_EQ(Local("Base/a.png"), kRelease.at("Base/a.png"));
    EXPECT_EQ(NamesIn(Game("Downloads/.patches")), std::set<std::string>{});
  }
}

// What is not the listed bytes is never installed from the staging area:
// the start downloads it as before. A staged copy of another list is never
// used, and the next staging removes it.
TEST_F(StageToolTest, CopiesThatAreNotTheListedBytesAreDownloadedAgain) {
  PublishSigned(With(kRelease, kChanges), kNewKey);
  const std::string first = ServedListMd5();
  ASSERT_EQ(Stage({"--quiet"}).status, 0);

  // Corrupted after staging.
  WriteFile(StagedCopy(first, "Base/a.png"), "a, second releasX");
  std::size_t start = server_.Requests().size();
  std::string printed;
  RunOutcome run = StartRun(printed);
  EXPECT_EQ(run.error, 0) << run.lasterror;
  EXPECT_EQ(FetchedBodies(start), std::vector<std::string>{"Base/a.png"});
  EXPECT_EQ(Local("Base/a.png"), "a, second release");
  EXPECT_TRUE(Contains(printed, "CCurl: MD5 mismatch for ./Base/a.png"))
      << printed;
  EXPECT_TRUE(Contains(printed, "Taking ./OKUdedi")) << printed;

  // A newer release published between staging and the start.
  Install(kRelease, kInstalledKey);
  PublishSigned(With(kRelease, kChanges), kNewKey);
  ASSERT_EQ(Stage({"--quiet"}).status, 0);
  const std::map<std::string, std::string> third = {
      {"Base/a.png", "a, third release"}, {"OKUdedi", "server, second"}};
  PublishSigned(With(kRelease, third), 3000);
  start = server_.Requests().size();
  run = StartRun(printed);
  EXPECT_EQ(run.error, 0) << run.lasterror;
  EXPECT_EQ(FetchedBodies(start),
            (std::vector<std::string>{"Base/a.png", "OKUdedi"}));
  EXPECT_EQ(Local("Base/a.png"), "a, third release");
  EXPECT_FALSE(Contains(printed, "staging area")) << printed;
  EXPECT_TRUE(LocalExists("Downloads/staged/" + first + "/OKUdedi"));

  const VerifyRun current = Stage();
  EXPECT_EQ(current.status, 1) << current.err;
  EXPECT_TRUE(Contains(current.out, "removed staging area " + first + "\n"))
      << current.out;
  EXPECT_EQ(NamesIn(Game("Downloads/staged")), std::set<std::string>{});
}

// The start reads a staged copy again unless the record of the checks
// holds it as it is now (size, device, inode, modification and change
// times): a record that matches is trusted without reading the copy, and
// any change since, or a record missing or malformed, has the copy checked
// again as a download is; what fails that is downloaded.
TEST_F(StageToolTest, TrustsTheRecordOfTheChecksOnlyForTheCopyItHolds) {
  using Change = void (*)(StageToolTest&, const std::string& md5);
  static const struct {
    const char* name;
    Change change;       // what happens after staging
    bool downloaded;     // ./Base/a.png fetched from the server
    const char* installed;  // what ./Base/a.png holds then
  } rows[] = {
      {"nothing changed", [](StageToolTest&, const std::string&) {}, false,
       "a, second release"},
      {"the record trusted for bytes it did not check",
       [](StageToolTest& t, const std::string& md5) {
         WriteFile(t.StagedCopy(md5, "Base/a.png"), "a, second releasX");
         t.RecordCopyAsItIs(md5, "/Base/a.png");
       },
       false, "a, second releasX"},
      {"its change time moved, bytes kept",
       [](StageToolTest& t, const std::string& md5) {
         const std::string copy = t.StagedCopy(md5, "Base/a.png");
         WaitForTheClockToPass(copy);
         ASSERT_EQ(chmod(copy.c_str(), 0640), 0);
       },
       false, "a, second release"},
      {"its modification time moved, bytes kept",
       [](StageToolTest& t, const std::string& md5) {
         const timespec times[2] = {{1, 0}, {1, 0}};
         ASSERT_EQ(utimensat(AT_FDCWD,
                             t.StagedCopy(md5, "Base/a.png").c_str(), times,
                             0),
                   0);
       },
       false, "a, second release"},
      {"another file with the same bytes in its place",
       [](StageToolTest& t, const std::string& md5) {
         const std::string copy = t.StagedCopy(md5, "Base/a.png");
         WriteFile(copy + ".new", "a, second release");
         ASSERT_EQ(rename((copy + ".new").c_str(), copy.c_str()), 0);
       },
       false, "a, second release"},
      {"changed in place, same size",
       [](StageToolTest& t, const std::string& md5) {
         WriteFile(t.StagedCopy(md5, "Base/a.png"), "a, second releasX");
       },
       true, "a, second release"},
      {"no record, changed in place",
       [](StageToolTest& t, const std::string& md5) {
         WriteFile(t.StagedCopy(md5, "Base/a.png"), "a, second releasX");
         ASSERT_EQ(unlink(t.Game("Downloads/staged/" + md5 + ".checked")
                              .c_str()),
                   0);
       },
       true, "a, second release"},
      {"a malformed record that would hold the changed copy",
       [](StageToolTest& t, const std::string& md5) {
         WriteFile(t.StagedCopy(md5, "Base/a.png"), "a, second releasX");
         t.RecordCopyAsItIs(md5, "/Base/a.png");
         const std::string record =
             t.Game("Downloads/staged/" + md5 + ".checked");
         WriteFile(record, ReadFile(record) + "not a check\n");
       },
       true, "a, second release"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Install(kRelease, kInstalledKey);
    PublishSigned(With(kRelease, kChanges), kNewKey);
    const std::string md5 = ServedListMd5();
    ASSERT_EQ(Stage({"--quiet"}).status, 0);
    row.change(*this, md5);
    const ino_t copy = InodeOf(StagedCopy(md5, "Base/a.png"));
    const std::size_t start = server_.Requests().size();
    std::string printed;
    const RunOutcome run = StartRun(printed);
    EXPECT_EQ(run.error, 0) << run.lasterror;
    EXPECT_EQ(FetchedBodies(start),
              row.downloaded ? std::vector<std::string>{"Base/a.png"}
                             : std::vector<std::string>{});
    EXPECT_EQ(Local("Base/a.png"), row.installed);
    EXPECT_EQ(Contains(printed, "CCurl: MD5 mismatch for ./Base/a.png"),
              row.downloaded)
        << printed;
    if (!row.downloaded) {
      EXPECT_EQ(InodeOf(Game("Base/a.png")), copy);
    }
    EXPECT_EQ(Local("OKUdedi"), "server, second");
    EXPECT_EQ(NamesIn(Game("Downloads/staged")),
              std::set<std::string>{md5 + ".replaced"});
  }
}

// A staged copy that a rename cannot take as it is, one with another name
// or one on another file system than the game's files, is copied into
// place as before, and its other name keeps its bytes and its mode.
TEST_F(StageToolTest, CopiesWhatARenameCannotTake) {
  PublishSigned(With(kRelease, kChanges), kNewKey);
  std::string md5 = ServedListMd5();
  ASSERT_EQ(Stage({"--quiet"}).status, 0);
  const std::string second_name = Outer("second-name");
  ASSERT_EQ(link(StagedCopy(md5, "Base/a.png").c_str(), second_name.c_str()),
            0);
  ASSERT_EQ(chmod(second_name.c_str(), 0604), 0);
  std::size_t start = server_.Requests().size();
  std::string printed;
  RunOutcome run = StartRun(printed);
  EXPECT_EQ(run.error, 0) << run.lasterror;
  EXPECT_EQ(FetchedBodies(start), std::vector<std::string>{});
  EXPECT_EQ(Local("Base/a.png"), "a, second release");
  EXPECT_NE(InodeOf(Game("Base/a.png")), InodeOf(second_name));
  EXPECT_EQ(ReadFile(second_name), "a, second release");
  EXPECT_EQ(PermissionsOf(second_name), 0604u);

  Install(kRelease, kInstalledKey);
  const ScopedTmpfs downloads(Game("Downloads"), "8m");
  if (!downloads.mounted()) GTEST_SKIP() << downloads.error();
  PublishSigned(With(kRelease, kChanges), kNewKey);
  md5 = ServedListMd5();
  ASSERT_EQ(Stage({"--quiet"}).status, 0);
  start = server_.Requests().size();
  run = StartRun(printed);
  EXPECT_EQ(run.error, 0) << run.lasterror;
  EXPECT_TRUE(run.restartrequired);
  EXPECT_EQ(FetchedBodies(start), std::vector<std::string>{});
  EXPECT_EQ(Local("Base/a.png"), "a, second release");
  EXPECT_EQ(Local("OKUdedi"), "server, second");
  EXPECT_EQ(Local("OKUdedi.tmp2"), "server");
  EXPECT_EQ(PermissionsOf(Game("OKUdedi")), 0700u);
  // On another file system the files replaced cannot be kept aside.
  EXPECT_EQ(NamesIn(Game("Downloads/staged")), std::set<std::string>{});
}

// Refusals write nothing: a file system without room for the release, a
// list the start would fail with, no list at all.
TEST_F(StageToolTest, RefusesWithOneLineAndWritesNothing) {
  const ScopedTmpfs small(Game("Downloads"), "2m");
  if (!small.mounted()) GTEST_SKIP() << small.error();
  PublishSigned(With(kRelease, {{"Base/big.png", RandomBytes(3 << 20, 7)}}),
                kNewKey);
  auto before = SnapshotTree(game_);
  std::size_t requests = server_.Requests().size();
  VerifyRun run = Stage({"--quiet"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "starter-stage: not enough space to stage: 3 MB needed, 1 MB "
            "available\n");
  EXPECT_TRUE(SnapshotTree(game_) == before);
  // Only the length of the file was asked for.
  std::vector<std::string> asked;
  const std::vector<HttpRecordedRequest> recorded = server_.Requests();
  for (std::size_t i = requests; i < recorded.size(); ++i) {
    if (!Contains(recorded[i].path, "App/version.txt")) {
      asked.push_back(recorded[i].method + " " + recorded[i].path);
    }
  }
  EXPECT_EQ(asked, std::vector<std::string>{"HEAD /10/" +
                                            std::string(kPlatform) +
                                            "Base/big.png"});
  EXPECT_EQ(FetchedBodies(requests), std::vector<std::string>{});

  PublishList("version_file 2000\n./Base/../../x " + std::string(32, 'a') +
              "\n");
  Resign();
  run = Stage();
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "starter-stage: the next start would fail "
                                "with the served list: nothing staged\n"))
      << run.err;
  EXPECT_TRUE(SnapshotTree(game_) == before);

  server_.SetReply(ListUrl(), HttpReply::Status(404));
  run = Stage({"--quiet"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("starter-stage: cannot fetch ", 0), 0u) << run.err;
  EXPECT_TRUE(SnapshotTree(game_) == before);
}

// Beside a start in the middle of its update (the server holds its answer
// for a file): staging neither waits for the update lock nor disturbs the
// start, and leaves an old area it may not remove then for a later run.
TEST_F(StageToolTest, StagesBesideAStartInItsUpdate) {
  const std::string old_area = "Downloads/staged/" + std::string(32, 'b');
  WriteGame(old_area + "/Base/a.png", "old");
  PublishSigned(With(kRelease, kChanges), kNewKey);
  const std::string path = "/10/" + std::string(kPlatform) + "OKUdedi";
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<int> asked{0};
  server_.SetHandler(path, [&](const httplib::Request&, httplib::Response& r) {
    if (asked++ == 0) released.wait();
    r.set_content("server, second", "application/octet-stream");
  });
  std::string printed;
  RunOutcome run;
  std::thread start([&] { run = RealRun(); });
  ASSERT_TRUE(WaitUntil([&] { return asked.load() == 1; }));

  const VerifyRun staged = Stage();
  EXPECT_EQ(staged.status, 0) << staged.err;
  EXPECT_TRUE(Contains(staged.err, "starter-stage: a start holds the update "
                                   "lock: old staging areas stay until the "
                                   "next run\n"))
      << staged.err;
  EXPECT_TRUE(LocalExists(old_area + "/Base/a.png"));
  EXPECT_EQ(ReadFile(StagedCopy(ServedListMd5(), "OKUdedi")),
            "server, second");

  release.set_value();
  start.join();
  EXPECT_EQ(run.error, 0) << run.lasterror;
  EXPECT_EQ(Local("OKUdedi"), "server, second");
  EXPECT_EQ(Local("Base/a.png"), "a, second release");
  // The start's request, starter-stage's HEAD for the length and its GET.
  EXPECT_EQ(asked.load(), 3);
}

// Beside a running game (the module waits on a FIFO inside the game's
// entry point): staging reads the installation, writes only its area, and
// the game goes on and ends as it would.
TEST_F(StageToolTest, StagesBesideARunningGame) {
  ASSERT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + Game("DUdavi") +
                     "' && cp '" GAME_MODULE_PATH "' '" +
                     Game("libVelmora_dedi.so") + "'"),
            0);
  const std::string hold = Outer("hold");
  ASSERT_EQ(mkfifo(hold.c_str(), 0600), 0);
  PipedChild game(Game("DUdavi"), {Game("DUdavi"), "mod:hold=" + hold},
                  game_);
  int writer = -1;
  ASSERT_TRUE(WaitUntil([&] {
    writer = open(hold.c_str(), O_WRONLY | O_NONBLOCK);
    return writer >= 0;
  })) << game.ReadArrived();
  PublishSigned(With(kRelease, kChanges), kNewKey);
  const auto before = SnapshotTree(game_);

  const VerifyRun staged = Stage({"--quiet"});
  EXPECT_EQ(staged.status, 0) << staged.err;
  EXPECT_EQ(ChangedOutsideStaging(before, SnapshotTree(game_)),
            std::set<std::string>{});
  EXPECT_EQ(ReadFile(StagedCopy(ServedListMd5(), "Base/a.png")),
            "a, second release");

  ASSERT_EQ(write(writer, "go", 2), 2);
  close(writer);
  const ChildResult r = game.Wait();
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "module: arg[1]=mod:hold=" + hold + "\n"))
      << r.out;
}

TEST_F(StageToolTest, CommandLine) {
  const struct {
    std::vector<std::string> args;
    std::string out;  // its start
    int status;
  } cases[] = {
      {{"--help"}, "usage: starter-stage [--quiet] GAME_DIR\n", 0},
      {{"--version"}, "starter-stage " STARTER_PROJECT_VERSION "\n", 0},
      {{}, "", 2},
      {{"--bogus", game_}, "", 2},
      {{game_, game_}, "", 2},
      {{Outer("absent")}, "", 2},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> argv = row.args;
    argv.insert(argv.begin(), "starter-stage");
    const ChildResult r =
        RunChild(kStageTool, argv, outer_.path(), Outer("capture"));
    EXPECT_EQ(r.exit_code, row.status);
    EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << r.out;
    if (row.out.empty()) {
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(server_.TotalRequestCount(), 0);
}

}  // namespace
