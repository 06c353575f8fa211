// Signed releases through the real executable. A starter built with the test
// key installs a release signed with it and refuses any other list with
// nothing touched; a starter built without a key ignores signatures. The
// update server is always the one of the environment override: the override
// does not bypass the check. Releases published by starter-publish carry a
// release statement, which keeps a game directory from going back to an
// older release or installing an expired one; the publishing tool gives the
// packaged (unkeyed) starter a key and rotates keys through a release.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "game_fixture.h"
#include "launcher/key_slot.h"
#include "support/list_signing.h"
#include "update/list_signature.h"
#include "update/release_statement.h"

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

  // Runs starter-publish with `args`.
  ChildResult Publish(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"starter-publish"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunChild(PUBLISH_TOOL_PATH, argv, root.path(), capture.path());
  }
  // A release tree: the sample module, the server script, the message of
  // the day `motd` and `extra` files.
  std::string Tree(const std::string& name, const std::string& motd,
                   const std::map<std::string, std::string>& extra = {}) {
    const std::string tree = root / ("trees/" + name);
    WriteFile(tree + "/Base/motd.txt", motd);
    WriteFile(tree + "/dedicatedserver.sh", "#!/bin/sh\nexec ./DUdavi\n");
    for (const auto& [path, content] : extra) {
      WriteFile(tree + "/" + path, content);
    }
    EXPECT_EQ(RunShell("cp '" VELMORA_MODULE_PATH "' '" + tree +
                       "/libVelmora_dedi.so'"),
              0);
    return tree;
  }
  // Puts the built starter into `tree` as DUdavi.
  static void ShipStarter(const std::string& tree) {
    ASSERT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + tree + "/DUdavi'"),
              0);
  }
  // Makes the served directory the publishing tool's from its first
  // release on (the fixture made it a plain directory, which the tool would
  // keep as a release of its own).
  void ServeFromThePublishingTool() {
    ASSERT_EQ(RunShell("rm -rf '" + release + "'"), 0);
  }
  // Publishes `tree` at the served directory signed with `key`, with
  // `options` before the tree; expects success.
  void PublishSigned(const std::string& tree,
                     const std::vector<std::string>& options = {},
                     const std::string& key = TestPrivateKeyPath()) {
    std::vector<std::string> args = {"--sign", key};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(tree);
    args.push_back(release);
    const ChildResult r = Publish(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  // Gives the game directory a starter that trusts the key of
  // `private_key` as an operator would the packaged one: the built starter,
  // published in a release signed with that key by starter-publish, which
  // fills its key slot (a starter built with the key keeps it).
  void KeyTheGameStarter(const std::string& private_key) {
    const std::string tree = root / "starter-tree";
    WriteFile(tree + "/Base/motd.txt", "a release of the starter\n");
    ShipStarter(tree);
    const ChildResult r =
        Publish({"--sign", private_key, tree, root / "starter-served"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(RunShell("cp '" + root / "starter-served/DUdavi" + "' '" + game +
                       "/DUdavi'"),
              0);
  }
  // The serial of the game directory's installed release (0: none).
  long long InstalledSerial() const {
    ReleaseStatement statement;
    return ReadStatementFile(game + "/App/version.txt.release", nullptr,
                             statement) == ""
               ? statement.serial
               : 0;
  }
  // Serves what the directory `served` serves, as a mirror that copied it
  // would, at `mirror_root`/10/linux32-dedicated-demo.
  void Mirror(const std::string& served, const std::string& mirror_root) {
    ASSERT_EQ(RunShell("rm -rf '" + mirror_root +
                       "/10/linux32-dedicated-demo' && cp -aL '" + served +
                       "' '" + mirror_root + "/10/linux32-dedicated-demo'"),
              0);
  }
  // Switches the served directory to its release `n` by hand.
  void ServeByHand(int n) {
    ASSERT_EQ(RunShell("ln -sfn linux32-dedicated-demo.releases/release-" +
                       std::to_string(n) + " '" + release + ".new' && mv -T '" +
                       release + ".new' '" + release + "'"),
              0);
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

namespace {

constexpr char kStatementRefusal[] =
    "Refusing checksum list Downloads/App/version.txt: ";

// A game directory's starter, keyed by the publishing tool, meets stale
// mirrors, a release behind its own, a served directory that reuses a
// serial for another list, a switch back, and an expired statement (with
// and without the operator's leave); each refusal leaves the launch to go
// on with what is installed.
TEST_F(SignedReleaseTest, StatementsKeepTheGameDirectoryAtOrAboveItsRelease) {
  ServeFromThePublishingTool();
  KeyTheGameStarter(TestPrivateKeyPath());
  WriteFile(root / "mirror/10/.keep", "");
  HttpTestServer mirror;
  mirror.ServeDirectory("/10/", root / "mirror/10");
  const std::string mirrors =
      mirror.Url("/10/") + " " + server.Url("/10/");
  const auto run = [&](const std::string& urls) {
    UseUpdateServer(urls);
    const ChildResult r = Run();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(Contains(AppLog(), kModuleEnd)) << AppLog();
    return AppLog();
  };

  PublishSigned(Tree("1", "release 1\n"));
  PublishSigned(Tree("2", "release 2\n"));
  std::string log = run(server.Url("/10/"));
  EXPECT_EQ(Game("Base/motd.txt"), "release 2\n");
  EXPECT_EQ(InstalledSerial(), 2);

  {
    SCOPED_TRACE("an older release on the first mirror, a newer on the second");
    Mirror(release + ".releases/release-1", root / "mirror");
    PublishSigned(Tree("3", "release 3\n"), {"--name", "spring"});
    log = run(mirrors);
    EXPECT_TRUE(Contains(log, std::string(kStatementRefusal) +
                                  "the release statement of release 1 is "
                                  "behind the installed release 2\n"))
        << log;
    EXPECT_TRUE(Contains(log, "Release statement verified: release spring "
                              "(serial 3), issued "));
    EXPECT_FALSE(Contains(log, "autoupdate->error"));
    EXPECT_EQ(Game("Base/motd.txt"), "release 3\n");
    EXPECT_EQ(InstalledSerial(), 3);
  }
  {
    SCOPED_TRACE("only older releases served");
    ServeByHand(2);
    log = run(mirrors);
    EXPECT_TRUE(Contains(log, "the release statement of release 1 is behind "
                              "the installed release 3\n"));
    EXPECT_TRUE(Contains(log, "the release statement of release 2 is behind "
                              "the installed release 3\n"));
    EXPECT_TRUE(Contains(log, "autoupdate->error 1\n"));
    EXPECT_EQ(Game("Base/motd.txt"), "release 3\n");
    EXPECT_EQ(InstalledSerial(), 3);
    ServeByHand(3);
  }
  {
    SCOPED_TRACE("the same serial for another list, from another directory");
    const std::string other = root / "other/10/linux32-dedicated-demo";
    WriteFile(root / "other/10/.keep", "");
    for (const char* n : {"x", "y", "z"}) {
      ASSERT_EQ(Publish({"--sign", TestPrivateKeyPath(),
                         Tree(n, std::string("release ") + n + "\n"), other})
                    .exit_code,
                0);
    }
    Mirror(other, root / "mirror");
    log = run(mirrors);
    EXPECT_TRUE(Contains(log, std::string(kStatementRefusal) +
                                  "the release statement names another list "
                                  "under the same release 3\n"))
        << log;
    EXPECT_TRUE(Contains(log, "Version file the same (key matches)\n"));
    EXPECT_EQ(Game("Base/motd.txt"), "release 3\n");
  }
  {
    SCOPED_TRACE("a switch back");
    const ChildResult back =
        Publish({"--sign", TestPrivateKeyPath(), "--switch-back", "1", release});
    ASSERT_EQ(back.exit_code, 0) << back.err;
    log = run(server.Url("/10/"));
    EXPECT_FALSE(Contains(log, "autoupdate->error")) << log;
    EXPECT_EQ(Game("Base/motd.txt"), "release 1\n");
    EXPECT_EQ(InstalledSerial(), 4);
  }
  {
    SCOPED_TRACE("an expired statement");
    PublishSigned(Tree("5", "release 5\n"), {"--expires", "1s"});
    ReleaseStatement served;
    ASSERT_EQ(ReadStatementFile(release + "/App/version.txt.release", nullptr,
                                served),
              "");
    ASSERT_TRUE(served.expires.has_value());
    // The statement expires one second after it was issued; the test waits
    // for the clock, not for any process.
    ASSERT_TRUE(WaitUntil(
        [&] { return std::time(nullptr) >= *served.expires; }));
    log = run(server.Url("/10/"));
    EXPECT_TRUE(Contains(log, std::string(kStatementRefusal) +
                                  "the release statement expired "))
        << log;
    EXPECT_TRUE(Contains(log, " ago (" + FormatStatementTime(*served.expires) +
                                  ")\n"));
    EXPECT_TRUE(Contains(log, "autoupdate->error 1\n"));
    EXPECT_EQ(Game("Base/motd.txt"), "release 1\n");

    const ScopedEnv allow("STARTER_ALLOW_EXPIRED", "1");
    log = run(server.Url("/10/"));
    EXPECT_TRUE(Contains(log, "Installing all the same: the release "
                              "statement expired "))
        << log;
    EXPECT_TRUE(Contains(log, "and STARTER_ALLOW_EXPIRED=1 allows it for this "
                              "run\n"));
    EXPECT_FALSE(Contains(log, "autoupdate->error"));
    EXPECT_EQ(Game("Base/motd.txt"), "release 5\n");
    EXPECT_EQ(InstalledSerial(), 5);
  }
  {
    SCOPED_TRACE("a program the table marks executable, a file grown since");
    const std::string tree = Tree("6", "release 6\n",
                                  {{"bin/helper", "#!/bin/sh\n"},
                                   {"Base/map.dat", "map"}});
    ASSERT_EQ(chmod((tree + "/bin/helper").c_str(), 0755), 0);
    PublishSigned(tree);
    WriteFile(release + "/Base/map.dat", "map" + std::string(1 << 20, 'M'));
    UseUpdateServer(server.Url("/10/"));
    const ChildResult r = Run();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(Contains(
        r.out, "CCurl: ./Base/map.dat is larger than the 3 bytes it may have\n"))
        << r.out;
    EXPECT_TRUE(Contains(AppLog(), "Error downloading ./Base/map.dat\n"));
    EXPECT_TRUE(Contains(AppLog(), "autoupdate->error 1\n"));
    EXPECT_FALSE(PathExists(game + "/Base/map.dat"));
    EXPECT_EQ(Game("Base/motd.txt"), "release 6\n");
    EXPECT_EQ(Game("bin/helper"), "#!/bin/sh\n");
    EXPECT_EQ(PermissionsOf(game + "/bin/helper"), 0700u);
    EXPECT_EQ(InstalledSerial(), 5);
  }
}

// The packaged starter has no key; published in a signed release, its key
// slot is filled with the signing key, and from then on it refuses lists
// without that key's signature and installs those with it.
TEST_F(SignedReleaseTest, PublishToolKeysThePackagedStarter) {
  KeyTheGameStarter(TestPrivateKeyPath());
  const KeySlot slot = ReadKeySlot(game + "/DUdavi");
  ASSERT_EQ(slot.state, KeySlotState::kKeyed);
  EXPECT_TRUE(SameKey({slot.text}, {ReadFile(TestPublicKeyPath())}));
  InstallModuleInGame();

  // An unsigned list, as a server without the key (or a forger) serves it.
  const std::string tree = Tree("unsigned", "unsigned\n");
  ASSERT_EQ(Publish({tree, release}).exit_code, 0);
  const ChildResult r = Run();
  EXPECT_EQ(r.exit_code, 0);
  const std::string log = AppLog();
  EXPECT_TRUE(Contains(log, kRefusing + std::string("signature missing, ") +
                                server.Url(kReleaseUrl) +
                                "App/version.txt.sig not downloaded (err:22)\n"))
      << log;
  EXPECT_TRUE(Contains(log, kModuleEnd));
  EXPECT_FALSE(GameHas("Base/motd.txt"));

  PublishSigned(tree);
  ASSERT_EQ(Run().exit_code, 0);
  EXPECT_TRUE(Contains(AppLog(), kVerified));
  EXPECT_EQ(Game("Base/motd.txt"), "unsigned\n");
}

// The key is rotated through a release signed with the old key that ships
// a starter trusting the new one: once installed, the game directory takes
// releases signed with the new key and refuses those of the old.
TEST_F(SignedReleaseTest, KeyIsRotatedThroughAReleaseSignedWithTheOldKey) {
  ServeFromThePublishingTool();
  KeyTheGameStarter(TestPrivateKeyPath());
  const KeyPairFiles next = MakeKeyPair(root.path(), "next");
  const std::string next_fingerprint =
      KeyFingerprint({ReadFile(next.public_key)});

  const std::string rotation = Tree("rotation", "rotation\n");
  ShipStarter(rotation);
  // Without saying so, a starter that is to trust another key is refused.
  EXPECT_EQ(Publish({"--sign", next.private_key, root / "starter-served",
                     release})
                .exit_code,
            1);
  const ChildResult published =
      Publish({"--sign", TestPrivateKeyPath(), "--new-key", next.public_key,
               rotation, release});
  ASSERT_EQ(published.exit_code, 0) << published.err;
  EXPECT_TRUE(Contains(published.out, next_fingerprint)) << published.out;
  ASSERT_EQ(Run().exit_code, 0);
  EXPECT_TRUE(Contains(AppLog(), kVerified));
  EXPECT_EQ(Game("Base/motd.txt"), "rotation\n");
  const KeySlot slot = ReadKeySlot(game + "/DUdavi");
  ASSERT_EQ(slot.state, KeySlotState::kKeyed);
  EXPECT_EQ(KeyFingerprint({slot.text}), next_fingerprint);

  // A later release signed with the old key is refused...
  PublishSigned(Tree("old key", "old key\n"));
  ASSERT_EQ(Run().exit_code, 0);
  EXPECT_TRUE(Contains(AppLog(), kRefusing + std::string("signature wrong")))
      << AppLog();
  EXPECT_EQ(Game("Base/motd.txt"), "rotation\n");
  // ...and one signed with the new key installed, under a higher serial.
  PublishSigned(Tree("new key", "new key\n"), {}, next.private_key);
  ASSERT_EQ(Run().exit_code, 0);
  EXPECT_TRUE(Contains(AppLog(), kVerified)) << AppLog();
  EXPECT_EQ(Game("Base/motd.txt"), "new key\n");
  EXPECT_EQ(InstalledSerial(), 3);
}

}  // namespace
