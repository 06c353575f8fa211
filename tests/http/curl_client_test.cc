#include "http/curl_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/md5.h"
#include "http/download_pipeline.h"
#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/random_bytes.h"
#include "support/scoped_starter.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

std::string CurlErrorLine(CURLcode code) {
  return std::string("\nCURL Error: ") + curl_easy_strerror(code) + "\n";
}

// A port on 127.0.0.1 that refuses connections: bound, never listening.
class RefusingPort {
 public:
  RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// A steady clock that moves only when the test moves it.
class ManualClock {
 public:
  DownloadPipeline::Clock clock() {
    return [this] {
      return std::chrono::steady_clock::time_point(
          std::chrono::hours(1000) + std::chrono::seconds(seconds_.load()));
    };
  }
  void Advance(std::chrono::seconds by) { seconds_ += by.count(); }

 private:
  std::atomic<long long> seconds_{0};
};

// What the downloads of one pipeline did: the console and each result.
struct PipelineRun {
  std::string console;
  std::vector<CURLcode> results;
};

class CurlClientTest : public ::testing::Test {
 protected:
  // Downloads `names` from the server's "/10/" directory into the current
  // directory, each at its turn, through one pipeline with `in_flight`
  // transfers and the update run's limit of 600 s (or `timeout_secs`) kept
  // with `clock`.
  PipelineRun DownloadInTurn(const std::vector<std::string>& names,
                             std::size_t in_flight,
                             DownloadPipeline::Clock clock,
                             int timeout_secs = 600) {
    std::vector<DownloadRequest> requests;
    for (const std::string& name : names) {
      requests.push_back(Request(name, timeout_secs));
    }
    DownloadPipeline pipeline(requests, in_flight, Spool(), nullptr,
                              std::move(clock));
    PipelineRun run;
    testing::internal::CaptureStdout();
    for (std::size_t i = 0; i < requests.size(); ++i) {
      run.results.push_back(pipeline.Download(requests[i], i).result);
    }
    run.console = testing::internal::GetCapturedStdout();
    return run;
  }
  std::string Path(const std::string& name) const { return "/10/" + name; }
  // The request of `name` from the server's "/10/" directory into the
  // current directory.
  DownloadRequest Request(const std::string& name, int timeout_secs,
                          const std::string& md5 = std::string()) const {
    DownloadRequest request;
    request.urldir = base_;
    request.filename = name;
    request.timeout_secs = timeout_secs;
    request.expected_md5 = md5;
    return request;
  }
  // Where the pipeline's transfers ahead keep their bytes: beside the
  // current directory, so that what they leave in it shows.
  std::string Spool() const { return spool_.path() + "/"; }

  // Downloads `filename` from the server's "/10/" directory with stdout
  // captured; returns what the client printed.
  std::string Download(CCurl& client, const char* filename,
                       const char* downloaddir = "", int timeout_secs = 10,
                       const std::string& md5 = std::string()) {
    testing::internal::CaptureStdout();
    client.DownloadFile(base_.c_str(), filename, downloaddir, timeout_secs,
                        md5);
    return testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
  TempDir spool_;
  ScopedCwd cwd_{dir_.path()};
  HttpTestServer server_;
  std::string base_ = server_.Url("/10/");
};

TEST_F(CurlClientTest, DownloadsBodyAndPrintsItsSteps) {
  server_.SetReply("/10/readme.txt", HttpReply::Ok("hello world\n"));
  CCurl client;
  std::string out = Download(client, "readme.txt");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_FALSE(client.restartrequired);
  EXPECT_EQ(ReadFile("readme.txt"), "hello world\n");
  EXPECT_FALSE(PathExists("readme.txt.tmp"));
  EXPECT_EQ(out, "Downloading " + base_ + "readme.txt...\nfile readme.txt\n");
}

TEST_F(CurlClientTest, DownloadsLargeAndEmptyBodiesExactly) {
  const std::string large = RandomBytes(6 * 1024 * 1024 + 17, 1);
  server_.SetReply("/10/large.bin", HttpReply::Ok(large));
  server_.SetReply("/10/empty.bin", HttpReply::Ok(""));
  WriteFile("empty.bin", "previous content");
  CCurl client;
  Download(client, "large.bin");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_TRUE(ReadFile("large.bin") == large);
  Download(client, "empty.bin");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_TRUE(PathExists("empty.bin"));
  EXPECT_EQ(ReadFile("empty.bin"), "");
}

TEST_F(CurlClientTest, CreatesDirectoriesBelowDownloadDir) {
  server_.SetReply("/10/a/b/c.txt", HttpReply::Ok("nested"));
  server_.SetReply("/10/a/b/d.txt", HttpReply::Ok("again"));
  server_.SetReply("/10/a/b/e.txt", HttpReply::Ok("through a file"));
  CCurl client;
  std::string out = Download(client, "a/b/c.txt", "Downloads");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("Downloads/a/b/c.txt"), "nested");
  EXPECT_FALSE(PathExists("Downloads/a/b/c.txt.tmp"));
  EXPECT_NE(out.find("file Downloads/a/b/c.txt\n"), std::string::npos);

