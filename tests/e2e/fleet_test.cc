// A fleet of game directories behind an edge cache in front of the origin:
// two real nginx processes, each in Debian's stock layout with a shipped
// file of packaging/nginx/ in its conf.d/ beside the enabled default site,
// the real starter in every directory, releases switched in one step.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/md5.h"
#include "nginx_server.h"
#include "python_http_server.h"
#include "support/child_process.h"
#include "support/list_signing.h"
#include "support/random_bytes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "support/wait_until.h"

namespace {

constexpr char kPlatformDir[] = "/10/linux32-dedicated-demo/";
constexpr char kList[] = "App/version.txt";
// Game directories that update at once.
constexpr int kFleetSize = 12;

using Files = std::map<std::string, std::string>;

std::string Md5Of(const std::string& bytes) {
  return Md5Hex(bytes.data(), bytes.size());
}

// root/origin is the origin's root; its release directory
// root/origin/10/linux32-dedicated-demo is what the publishing tool makes of
// it (a link to the served release beside it); root/trees/N are the trees
// it publishes.
class FleetTest : public ::testing::Test {
 protected:
  // Two hosts as Debian sets up nginx, the edge's and the origin's, each
  // with the shipped file in conf.d/ beside the enabled default site; nginx
  // -t passes both without a warning, and both serve.
  void SetUp() override {
    // Run as root, nginx's workers are Debian's www-data, who must reach
    // the served files and the cache below this directory.
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(RunShell("mkdir -p '" + root / "origin/10" + "' && python3 '" +
                       NGINX_FLEET_CONFIG "' '" NGINX_PACKAGING_DIR "' '" +
                       root / "conf" + "' '" + root / "origin" + "'"),
              0);
    std::map<std::string, int> ports;
    std::istringstream in(ReadFile(root / "conf/ports"));
    for (std::string name; in >> name;) in >> ports[name];
    ASSERT_NE(ports["edge"], 0);
    ASSERT_NE(ports["origin"], 0);
    origin = std::make_unique<NginxServer>(root / "conf/origin", ports["origin"]);
    edge = std::make_unique<NginxServer>(root / "conf/edge", ports["edge"]);
    for (NginxServer* host : {origin.get(), edge.get()}) {
      std::string report;
      ASSERT_TRUE(host->Check(report)) << report;
      EXPECT_TRUE(Contains(report, "test is successful")) << report;
      EXPECT_EQ(UnexpectedWarnings(report), "") << report;
    }
    std::string why;
    ASSERT_TRUE(origin->Start(why)) << why;
    ASSERT_TRUE(edge->Start(why)) << why;
  }

  // The lines of nginx -t's `report` that warn or fail, but for the one a
  // test run without root always gets (the stock "user" line).
  static std::string UnexpectedWarnings(const std::string& report) {
    std::string unexpected;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
      if (!Contains(line, "[warn]") && !Contains(line, "[emerg]") &&
          !Contains(line, "[alert]")) {
        continue;
      }
      if (geteuid() != 0 &&
          Contains(line, "the \"user\" directive makes sense only if the "
                         "master process runs with super-user privileges")) {
        continue;
      }
      unexpected += line + "\n";
    }
    return unexpected;
  }

  // Publishes `files` (path below the game directory to content) as the
  // next release with the publishing tool: staged beside the served
  // directory with its checksum list (signed when the starter checks
  // signatures), then switched to in one rename. Returns the list.
  std::string Publish(const Files& files) {
    const std::string tree = root / ("trees/" + std::to_string(++releases_));
    for (const auto& [path, content] : files) {
      WriteFile(tree + "/" + path, content);
    }
    const std::string sign = kStarterChecksSignatures
                                 ? "--sign '" + TestPrivateKeyPath() + "' "
                                 : std::string();
    const std::string served = root / "origin/10/linux32-dedicated-demo";
    EXPECT_EQ(RunShell("'" PUBLISH_TOOL_PATH "' " + sign + "'" + tree +
                       "' '" + served + "' > /dev/null"),
              0);
    return ReadFile(served + "/" + kList);
  }

  // A game directory holding the starter.
  std::string MakeGame(const std::string& name) {
    const std::string game = root / ("games/" + name);
    EXPECT_EQ(
        RunShell("mkdir -p '" + game + "' && cp '" STARTER_BINARY_PATH "' '" +
                 game + "/DUdavi'"),
        0);
    return game;
  }

