// The update run against a misbehaving server, a full disk and hostile lists:
// for every fault, the run's log line and outcome, no listed file partial
// under its real name, and nothing written outside the game directory.
// Faults already covered elsewhere (connection refused, a list slower than
// its limit, hostile paths, binary garbage, a checksum mismatch) are listed
// in docs/reliability.md with the tests that cover them.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/free_space.h"
#include "support/child_process.h"
#include "support/random_bytes.h"
#include "support/raw_http_server.h"
#include "support/scoped_tmpfs.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "update_run_fixture.h"

namespace {

const std::string kPlatformDir = "/10/linux32-dedicated-demo/";

class FaultMatrixTest : public UpdateRunFixture {
 protected:
  // Runs the update with the console captured into `console_`.
  RunOutcome RunCapturingConsole() {
    testing::internal::CaptureStdout();
    RunOutcome run = Run();
    console_ = testing::internal::GetCapturedStdout();
    return run;
  }

  // Seeds every path of `files` with old content of its own.
  void SeedOldCopies(const std::map<std::string, std::string>& files) {
    for (const auto& [path, content] : files) {
      WriteLocal(path, "old " + path);
    }
  }

  // Nothing but the game directory appeared beside it.
  void ExpectNothingOutside() {
    EXPECT_EQ(NamesIn(outer_.path()), (std::set<std::string>{"game"}));
  }

  std::string ListUrlPath() const { return kPlatformDir + "App/version.txt"; }

  // The run failed on "Base/big.png" alone, with libcurl's `code` on the
  // console: its old copy stays, no temporary file is left.
  void ExpectBigFileFailedWith(const RunOutcome& run, CURLcode code) {
    EXPECT_EQ(run.error, 1);
    EXPECT_EQ(run.lasterror, "Error downloading ./Base/big.png");
    EXPECT_TRUE(Contains(run.log, "Error downloading ./Base/big.png\n"));
    EXPECT_TRUE(Contains(console_, std::string("\nCURL Error: ") +
                                       curl_easy_strerror(code)))
        << console_;
    EXPECT_EQ(Local("Base/big.png"), "old big");
    EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
  }

  std::string console_;
};

std::map<std::string, std::string> ManyFiles(int count) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < count; ++i) {
    files["Base/f" + std::to_string(i) + ".png"] =
        RandomBytes(1000 + 97 * i, static_cast<unsigned>(i));
  }
  return files;
}

// A list the server does not deliver whole ends the run before anything is
// moved, hashed or fetched: a cut list must never be taken for the release.
TEST_F(FaultMatrixTest, ListNotDeliveredEndsTheRunAndTouchesNothing) {
  const std::string local_version = "version_file 12\n./Base/a.png abc\n";
  const struct {
    const char* what;
    HttpReply reply;
    int code;
  } cases[] = {
      {"404", HttpReply::Status(404), CURLE_HTTP_RETURNED_ERROR},
      {"500", HttpReply::Status(500), CURLE_HTTP_RETURNED_ERROR},
      {"short body",
       HttpReply::ShortBody(
           "version_file 77\n./Base/a.png " + std::string(32, 'a') + "\n", 20),
       CURLE_PARTIAL_FILE},
      // Past the most a list may have: cut there, or refused unread.
      {"endless body", HttpReply::Endless(), CURLE_FILESIZE_EXCEEDED},
      {"longer than any list", HttpReply::Oversized(kMostListBytes + 1),
       CURLE_FILESIZE_EXCEEDED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteLocal("App/version.txt", local_version);
    WriteLocal("Base/gone.png", "unlisted");
    server_.SetReply(ListUrlPath(), c.reply);
    RunOutcome run;
    {
      // No file may grow past the list's bound and one read: a write past
      // it would fail the run otherwise (CURLE_WRITE_ERROR).
      const ScopedFileSizeLimit limit(kMostListBytes + CURL_MAX_WRITE_SIZE);
      ASSERT_TRUE(limit.ok());
      run = Run();
    }
    EXPECT_EQ(run.error, 0);
    EXPECT_EQ(run.lasterror, "Error downloading checksum");
    EXPECT_TRUE(Contains(
        run.log, "Error downloading checksum from " + app_.getUpdatePath() +
                     "App/version.txt (err:" + std::to_string(c.code) + ")\n"))
        << run.log;
    EXPECT_FALSE(Contains(run.log, "Removing unused"));
    EXPECT_EQ(Local("App/version.txt"), local_version);
    EXPECT_EQ(Local("Base/gone.png"), "unlisted");
    EXPECT_FALSE(LocalExists("old"));
    EXPECT_FALSE(LocalExists("Downloads/App/version.txt"));
    EXPECT_FALSE(LocalExists("Downloads/App/version.txt.tmp"));
    ExpectNothingOutside();
  }
  EXPECT_EQ(server_.TotalRequestCount(), 5);
}

TEST_F(FaultMatrixTest, MissingFileAmongManyKeepsItsOldCopy) {
  auto files = ManyFiles(20);
  Publish(files, 4004);
  SeedOldCopies(files);
  server_.SetReply(kPlatformDir + "Base/f7.png", HttpReply::Status(404));
  RunOutcome run = RunCapturingConsole();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error downloading ./Base/f7.png");
  EXPECT_TRUE(Contains(run.log, "Error downloading ./Base/f7.png\n"));
  EXPECT_TRUE(
      Contains(console_, std::string("\nCURL Error: ") +
                             curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR)));
  for (const auto& [path, content] : files) {
    EXPECT_EQ(Local(path), path == "Base/f7.png" ? "old " + path : content)
        << path;
  }
  EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
  EXPECT_NE(Local("App/version.txt"), ListText());
  ExpectNothingOutside();
}