  // The client knows the directories it made; removed behind its back, they
  // are made again as by a client that knew nothing.
  std::filesystem::remove_all("Downloads/a");
  Download(client, "a/b/d.txt", "Downloads");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("Downloads/a/b/d.txt"), "again");

  // A known directory turned into a regular file: the path through it
  // fails as it always did (its stale temporary file cannot even be looked
  // for), before any request.
  std::filesystem::remove_all("Downloads/a");
  WriteFile("Downloads/a", "a file where a directory was");
  const int requests = server_.TotalRequestCount();
  out = Download(client, "a/b/e.txt", "Downloads");
  EXPECT_EQ(client.result, 1);
  EXPECT_EQ(out, "CCurl: Remove failed Downloads/a/b/e.txt.tmp (err " +
                     std::to_string(ENOTDIR) + ")\n");
  EXPECT_EQ(server_.TotalRequestCount(), requests);
  EXPECT_EQ(ReadFile("Downloads/a"), "a file where a directory was");
}

TEST_F(CurlClientTest, DotSlashNameLandsBelowCurrentDirectory) {
  server_.SetReply("/10/Base/x.png", HttpReply::Ok("png"));
  CCurl client;
  std::string out = Download(client, "./Base/x.png");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("Base/x.png"), "png");
  EXPECT_EQ(server_.RequestCount("/10/Base/x.png"), 1);
  EXPECT_NE(out.find("Downloading " + base_ + "./Base/x.png...\n"),
            std::string::npos);
  EXPECT_NE(out.find("file ./Base/x.png\n"), std::string::npos);
}

TEST_F(CurlClientTest, ErrorStatusLeavesTargetAndNoTemporaryFile) {
  for (int status : {404, 500}) {
    SCOPED_TRACE(status);
    server_.SetReply("/10/data.bin", HttpReply::Status(status));
    WriteFile("data.bin", "old");
    CCurl client;
    std::string out = Download(client, "data.bin");
    EXPECT_EQ(client.result, CURLE_HTTP_RETURNED_ERROR);
    EXPECT_EQ(client.result, 22);
    EXPECT_EQ(ReadFile("data.bin"), "old");
    EXPECT_FALSE(PathExists("data.bin.tmp"));
    EXPECT_NE(out.find(CurlErrorLine(CURLE_HTTP_RETURNED_ERROR)),
              std::string::npos);
    EXPECT_EQ(out.find("file data.bin"), std::string::npos);
  }
}

TEST_F(CurlClientTest, RedirectIsNotFollowed) {
  server_.SetReply("/10/moved.txt",
                   HttpReply::Redirect(302, server_.Url("/10/real.txt")));
  server_.SetReply("/10/real.txt", HttpReply::Ok("real"));
  CCurl client;
  Download(client, "moved.txt");
  // A redirect is an answer below 400: its own body is what arrives.
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("moved.txt"), "moved\n");
  EXPECT_EQ(server_.RequestCount("/10/real.txt"), 0);
}

TEST_F(CurlClientTest, TruncatedBodyFailsAndKeepsTarget) {
  const std::string body = RandomBytes(200000, 2);
  server_.SetReply("/10/short.bin", HttpReply::ShortBody(body, 70000));
  server_.SetReply("/10/cut.bin", HttpReply::CloseMidBody(body, 70000));
  WriteFile("short.bin", "old");
  WriteFile("cut.bin", "old");
  CCurl client;
  Download(client, "short.bin");
  EXPECT_EQ(client.result, CURLE_PARTIAL_FILE);
  Download(client, "cut.bin");
  EXPECT_NE(client.result, CURLE_OK);
  for (const char* name : {"short.bin", "cut.bin"}) {
    EXPECT_EQ(ReadFile(name), "old") << name;
    EXPECT_FALSE(PathExists(std::string(name) + ".tmp")) << name;
  }
}

