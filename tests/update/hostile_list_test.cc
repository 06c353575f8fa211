#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>

#include "update_run_fixture.h"
#include "support/text_match.h"

namespace {

using HostileListTest = UpdateRunFixture;

constexpr char kGoodHash[] = "0123456789abcdef0123456789abcdef";

TEST_F(HostileListTest, RefusesPathsThatLeaveTheGameDirectory) {
  mkdir((outer_ / "elsewhere").c_str(), 0755);
  ASSERT_EQ(symlink((outer_ / "elsewhere").c_str(), (game_ + "/out").c_str()),
            0);
  WriteFile(ReleasePath("Base/fine.png"), "fine");
  const std::string refused[] = {
      "./../escaped.txt",
      "./Base/../../escaped2.txt",
      "/" + (outer_ / "absolute.txt").substr(1),
      "./..",
      "./Base\\..\\..\\escaped3.txt",
      "./out/through_link.txt",
      "Base/no_dot_slash.png",
  };
  std::string list = "version_file 99\n";
  for (const std::string& path : refused) list += path + " " + kGoodHash + "\n";
  list += "./Base/fine.png " + Md5Hex("fine", 4) + "\n";
  PublishList(list);

  RunOutcome run = Run();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Refused listed path Base/no_dot_slash.png");
  for (const std::string& path : refused) {
    EXPECT_TRUE(Contains(run.log, "Refusing listed path " + path + ": "))
        << path;
  }
  EXPECT_TRUE(Contains(run.log,
                       "Refusing listed path ./../escaped.txt: contains a .. "
                       "component\n"));
  // The rest of the run went on; nothing else was requested or written.
  EXPECT_EQ(Local("Base/fine.png"), "fine");
  EXPECT_EQ(server_.TotalRequestCount(), 2);
  EXPECT_EQ(NamesIn(outer_.path()), (std::set<std::string>{"elsewhere", "game"}));
  EXPECT_TRUE(NamesIn(outer_ / "elsewhere").empty());
  // The list was not applied, so the next run compares again.
  EXPECT_NE(Local("App/version.txt"), list);
  EXPECT_FALSE(Contains(Local("App/version.txt"), ".."));
}

// A list that gives the mark of a file that cannot be hashed as a hash
// never makes a missing file current: it is fetched (and, its bytes not
// matching, not installed).
TEST_F(HostileListTest, UnreadableMarkAsAHashNeverMakesAMissingFileCurrent) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  PublishList("version_file 98\n./Base/a.png unreadable\n");
  const RunOutcome run = Run();
  EXPECT_EQ(Fetches("Base/a.png"), 1);
  EXPECT_EQ(run.error, 1);
  EXPECT_FALSE(LocalExists("Base/a.png"));
}

TEST_F(HostileListTest, RefusesOverlongFieldsInsteadOfCuttingThem) {
  WriteLocal("data/victim.png", "local");
  WriteFile(ReleasePath("data/victim.png"), "replaced");
  WriteFile(ReleasePath("Base/ok.png"), "ok");
  const std::string ok = "./Base/ok.png " + Md5Hex("ok", 2);
  // A reader that stopped after 255 characters of a line end would take the
  // tail of the third entry for an entry of its own.
  const std::string list =
      "version_file 5\n"
      "./data/" +
      std::string(300, 'x') + " " + kGoodHash + "\n" + "./Base/ok.png " +
      std::string(400, 'f') + "\n" + ok + " " + std::string(254, 'z') +
      " ./data/victim.png " + Md5Hex("replaced", 8) + "\n" + ok + "\n";
  PublishList(list);
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Malformed entry in Downloads/App/version.txt");
  EXPECT_TRUE(Contains(run.log,
                       "Refusing malformed entry in Downloads/App/version.txt: "
                       "field longer than 255 characters\n"));
  EXPECT_TRUE(Contains(run.log, "line longer than 255 characters\n"));
  EXPECT_EQ(Local("data/victim.png"), "local");
  EXPECT_EQ(Fetches("data/victim.png"), 0);
  EXPECT_EQ(Local("Base/ok.png"), "ok");
  EXPECT_EQ(Fetches("Base/ok.png"), 2);  // listed twice, hashed once
}

TEST_F(HostileListTest, OverlongHeaderNeverMatches) {
  std::string list = "version_file 7" + std::string(300, '7') + "\n";
  PublishList(list);
  WriteLocal("App/version.txt", list);
  RunOutcome run = Run();
  EXPECT_FALSE(Contains(run.log, "key matches"));
  // A header field longer than the format allows is not a list header.
  EXPECT_TRUE(Contains(run.log, "Not a checksum list"));
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(server_.TotalRequestCount(), 1);
}

// A list without its header, or whose header has no number for its key.
TEST_F(HostileListTest, ListWithoutHeaderIsRefusedWhole) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  WriteFile(ReleasePath("Base/b.png"), "b");
  WriteLocal("Base/old.txt", "local data");
  WriteLocal("App/version.txt", "version_file 77\n");
  const std::string entries = "./Base/a.png " + Md5Hex("a", 1) +
                              "\n./Base/b.png " + Md5Hex("b", 1) + "\n";
  int requests = 0;
  for (const std::string& list :
       {entries, "version_file abc\n" + entries, "version_file 7x\n" + entries}) {
    PublishList(list);
    RunOutcome run = Run();
    EXPECT_EQ(run.error, 1) << list;
    EXPECT_EQ(run.lasterror, "Invalid checksum list Downloads/App/version.txt");
    EXPECT_TRUE(Contains(run.log,
                         "Not a checksum list: Downloads/App/version.txt "
                         "(no version_file header)\n"))
        << list;
    // Nothing relocated, hashed, fetched or installed.
    EXPECT_FALSE(Contains(run.log, "Removing unused/moved files")) << list;
    EXPECT_EQ(Local("Base/old.txt"), "local data");
    EXPECT_EQ(server_.TotalRequestCount(), ++requests) << list;
    EXPECT_EQ(Local("App/version.txt"), "version_file 77\n");
  }
}

TEST_F(HostileListTest, KeyOfZeroNeverMatches) {
  Publish({{"Base/a.png", "a"}}, 0);
  ASSERT_EQ(Run().error, 0);
  EXPECT_EQ(Local("App/version.txt"), ListText());
  RunOutcome run = Run();
  EXPECT_FALSE(Contains(run.log, "key matches"));
  EXPECT_TRUE(Contains(run.log, "Comparing checksums"));
  EXPECT_EQ(Fetches("Base/a.png"), 1);
}

TEST_F(HostileListTest, BinaryGarbageCrashesNothingAndWritesNothingOutside) {
  std::mt19937 bytes(20240607);
  for (int round = 0; round < 5; ++round) {
    std::string garbage;
    for (int i = 0; i < 20000; ++i) {
      garbage.push_back(static_cast<char>(bytes() & 0xff));
    }
    if (round % 2 == 0) garbage = "version_file 12345\n" + garbage;
    PublishList(garbage);
    RunOutcome run = Run();
    // With a header the list is walked; without one it is refused whole.
    EXPECT_EQ(Contains(run.log, "Comparing checksums"), round % 2 == 0)
        << round;
    EXPECT_EQ(run.error, 1) << round;
    EXPECT_EQ(NamesIn(outer_.path()), (std::set<std::string>{"game"})) << round;
  }
  // Only the five lists were requested: random fields never begin with "./"
  // followed by a harmless path often enough to be fetched, and if one did it
  // stays inside the game directory.
  EXPECT_GE(server_.TotalRequestCount(), 5);
}

}  // namespace
