#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "support/list_signing.h"
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
  // Written in place of the old list, with no temporary file left.
  EXPECT_EQ(NamesIn(ReleasePath("App")), std::set<std::string>{"version.txt"});

  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("Base/sub/b.xml"), "b");
  EXPECT_EQ(Local("OKUdedi"), "server");
  EXPECT_EQ(Local("App/version.txt"), list);
  EXPECT_NE(Run().log.find("Version file the same (key matches)"),
            std::string::npos);
}

TEST_F(ChecksumToolTest, SignedListIsVerifiedByOpensslAndTheUpdateRun) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  ASSERT_EQ(mkdir(ReleasePath("App").c_str(), 0755), 0);
  const std::string list = ReleasePath("App/version.txt");
  const std::string signed_with = "--sign '" + TestPrivateKeyPath() + "' '" +
                                  ReleasePath("") + "' '" + list + "'";
  ASSERT_EQ(Tool(signed_with), 0);
  EXPECT_EQ(RunShell("openssl pkeyutl -verify -rawin -pubin -inkey '" +
                     TestPublicKeyPath() + "' -in '" + list + "' -sigfile '" +
                     list + ".sig' >/dev/null"),
            0);
  // The next list leaves the signature beside it out, as it does the list.
  ASSERT_EQ(Tool(signed_with), 0);
  EXPECT_EQ(ListText().substr(ListText().find('\n') + 1),
            "./Base/a.png " + Md5Hex("a", 1) + "\n");
  EXPECT_EQ(NamesIn(ReleasePath("App")),
            (std::set<std::string>{"version.txt", "version.txt.sig"}));

  RunOutcome run =
      Run("App/autoupdate.cfg", ListSigningKey{ReadFile(TestPublicKeyPath())});
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("Base/a.png"), "a");
  EXPECT_EQ(Local("App/version.txt"), ListText());
}

TEST_F(ChecksumToolTest, FailedSigningReplacesNeitherFile) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  WriteFile(ReleasePath("App/version.txt"), "the published list");
  WriteFile(ReleasePath("App/version.txt.sig"), "its signature");
  const std::string target =
      "'" + ReleasePath("") + "' '" + ReleasePath("App/version.txt") + "'";
  for (const std::string& key : {outer_ / "absent.pem", TestPublicKeyPath()}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(Tool("--sign '" + key + "' " + target), 1);
    EXPECT_EQ(ListText(), "the published list");
    EXPECT_EQ(ReadFile(ReleasePath("App/version.txt.sig")), "its signature");
    EXPECT_EQ(NamesIn(ReleasePath("App")),
              (std::set<std::string>{"version.txt", "version.txt.sig"}));
  }
}

TEST_F(ChecksumToolTest, RefusesBadArguments) {
  EXPECT_EQ(Tool(""), 2);
  EXPECT_EQ(
      Tool("--sign '" + TestPrivateKeyPath() + "' '" + release_.path() + "'"),
      2);
  EXPECT_EQ(Tool("'" + outer_ / "missing" + "' out.txt"), 1);
  EXPECT_EQ(
      Tool("'" + release_.path() + "' '" + outer_ / "no/dir/out.txt" + "'"), 1);
}

}  // namespace