  // Runs "./DUdavi onlyautoupdate" in every game directory at once, with
  // STARTER_UPDATE_URL `urls`, and waits for every run.
  std::vector<ChildResult> UpdateAtOnce(const std::vector<std::string>& games,
                                        const std::string& urls) {
    const ScopedEnv update_url("STARTER_UPDATE_URL", urls);
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (const std::string& game : games) {
      runs.push_back(std::make_unique<ChildProcess>(
          game + "/DUdavi",
          std::vector<std::string>{"./DUdavi", "onlyautoupdate"}, game,
          capture.path()));
    }
    std::vector<ChildResult> results;
    for (auto& run : runs) results.push_back(run->Wait(300));
    return results;
  }

  // Every run ended normally without a failed step, and its directory holds
  // exactly the release `files` with `list` as its version file.
  void ExpectConverged(const std::vector<std::string>& games,
                       const std::vector<ChildResult>& runs, const Files& files,
                       const std::string& list) {
    for (std::size_t i = 0; i < games.size(); ++i) {
      SCOPED_TRACE(games[i]);
      const std::string log = ReadFile(games[i] + "/Logs/app.txt");
      EXPECT_EQ(runs[i].exit_code, 0) << runs[i].err;
      EXPECT_FALSE(Contains(log, "Error")) << log;
      EXPECT_TRUE(ReadFile(games[i] + "/" + kList) == list);
      for (const auto& [path, content] : files) {
        EXPECT_TRUE(ReadFile(games[i] + "/" + path) == content) << path;
      }
    }
  }

  // The origin's access log: one line per request, "PATH STATUS BYTES
  // RELEASE" (the release a file request named, "-" for none).
  std::vector<std::string> OriginRequests() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(root / "conf/origin/access.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Waits until the origin has logged `count` requests in all.
  void WaitForOriginRequests(std::size_t count) const {
    EXPECT_TRUE(WaitUntil([&] { return OriginRequests().size() >= count; }))
        << OriginRequests().size() << " of " << count;
  }
  // The number of lines of the origin's log for `path` (below the release
  // directory), whole lines compared with "PATH 200 BYTES RELEASE".
  int OriginBodies(const std::string& path, const std::string& content,
                   const std::string& release) const {
    const std::string expected = kPlatformDir + path + " 200 " +
                                 std::to_string(content.size()) + " " + release;
    int count = 0;
    for (const std::string& line : OriginRequests()) count += line == expected;
    return count;
  }
  // Requests the origin logged for paths that are neither the list nor its
  // signature or release statement (the file table is a file of its
  // release).
  int OriginFileRequests() const {
    int count = 0;
    for (const std::string& line : OriginRequests()) {
      count += !line.starts_with(std::string(kPlatformDir) + kList + " ") &&
               !line.starts_with(std::string(kPlatformDir) + kList + ".sig ") &&
               !line.starts_with(std::string(kPlatformDir) + kList +
                                 ".release ");
    }
    return count;
  }
  // The requests one update run makes for its list (and signature and
  // release statement).
  static int ListRequestsPerRun() { return kStarterChecksSignatures ? 3 : 1; }
  // The file requests beside its listed files of an update of `servers` to
  // the release served, at once: with a key, its file table, once (the edge
  // keeps it); without one, the table each server asks for to find patches
  // of the old copies it holds (none in a first install): once when the
  // release has one, else one 404 each (the edge stores no error answer).
  int TableRequests(std::size_t servers, bool old_copies) const {
    if (kStarterChecksSignatures) return 1;
    if (!old_copies) return 0;
    const std::string table =
        root / ("origin" + std::string(kPlatformDir) + kList + ".files");
    return PathExists(table) ? 1 : static_cast<int>(servers);
  }

  // One GET of `url` by curl with the header `header` ("" for none):
  // "STATUS BYTES" and the body in `body` (and, when asked for, the value of
  // the answer's Cache-Control in `cache_control`).
  std::string Get(const std::string& url, const std::string& header,
                  std::string& body, std::string* cache_control = nullptr) {
    const std::string out = capture / "get.body";
    const std::string meta = capture / "get.meta";
    const std::string headers = capture / "get.headers";
    EXPECT_EQ(RunShell("curl -s -g -o '" + out + "' -D '" + headers +
                       "' -w '%{http_code} %{size_download}' " +
                       (header.empty() ? "" : "-H '" + header + "' ") + "'" +
                       url + "' > '" + meta + "'"),
              0);
    body = ReadFile(out);
    if (cache_control != nullptr) {
      cache_control->clear();
      std::istringstream in(ReadFile(headers));
      for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Cache-Control: ")) {
          *cache_control = line.substr(15, line.find_last_not_of("\r") - 14);
        }
      }
    }
    return ReadFile(meta);
  }
  // Bytes below the edge's cache directory.
  long long EdgeCacheBytes() const {
    long long bytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             root / "conf/edge/var/lib/nginx/starter-updates", error)) {
      if (entry.is_regular_file(error)) bytes += entry.file_size(error);
    }
    return bytes;
  }
  // Points the served directory at its release `n` by hand, in one rename.
  void ServeByHand(int n) {
    const std::string served = root / "origin/10/linux32-dedicated-demo";
    ASSERT_EQ(RunShell("ln -sfn linux32-dedicated-demo.releases/release-" +
                       std::to_string(n) + " '" + served + ".next' && mv -T '" +
                       served + ".next' '" + served + "'"),
              0);
  }
  // The body bytes the origin sent for the logged requests from `from` on.
  long long OriginBodyBytesFrom(std::size_t from) const {
    long long bytes = 0;
    const std::vector<std::string> lines = OriginRequests();
    for (std::size_t i = from; i < lines.size(); ++i) {
      std::istringstream in(lines[i]);
      std::string path, status;
      long long sent = 0;
      in >> path >> status >> sent;
      bytes += sent;
    }
    return bytes;
  }

  TempDir root;
  TempDir capture;
  std::unique_ptr<NginxServer> origin;
  std::unique_ptr<NginxServer> edge;

 private:
  int releases_ = 0;
};

