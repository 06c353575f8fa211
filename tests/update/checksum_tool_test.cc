#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "update_run_fixture.h"

namespace {

const std::string kTool =
    std::string(STARTER_BUILD_DIR) + "/tools/starter-checksums";

class ChecksumToolTest : public UpdateRunFixture {
 protected:
  void SetUp() override {
    if (access(kTool.c_str(), X_OK) != 0) {
      GTEST_SKIP() << "build the starter-checksums target first";
    }
  }
  int Tool(const std::string& args) {
    return RunShell("'" + kTool + "' " + args + " >/dev/null 2>&1");
  }
};

TEST_F(ChecksumToolTest, PublishedListDrivesAnUpdateToTheRelease) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  WriteFile(ReleasePath("Base/sub/b.xml"), "b");
  WriteFile(ReleasePath("OKUdedi"), "server");
  WriteFile(ReleasePath("Base/.hidden"), "never listed");
  WriteFile(ReleasePath("Base/x.bak"), "never listed");
  WriteFile(ReleasePath("App/version.txt"), "an old list in the way");
  ASSERT_EQ(Tool("'" + ReleasePath("") + "' '" +
                 ReleasePath("App/version.txt") + "'"),
            0);
  std::string list = ListText();
  EXPECT_EQ(list.rfind("version_file ", 0), 0u);
  EXPECT_EQ(list.substr(list.find('\n') + 1),
            "./Base/a.png " + Md5Hex("a", 1) + "\n./Base/sub/b.xml " +
                Md5Hex("b", 1) + "\n./OKUdedi " + Md5Hex("server", 6) + "\n");
  EXPECT_FALSE(PathExists(ReleasePath("App/version.txt.tmp")));

  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("Base/sub/b.xml"), "b");
  EXPECT_EQ(Local("OKUdedi"), "server");
  EXPECT_EQ(Local("App/version.txt"), list);
  EXPECT_NE(Run().log.find("Version file the same (key matches)"),
            std::string::npos);
}

TEST_F(ChecksumToolTest, RefusesBadArguments) {
  EXPECT_EQ(Tool(""), 2);
  EXPECT_EQ(Tool("'" + outer_ / "missing" + "' out.txt"), 1);
  EXPECT_EQ(
      Tool("'" + release_.path() + "' '" + outer_ / "no/dir/out.txt" + "'"), 1);
}

}  // namespace