// Bodies cut short, with a Content-Length or chunked, are not installed; the
// walk goes on and the last failure is named.
TEST_F(FaultMatrixTest, CutBodiesKeepTheOldCopies) {
  auto files = ManyFiles(6);
  Publish(files, 4005);
  SeedOldCopies(files);
  server_.SetReply(kPlatformDir + "Base/f1.png",
                   HttpReply::ShortBody(files["Base/f1.png"], 500));
  server_.SetReply(kPlatformDir + "Base/f4.png",
                   HttpReply::CloseMidBody(files["Base/f4.png"], 700));
  RunOutcome run = RunCapturingConsole();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error downloading ./Base/f4.png");
  EXPECT_TRUE(Contains(run.log, "Error downloading ./Base/f1.png\n"));
  EXPECT_TRUE(Contains(run.log, "Error downloading ./Base/f4.png\n"));
  EXPECT_TRUE(Contains(console_, std::string("\nCURL Error: ") +
                                     curl_easy_strerror(CURLE_PARTIAL_FILE)))
      << console_;
  for (const auto& [path, content] : files) {
    bool failed = path == "Base/f1.png" || path == "Base/f4.png";
    EXPECT_EQ(Local(path), failed ? "old " + path : content) << path;
  }
  EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
  EXPECT_NE(Local("App/version.txt"), ListText());
  ExpectNothingOutside();
}

TEST_F(FaultMatrixTest, ConnectionResetMidFileKeepsTheOldCopy) {
  const std::string big = RandomBytes(400000, 11);
  const std::string small = "small new";
  std::string list = "version_file 4006\n./Base/big.png " +
                     Md5Hex(big.data(), big.size()) + "\n./Base/small.png " +
                     Md5Hex(small.data(), small.size()) + "\n";
  RawHttpServer raw([&](int fd, const std::string& path) {
    if (path == ListUrlPath()) {
      RawHttpServer::SendAll(fd, RawHttpServer::Head(200, list.size()) + list);
      return RawHttpServer::Ending::kClose;
    }
    if (path == kPlatformDir + "Base/small.png") {
      RawHttpServer::SendAll(fd,
                             RawHttpServer::Head(200, small.size()) + small);
      return RawHttpServer::Ending::kClose;
    }
    RawHttpServer::SendAll(fd, RawHttpServer::Head(200, big.size()) +
                                   big.substr(0, big.size() / 2));
    return RawHttpServer::Ending::kReset;
  });
  app_.defaults.updateURL = raw.Url("/10/");
  WriteLocal("Base/big.png", "old big");
  WriteLocal("Base/small.png", "old small");
  RunOutcome run = RunCapturingConsole();
  ExpectBigFileFailedWith(run, CURLE_RECV_ERROR);
  EXPECT_EQ(Local("Base/small.png"), small);
  // The list, the file table beside it (for patches of the old copies: the
  // reset leaves none) and the two files.
  EXPECT_EQ(raw.RequestCount(), 4);
  ExpectNothingOutside();
}

