#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "engine/paths.h"
#include "engine/sha256.h"
#include "support/child_process.h"
#include "support/list_signing.h"
#include "support/text_match.h"
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
  // Runs the tool with `args` and captures what it prints.
  ChildResult ToolOutput(std::vector<std::string> args) {
    args.insert(args.begin(), "starter-checksums");
    mkdir((outer_ / "capture").c_str(), 0755);
    return RunChild(kTool, args, outer_.path(), outer_ / "capture");
  }
  // The key in the header of the published list.
  long ListKey() const { return std::stol(ListText().substr(13)); }
};

TEST_F(ChecksumToolTest, PublishedListDrivesAnUpdateToTheRelease) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  WriteFile(ReleasePath("Base/sub/b.xml"), "b");
  WriteFile(ReleasePath("OKUdedi"), "server");
  WriteFile(ReleasePath("Base/.hidden"), "never listed");
  WriteFile(ReleasePath("Base/x.bak"), "never listed");
  WriteFile(ReleasePath("App/version.txt"), "an old list in the way");
  // An aliased directory is listed once, under its own name.
  ASSERT_EQ(symlink("sub", ReleasePath("Base/Alias").c_str()), 0);
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
  EXPECT_TRUE(Contains(ReadFile(list + ".release"), "\nserial 1\nname 1\n"));
  // The next list leaves the files beside it out, as it does the list; its
  // statement's serial is one above the one it replaces, unless told.
  ASSERT_EQ(Tool(signed_with), 0);
  EXPECT_EQ(ListText().substr(ListText().find('\n') + 1),
            "./Base/a.png " + Md5Hex("a", 1) + "\n");
  EXPECT_EQ(NamesIn(ReleasePath("App")),
            (std::set<std::string>{"version.txt", "version.txt.files",
                                   "version.txt.release", "version.txt.sig"}));
  EXPECT_TRUE(Contains(ReadFile(list + ".release"), "\nserial 2\nname 2\n"));
  EXPECT_EQ(ReadFile(list + ".files"),
            "release_files 1\n./Base/a.png 1 " + Sha256Hex("a") + " -\n");
  ASSERT_EQ(Tool("--serial 7 --name hotfix-7 " + signed_with), 0);
  EXPECT_TRUE(
      Contains(ReadFile(list + ".release"), "\nserial 7\nname hotfix-7\n"));

  RunOutcome run =
      Run("App/autoupdate.cfg", ListSigningKey{ReadFile(TestPublicKeyPath())});
  EXPECT_EQ(run.error, 0) << run.log;
  EXPECT_EQ(Local("Base/a.png"), "a");
  EXPECT_EQ(Local("App/version.txt"), ListText());
  EXPECT_EQ(Local("App/version.txt.release"), ReadFile(list + ".release"));
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

