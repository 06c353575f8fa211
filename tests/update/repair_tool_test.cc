// starter-repair, the real binary, on real game directories made at test
// time, against the in-process server with faults: what it replaces, what
// it leaves alone, its exit statuses, and its turn at the update lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/exclusive_lock.h"
#include "launcher/key_slot.h"
#include "support/list_signing.h"
#include "support/text_match.h"
#include "support/wait_until.h"
#include "verify_tool_fixture.h"

namespace {

// The content of the regular file at `path`; "" for anything else (a FIFO
// left in place would block a read).
std::string RegularFile(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  return ReadFile(path);
}

struct RepairCase {
  const char* name;
  std::function<void(VerifyToolFixture&)> change;
  // "installed list key N" stands for the key of a version file the run
  // wrote itself.
  std::string out;
  int status;
  // Part of standard error (rows that cannot run).
  std::string err = "";
  // What the game directory holds afterwards.
  std::function<void(VerifyToolFixture&)> after = {};
  bool keyed_build_only = false;
};

std::string Summary(bool intact, int replaced, int differ,
                    const std::string& key = "1000") {
  return "installed list key " + key +
         "\nsummary: " + (intact ? "intact" : "not intact") + ", 5 listed, " +
         std::to_string(replaced) + " replaced, " + std::to_string(differ) +
         " differ, 0 would move\n";
}

constexpr char kNoList[] =
    "starter-repair: no checksum list accepted from the update servers: ";

const RepairCase kRepairCases[] = {
    {"Intact", [](VerifyToolFixture&) {}, Summary(true, 0, 0), 0},
    {"ChangedMissingAndNotRegularFiles",
     [](VerifyToolFixture& t) {
       t.WriteGame("Base/a.png", "A");
       t.RemoveGame("Base/maps/m.txt");
       t.RemoveGame("Base/sub/b.xml");
       ASSERT_EQ(mkfifo(t.Game("Base/sub/b.xml").c_str(), 0644), 0);
       // The operator's own script, on an ignore list, stays.
       t.WriteGame("autoupdate_ignore.cfg", "dedicatedserver.sh\n");
       t.WriteGame("dedicatedserver.sh", "#!/bin/sh\necho mine\n");
       ASSERT_EQ(chmod(t.Game("OKUdedi").c_str(), 0644), 0);
       t.WriteGame("Base/junk.cfg", "unlisted");
     },
     "replaced Base/a.png\nreplaced Base/maps/m.txt\nreplaced "
     "Base/sub/b.xml\nmade executable OKUdedi\n" +
         Summary(true, 3, 0),
     0, "",
     [](VerifyToolFixture& t) {
       EXPECT_EQ(ReadFile(t.Game("Base/a.png")), "a");
       EXPECT_EQ(ReadFile(t.Game("Base/maps/m.txt")), "m");
       EXPECT_EQ(RegularFile(t.Game("Base/sub/b.xml")), "b");
       EXPECT_EQ(ReadFile(t.Game("dedicatedserver.sh")),
                 "#!/bin/sh\necho mine\n");
       EXPECT_EQ(PermissionsOf(t.Game("OKUdedi")), 0700u);
       EXPECT_EQ(ReadFile(t.Game("old/Base/junk.cfg")), "unlisted");
     }},
    // A repair is an update too: the server's newer release is installed.
    {"NewReleaseOnTheServer",
     [](VerifyToolFixture& t) {
       t.PublishSigned(With(kRelease, {{"Base/sub/b.xml", "b2"}}), kNewKey);
     },
     "replaced Base/sub/b.xml\n" + Summary(true, 1, 0, "2000"), 0},
    // A file the server does not deliver stays as it is; the others are
    // repaired.
    {"FileTheServerDoesNotDeliver",
     [](VerifyToolFixture& t) {
       t.WriteGame("Base/a.png", "A");
       t.RemoveGame("Base/maps/m.txt");
       t.server().SetReply("/10/linux32-dedicated-demo/Base/a.png",
                           HttpReply::Status(500));
     },
     "replaced Base/maps/m.txt\ndiffers Base/a.png\n" +
         Summary(false, 1, 1, "N"),
     1, "",
     [](VerifyToolFixture& t) {
       EXPECT_EQ(ReadFile(t.Game("Base/a.png")), "A");
       EXPECT_EQ(ReadFile(t.Game("Base/maps/m.txt")), "m");
     }},
    {"NoVersionFile",
     [](VerifyToolFixture& t) { t.RemoveGame("App/version.txt"); }, "", 2,
     "starter-repair: no checksum list in App/version.txt"},
    {"ServerUnreachable",
     [](VerifyToolFixture&) {
       setenv("STARTER_UPDATE_URL", "http://127.0.0.1:1/10/", 1);
     },
     "", 2, std::string(kNoList) + "Error downloading checksum"},
    {"ErrorPageInsteadOfAList",
     [](VerifyToolFixture& t) {
       t.server().SetReply(t.ListUrl(), HttpReply::Ok("<html>busy</html>\n"));
     },
     "", 2,
     std::string(kNoList) + "Invalid checksum list Downloads/App/version.txt"},
    // The key is the one the game directory's starter trusts, whatever
    // this tool was built with.
    {"StarterTrustingAnotherKey",
     [](VerifyToolFixture& t) {
       t.StarterTrusting(
           ReadFile(MakeKeyPair(t.Outer(""), "other").public_key));
       ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), t.ServerListPath()), 0);
       t.WriteGame("Base/a.png", "A");
     },
     "", 2, std::string(kNoList) + "Invalid signature of the checksum list",
     [](VerifyToolFixture& t) {
       EXPECT_EQ(ReadFile(t.Game("Base/a.png")), "A");
     }},
    {"StarterTrustingNoKey",
     [](VerifyToolFixture& t) {
       t.StarterTrusting("");
       std::remove((t.ServerListPath() + ".sig").c_str());
       t.WriteGame("Base/a.png", "A");
     },
     "replaced Base/a.png\n" + Summary(true, 1, 0), 0},
    {"SignatureMissing",
     [](VerifyToolFixture& t) {
       ASSERT_EQ(unlink((t.ServerListPath() + ".sig").c_str()), 0);
     },
     "",
     2,
     std::string(kNoList) + "Invalid signature of the checksum list",
     {},
     true},
};