// The server goes down once the list has arrived: every file fails to
// connect, the old copies stay, and the version file is not the list.
TEST_F(FaultMatrixTest, ServerDownAfterTheListKeepsOldCopies) {
  auto files = ManyFiles(5);
  std::string list = "version_file 4007\n";
  for (const auto& [path, content] : files) {
    list += "./" + path + " " + Md5Hex(content.data(), content.size()) + "\n";
  }
  RawHttpServer raw([&](int fd, const std::string&) {
    RawHttpServer::SendAll(fd, RawHttpServer::Head(200, list.size()) + list);
    return RawHttpServer::Ending::kCloseAndStopListening;
  });
  app_.defaults.updateURL = raw.Url("/10/");
  SeedOldCopies(files);
  WriteLocal("Base/gone.png", "unlisted");
  RunOutcome run = RunCapturingConsole();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error downloading ./Base/f4.png");
  for (const auto& [path, content] : files) {
    EXPECT_TRUE(Contains(run.log, "Error downloading ./" + path + "\n"));
    EXPECT_EQ(Local(path), "old " + path);
  }
  EXPECT_TRUE(Contains(console_, std::string("\nCURL Error: ") +
                                     curl_easy_strerror(CURLE_COULDNT_CONNECT)))
      << console_;
  // The list had arrived, so the unlisted file was moved as on every run.
  EXPECT_EQ(Local("old/Base/gone.png"), "unlisted");
  EXPECT_EQ(Local("Downloads/App/version.txt"), list);
  EXPECT_NE(Local("App/version.txt"), list);
  EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
  EXPECT_EQ(raw.RequestCount(), 1);
  ExpectNothingOutside();
}

// Something other than a writable file where a listed file goes: a directory
// with content stays and is reported; an empty directory is replaced; a path
// through a regular file cannot even get its temporary file.
TEST_F(FaultMatrixTest, UnwritableTargetsAreReportedAndLeftAlone) {
  const std::map<std::string, std::string> files = {
      {"data/dir.png", "file for a directory"},
      {"data/empty.png", "file for an empty directory"},
      {"data/ok.png", "fine"},
      {"data.bin/inner.txt", "below a regular file"},
  };
  Publish(files, 4008);
  WriteLocal("data/dir.png/keep.txt", "mine");
  mkdir((game_ + "/data/empty.png").c_str(), 0755);
  WriteLocal("data.bin", "a regular file");
  RunOutcome run = RunCapturingConsole();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error downloading ./data/dir.png");
  EXPECT_TRUE(Contains(run.log, "Error downloading ./data/dir.png\n"));
  EXPECT_TRUE(Contains(run.log, "Error downloading ./data.bin/inner.txt\n"));
  EXPECT_FALSE(Contains(run.log, "Error downloading ./data/empty.png"));
  EXPECT_TRUE(Contains(console_, "Move failed ./data/dir.png (err 21)\n"))
      << console_;
  EXPECT_TRUE(Contains(console_,
                       "CCurl: Remove failed ./data.bin/inner.txt.tmp "
                       "(err 20)\n"))
      << console_;
  EXPECT_EQ(Local("data/dir.png/keep.txt"), "mine");
  // A failed installation leaves the complete download beside its target.
  EXPECT_EQ(Local("data/dir.png.tmp"), files.at("data/dir.png"));
  EXPECT_EQ(Local("data/empty.png"), files.at("data/empty.png"));
  EXPECT_EQ(Local("data/ok.png"), "fine");
  EXPECT_EQ(Local("data.bin"), "a regular file");
  EXPECT_NE(Local("App/version.txt"), ListText());
  ExpectNothingOutside();
}