const Files kReleaseA = {
    {"Base/motd.txt", "Welcome to release A\n"},
    {"Base/data/a.bin", RandomBytes(300000, 1)},
    {"Base/data/b.bin", RandomBytes(120000, 2)},
    {"Base/data/c.bin", RandomBytes(60000, 3)},
    {"Base/data/d.xml", RandomBytes(20000, 4)},
};
// After A: a.bin changed (same size), c.bin changed, d.xml gone (it is
// moved to ./old), e.xml new.
const Files kReleaseB = {
    {"Base/motd.txt", "Welcome to release B\n"},
    {"Base/data/a.bin", RandomBytes(300000, 11)},
    {"Base/data/b.bin", RandomBytes(120000, 2)},
    {"Base/data/c.bin", RandomBytes(70000, 13)},
    {"Base/data/e.xml", RandomBytes(25000, 14)},
};

// Release A, then release B published the moment A's runs have ended: every
// server reaches each release in one run, each file leaves the origin once
// per release (the lists every run), and while the origin is down the edge
// still brings a server that lagged behind to the release it holds.
TEST_F(FleetTest, EveryServerConvergesWithOneOriginBodyPerFileAndRelease) {
  std::vector<std::string> fleet;
  for (int i = 0; i < kFleetSize; ++i) {
    fleet.push_back(MakeGame("server" + std::to_string(i)));
  }
  const std::string laggard = MakeGame("laggard");
  std::vector<std::string> fleet_and_laggard = fleet;
  fleet_and_laggard.push_back(laggard);

  const std::string list_a = Publish(kReleaseA);
  const std::string release_a = Md5Of(list_a);
  ExpectConverged(fleet_and_laggard,
                  UpdateAtOnce(fleet_and_laggard, edge->Url("/10/")), kReleaseA,
                  list_a);
  const int tables_a = TableRequests(fleet_and_laggard.size(), false);
  WaitForOriginRequests(fleet_and_laggard.size() * ListRequestsPerRun() +
                        kReleaseA.size() + tables_a);
  for (const auto& [path, content] : kReleaseA) {
    EXPECT_EQ(OriginBodies(path, content, release_a), 1) << path;
  }
  EXPECT_EQ(OriginFileRequests(),
            static_cast<int>(kReleaseA.size()) + tables_a);
  EXPECT_EQ(OriginBodies(kList, list_a, "-"),
            static_cast<int>(fleet_and_laggard.size()));
  if (kStarterChecksSignatures) {
    // The file table left the origin once, gzipped: in fewer bytes than it
    // has, and every server took it.
    const std::string table = ReadFile(
        root / ("origin" + std::string(kPlatformDir) + kList + ".files"));
    const std::string logged =
        std::string(kPlatformDir) + kList + ".files 200 ";
    int tables = 0;
    for (const std::string& line : OriginRequests()) {
      if (!line.starts_with(logged)) continue;
      ++tables;
      EXPECT_LT(std::stoul(line.substr(logged.size())), table.size()) << line;
    }
    EXPECT_EQ(tables, 1);
  }

  const std::size_t before_b = OriginRequests().size();
  const std::string list_b = Publish(kReleaseB);
  const std::string release_b = Md5Of(list_b);
  ExpectConverged(fleet, UpdateAtOnce(fleet, edge->Url("/10/")), kReleaseB,
                  list_b);
  const std::vector<std::string> changed = {
      "Base/motd.txt", "Base/data/a.bin", "Base/data/c.bin", "Base/data/e.xml"};
  const int tables_b = TableRequests(fleet.size(), true);
  WaitForOriginRequests(before_b + fleet.size() * ListRequestsPerRun() +
                        changed.size() + tables_b);
  for (const std::string& path : changed) {
    EXPECT_EQ(OriginBodies(path, kReleaseB.at(path), release_b), 1) << path;
  }
  EXPECT_EQ(OriginFileRequests(),
            static_cast<int>(kReleaseA.size() + changed.size()) + tables_a +
                tables_b);
  for (const std::string& game : fleet) {
    EXPECT_TRUE(ReadFile(game + "/old/Base/data/d.xml") ==
                kReleaseA.at("Base/data/d.xml"));
  }

  // The origin goes down: the edge answers the list and the files of B it
  // holds.
  origin->Stop();
  const std::vector<ChildResult> late =
      UpdateAtOnce({laggard}, edge->Url("/10/"));
  ExpectConverged({laggard}, late, kReleaseB, list_b);
}

