// Signed releases through the real executable. A starter built with the test
// key installs a release signed with it and refuses any other list with
// nothing touched; a starter built without a key ignores signatures. The
// update server is always the one of the environment override: the override
// does not bypass the check.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "game_fixture.h"
#include "support/list_signing.h"

namespace {

constexpr char kModuleEnd[] = "Velmora: server finished, module ends\n";
constexpr char kVerified[] =
    "Checksum list signature verified: Downloads/App/version.txt\n";
constexpr char kRefusing[] =
    "Refusing checksum list Downloads/App/version.txt: ";
constexpr char kReleaseUrl[] = "/10/linux32-dedicated-demo/";
constexpr char kNeedsKey[] =
    "needs a starter built with the test key "
    "(-DSTARTER_UPDATE_PUBLIC_KEY=tests/keys/update_test_key.pub.pem)";

class SignedReleaseTest : public ServedGameFixture {
 protected:
  // Requests the server received for `path` below the release.
  int Fetches(const std::string& path) const {
    return server.RequestCount(kReleaseUrl + path);
  }
};

TEST_F(SignedReleaseTest, SignedReleaseInstallsAndRunsTheModule) {
  if (!kStarterChecksSignatures) GTEST_SKIP() << kNeedsKey;
  PublishRelease({{"Base/maps/arena.txt", "arena\n"}});
  ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Game("App/version.txt"), ServerList());
  EXPECT_EQ(Game("Base/maps/arena.txt"), "arena\n");
  EXPECT_EQ(Game("Downloads/App/version.txt.sig"),
            ReadFile(ServerListPath() + ".sig"));
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, kVerified));
  EXPECT_FALSE(Contains(log, "autoupdate->error"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
  EXPECT_EQ(Fetches("App/version.txt.sig"), 1);
}

TEST_F(SignedReleaseTest, ListWithoutItsSignatureIsRefusedWithNothingTouched) {
  if (!kStarterChecksSignatures) GTEST_SKIP() << kNeedsKey;
  InstallModuleInGame();
  WriteFile(game + "/Base/news.txt", "unlisted, not moved\n");
  const KeyPairFiles other = MakeKeyPair(root.path(), "other");
  const std::string other_list = root / "other_list.txt";
  WriteFile(other_list, "version_file 4243\n");
  const std::string signature = ServerListPath() + ".sig";
  const std::string wrong = "signature wrong (does not verify the list)\n";
  const struct {
    const char* name;
    // Changes the published list or signature after both were made.
    std::function<void()> change;
    std::string reason;
  } cases[] = {
      {"one byte of the list changed",
       [&] {
         std::string list = ServerList();
         list[20] = static_cast<char>(list[20] ^ 0x01);
         WriteFile(ServerListPath(), list);
       },
       wrong},
      {"signature of another list",
       [&] {
         ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), other_list, signature),
                   0);
       },
       wrong},
      {"signature by another key",
       [&] {
         ASSERT_EQ(SignWithOpenssl(other.private_key, ServerListPath()), 0);
       },
       wrong},
      {"signature missing (404)", [&] { std::remove(signature.c_str()); },
       "signature missing, " + server.Url(kReleaseUrl) +
           "App/version.txt.sig not downloaded (err:22)\n"},
      {"empty signature", [&] { WriteFile(signature, ""); },
       "signature unreadable (not a 64-byte Ed25519 signature)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PublishRelease({{"Base/maps/arena.txt", "arena\n"}});
    c.change();
    ChildResult r = Run();
    EXPECT_EQ(r.exit_code, 0);
    const std::string log = AppLog();
    EXPECT_TRUE(Contains(log, kRefusing + c.reason)) << log;
    EXPECT_FALSE(Contains(log, kVerified));
    EXPECT_TRUE(Contains(log, "autoupdate->error 1\n"));
    // The launch goes on with the installation as it was.
    EXPECT_TRUE(Contains(log, kModuleEnd));
    EXPECT_FALSE(Contains(log, "Removing unused/moved files"));
    EXPECT_EQ(Game("Base/news.txt"), "unlisted, not moved\n");
    EXPECT_FALSE(GameHas("old"));
    EXPECT_FALSE(GameHas("App/version.txt"));
    EXPECT_FALSE(GameHas("Base/maps/arena.txt"));
    EXPECT_FALSE(GameHas("dedicatedserver.sh"));
  }
  // No file of the release was ever requested.
  EXPECT_EQ(Fetches("App/version.txt"), 5);
  EXPECT_EQ(Fetches("App/version.txt.sig"), 5);
  EXPECT_EQ(Fetches("Base/maps/arena.txt"), 0);
  EXPECT_EQ(Fetches("libVelmora_dedi.so"), 0);
  EXPECT_EQ(Fetches("dedicatedserver.sh"), 0);
}

TEST_F(SignedReleaseTest, StarterWithoutAKeyIgnoresSignatures) {
  if (kStarterChecksSignatures) {
    GTEST_SKIP() << "the starter under test was built with a key";
  }
  PublishRelease();
  WriteFile(ServerListPath() + ".sig", "not a signature");
  ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Game("App/version.txt"), ServerList());
  EXPECT_EQ(Fetches("App/version.txt.sig"), 0);
  EXPECT_FALSE(GameHas("Downloads/App/version.txt.sig"));
  const std::string log = AppLog();
  EXPECT_FALSE(Contains(log, "ignature"));
  EXPECT_FALSE(Contains(log, "autoupdate->error"));
  EXPECT_TRUE(Contains(log, kModuleEnd));
}

}  // namespace