TEST_F(CurlClientTest, SlowServerIsCutOffAtTheTimeLimit) {
  server_.SetReply("/10/slow.bin",
                   HttpReply::SlowDrip(std::string(200, 'x'),
                                       std::chrono::milliseconds(50)));
  WriteFile("slow.bin", "old");
  CCurl client;
  std::string out = Download(client, "slow.bin", "", 1);
  EXPECT_EQ(client.result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(ReadFile("slow.bin"), "old");
  EXPECT_FALSE(PathExists("slow.bin.tmp"));
  EXPECT_NE(out.find(CurlErrorLine(CURLE_OPERATION_TIMEDOUT)),
            std::string::npos);
}

// Four 600 s transfers after a first file and a second that take 500 s each
// (the server holds their answers while the clock moves): the third file,
// larger than a prefetch, waits 1000 s for its turn with four in flight but
// still has its 600 s from its turn, as when the files are fetched one after
// another.
TEST_F(CurlClientTest, PipelineTimeLimitCountsFromEachFilesTurn) {
  const std::vector<std::string> names = {"a.bin", "b.bin", "c.bin", "d.bin"};
  std::map<std::string, std::string> bodies;
  for (std::size_t i = 0; i < names.size(); ++i) {
    bodies[names[i]] = RandomBytes(
        names[i] == "c.bin" ? 2 * DownloadPipeline::kPrefetchBytes : 1000,
        static_cast<unsigned>(i));
    server_.SetReply(Path(names[i]), HttpReply::Ok(bodies[names[i]]));
  }
  std::vector<PipelineRun> runs;
  for (std::size_t in_flight : {std::size_t{1}, std::size_t{4}}) {
    SCOPED_TRACE(in_flight);
    for (const std::string& name : names) WriteFile(name, "old");
    for (const char* held : {"a.bin", "b.bin", "c.bin"})
      server_.Hold(Path(held));
    ManualClock clock;
    // Each slow file's 500 s pass while it is the one whose turn it is:
    // after its request arrived and the file before it is in place.
    std::thread server_side([&] {
      const std::string* before = nullptr;
      for (const std::string& slow : {names[0], names[1]}) {
        server_.WaitForRequests(Path(slow), static_cast<int>(runs.size()) + 1);
        EXPECT_TRUE(before == nullptr || WaitUntil([&] {
                      return ReadFile(*before) == bodies[*before];
                    }));
        clock.Advance(std::chrono::seconds(500));
        server_.Release(Path(slow));
        before = &slow;
      }
      server_.Release(Path("c.bin"));
    });
    runs.push_back(DownloadInTurn(names, in_flight, clock.clock()));
    server_side.join();
    EXPECT_EQ(runs.back().results, std::vector<CURLcode>(4, CURLE_OK));
    for (const std::string& name : names) {
      EXPECT_EQ(ReadFile(name), bodies[name]) << name;
    }
    EXPECT_TRUE(PathsEndingIn(".", ".tmp").empty());
  }
  EXPECT_EQ(runs[1].console, runs[0].console);
}

// While the first file's answer is held, the second, larger than a
// prefetch, takes in its prefetch into its spool file and stops, writing
// nothing beside its target; every 20 s (of a clock the test moves) it
// takes in a little more, so that the server sees a reader, but never more
// than it may hold; at its turn it is completed.
TEST_F(CurlClientTest, PipelineTransferAheadStopsAfterItsPrefetch) {
  const std::size_t prefetch = DownloadPipeline::kPrefetchBytes;
  const std::string body = RandomBytes(8 * prefetch, 7);
  server_.SetReply(Path("a.bin"), HttpReply::Ok("first"));
  server_.SetReply(Path("b.bin"), HttpReply::Ok(body));
  server_.Hold(Path("a.bin"));
  ManualClock clock;
  const std::string spooled = Spool() + "b.bin";
  std::thread reader_side([&] {
    const auto size = [&] { return TemporarySizeOf(spooled); };
    // The prefetch arrives (less what the stream still buffers)...
    EXPECT_TRUE(WaitUntil([&] { return size() > off_t(prefetch - 65536); }));
    EXPECT_LE(size(), off_t(prefetch));
    // ...and a little more once the keep-alive interval has passed...
    clock.Advance(DownloadPipeline::kKeepAliveInterval);
    EXPECT_TRUE(WaitUntil([&] { return size() > off_t(prefetch); }));
    EXPECT_LE(size(), off_t(prefetch + DownloadPipeline::kKeepAliveBytes));
    // ...until it holds the most it may (less a chunk and what the stream
    // buffers), and never more.
    const off_t most = off_t(DownloadPipeline::kMostHeldBytes);
    const off_t nearly = most - 32768;
    for (int interval = 0; interval < 40 && size() < nearly; ++interval) {
      const off_t before = size();
      clock.Advance(DownloadPipeline::kKeepAliveInterval);
      EXPECT_TRUE(
          WaitUntil([&] { return size() > before || size() >= nearly; }));
      EXPECT_LE(size(), most);
    }
    EXPECT_GE(size(), nearly);
    clock.Advance(3 * DownloadPipeline::kKeepAliveInterval);
    EXPECT_LE(size(), most);
    // Nothing at or beside its target before its turn.
    for (const std::string& name : NamesIn(".")) {
      EXPECT_NE(name.rfind("b.bin", 0), 0u) << name;
    }
    server_.Release(Path("a.bin"));
  });
  // Without a time limit: the clock moves far.
  const PipelineRun run =
      DownloadInTurn({"a.bin", "b.bin"}, 2, clock.clock(), 0);
  reader_side.join();
  EXPECT_EQ(run.results, (std::vector<CURLcode>{CURLE_OK, CURLE_OK}));
  EXPECT_EQ(ReadFile("a.bin"), "first");
  EXPECT_EQ(ReadFile("b.bin"), body);
  EXPECT_EQ(NamesIn(spool_.path()), std::set<std::string>{});
}

// A transfer that failed ahead of its turn (its connection dropped while it
// waited after its prefetch) is made again alone: a transfer still running
// ahead beside it (here one whose answer the server holds, on the one
// connection it allows a client from then on) is dropped first and made
// again at its own turn. Every file arrives, and the console is that of one
// transfer at a time. From then on one transfer is in flight: a missing
// file is asked for at its turn once, after at most one request ahead that
// did not count (made while b.bin's failure had not shown yet).
TEST_F(CurlClientTest, PipelineMakesAFailedTransferAgainAlone) {
  const std::map<std::string, std::string> bodies = {
      {"a.bin", "first"},
      {"b.bin", RandomBytes(16 * DownloadPipeline::kPrefetchBytes, 11)},
      {"c.bin", "third"}};
  server_.SetReply(Path("a.bin"), HttpReply::Ok(bodies.at("a.bin")));
  server_.SetReply(Path("b.bin"),
                   HttpReply::DroppedWhenStalled(bodies.at("b.bin")));
  server_.SetReply(Path("c.bin"), HttpReply::Ok(bodies.at("c.bin")));
  using Other = HttpTestServer::OtherConnection;
  std::vector<PipelineRun> runs;
  for (std::size_t in_flight : {std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(in_flight);
    server_.AllowOneConnectionPerClient(Other::kServed);
    const int b_before = server_.RequestCount(Path("b.bin"));
    const int missing_before = server_.RequestCount(Path("missing.bin"));
    std::thread server_side;
    if (in_flight == 1) {
      server_.AllowOneConnectionPerClient(Other::kAnswered503);
    } else {
      server_.Hold(Path("a.bin"));
      server_.Hold(Path("c.bin"));
      server_side = std::thread([&] {
        // a.bin and c.bin wait for their answers, b.bin has stopped after
        // its prefetch: the server drops b.bin's stalled send and from now
        // on allows one connection, which c.bin's held answer takes.
        server_.WaitForRequests(Path("c.bin"),
                                static_cast<int>(runs.size()) + 1);
        EXPECT_TRUE(WaitUntil([&] {
          return TemporarySizeOf(Spool() + "b.bin") >=
                 off_t(DownloadPipeline::kPrefetchBytes - 65536);
        }));
        server_.AllowOneConnectionPerClient(Other::kAnswered503);
        EXPECT_EQ(server_.DropStalledSends(), 1);
        server_.Release(Path("a.bin"));
        server_.WaitForRequests(Path("b.bin"), b_before + 2);
        server_.Release(Path("c.bin"));
      });
    }
    runs.push_back(DownloadInTurn({"a.bin", "b.bin", "c.bin", "missing.bin"},
                                  in_flight, &std::chrono::steady_clock::now));
    if (server_side.joinable()) server_side.join();
    EXPECT_EQ(runs.back().results,
              (std::vector<CURLcode>{CURLE_OK, CURLE_OK, CURLE_OK,
                                     CURLE_HTTP_RETURNED_ERROR}));
    const int missing = server_.RequestCount(Path("missing.bin"));
    EXPECT_GE(missing - missing_before, 1);
    EXPECT_LE(missing - missing_before, in_flight > 1 ? 2 : 1);
    for (const auto& [name, body] : bodies) {
      EXPECT_TRUE(ReadFile(name) == body) << name;
    }
    EXPECT_TRUE(PathsEndingIn(".", ".tmp").empty());
  }
  EXPECT_EQ(runs[1].console, runs[0].console);
}

// A file whose answer does not come within 600 s of its turn ends as when
// libcurl's own limit ends it, whatever the number in flight, after one
// request: its 600 s cover every attempt, so an attempt beside others that
// used them up counts. The next file has its own 600 s.
TEST_F(CurlClientTest, PipelineTransferPastItsLimitEndsAsTimedOut) {
  server_.SetReply(Path("a.bin"), HttpReply::Ok("new a"));
  server_.SetReply(Path("b.bin"), HttpReply::Ok("new b"));
  std::vector<PipelineRun> runs;
  for (std::size_t in_flight : {std::size_t{1}, std::size_t{4}}) {
    SCOPED_TRACE(in_flight);
    WriteFile("a.bin", "old a");
    WriteFile("b.bin", "old b");
    server_.Hold(Path("a.bin"));
    ManualClock clock;
    const int before = server_.RequestCount(Path("a.bin"));
    // 601 s pass after each request for a.bin, until the downloads end.
    std::atomic<bool> done{false};
    std::thread server_side([&] {
      for (int seen = before;; ++seen) {
        WaitUntil(
            [&] { return done || server_.RequestCount(Path("a.bin")) > seen; });
        if (server_.RequestCount(Path("a.bin")) <= seen) return;
        clock.Advance(std::chrono::seconds(601));
      }
    });
    runs.push_back(
        DownloadInTurn({"a.bin", "b.bin"}, in_flight, clock.clock()));
    done = true;
    server_side.join();
    server_.Release(Path("a.bin"));
    // The limit covers every attempt: none is left for another.
    EXPECT_EQ(server_.RequestCount(Path("a.bin")) - before, 1);
    EXPECT_EQ(runs.back().results,
              (std::vector<CURLcode>{CURLE_OPERATION_TIMEDOUT, CURLE_OK}));
    EXPECT_NE(runs.back().console.find(CurlErrorLine(CURLE_OPERATION_TIMEDOUT)),
              std::string::npos)
        << runs.back().console;
    EXPECT_EQ(ReadFile("a.bin"), "old a");
    EXPECT_EQ(ReadFile("b.bin"), "new b");
    EXPECT_TRUE(PathsEndingIn(".", ".tmp").empty());
  }
  EXPECT_EQ(runs[1].console, runs[0].console);
}

// A file held to a speed floor, whatever the number in flight, while the
// clock moves 31 s at a time once its request has arrived: a body that
// trickles is cut as timed out after one request and says so, the target
// untouched; an answer held back before its status line (a cache fetching
// the file) is not cut, however long it waits, and arrives. The next file,
// without a floor, arrives either way. (No time limit: only the floor
// ends a transfer here.)
TEST_F(CurlClientTest, PipelineSpeedFloorCutsOnlyABodyThatTrickles) {
  const SpeedFloor floor{1024, std::chrono::seconds(30)};
  const std::string body = RandomBytes(4000, 21);
  const struct {
    const char* name;
    HttpReply reply;
    bool held;
    CURLcode result;
  } cases[] = {
      {"trickles",
       HttpReply::SlowDrip(body, std::chrono::milliseconds(100)), false,
       CURLE_OPERATION_TIMEDOUT},
      {"held before its answer", HttpReply::Ok(body), true, CURLE_OK},
  };
  server_.SetReply(Path("b.bin"), HttpReply::Ok("new b"));
  for (const auto& c : cases) {
    for (std::size_t in_flight : {std::size_t{1}, std::size_t{4}}) {
      SCOPED_TRACE(std::string(c.name) + ", in flight " +
                   std::to_string(in_flight));
      server_.SetReply(Path("a.bin"), c.reply);
      if (c.held) server_.Hold(Path("a.bin"));
      WriteFile("a.bin", "old a");
      WriteFile("b.bin", "old b");
      const int before = server_.RequestCount(Path("a.bin"));
      ManualClock clock;
      std::atomic<bool> done{false};
      std::thread server_side([&] {
        WaitUntil([&] {
          return done || server_.RequestCount(Path("a.bin")) > before;
        });
        // The held answer waits 5 x 31 s; the trickle has the clock move on
        // until it ends.
        for (int moved = 0; !done && (!c.held || moved < 5); ++moved) {
          clock.Advance(std::chrono::seconds(31));
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (c.held) server_.Release(Path("a.bin"));
      });
      std::vector<DownloadRequest> requests = {Request("a.bin", 0),
                                               Request("b.bin", 600)};
      requests[0].speed_floor = floor;
      DownloadPipeline pipeline(requests, in_flight, Spool(), nullptr,
                                clock.clock());
      testing::internal::CaptureStdout();
      const CURLcode a = pipeline.Download(requests[0], 0).result;
      done = true;
      const CURLcode b = pipeline.Download(requests[1], 1).result;
      const std::string console = testing::internal::GetCapturedStdout();
      server_side.join();
      EXPECT_EQ(a, c.result);
      EXPECT_EQ(b, CURLE_OK);
      EXPECT_EQ(server_.RequestCount(Path("a.bin")) - before, 1);
      const bool cut = c.result != CURLE_OK;
      EXPECT_EQ(ReadFile("a.bin"), cut ? "old a" : body);
      EXPECT_EQ(ReadFile("b.bin"), "new b");
      EXPECT_EQ(console.find("CCurl: a.bin came slower than 1024 bytes a "
                             "second over 30 s\n" +
                             CurlErrorLine(CURLE_OPERATION_TIMEDOUT)) !=
                    std::string::npos,
                cut)
          << console;
      EXPECT_TRUE(PathsEndingIn(".", ".tmp").empty());
    }
  }
}

// Every entry below the current directory with the bytes of its file (empty
// for anything else).
std::map<std::string, std::string> CurrentTree() {
  std::map<std::string, std::string> tree;
  for (const std::string& path : PathsEndingIn(".", "")) {
    tree[path] = ReadFile(path);
  }
  return tree;
}

// A file fetched at its turn by the pipeline, after a first file during
// whose transfer its own may run ahead, prints, reports and leaves on disk
// what the client's download of it does, however it ends.
TEST_F(CurlClientTest, PipelineTurnDoesWhatTheClientDoes) {
  server_.SetReply(Path("first.txt"), HttpReply::Ok("first"));
  server_.SetReply(Path("readme.txt"), HttpReply::Ok("hello world\n"));
  server_.SetReply(Path("data.bin"), HttpReply::Status(404));
  server_.SetReply(Path("OKU"), HttpReply::Ok("new binary"));
  server_.SetReply(Path("game.pak"), HttpReply::Ok("a mirror's error page"));
  server_.SetReply(Path("data"), HttpReply::Ok("new"));
  server_.SetReply(Path("sub/list.txt"), HttpReply::Ok("fresh"));
  server_.SetReply(Path("list.txt"), HttpReply::Ok("fresh"));
  const struct {
    const char* name;
    const char* md5;
    std::function<void()> arrange;
  } cases[] = {
      {"readme.txt", "", [] {}},
      {"data.bin", "", [] { WriteFile("data.bin", "old"); }},
      {"./OKU", "", [] { WriteFile("OKU", "old binary"); }},
      {"game.pak", "00000000000000000000000000000000", [] {}},
      {"data", "", [] { WriteFile("data/keep", "in the way"); }},
      {"sub/list.txt", "",
       [] { symlink("/nonexistent-starter-dir/x", "sub"); }},
      {"list.txt", "", [] { WriteFile("list.txt.tmp/inside", "in the way"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string client_console;
    DownloadOutcome client_outcome;
    std::map<std::string, std::string> client_tree;
    {
      TempDir dir;
      ScopedCwd cwd(dir.path());
      c.arrange();
      CCurl client;
      client_console = Download(client, c.name, "", 10, c.md5);
      client_outcome = {client.result, client.restartrequired};
      client_tree = CurrentTree();
    }
    TempDir dir;
    ScopedCwd cwd(dir.path());
    c.arrange();
    const std::vector<DownloadRequest> requests = {Request("first.txt", 10),
                                                   Request(c.name, 10, c.md5)};
    DownloadOutcome outcome;
    testing::internal::CaptureStdout();
    {
      DownloadPipeline pipeline(requests, 2, Spool(), nullptr);
      pipeline.Download(requests[0], 0);
      outcome = pipeline.Download(requests[1], 1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Downloading " + base_ + "first.txt...\nfile first.txt\n" +
                  client_console);
    EXPECT_EQ(outcome.result, client_outcome.result);
    EXPECT_EQ(outcome.restart_required, client_outcome.restart_required);
    std::map<std::string, std::string> tree = CurrentTree();
    EXPECT_EQ(tree.erase("first.txt"), 1u);
    EXPECT_EQ(tree, client_tree);
  }
}

TEST_F(CurlClientTest, ClosedPortFailsToConnect) {
  RefusingPort refusing;
  const std::string base =
      "http://127.0.0.1:" + std::to_string(refusing.port()) + "/10/";
  CCurl client;
  testing::internal::CaptureStdout();
  client.DownloadFile(base.c_str(), "a.txt", "", 5);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(client.result, CURLE_COULDNT_CONNECT);
  EXPECT_FALSE(PathExists("a.txt"));
  EXPECT_FALSE(PathExists("a.txt.tmp"));
  EXPECT_NE(out.find(CurlErrorLine(CURLE_COULDNT_CONNECT)), std::string::npos);
}

TEST_F(CurlClientTest, StaleTemporaryFileIsReplaced) {
  server_.SetReply("/10/list.txt", HttpReply::Ok("fresh"));
  WriteFile("Downloads/list.txt.tmp", "stale bytes from an earlier run");
  CCurl client;
  Download(client, "list.txt", "Downloads");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("Downloads/list.txt"), "fresh");
  EXPECT_FALSE(PathExists("Downloads/list.txt.tmp"));
}

TEST_F(CurlClientTest, UnremovableTemporaryFileStopsBeforeTransfer) {
  server_.SetReply("/10/list.txt", HttpReply::Ok("fresh"));
  WriteFile("list.txt.tmp/inside", "a directory in the way");
  CCurl client;
  std::string out = Download(client, "list.txt");
  EXPECT_EQ(client.result, 1);
  EXPECT_EQ(out, "CCurl: Remove failed list.txt.tmp (err " +
                     std::to_string(ENOTEMPTY) + ")\n");
  EXPECT_EQ(server_.TotalRequestCount(), 0);
  EXPECT_FALSE(PathExists("list.txt"));
}

TEST_F(CurlClientTest, UncreatableTemporaryFileStopsBeforeTransfer) {
  server_.SetReply("/10/sub/list.txt", HttpReply::Ok("fresh"));
  // "sub" leads nowhere, so its directory can be neither found nor made.
  ASSERT_EQ(symlink("/nonexistent-starter-dir/x", "sub"), 0);
  CCurl client;
  std::string out = Download(client, "sub/list.txt");
  EXPECT_EQ(client.result, 1);
  EXPECT_EQ(out, "CCurl: Failed to create file sub/list.txt (err: " +
                     std::to_string(ENOENT) + ")\n");
  EXPECT_EQ(server_.TotalRequestCount(), 0);
}

TEST_F(CurlClientTest, TwoDownloadsInARowAreIndependent) {
  server_.SetReply("/10/one.txt", HttpReply::Status(404));
  server_.SetReply("/10/two.txt", HttpReply::Ok("two"));
  server_.SetReply("/10/three.txt", HttpReply::Ok("three"));
  // The action the process had before any client: a handler of its own
  // (the test server's SIG_IGN is put back at the end).
  struct sigaction own {};
  own.sa_handler = [](int) {};
  struct sigaction server_action {};
  ASSERT_EQ(sigaction(SIGPIPE, &own, &server_action), 0);
  {
  CCurl client;
  // A peer that closes its connection does not end the process while a
  // client lives, set once for all its transfers.
  struct sigaction during {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &during), 0);
  EXPECT_EQ(during.sa_handler, SIG_IGN);
  EXPECT_TRUE(CurlGlobal::TransfersWithoutSignals());
  Download(client, "one.txt", "", 10);
  EXPECT_EQ(client.result, CURLE_HTTP_RETURNED_ERROR);
  Download(client, "two.txt", "", 10);
  EXPECT_EQ(client.result, CURLE_OK);
  Download(client, "three.txt", "Downloads", 10);
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("two.txt"), "two");
  EXPECT_EQ(ReadFile("Downloads/three.txt"), "three");
  for (const HttpRecordedRequest& request : server_.Requests()) {
    EXPECT_EQ(request.method, "GET");
  }
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGPIPE, &server_action, &after), 0);
  EXPECT_EQ(after.sa_handler, own.sa_handler);
}

TEST_F(CurlClientTest, ClientWithoutHandleFailsWithBadArgument) {
  server_.SetReply("/10/a.txt", HttpReply::Ok("a"));
  CCurl client;
  // As if curl_easy_init() had failed: the global set-up stays balanced.
  curl_easy_cleanup(client.curl);
  client.curl = nullptr;
  std::string out = Download(client, "a.txt");
  EXPECT_EQ(client.result, CURLE_BAD_FUNCTION_ARGUMENT);
  EXPECT_EQ(client.result, 43);
  EXPECT_FALSE(PathExists("a.txt"));
  EXPECT_FALSE(PathExists("a.txt.tmp"));
  EXPECT_EQ(server_.TotalRequestCount(), 0);
  EXPECT_NE(out.find(CurlErrorLine(CURLE_BAD_FUNCTION_ARGUMENT)),
            std::string::npos);
}

TEST_F(CurlClientTest, WrongMd5LeavesTargetUntouched) {
  server_.SetReply("/10/game.pak", HttpReply::Ok("an error page of a mirror"));
  WriteFile("game.pak", "old");
  const std::string expected = Md5Hex("real content", 12);
  const std::string received = Md5Hex("an error page of a mirror", 25);
  CCurl client;
  std::string out = Download(client, "game.pak", "", 10, expected);
  EXPECT_EQ(client.result, 1);
  EXPECT_EQ(ReadFile("game.pak"), "old");
  EXPECT_FALSE(PathExists("game.pak.tmp"));
  EXPECT_NE(out.find("CCurl: MD5 mismatch for game.pak: expected " + expected +
                     ", received " + received + "\n"),
            std::string::npos)
      << out;
}

TEST_F(CurlClientTest, MatchingMd5IsInstalledInAnyCase) {
  server_.SetReply("/10/game.pak", HttpReply::Ok("real content"));
  std::string upper = Md5Hex("real content", 12);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  CCurl client;
  Download(client, "game.pak", "", 10, upper);
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_EQ(ReadFile("game.pak"), "real content");
}

TEST_F(CurlClientTest, PublishesFileNameInStarterDuringTransfer) {
  ScopedStarter starter;
  StarterSharedState& state = starter.state;
  std::mutex mutex;
  std::string seen;
  server_.SetHandler("/10/a.txt",
                     [&](const httplib::Request&, httplib::Response& response) {
                       std::lock_guard<std::mutex> lock(mutex);
                       seen = state.download_file;
                       response.set_content("a", "text/plain");
                     });
  server_.SetReply("/10/b.txt", HttpReply::Status(404));
  CCurl client;
  Download(client, "a.txt");
  EXPECT_EQ(client.result, CURLE_OK);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, "a.txt");
  }
  EXPECT_EQ(state.download_file, "");
  Download(client, "b.txt");
  EXPECT_NE(client.result, CURLE_OK);
  EXPECT_EQ(state.download_file, "");
}

TEST_F(CurlClientTest, ReplacedExecutableAsksForRestartOnce) {
  server_.SetReply("/10/OKU", HttpReply::Ok("new binary"));
  server_.SetReply("/10/readme.txt", HttpReply::Ok("text"));
  WriteFile("OKU", "old binary");
  CCurl client;
  std::string out = Download(client, "./OKU");
  EXPECT_EQ(client.result, CURLE_OK);
  EXPECT_TRUE(client.restartrequired);
  EXPECT_EQ(ReadFile("OKU"), "new binary");
  EXPECT_EQ(ReadFile("OKU.tmp2"), "old binary");
  EXPECT_NE(out.find("file ./OKU\nEXECUTABLE ./OKU\nRenaming ./OKU\n"
                     "UPDATED EXECUTABLE\n"),
            std::string::npos);
  Download(client, "readme.txt");
  EXPECT_FALSE(client.restartrequired);
}

TEST_F(CurlClientTest, FailedInstallationReportsOne) {
  server_.SetReply("/10/data", HttpReply::Ok("new"));
  WriteFile("data/keep", "a directory where the file should go");
  CCurl client;
  std::string out = Download(client, "data");
  EXPECT_EQ(client.result, 1);
  EXPECT_EQ(ReadFile("data.tmp"), "new");
  EXPECT_EQ(ReadFile("data/keep"), "a directory where the file should go");
  EXPECT_NE(out.find("Move failed data (err "), std::string::npos) << out;
}

// The bytes fit in the stream's buffer, so the write callback succeeds and
// only the final flush meets the file size limit: that must still fail.
// The limit is set in this process: a forked child could inherit a lock
// that one of the server's threads held at the fork.
TEST_F(CurlClientTest, FileIncompleteOnDiskIsNotInstalled) {
  server_.SetReply("/10/data.bin", HttpReply::Ok(RandomBytes(3000, 3)));
  WriteFile("data.bin", "old");
  CCurl client;
  {
    ScopedFileSizeLimit limit(2048);
    ASSERT_TRUE(limit.ok());
    Download(client, "data.bin");
  }
  EXPECT_EQ(client.result, CURLE_WRITE_ERROR);
  EXPECT_EQ(ReadFile("data.bin"), "old");
  EXPECT_FALSE(PathExists("data.bin.tmp"));
}

TEST(WriteDataToFileTest, WritesWholeChunksAndRefusesTheRest) {
  TempDir dir;
  FILE* file = std::fopen((dir / "out").c_str(), "w+b");
  ASSERT_NE(file, nullptr);
  filedata data{"out", file};
  char chunk[] = "abcdef";
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 6, &data), 6u);
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 0, &data), 0u);
  filedata closed{"out", nullptr};
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 6, &closed), 0u);
  // A transfer ahead of its turn: a chunk within the allowance is written,
  // the one that would exceed it pauses the transfer and writes nothing;
  // at the turn every chunk is written.
  PrefetchGate gate{true, 8};
  filedata gated{"out", file, nullptr, nullptr, &gate};
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 6, &gated), 6u);
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 6, &gated),
            static_cast<size_t>(CURL_WRITEFUNC_PAUSE));
  gate.ahead = false;
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 6, &gated), 6u);
  std::fclose(file);
  EXPECT_EQ(ReadFile(dir / "out"), "abcdefabcdefabcdef");

  // An unbuffered stream on a full device: the short write aborts.
  FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  filedata no_space{"/dev/full", full};
  EXPECT_EQ(CCurl::write_data_to_file(chunk, 1, 6, &no_space), 0u);
  std::fclose(full);
}

TEST(FopenMkdirTest, CreatesDirectoriesFromTheFourthCharacterOn) {
  const struct {
    const char* name;
    bool opens;
    const char* directory;  // a directory that must exist afterwards, or ""
  } cases[] = {
      {"Downloads/list.txt", true, "Downloads"},
      {"./Base/x.png", true, "Base"},
      {"./Base/deep/er/x.png", true, "Base/deep/er"},
      {"abc/def/x.txt", true, "abc/def"},
      // A backslash ends a directory name as a "/" does.
      {"abc\\def/x.txt", true, "abc\\def"},
      // Separators at indices 0 to 2 make no directory.
      {"ab/x.txt", false, ""},
      {"a/b/x.txt", false, ""},
      {"plain.txt", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScopedCwd cwd(dir.path());
    FILE* file = fopen_mkdir(c.name, "wb");
    EXPECT_EQ(file != nullptr, c.opens);
    if (file != nullptr) std::fclose(file);
    if (c.directory[0] != '\0') {
      struct stat st;
      ASSERT_EQ(stat(c.directory, &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
  }
}

}  // namespace