// Every name the publisher takes arrives under its own name through the
// edge, the origin and python3 -m http.server alike: punctuation a URL
// carries as written, and UTF-8 beyond ASCII.
TEST_F(FleetTest, EveryNameThePublisherTakesArrivesThroughEachServer) {
  Files odd;
  int i = 0;
  for (const char* name :
       {"plus+sign", "semi;colon", "quote\"d", "angle<d>", "brace{d}",
        "pipe|d", "caret^d", "bracket[d]", "back`tick", "apostrophe'd",
        "tilde~d", "amp&eq=d", "bang!d", "star*d", "paren(d)", "comma,d",
        "at@d", "dollar$d", "colon:d", "equals=d", "caf\xc3\xa9",
        "\xe6\x97\xa5\xe6\x9c\xac", "dots...d", "-dash", "_under"}) {
    odd[std::string("Base/odd/") + name + ".txt"] = "file " + std::to_string(++i);
  }
  const std::string list = Publish(odd);
  ASSERT_FALSE(list.empty());
  PythonHttpServer python(root / "origin");
  ASSERT_NE(python.port(), 0);
  const std::map<std::string, std::string> servers = {
      {"edge", edge->Url("/10/")},
      {"origin", origin->Url("/10/")},
      {"python", python.Url("/10/")}};
  for (const auto& [label, url] : servers) {
    SCOPED_TRACE(label);
    const std::string game = MakeGame(label);
    ExpectConverged({game}, UpdateAtOnce({game}, url), odd, list);
  }
}