void PrintTo(const RepairCase& row, std::ostream* os) { *os << row.name; }

// `out` with the number after "installed list key " as "N" where `expected`
// has "N" there.
std::string KeyAsExpected(std::string out, const std::string& expected) {
  const std::string key = "installed list key ";
  if (!Contains(expected, key + "N\n")) return out;
  const std::size_t at = out.find(key);
  if (at == std::string::npos) return out;
  const std::size_t from = at + key.size();
  return out.replace(from, out.find('\n', from) - from, "N");
}

class RepairToolTest
    : public VerifyToolFixture,
      public ::testing::WithParamInterface<std::tuple<RepairCase, bool>> {};

TEST_P(RepairToolTest, RepairsWhatDiffersAndSaysWhat) {
  const auto& [row, quiet] = GetParam();
  if (row.keyed_build_only && !kStarterChecksSignatures) {
    GTEST_SKIP() << "a row for the keyed build";
  }
  row.change(*this);
  const VerifyRun run =
      quiet ? Repair({"--quiet"}) : Repair(std::vector<std::string>{});
  EXPECT_EQ(run.status, row.status);
  EXPECT_TRUE(Contains(run.err, row.err)) << run.err;
  if (quiet) {
    // Only the summary line, or the one line of the problem.
    const std::size_t last = row.out.rfind('\n', row.out.size() - 2);
    EXPECT_EQ(run.out, row.status == 2 ? "" : row.out.substr(last + 1));
    EXPECT_EQ(Count(run.err, "\n"), row.status == 2 ? 1 : 0) << run.err;
  } else {
    EXPECT_EQ(KeyAsExpected(run.out, row.out), row.out);
  }
  if (row.after) row.after(*this);
  if (row.status != 0) return;
  // Intact afterwards, by starter-verify, and the list installed.
  EXPECT_EQ(Verify({}).status, 0);
  EXPECT_EQ(Local("App/version.txt"), ReadFile(ServerListPath()));
}

INSTANTIATE_TEST_SUITE_P(Rows, RepairToolTest,
                         ::testing::Combine(::testing::ValuesIn(kRepairCases),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Quiet" : "");
                         });

TEST_F(VerifyToolFixture, RepairCommandLine) {
  const struct {
    std::vector<std::string> args;
    std::string out;  // its start
    int status;
  } cases[] = {
      {{"--help"}, "usage: starter-repair [--quiet] GAME_DIR\n", 0},
      {{"--version"}, "starter-repair " STARTER_PROJECT_VERSION "\n", 0},
      {{}, "", 2},
      {{"--bogus", game_}, "", 2},
      {{game_, game_}, "", 2},
      {{Outer("absent")}, "", 2},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::vector<std::string> argv = row.args;
    argv.insert(argv.begin(), "starter-repair");
    const ChildResult r =
        RunChild(kRepairTool, argv, outer_.path(), Outer("capture"));
    EXPECT_EQ(r.exit_code, row.status);
    EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << r.out;
    if (row.out.empty()) {
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(server_.TotalRequestCount(), 0);
}

// The repair takes its turn at the game directory's update lock as a second
// starter does: it waits, saying so, while a starter updates, and fetches
// nothing before its turn.
TEST_F(VerifyToolFixture, RepairWaitsForTheStarterThatHoldsTheUpdateLock) {
  WriteGame("Base/a.png", "A");
  auto held =
      std::make_unique<ExclusiveLock>(Game("Downloads/update.lock"), [] {});
  ASSERT_TRUE(held->held());
  ChildProcess repair(kRepairTool, {"starter-repair", game_}, outer_.path(),
                      Outer("capture"));
  ASSERT_TRUE(WaitUntil([&] {
    return Contains(repair.ErrorSoFar(),
                    "Waiting for another update of this game directory to "
                    "finish\n");
  }));
  EXPECT_EQ(server_.TotalRequestCount(), 0);
  EXPECT_EQ(Local("Base/a.png"), "A");
  held.reset();
  const ChildResult r = repair.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "replaced Base/a.png\n" + Summary(true, 1, 0));
  EXPECT_EQ(Local("Base/a.png"), "a");
}

}  // namespace