// Every file whose entry a starter would not read back as written is
// reported on a line of its own, and no list is written; with
// --skip-unlistable the others are listed, and the list updates a game
// directory without a failure.
TEST_F(ChecksumToolTest, RefusesNamesNoListCanCarry) {
  const std::string kWhiteSpace =
      "white space in the name makes it read as another entry";
  // "./" and this path are 255 characters, the longest a list may carry.
  const std::string longest =
      "Base/" + std::string(120, 'd') + "/" + std::string(127, 'f');
  // Links: outside the tree, and into the releases kept beside a served
  // directory.
  const std::string outside = outer_ / "outside.png";
  WriteFile(outside, "outside");
  const std::string releases =
      release_.path() + "/" + std::string(kPlatform, sizeof kPlatform - 2) +
      ".releases";
  WriteFile(releases + "/release-1/Base/a.png", "a of release 1");
  const struct {
    const char* label;
    std::string name;
    std::string printed;  // as the report prints it, after "./"
    std::string reason;
    std::string link = "";  // made a link to this, not a file
  } cases[] = {
      {"a blank", "Base/blank name.png", "Base/blank name.png", kWhiteSpace},
      {"a tab", "Base/tab\tname.png", "Base/tab\\tname.png", kWhiteSpace},
      {"a line feed", "Base/line\nfeed.png", "Base/line\\nfeed.png",
       kWhiteSpace},
      {"a carriage return", "Base/cr\r.png", "Base/cr\\r.png", kWhiteSpace},
      {"a vertical tab", "Base/vt\v.png", "Base/vt\\013.png", kWhiteSpace},
      {"a backslash", "Base/back\\slash.png", "Base/back\\\\slash.png",
       "contains a backslash"},
      {"a path over 255 characters", longest + "f", longest + "f",
       "field longer than 255 characters"},
      {"a \"#\"", "Base/hash#name.png", "Base/hash#name.png",
       "contains \"#\", which ends a URL's path"},
      {"a \"?\"", "Base/query?v=1.png", "Base/query?v=1.png",
       "contains \"?\", which starts a URL's query"},
      {"a \"%\"", "Base/escape%41.png", "Base/escape%41.png",
       "contains \"%\", which a web server decodes"},
      {"a control character", "Base/bell\a.png", "Base/bell\\007.png",
       "contains a control character"},
      {"a DEL", "Base/del\x7f.png", "Base/del\\177.png",
       "contains a control character"},
      {"a byte that is not UTF-8", "Base/latin\xe9.png", "Base/latin\xe9.png",
       "is not UTF-8, which a web server decodes into another name"},
      {"a file where the release's patches are served", ".patches/0-1",
       ".patches/0-1", "the name of the release's patches"},
      {"a link that leads nowhere", "Base/dangling.png", "Base/dangling.png",
       "a link that leads to no file", "absent.png"},
      {"a link loop", "Base/loop.png", "Base/loop.png",
       "a link that leads to no file", "loop.png"},
      {"a link out of the tree", "Base/outside.png", "Base/outside.png",
       "a link out of the tree, to " + CanonicalPath(outside) +
           " (--follow-outside-links publishes its content)",
       outside},
      {"a link into the served releases", "Base/served.png",
       "Base/served.png",
       "a link into the served directory " + CanonicalPath(releases),
       releases + "/release-1/Base/a.png"},
  };
  WriteFile(ReleasePath("Base/a.png"), "a");
  WriteFile(ReleasePath(longest), "longest");
  const std::string list = ReleasePath("App/version.txt");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(list, "the published list");
    if (c.link.empty()) {
      WriteFile(ReleasePath(c.name), "odd");
    } else {
      ASSERT_EQ(symlink(c.link.c_str(), ReleasePath(c.name).c_str()), 0);
    }
    const ChildResult refused = ToolOutput({ReleasePath(""), list});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err,
              "starter-checksums: cannot be listed (" + c.reason + "): ./" +
                  c.printed +
                  "\nstarter-checksums: no list written: 1 file(s) cannot be "
                  "listed (rename them, or leave them out with "
                  "--skip-unlistable)\n");
    EXPECT_EQ(ListText(), "the published list");
    EXPECT_EQ(NamesIn(ReleasePath("App")),
              std::set<std::string>{"version.txt"});

    const ChildResult skipped =
        ToolOutput({"--skip-unlistable", ReleasePath(""), list});
    EXPECT_EQ(skipped.exit_code, 0);
    EXPECT_EQ(skipped.err, "starter-checksums: not listed (" + c.reason +
                               "): ./" + c.printed + "\n");
    EXPECT_TRUE(Contains(skipped.out, "1 file(s) left out")) << skipped.out;
    EXPECT_EQ(ListText().substr(ListText().find('\n') + 1),
              "./Base/a.png " + Md5Hex("a", 1) + "\n./" + longest + " " +
                  Md5Hex("longest", 7) + "\n");
    const RunOutcome run = Run();
    EXPECT_EQ(run.error, 0) << run.log;
    EXPECT_EQ(Local(longest), "longest");
    ASSERT_EQ(unlink(ReleasePath(c.name).c_str()), 0);
  }
  // With --follow-outside-links, a link out of the tree is listed with the
  // content of its file.
  ASSERT_EQ(symlink(outside.c_str(), ReleasePath("Base/outside.png").c_str()),
            0);
  const ChildResult followed =
      ToolOutput({"--follow-outside-links", ReleasePath(""), list});
  EXPECT_EQ(followed.exit_code, 0) << followed.err;
  EXPECT_TRUE(Contains(ListText(),
                       "./Base/outside.png " + Md5Hex("outside", 7) + "\n"))
      << ListText();
  EXPECT_EQ(Run().error, 0);
  EXPECT_EQ(Local("Base/outside.png"), "outside");
}

// The key of each list is drawn afresh, never the key of the list it
// replaces, however quickly the lists follow each other.
TEST_F(ChecksumToolTest, ListsWrittenWithinOneSecondGetDifferentKeys) {
  WriteFile(ReleasePath("Base/a.png"), "a");
  WriteFile(ReleasePath("App/version.txt"), "no list yet");
  const std::string target =
      "'" + ReleasePath("") + "' '" + ReleasePath("App/version.txt") + "'";
  ASSERT_EQ(Tool(target), 0);
  ASSERT_EQ(Run().error, 0);
  long previous = ListKey();
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(Tool(target), 0);
    const long key = ListKey();
    EXPECT_GE(key, 1000);
    EXPECT_LE(key, 12600995);
    EXPECT_NE(key, previous);
    previous = key;
  }
  // A game directory on the first list takes the last one for a new one.
  EXPECT_FALSE(Contains(Run().log, "key matches"));
}

TEST_F(ChecksumToolTest, RefusesBadArguments) {
  const ChildResult help = ToolOutput({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("usage: starter-checksums [--sign KEY [--name "
                           "NAME] [--expires SPAN] [--serial N]\n",
                           0),
            0u)
      << help.out;
  EXPECT_EQ(help.err, "");
  const ChildResult version = ToolOutput({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "starter-checksums " STARTER_PROJECT_VERSION "\n");
  EXPECT_EQ(Tool(""), 2);
  EXPECT_EQ(Tool("--bogus '" + release_.path() + "' out.txt"), 2);
  EXPECT_EQ(
      Tool("--sign '" + TestPrivateKeyPath() + "' '" + release_.path() + "'"),
      2);
  // The statement's terms come with a key, and only such as it can carry.
  const std::string target = "'" + release_.path() + "' '" + outer_ / "l.txt" + "'";
  EXPECT_EQ(Tool("--name r1 " + target), 2);
  const std::string sign = "--sign '" + TestPrivateKeyPath() + "' ";
  for (const char* terms : {"--name 'two words'", "--expires 0d",
                            "--expires 30y", "--serial 0", "--serial x"}) {
    SCOPED_TRACE(terms);
    EXPECT_EQ(Tool(sign + terms + " " + target), 1);
    EXPECT_FALSE(PathExists(outer_ / "l.txt"));
  }
  EXPECT_EQ(Tool("'" + outer_ / "missing" + "' out.txt"), 1);
  EXPECT_EQ(
      Tool("'" + release_.path() + "' '" + outer_ / "no/dir/out.txt" + "'"), 1);
}

}  // namespace