// The requests of runs that fetched release A's list and asked for its
// files after the switch to B get A's files, through the edge as from the
// origin, so the edge holds A's bodies under A's key: when the served
// directory is switched back to A by hand, every server converges in one
// run, and no body of A leaves the origin again.
TEST_F(FleetTest, RunsAcrossASwitchGetTheirOwnReleaseAndASwitchBackConverges) {
  const std::string list_a = Publish(kReleaseA);
  const std::string release_a = Md5Of(list_a);
  const std::string list_b = Publish(kReleaseB);
  ASSERT_NE(list_a, list_b);
  // What a run on A's list asks for once B is served: A's files, named by
  // A's list. Asked twice through the edge (a miss, then the cache) and
  // once at the origin.
  for (const auto& [path, content] : kReleaseA) {
    SCOPED_TRACE(path);
    for (const std::string& url :
         {edge->Url(kPlatformDir + path), edge->Url(kPlatformDir + path),
          origin->Url(kPlatformDir + path)}) {
      std::string body;
      EXPECT_EQ(Get(url, "X-Checksum-List-MD5: " + release_a, body),
                "200 " + std::to_string(content.size()));
      EXPECT_TRUE(body == content);
    }
  }
  WaitForOriginRequests(2 * kReleaseA.size());
  const std::size_t before_back = OriginRequests().size();

  ServeByHand(1);
  std::vector<std::string> fleet;
  for (int i = 0; i < 6; ++i) {
    fleet.push_back(MakeGame("server" + std::to_string(i)));
  }
  ExpectConverged(fleet, UpdateAtOnce(fleet, edge->Url("/10/")), kReleaseA,
                  list_a);
  WaitForOriginRequests(before_back + fleet.size() * ListRequestsPerRun() +
                        TableRequests(fleet.size(), false));
  for (const auto& [path, content] : kReleaseA) {
    EXPECT_EQ(OriginBodies(path, content, release_a), 2) << path;
  }
}

// A file request that names no kept release gets 404, one whose header is
// malformed 400, both with an empty body and never stored by the edge: 200
// random release values for a 1 MiB file cost the origin no body and the
// edge no space. Without the header the served release answers.
TEST_F(FleetTest, UnknownReleasesCostTheOriginNoBodyAndTheEdgeNoSpace) {
  const Files big = {{"Base/big.pak", RandomBytes(1 << 20, 21)}};
  Publish(big);
  const std::string url = edge->Url(std::string(kPlatformDir) + "Base/big.pak");
  std::string body;
  ASSERT_EQ(Get(url, "", body), "200 1048576");
  WaitForOriginRequests(1);
  const std::size_t before = OriginRequests().size();
  const long long cache_before = EdgeCacheBytes();
  for (int i = 0; i < 200; ++i) {
    const std::string random = RandomBytes(16, 1000 + i);
    EXPECT_EQ(Get(url, "X-Checksum-List-MD5: " + Md5Of(random), body), "404 0");
  }
  for (const std::string& bad :
       {std::string(32, 'A'), std::string(31, 'a'), std::string("release-1"),
        std::string(33, '0')}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Get(url, "X-Checksum-List-MD5: " + bad, body), "400 0");
    EXPECT_EQ(Get(origin->Url(std::string(kPlatformDir) + "Base/big.pak"),
                  "X-Checksum-List-MD5: " + bad, body),
              "400 0");
  }
  WaitForOriginRequests(before + 204);
  const long long origin_bytes = OriginBodyBytesFrom(before);
  const long long cache_growth = EdgeCacheBytes() - cache_before;
  std::printf("200 random release values: origin body bytes %lld, edge cache "
              "growth %lld bytes\n",
              origin_bytes, cache_growth);
  EXPECT_EQ(origin_bytes, 0);
  EXPECT_EQ(cache_growth, 0);
  // The served release still answers a request without the header.
  EXPECT_EQ(Get(url, "", body), "200 1048576");
  EXPECT_TRUE(body == big.at("Base/big.pak"));
}