// A file system that fills up during a download: the write fails, the
// temporary file goes, the old copy stays, and the rest is still installed.
// A file's body may take the room its file system has less what stays free
// for the operator's other data (5% of a small file system): on a 512 KiB
// tmpfs a 2 MiB file, announced or sent without end, is cut at that bound
// (or refused unread) instead of filling the file system, and fails; the
// small file beside it is installed.
TEST_F(FaultMatrixTest, FullFileSystemDuringADownloadKeepsTheOldCopy) {
  const std::string base = game_ + "/Base";
  mkdir(base.c_str(), 0755);
  const struct {
    const char* what;
    std::optional<HttpReply> big_reply;
  } cases[] = {
      {"file larger than the room (served)", std::nullopt},
      {"file larger than the room (announced)",
       HttpReply::Oversized(std::size_t{2} << 20)},
      {"endless body", HttpReply::Endless()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ScopedTmpfs tmpfs(base, "512k");
    if (!tmpfs.mounted()) {
      GTEST_SKIP() << "cannot mount a small tmpfs: " << tmpfs.error();
    }
    const std::map<std::string, std::string> files = {
        {"Base/big.png", RandomBytes(2 << 20, 21)},
        {"Base/small.png", "small new"},
    };
    Publish(files, 4009);
    server_.SetReply(kPlatformDir + "Base/big.png",
                     c.big_reply.value_or(HttpReply::Ok(files.at("Base/big.png"))));
    WriteLocal("Base/big.png", "old big");
    WriteLocal("Base/small.png", "old small");
    struct statvfs fs;
    ASSERT_EQ(statvfs(base.c_str(), &fs), 0);
    const std::uint64_t kept =
        std::min(std::uint64_t{fs.f_blocks} * fs.f_frsize / 100 *
                     kKeptFreePercent,
                 kMostKeptFreeBytes);
    const std::uint64_t room = std::uint64_t{fs.f_bavail} * fs.f_frsize - kept;
    RunOutcome run;
    {
      const ScopedFileSizeLimit limit(room + CURL_MAX_WRITE_SIZE);
      ASSERT_TRUE(limit.ok());
      run = RunCapturingConsole();
    }
    ExpectBigFileFailedWith(run, CURLE_FILESIZE_EXCEEDED);
    EXPECT_TRUE(Contains(console_, "CCurl: ./Base/big.png is larger than the " +
                                       std::to_string(room) +
                                       " bytes its file system can spare\n"))
        << console_;
    EXPECT_EQ(Local("Base/small.png"), "small new");
    EXPECT_NE(Local("App/version.txt"), ListText());
    ExpectNothingOutside();
    server_.ClearReply(kPlatformDir + "Base/big.png");
  }
}

// The same under a file size limit, in a child process (the limit would hit
// the test binary too): the first write beyond it fails with EFBIG.
TEST(FaultMatrixChildTest, FileSizeLimitDuringADownloadKeepsTheOldCopy) {
  TempDir outer, release, capture;
  const std::string game = outer / "game";
  for (const char* dir : {"", "/App", "/Logs", "/Base"}) {
    mkdir((game + dir).c_str(), 0755);
  }
  const std::string big = RandomBytes(1 << 20, 31);
  const std::string release_dir = release / "linux32-dedicated-demo";
  WriteFile(release_dir + "/Base/big.png", big);
  WriteFile(release_dir + "/Base/small.png", "small new");
  const std::string list =
      "version_file 4010\n./Base/big.png " + Md5Hex(big.data(), big.size()) +
      "\n./Base/small.png " + Md5Hex("small new", 9) + "\n";
  WriteFile(release_dir + "/App/version.txt", list);
  WriteFile(game + "/Base/big.png", "old big");
  WriteFile(game + "/Base/small.png", "old small");
  HttpTestServer server;
  server.ServeDirectory("/10/", release.path());

  ChildResult child = RunChild(UPDATE_RUNNER_PATH,
                               {"update_runner", server.Url("/10/"), "262144"},
                               game, capture.path());
  ASSERT_EQ(child.exit_code, 0) << child.err;
  EXPECT_TRUE(Contains(child.out,
                       "\nerror=1\nlasterror=Error downloading "
                       "./Base/big.png\nrestartrequired=0\n"))
      << child.out;
  EXPECT_TRUE(Contains(child.out, std::string("\nCURL Error: ") +
                                      curl_easy_strerror(CURLE_WRITE_ERROR)));
  EXPECT_TRUE(Contains(ReadFile(game + "/Logs/app.txt"),
                       "Error downloading ./Base/big.png\n"));
  EXPECT_EQ(ReadFile(game + "/Base/big.png"), "old big");
  EXPECT_EQ(ReadFile(game + "/Base/small.png"), "small new");
  EXPECT_TRUE(PathsEndingIn(game, ".tmp").empty());
  EXPECT_EQ(NamesIn(outer.path()), (std::set<std::string>{"game"}));

  // Without the limit the next run converges.
  child = RunChild(UPDATE_RUNNER_PATH, {"update_runner", server.Url("/10/")},
                   game, capture.path());
  EXPECT_TRUE(Contains(child.out, "\nerror=0\nlasterror=\n")) << child.out;
  EXPECT_TRUE(ReadFile(game + "/Base/big.png") == big);
  EXPECT_EQ(ReadFile(game + "/App/version.txt"), list);
}

// An empty list is a list without entries: nothing is fetched, every
// unlisted file of the moved kinds goes to "./old" (and comes back with the
// next real list), and the version file becomes the empty list.
// A server answering 200 with an empty body: the file is not a checksum list,
// so the data tree is neither relocated nor is the empty file installed.
TEST_F(FaultMatrixTest, EmptyListIsRefusedAndTouchesNothing) {
  PublishList("");
  WriteLocal("App/version.txt", "version_file 12\n./Base/a.png abc\n");
  WriteLocal("Base/a.png", "game data");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Invalid checksum list Downloads/App/version.txt");
  EXPECT_TRUE(Contains(run.log, "Not a checksum list"));
  EXPECT_EQ(Local("Base/a.png"), "game data");
  EXPECT_FALSE(LocalExists("old/Base/a.png"));
  EXPECT_EQ(server_.TotalRequestCount(), 1);
  EXPECT_EQ(Local("App/version.txt"), "version_file 12\n./Base/a.png abc\n");
  ExpectNothingOutside();

  // The next real list is applied as usual.
  Publish({{"Base/a.png", "new data"}}, 4011);
  run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("Base/a.png"), "new data");
  EXPECT_EQ(Local("App/version.txt"), ListText());
}

// 100,000 entries: 2,000 current files listed 50 times each (creating
// 100,000 files costs more than the run) and five stale files listed once.
// One pass of hashing and comparison fetches exactly the five.
TEST_F(FaultMatrixTest, HugeListFetchesOnlyTheStaleEntries) {
  constexpr int kCurrent = 2000;
  constexpr int kRepeats = 50;
  constexpr int kStale = 5;
  std::vector<std::string> current;
  for (int i = 0; i < kCurrent; ++i) {
    current.push_back("data/d" + std::to_string(i % 20) + "/f" +
                      std::to_string(i) + ".bin");
    WriteLocal(current.back(), "same " + std::to_string(i));
  }
  std::string list = "version_file 4012\n";
  list.reserve(60 * (kCurrent * kRepeats + kStale));
  for (int round = 0; round < kRepeats; ++round) {
    for (int i = 0; i < kCurrent; ++i) {
      const std::string content = "same " + std::to_string(i);
      list += "./" + current[i] + " " + Md5Hex(content.data(), content.size()) +
              "\n";
    }
    if (round % 10 == 0) {
      const std::string path = "data/stale" + std::to_string(round / 10);
      WriteLocal(path, "stale");
      WriteFile(ReleasePath(path), "fresh");
      list += "./" + path + " " + Md5Hex("fresh", 5) + "\n";
    }
  }
  PublishList(list);
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(run.lasterror, "");
  // The list, the file table beside it (asked once for patches of the
  // stale copies; there is none) and the stale files.
  EXPECT_EQ(Fetches("App/version.txt.files"), 1);
  EXPECT_EQ(server_.TotalRequestCount(), 2 + kStale);
  for (int i = 0; i < kStale; ++i) {
    EXPECT_EQ(Local("data/stale" + std::to_string(i)), "fresh");
  }
  EXPECT_TRUE(Local("App/version.txt") == list);
  run = Run();
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
  EXPECT_EQ(server_.TotalRequestCount(), 3 + kStale);
}

}  // namespace