// A release's patch, named after the two contents it joins, is answered by
// the release a request names, as immutable: through the edge a second
// request is a hit (one body from the origin for both), a request naming
// the release before (which has no such patch) or no release gets the
// served one's answer or an empty 404 that no cache keeps, and a patch
// request by its release still works once another release is served.
TEST_F(FleetTest, APatchLeavesTheOriginOnceAndIsCachedByItsName) {
  const std::string pack_a = RandomBytes(256 << 10, 51);
  std::string pack_b = pack_a;
  pack_b.replace(1000, 64, RandomBytes(64, 52));
  pack_b.replace(200000, 64, RandomBytes(64, 53));
  const std::string release_a =
      Md5Of(Publish({{"Base/pack.pak", pack_a}, {"Base/motd.txt", "A\n"}}));
  const std::string release_b =
      Md5Of(Publish({{"Base/pack.pak", pack_b}, {"Base/motd.txt", "B\n"}}));
  const std::string name = Md5Of(pack_a) + "-" + Md5Of(pack_b);
  const std::string path = std::string(kPlatformDir) + ".patches/" + name;
  const std::string patch = ReadFile(root / ("origin" + path));
  ASSERT_FALSE(patch.empty());
  ASSERT_LT(2 * patch.size(), pack_b.size());
  const std::string size = std::to_string(patch.size());
  const std::size_t before = OriginRequests().size();
  const std::string immutable = "public, max-age=31536000, immutable";
  std::string body, cache_control;
  const struct {
    const char* label;
    std::string url;
    std::string header;
    std::string answer;
    std::string cache_control;
  } requests[] = {
      {"the edge, a miss", edge->Url(path), "X-Checksum-List-MD5: " + release_b,
       "200 " + size, immutable},
      {"the edge, a hit", edge->Url(path), "X-Checksum-List-MD5: " + release_b,
       "200 " + size, immutable},
      {"the edge, the same name without a release", edge->Url(path), "",
       "200 " + size, immutable},
      {"the origin, by release", origin->Url(path),
       "X-Checksum-List-MD5: " + release_b, "200 " + size, immutable},
      {"the origin, the served release", origin->Url(path), "", "200 " + size,
       immutable},
      {"the origin, a release without it", origin->Url(path),
       "X-Checksum-List-MD5: " + release_a, "404 0", "no-cache"},
      {"the origin, a patch no release has",
       origin->Url(std::string(kPlatformDir) + ".patches/" + Md5Of("x") + "-" +
                   Md5Of("y")),
       "", "404", "no-cache"},
  };
  for (const auto& r : requests) {
    SCOPED_TRACE(r.label);
    // "404" alone: nginx's own page for a file the served release lacks.
    const std::string answer = Get(r.url, r.header, body, &cache_control);
    EXPECT_EQ(r.answer == "404" ? answer.substr(0, 3) : answer, r.answer);
    EXPECT_EQ(cache_control, r.cache_control);
    if (r.answer.starts_with("200")) {
      EXPECT_TRUE(body == patch);
    }
  }
  // The three edge requests cost the origin one body; the four origin
  // requests were answered there.
  WaitForOriginRequests(before + 5);
  EXPECT_EQ(OriginRequests().size(), before + 5);
  EXPECT_EQ(OriginBodies(".patches/" + name, patch, release_b), 2);
  EXPECT_EQ(OriginBodies(".patches/" + name, patch, "-"), 1);
  // Once C is served, B's patch still comes by B's name, from the origin as
  // from the edge's copy.
  Publish({{"Base/pack.pak", RandomBytes(256 << 10, 54)},
           {"Base/motd.txt", "C\n"}});
  for (const std::string& url : {origin->Url(path), edge->Url(path)}) {
    EXPECT_EQ(Get(url, "X-Checksum-List-MD5: " + release_b, body),
              "200 " + size);
    EXPECT_TRUE(body == patch);
  }
}

// The edge goes down: servers that have the origin as their second update
// server update from it, with the described lines for the first.
TEST_F(FleetTest, ServersFallBackToTheOriginWhenTheEdgeIsDown) {
  const std::vector<std::string> games = {MakeGame("one"), MakeGame("two")};
  const std::string list_a = Publish(kReleaseA);
  edge->Stop();
  const std::vector<ChildResult> runs =
      UpdateAtOnce(games, edge->Url("/10/") + " " + origin->Url("/10/"));
  for (std::size_t i = 0; i < games.size(); ++i) {
    SCOPED_TRACE(games[i]);
    const std::string log = ReadFile(games[i] + "/Logs/app.txt");
    EXPECT_TRUE(Contains(log, "Downloading checksums from " +
                                  edge->Url(kPlatformDir) + kList + "\n"));
    EXPECT_TRUE(Contains(log, "Error downloading checksum from " +
                                  edge->Url(kPlatformDir) + kList +
                                  " (err:7)\n"))
        << log;
    EXPECT_TRUE(Contains(log, "Downloading checksums from " +
                                  origin->Url(kPlatformDir) + kList + "\n"));
    EXPECT_TRUE(ReadFile(games[i] + "/" + kList) == list_a);
    for (const auto& [path, content] : kReleaseA) {
      EXPECT_TRUE(ReadFile(games[i] + "/" + path) == content) << path;
    }
    EXPECT_EQ(runs[i].exit_code, 0);
  }
}

}  // namespace
