// The publishing tool, starter-publish, run as a program against a server
// directory that the in-process HTTP server serves to real update runs: the
// layout it keeps, the trees it refuses, the patches it makes, a run that
// straddles its switch, and what a publish killed at any step leaves
// served.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/atomic_file.h"
#include "engine/paths.h"
#include "engine/sha256.h"
#include "launcher/key_slot.h"
#include "patch/file_patch.h"
#include "support/child_process.h"
#include "support/list_signing.h"
#include "support/random_bytes.h"
#include "support/text_match.h"
#include "support/tree_snapshot.h"
#include "update/checksum_list.h"
#include "update/release_statement.h"
#include "update/release_table.h"
#include "update_run_fixture.h"

namespace {

const std::string kTool =
    std::string(STARTER_BUILD_DIR) + "/tools/starter-publish";

using Files = std::map<std::string, std::string>;

class PublishToolTest : public UpdateRunFixture {
 protected:
  void SetUp() override {
    if (access(kTool.c_str(), X_OK) != 0) {
      GTEST_SKIP() << "build the starter-publish target first";
    }
    mkdir(Outer("capture").c_str(), 0755);
  }
  std::string Outer(const std::string& path) const { return outer_ / path; }
  // The served directory: the platform directory of the fixture's server.
  std::string Served() const {
    return release_.path() + "/" + std::string(kPlatform, sizeof kPlatform - 2);
  }
  std::string Releases() const { return Served() + ".releases"; }
  static std::string LinkText(const std::string& link) {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string();
  }
  // Makes the served directory one published by copying `files`, with
  // neither link nor releases.
  void ServeCopied(const Files& files) {
    std::filesystem::remove_all(Served());
    std::filesystem::remove_all(Releases());
    Publish(files, 1234);
  }

  // Writes `files` as the tree `name` below the test's outer directory.
  std::string Tree(const std::string& name, const Files& files) {
    const std::string tree = Outer(name);
    std::filesystem::remove_all(tree);
    mkdir(tree.c_str(), 0755);
    for (const auto& [path, content] : files)
      WriteFile(tree + "/" + path, content);
    return tree;
  }
  // Runs the tool with `args` (argv[0] added) from the outer directory.
  ChildResult Tool(const std::vector<std::string>& args,
                   const std::string& program = kTool) {
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), program == kTool ? "starter-publish" : program);
    return RunChild(program, argv, outer_.path(), Outer("capture"));
  }
  // Publishes `tree` signed with the test key; expects success.
  void PublishSigned(const std::string& tree) {
    const ChildResult r =
        Tool({"--sign", TestPrivateKeyPath(), tree, Served()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  // One update run that trusts the test key.
  RunOutcome SignedRun() {
    return Run("App/autoupdate.cfg",
               ListSigningKey{ReadFile(TestPublicKeyPath())});
  }
  // The files the served list names (path without "./" to content), after
  // checking that the list reads whole and each file matches its hash; an
  // empty map after a failed check.
  Files ServedRelease() {
    Files served;
    FILE* list = std::fopen((Served() + "/App/version.txt").c_str(), "r");
    EXPECT_NE(list, nullptr) << "no list served";
    if (list == nullptr) return served;
    const ListSteps steps = ReadListSteps(list);
    std::fclose(list);
    for (const ListStep& step : steps) {
      if (step.read() == ListRead::kEndAfterLineEnd) continue;
      EXPECT_EQ(step.read(), ListRead::kEntry);
      const std::string path(step.path().substr(2));
      const std::string content = ReadFile(Served() + "/" + path);
      EXPECT_EQ(Md5Hex(content.data(), content.size()), step.hash()) << path;
      served[path] = content;
    }
    // A signed release's statement names the served list and table, and
    // the table every listed file.
    ReleaseStatement statement;
    const std::string list_path = Served() + "/App/version.txt";
    if (ReadStatementFile(list_path + ".release", nullptr, statement) == "") {
      EXPECT_EQ(DigestOfFile(list_path), statement.list);
      ReleaseTable table;
      EXPECT_EQ(ReadReleaseTable(list_path + ".files", statement.files.size,
                                 statement.files.sha256, table),
                "");
      // Beside the files, one row for each patch the release publishes.
      std::error_code error;
      std::size_t patches = 0;
      for (const auto& entry : std::filesystem::directory_iterator(
               Served() + "/.patches", error)) {
        patches += entry.is_regular_file();
      }
      EXPECT_EQ(table.size(), served.size() + patches);
      for (const auto& [path, content] : served) {
        const ReleaseFileRecord* record = table.Find("./" + path);
        EXPECT_NE(record, nullptr) << path;
        if (record != nullptr) {
          EXPECT_EQ(record->size, content.size()) << path;
        }
      }
    }
    return served;
  }
  // The serial of the served release statement; 0 when it has none.
  long long ServedSerial() const {
    ReleaseStatement statement;
    return ReadStatementFile(Served() + "/App/version.txt.release", nullptr,
                             statement) == ""
               ? statement.serial
               : 0;
  }
  // A copy of the built starter whose key slot holds `public_key` ("" for
  // none), as `name` below the outer directory.
  std::string StarterTrusting(const std::string& name,
                              const std::string& public_key) {
    const std::string starter = Outer(name);
    EXPECT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + starter + "'"), 0);
    EXPECT_TRUE(FillKeySlot(starter, public_key));
    return starter;
  }
  // Every game file the release names holds the release's content, and the
  // version file is the served list.
  void ExpectGameHas(const Files& release) {
    for (const auto& [path, content] : release) {
      EXPECT_EQ(Local(path), content) << path;
    }
    EXPECT_EQ(Local("App/version.txt"), ListText());
  }
};

// Names that a web server would not hand back at update URL + the name:
// "#", "?" and "%", each control character that is not white space, DEL,
// and four byte sequences that are not UTF-8 (a lone byte above 0x7f, a
// sequence cut short, an overlong "/", a surrogate).
std::vector<std::string> UnfetchableNames() {
  std::vector<std::string> names = {"hash#tag", "query?v=1", "escape%2e%2e"};
  for (int byte = 1; byte < 0x20; ++byte) {
    if (std::string(" \t\n\v\f\r").find(static_cast<char>(byte)) !=
        std::string::npos) {
      continue;
    }
    names.push_back("control" + std::string(1, static_cast<char>(byte)));
  }
  names.push_back("del\x7f");
  for (const char* bytes : {"\xff", "cut\xc3", "overlong\xc0\xaf",
                            "surrogate\xed\xa0\x80"}) {
    names.push_back(bytes);
  }
  return names;
}

// `name` as the tools' reports print it: control characters and DEL in
// octal escapes.
std::string AsReported(const std::string& name) {
  std::string printed;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    char octal[5];
    std::snprintf(octal, sizeof octal, "\\%03o", byte);
    printed += byte < 0x20 || byte == 0x7f ? std::string(octal)
                                           : std::string(1, c);
  }
  return printed;
}

const Files kReleaseA = {{"Base/a.png", "a of A"},
                         {"Base/b.png", "b of A"},
                         {"Base/c.png", "c of A"}};
const Files kReleaseB = {{"Base/a.png", "a of B"},
                         {"Base/b.png", "b of B"},
                         {"Base/c.png", "c of B"},
                         {"OKUdedi", "server of B"}};

// A directory published by copying becomes the first release, served
// through the link throughout; each publish after it is one switch, keeps
// the two releases before it and drives every run to the new release.
TEST_F(PublishToolTest, ServesEachReleaseWholeAndKeepsTheTwoBefore) {
  Publish({{"Base/a.png", "copied"}}, 1234);
  ASSERT_EQ(Run().error, 0);
  const std::string copied_list = ListText();

  Files tree = kReleaseA;
  tree["App/version.txt"] = "a stale list, never served";
  tree["App/version.txt.sig"] = "a stale signature";
  tree["Base/.hidden"] = "never listed";
  PublishSigned(Tree("tree", tree));
  EXPECT_EQ(LinkText(Served()), "linux32-dedicated-demo.releases/release-2");
  EXPECT_EQ(ReadFile(Releases() + "/release-1/App/version.txt"), copied_list);
  EXPECT_EQ(ServedRelease(), kReleaseA);
  EXPECT_EQ(NamesIn(Served() + "/App"),
            (std::set<std::string>{"version.txt", "version.txt.files",
                                   "version.txt.release", "version.txt.sig"}));
  EXPECT_EQ(NamesIn(Served() + "/Base"),
            (std::set<std::string>{"a.png", "b.png", "c.png"}));
  const RunOutcome first = SignedRun();
  EXPECT_EQ(first.error, 0) << first.log;
  ExpectGameHas(kReleaseA);

  for (int round = 0; round < 3; ++round) {
    Files next = round % 2 == 0 ? kReleaseB : kReleaseA;
    next["Base/round.txt"] = std::to_string(round);
    const long old_key = std::stol(ListText().substr(13));
    PublishSigned(Tree("tree", next));
    EXPECT_NE(std::stol(ListText().substr(13)), old_key);
    EXPECT_EQ(ServedRelease(), next);
    const RunOutcome run = SignedRun();
    EXPECT_EQ(run.error, 0) << run.log;
    ExpectGameHas(next);
  }
  // Release 5 served, 3 and 4 kept, 1 and 2 removed, nothing else left;
  // each kept release is found by the MD5 of its list, and no other.
  EXPECT_EQ(NamesIn(Releases()),
            (std::set<std::string>{".publish.lock", "by-list-md5", "release-3",
                                   "release-4", "release-5"}));
  std::set<std::string> by_list;
  for (int n : {3, 4, 5}) {
    const std::string list = ReadFile(Releases() + "/release-" +
                                      std::to_string(n) + "/App/version.txt");
    const std::string md5 = Md5Hex(list.data(), list.size());
    by_list.insert(md5);
    EXPECT_EQ(LinkText(Releases() + "/by-list-md5/" + md5),
              "../release-" + std::to_string(n));
  }
  EXPECT_EQ(NamesIn(Releases() + "/by-list-md5"), by_list);
  EXPECT_TRUE(Contains(SignedRun().log, "Version file the same (key matches)"));
}

// A tree with a name no list can carry is refused before anything is
// written; so are command lines the tool cannot take.
TEST_F(PublishToolTest, RefusesWithoutChangingWhatIsServed) {
  PublishSigned(Tree("tree", kReleaseA));
  Files odd = kReleaseB;
  odd["Base/tab\tname.png"] = "x";
  const std::string odd_tree = Tree("odd", odd);
  const std::string good_tree = Tree("good", kReleaseB);
  // Trees whose DUdavi trusts another key, or is no starter of ours.
  const KeyPairFiles other = MakeKeyPair(outer_.path(), "other");
  const std::string other_fingerprint =
      KeyFingerprint({ReadFile(other.public_key)});
  const std::string test_fingerprint =
      KeyFingerprint({ReadFile(TestPublicKeyPath())});
  const std::string other_starter_tree = Tree("other-starter", kReleaseA);
  ASSERT_EQ(RunShell("cp '" +
                     StarterTrusting("other-DUdavi", ReadFile(other.public_key)) +
                     "' '" + other_starter_tree + "/DUdavi'"),
            0);
  Files script_starter = kReleaseA;
  script_starter["DUdavi"] = "#!/bin/sh\nexit 0\n";
  const std::string script_starter_tree =
      Tree("script-starter", script_starter);
  // 34 names no web server hands back under the URL a starter asks for,
  // each refused on a line of its own.
  Files unfetchable = kReleaseB;
  const std::vector<std::string> unfetchable_names = UnfetchableNames();
  for (const std::string& name : unfetchable_names) {
    unfetchable["Base/" + name + ".png"] = "x";
  }
  const std::string unfetchable_tree = Tree("unfetchable", unfetchable);
  // Links that lead nowhere, into the served directory and its releases,
  // and out of the tree.
  const std::string links_tree = Tree("links", kReleaseB);
  WriteFile(Outer("outside.png"), "outside");
  for (const auto& [name, target] :
       std::map<std::string, std::string>{
           {"dangling.png", "absent.png"},
           {"served.png", Served() + "/Base/a.png"},
           {"release.png", Releases() + "/release-1/Base/b.png"},
           {"outside.png", Outer("outside.png")}}) {
    ASSERT_EQ(symlink(target.c_str(), (links_tree + "/Base/" + name).c_str()),
              0);
  }
  // A tree with a top-level .patches of its own, empty or not.
  const std::string patches_tree = Tree("patches", kReleaseB);
  WriteFile(patches_tree + "/.patches/0-1", "not a patch of this release");
  const std::string empty_patches_tree = Tree("empty-patches", kReleaseB);
  ASSERT_EQ(mkdir((empty_patches_tree + "/.patches").c_str(), 0755), 0);
  const std::string usage_line =
      "usage: starter-publish [OPTIONS] TREE SERVER_DIR\n";
  const struct {
    const char* label;
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of standard error
    bool usage_out;   // the usage on standard output
  } cases[] = {
      {"a name with a tab",
       {odd_tree, Served()},
       1,
       "starter-publish: cannot be listed (white space in the name makes it "
       "read as another entry): ./Base/tab\\tname.png\n",
       false},
      {"34 names no server can fetch",
       {unfetchable_tree, Served()},
       1,
       "starter-publish: nothing published: 34 file(s) cannot be listed\n",
       false},
      {"links that lead nowhere, into what is served and out of the tree",
       {links_tree, Served()},
       1,
       "starter-publish: cannot be listed (a link that leads to no file): "
       "./Base/dangling.png\n"
       "starter-publish: cannot be listed (a link out of the tree, to " +
           CanonicalPath(Outer("outside.png")) +
           " (--follow-outside-links publishes its content)): "
           "./Base/outside.png\n"
           "starter-publish: cannot be listed (a link into the served "
           "directory " +
           CanonicalPath(Releases() + "/release-1") +
           "): ./Base/release.png\n"
           "starter-publish: cannot be listed (a link into the served "
           "directory " +
           CanonicalPath(Releases() + "/release-1") +
           "): ./Base/served.png\n"
           "starter-publish: nothing published: 4 file(s) cannot be listed\n",
       false},
      {"a tree holding a .patches of its own",
       {patches_tree, Served()},
       1,
       "starter-publish: cannot be listed (the name of the release's "
       "patches): ./.patches\n"
       "starter-publish: nothing published: 1 file(s) cannot be listed\n",
       false},
      {"a tree holding an empty .patches",
       {empty_patches_tree, Served()},
       1,
       "cannot be listed (the name of the release's patches): ./.patches\n",
       false},
      {"more releases kept than the tool keeps",
       {"--keep", "101", good_tree, Served()},
       1,
       "cannot take --keep 101 (0 to 100)",
       false},
      {"a patch level zstd has not",
       {"--patch-level", "0", good_tree, Served()},
       1,
       "cannot take --patch-level 0 (1 to 19)",
       false},
      {"signing again with a patch level",
       {"--resign", "--sign", TestPrivateKeyPath(), "--expires", "7d",
        "--patch-level", "3", Served()},
       2,
       usage_line,
       false},
      {"the server directory inside the tree",
       {release_.path(), Served()},
       1,
       "lies inside",
       false},
      {"a tree that does not exist",
       {Outer("absent"), Served()},
       1,
       "cannot enter",
       false},
      {"a key that does not exist",
       {"--sign", Outer("absent.pem"), good_tree, Served()},
       1,
       "cannot open",
       false},
      {"a key that is not a private key",
       {"--sign", TestPublicKeyPath(), good_tree, Served()},
       1,
       "cannot sign",
       false},
      {"no server directory", {good_tree}, 2, usage_line, false},
      {"a release name without a key",
       {"--name", "r1", good_tree, Served()},
       2,
       usage_line,
       false},
      {"signing again without an expiry",
       {"--resign", "--sign", TestPrivateKeyPath(), Served()},
       2,
       usage_line,
       false},
      {"a name no statement can carry",
       {"--sign", TestPrivateKeyPath(), "--name", "two words", good_tree,
        Served()},
       1,
       "cannot name a release",
       false},
      {"an expiry of no time",
       {"--sign", TestPrivateKeyPath(), "--expires", "0d", good_tree, Served()},
       1,
       "cannot take --expires 0d",
       false},
      {"a new key that is no public key",
       {"--sign", TestPrivateKeyPath(), "--new-key", TestPrivateKeyPath(),
        good_tree, Served()},
       1,
       "is not an Ed25519 public key",
       false},
      {"a switch back to a release that is not there",
       {"--switch-back", "9", Served()},
       1,
       "no release 9 in",
       false},
      {"a starter that trusts another key",
       {"--sign", TestPrivateKeyPath(), other_starter_tree, Served()},
       1,
       "starter-publish: DUdavi trusts key " + other_fingerprint +
           ", not the signing key " + test_fingerprint,
       false},
      {"a starter without a key slot",
       {"--sign", TestPrivateKeyPath(), script_starter_tree, Served()},
       1,
       "has no key slot",
       false},
      {"an unknown option",
       {"--force", good_tree, Served()},
       2,
       usage_line,
       false},
      {"--help", {"--help"}, 0, "", true},
  };
  const auto served_before = SnapshotTree(Releases() + "/release-1");
  const auto releases_before = NamesIn(Releases());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const ChildResult r = Tool(c.args);
    EXPECT_EQ(r.exit_code, c.status);
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    if (c.usage_out) {
      EXPECT_EQ(r.out.rfind(usage_line, 0), 0u) << r.out;
      EXPECT_TRUE(Contains(r.out, "NAME.releases/release-N")) << r.out;
    }
    EXPECT_EQ(LinkText(Served()), "linux32-dedicated-demo.releases/release-1");
    EXPECT_EQ(SnapshotTree(Releases() + "/release-1"), served_before);
    EXPECT_EQ(NamesIn(Releases()), releases_before);
  }
  // One line a name, each naming its reason.
  const ChildResult refused = Tool({unfetchable_tree, Served()});
  int lines = 0;
  for (const std::string& name : unfetchable_names) {
    const std::string line = "): ./Base/" + AsReported(name) + ".png\n";
    SCOPED_TRACE(line);
    EXPECT_TRUE(Contains(refused.err, line)) << refused.err;
    lines += Contains(refused.err, line);
  }
  EXPECT_EQ(lines, 34);
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 35)
      << refused.err;
  EXPECT_EQ(ServedRelease(), kReleaseA);
  // With --follow-outside-links only the link out of the tree is taken:
  // published as its file's content.
  const ChildResult still = Tool({"--follow-outside-links", links_tree, Served()});
  EXPECT_EQ(still.exit_code, 1);
  EXPECT_FALSE(Contains(still.err, "outside.png")) << still.err;
  for (const char* link : {"dangling.png", "served.png", "release.png"}) {
    ASSERT_EQ(unlink((links_tree + "/Base/" + link).c_str()), 0);
  }
  const ChildResult followed =
      Tool({"--follow-outside-links", links_tree, Served()});
  EXPECT_EQ(followed.exit_code, 0) << followed.err;
  Files with_outside = kReleaseB;
  with_outside["Base/outside.png"] = "outside";
  EXPECT_EQ(ServedRelease(), with_outside);
  const ChildResult version = Tool({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "starter-publish " STARTER_PROJECT_VERSION "\n");
}

// `bytes` with `count` runs of 64 bytes overwritten at scattered places,
// from `seed`: a pack of which a few records changed.
std::string Edited(std::string bytes, int count, unsigned seed) {
  const std::string runs = RandomBytes(64 * count, seed);
  for (int i = 0; i < count; ++i) {
    const std::size_t at = (bytes.size() / count) * i + 100;
    bytes.replace(at, 64, runs.substr(64 * i, 64));
  }
  return bytes;
}

std::string Md5Of(const std::string& bytes) {
  return Md5Hex(bytes.data(), bytes.size());
}

// Each publish makes, for every file that changed against a kept release,
// the patch from the kept copy to the new one under the name of the two
// contents, shared by the paths with that pair, listed in the file table
// (signed or not) and decoding to the new file; none where the patch would
// not be under half the file (a texture replaced whole, a small script).
// --keep keeps more releases and patches from each.
TEST_F(PublishToolTest, PatchesEachChangedFileFromEveryKeptRelease) {
  const std::vector<std::string> packs = {
      RandomBytes(256 << 10, 31), Edited(RandomBytes(256 << 10, 31), 8, 32),
      Edited(Edited(RandomBytes(256 << 10, 31), 8, 32), 4, 33),
      Edited(Edited(Edited(RandomBytes(256 << 10, 31), 8, 32), 4, 33), 2, 34)};
  // The copy of the pack stays at the second release's content.
  const auto release = [&](int n) {
    return Files{{"Base/pack.pak", packs[n]},
                 {"Base/copy.pak", packs[std::min(n, 1)]},
                 {"Base/texture.dds", RandomBytes(64 << 10, std::min(n, 1))},
                 {"Base/script.lua", "print(" + std::to_string(n) + ")\n"}};
  };
  const auto patch_name = [&](int from, int to) {
    return Md5Of(packs[from]) + "-" + Md5Of(packs[to]);
  };
  // Each patch of the served release: listed with its size and SHA-256,
  // and decoding from its old content (in the release that kept it), by
  // ApplyPatch and by the zstd tool, to the served file.
  const auto expect_patches = [&](const std::vector<std::pair<int, int>>& pairs,
                                  const std::string& table_text) {
    ReleaseTable table;
    ASSERT_EQ(table.Parse(table_text), "");
    std::set<std::string> names;
    for (const auto& [from, to] : pairs) {
      SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to));
      const std::string name = patch_name(from, to);
      names.insert(name);
      const std::string patch = Served() + "/.patches/" + name;
      const std::string bytes = ReadFile(patch);
      const ReleaseFileRecord* row =
          table.FindPatch(Md5Of(packs[from]), Md5Of(packs[to]));
      ASSERT_NE(row, nullptr);
      EXPECT_EQ(row->path, PatchTablePath(Md5Of(packs[from]), Md5Of(packs[to])));
      EXPECT_EQ(row->size, bytes.size());
      EXPECT_EQ(row->sha256, Sha256Hex(bytes));
      EXPECT_FALSE(row->executable);
      EXPECT_LT(2 * bytes.size(), packs[to].size());
      const std::string old = Releases() + "/release-" +
                              std::to_string(from + 1) + "/Base/pack.pak";
      ASSERT_EQ(ReadFile(old), packs[from]);
      {
        AtomicFile out(Outer("decoded"), LinkAtDestination::kReplace);
        const PatchResult applied =
            ApplyPatch(old, patch, out, PatchLimits{packs[to].size()});
        ASSERT_TRUE(applied.ok()) << DescribePatchResult(applied);
        ASSERT_TRUE(out.Commit());
      }
      EXPECT_TRUE(ReadFile(Outer("decoded")) == packs[to]);
      if (access("/usr/bin/zstd", X_OK) == 0) {
        EXPECT_EQ(RunShell("zstd -q -d -f --long=30 '--patch-from=" + old +
                           "' '" + patch + "' -o '" + Outer("by-zstd") + "'"),
                  0);
        EXPECT_TRUE(ReadFile(Outer("by-zstd")) == packs[to]);
      }
    }
    EXPECT_EQ(NamesIn(Served() + "/.patches"), names);
  };

  PublishSigned(Tree("tree", release(0)));
  EXPECT_FALSE(std::filesystem::exists(Served() + "/.patches"));
  // One patch for the pack and its copy; the texture and the script are
  // fetched whole.
  ChildResult r = Tool({"--sign", TestPrivateKeyPath(), Tree("tree", release(1)),
                        Served()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(
      r.out, "Made 1 patches for 4 changed files: " +
                 std::to_string(std::filesystem::file_size(
                     Served() + "/.patches/" + patch_name(0, 1))) +
                 " bytes instead of 262144 ("))
      << r.out;
  EXPECT_EQ(ServedRelease(), release(1));
  expect_patches({{0, 1}}, ReadFile(Served() + "/App/version.txt.files"));
  // The run, which knows nothing of patches, installs the files.
  const RunOutcome run = SignedRun();
  EXPECT_EQ(run.error, 0) << run.log;
  ExpectGameHas(release(1));

  // Three releases kept: patches from each, the copy's shared one the same
  // bytes as the release before had.
  const std::string shared = ReadFile(Served() + "/.patches/" + patch_name(0, 1));
  r = Tool({"--keep", "3", "--sign", TestPrivateKeyPath(),
            Tree("tree", release(2)), Served()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Made 3 patches for 4 changed files: ")) << r.out;
  EXPECT_EQ(ServedRelease(), release(2));
  expect_patches({{0, 1}, {0, 2}, {1, 2}},
                 ReadFile(Served() + "/App/version.txt.files"));
  EXPECT_TRUE(ReadFile(Served() + "/.patches/" + patch_name(0, 1)) == shared);

  // Unsigned: the same table, without signature or statement.
  r = Tool({"--keep", "3", Tree("tree", release(3)), Served()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Made 4 patches for 4 changed files: ")) << r.out;
  EXPECT_EQ(NamesIn(Served() + "/App"),
            (std::set<std::string>{"version.txt", "version.txt.files"}));
  EXPECT_EQ(ServedRelease(), release(3));
  expect_patches({{0, 1}, {0, 3}, {1, 3}, {2, 3}},
                 ReadFile(Served() + "/App/version.txt.files"));
  for (int n : {1, 2, 3, 4}) {
    EXPECT_TRUE(NamesIn(Releases()).count("release-" + std::to_string(n)))
        << n;
  }
}

// Each signed release's statement carries a serial above every one the
// served directory had: a switch back serves the old files under a new
// serial, which a game directory on a later release takes (a link switched
// back by hand serves the old serial, which it refuses), and signing the
// served statement again raises the serial without touching the files.
TEST_F(PublishToolTest, SerialsOnlyRiseAcrossSwitchBacksAndSigningAgain) {
  const auto installed_serial = [&] {
    ReleaseStatement statement;
    ReadStatementFile(game_ + "/App/version.txt.release", nullptr, statement);
    return statement.serial;
  };
  PublishSigned(Tree("tree", kReleaseA));
  ASSERT_EQ(SignedRun().error, 0);
  ASSERT_EQ(Tool({"--sign", TestPrivateKeyPath(), "--name", "b-1", "--expires",
                  "30d", Tree("tree", kReleaseB), Served()})
                .exit_code,
            0);
  EXPECT_EQ(ServedSerial(), 2);
  EXPECT_TRUE(Contains(ReadFile(Served() + "/App/version.txt.release"),
                       "\nname b-1\n"));
  RunOutcome run = SignedRun();
  EXPECT_EQ(run.error, 0) << run.log;
  ExpectGameHas(kReleaseB);
  EXPECT_EQ(installed_serial(), 2);

  // Switched back by hand, the served directory serves release 1's
  // statement: the game directory stays on release 2.
  ASSERT_EQ(RunShell("ln -s linux32-dedicated-demo.releases/release-1 '" +
                     Served() + ".new' && mv -T '" + Served() + ".new' '" +
                     Served() + "'"),
            0);
  run = SignedRun();
  EXPECT_EQ(run.error, 1);
  EXPECT_TRUE(Contains(run.log,
                       "the release statement of release 1 is behind the "
                       "installed release 2\n"))
      << run.log;
  for (const auto& [path, content] : kReleaseB) {
    EXPECT_EQ(Local(path), content) << path;
  }

  // Switched back by the tool, release 1's files are served again under
  // serial 3, and the game directory takes them.
  const ChildResult back =
      Tool({"--sign", TestPrivateKeyPath(), "--switch-back", "1", Served()});
  ASSERT_EQ(back.exit_code, 0) << back.err;
  EXPECT_EQ(LinkText(Served()), "linux32-dedicated-demo.releases/release-3");
  EXPECT_EQ(ServedSerial(), 3);
  EXPECT_EQ(ServedRelease(), kReleaseA);
  run = SignedRun();
  EXPECT_EQ(run.error, 0) << run.log;
  EXPECT_EQ(Local("Base/a.png"), kReleaseA.at("Base/a.png"));
  EXPECT_EQ(installed_serial(), 3);

  // Signed again (a timer keeping it from expiring): serial 4 for the same
  // list and files, which the game directory records without a download.
  const std::string list_before = ListText();
  const auto files_before = SnapshotTree(Releases() + "/release-3/Base");
  const KeyPairFiles other = MakeKeyPair(outer_.path(), "other");
  EXPECT_EQ(Tool({"--resign", "--sign", other.private_key, "--expires", "7d",
                  Served()})
                .exit_code,
            1);
  EXPECT_EQ(ServedSerial(), 3);
  const ChildResult resigned = Tool(
      {"--resign", "--sign", TestPrivateKeyPath(), "--expires", "7d", Served()});
  ASSERT_EQ(resigned.exit_code, 0) << resigned.err;
  EXPECT_TRUE(Contains(resigned.out, "serial 4, expires ")) << resigned.out;
  EXPECT_EQ(ServedSerial(), 4);
  EXPECT_EQ(ListText(), list_before);
  EXPECT_EQ(SnapshotTree(Releases() + "/release-3/Base"), files_before);
  EXPECT_EQ(ServedRelease(), kReleaseA);
  const int requests_before = server_.TotalRequestCount();
  run = SignedRun();
  EXPECT_EQ(run.error, 0) << run.log;
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
  EXPECT_EQ(installed_serial(), 4);
  // The list, its signature and the statement: no table, no file.
  EXPECT_EQ(server_.TotalRequestCount() - requests_before, 3);
}

// A run that fetched release A's list while B was published installs
// nothing of B: the switch comes while one of its answers is held (the
// signature, or a file), the answer is then B's, and the run refuses it.
// The next run converges to B.
TEST_F(PublishToolTest, RunAcrossTheSwitchInstallsOnlyWhatItsListNames) {
  for (const char* held : {"App/version.txt.sig", "Base/b.png"}) {
    SCOPED_TRACE(held);
    std::filesystem::remove_all(game_ + "/Base");
    std::filesystem::remove(game_ + "/OKUdedi");
    WriteLocal("App/version.txt", "");
    PublishSigned(Tree("tree", kReleaseA));
    const std::string list_a = ListText();
    const std::string held_url = "/10/" + std::string(kPlatform) + held;
    const int fetched_before = Fetches(held);
    server_.Hold(held_url);
    RunOutcome across;
    std::thread run([&] { across = SignedRun(); });
    server_.WaitForRequests(held_url, fetched_before + 1);
    PublishSigned(Tree("tree", kReleaseB));
    server_.Release(held_url);
    run.join();

    EXPECT_EQ(across.error, 1) << across.log;
    for (const auto& [path, content] : kReleaseA) {
      if (LocalExists(path)) {
        EXPECT_EQ(Local(path), content) << path;
      }
    }
    EXPECT_FALSE(LocalExists("OKUdedi"));
    EXPECT_NE(Local("App/version.txt"), ListText());
    EXPECT_NE(Local("App/version.txt"), list_a);

    const RunOutcome next = SignedRun();
    EXPECT_EQ(next.error, 0) << next.log;
    ExpectGameHas(kReleaseB);
  }
}

// A publish killed before any one of its changing system calls leaves the
// server serving one whole release, the old or the new, and the next
// publish finishes the job and clears what the killed one left.
TEST_F(PublishToolTest, KilledAtAnyStepLeavesAWholeReleaseServed) {
  const std::string strace = "/usr/bin/strace";
  if (access(strace.c_str(), X_OK) != 0 ||
      RunShell(strace + " -qq -o /dev/null true") != 0) {
    GTEST_SKIP() << "strace is needed to stop the tool before each step";
  }
  // The leak checker of a sanitized build cannot run under strace.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string no_leak_check =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
      ":detect_leaks=0";
  // A pack with a few records changed: its patch is among the steps.
  Files release = kReleaseB;
  release["Base/pack.pak"] = Edited(RandomBytes(64 << 10, 41), 4, 42);
  const std::string tree = Tree("tree", release);
  // Each publish starts from a directory published by copying and three
  // older releases, so that the conversion and the removal of two releases
  // are among its steps.
  const Files copied = {{"Base/a.png", "copied"},
                        {"Base/b.png", "b"},
                        {"Base/pack.pak", RandomBytes(64 << 10, 41)}};
  const auto start = [&] {
    ServeCopied(copied);
    for (int n = 1; n <= 3; ++n) {
      WriteFile(Releases() + "/release-" + std::to_string(n) + "/Base/x",
                "old");
    }
  };
  // The calls that change names. The calls that only fill the staging
  // directory (writes, syncs, modes, times) lie between them: a kill there
  // leaves what a kill at the next of these leaves, less some bytes that
  // nothing serves.
  const char* steps[] = {"mkdir",     "mkdirat", "rename",    "renameat",
                         "renameat2", "symlink", "symlinkat", "unlink",
                         "unlinkat",  "rmdir"};
  int kills = 0;
  for (const char* step : steps) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(step) + " #" + std::to_string(n));
      start();
      const std::string set = std::string("?") + step;
      const ChildResult r =
          Tool({"-f", "-qq", "-o", "/dev/null", "-E", no_leak_check, "-e",
                "trace=" + set, "-e",
                "inject=" + set + ":signal=KILL:when=" + std::to_string(n),
                kTool, "--sign", TestPrivateKeyPath(), tree, Served()},
               strace);
      const Files served = ServedRelease();
      EXPECT_TRUE(served == copied || served == release);
      if (r.signal == 0) {
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(served, release);
        EXPECT_EQ(NamesIn(Served() + "/.patches").size(), 1u);
        break;
      }
      ++kills;
      // The next publish finishes the job and clears what was left.
      ASSERT_EQ(Tool({"--sign", TestPrivateKeyPath(), tree, Served()}).exit_code,
                0);
      EXPECT_EQ(ServedRelease(), release);
      const std::set<std::string> names = NamesIn(Releases());
      EXPECT_EQ(names.count(".publish.lock"), 1u);
      // The lock, the index by list, two kept and the served.
      EXPECT_EQ(names.size(), 5u);
      for (const std::string& name : names) {
        EXPECT_TRUE(name == ".publish.lock" || name == "by-list-md5" ||
                    name.rfind("release-", 0) == 0)
            << name;
      }
      // The index names only kept releases, each by the MD5 of its list,
      // the served one among them; nothing half made is left in it.
      const std::string served_list = ListText();
      EXPECT_EQ(LinkText(Releases() + "/by-list-md5/" +
                         Md5Hex(served_list.data(), served_list.size())),
                "../" + LinkText(Served()).substr(LinkText(Served()).rfind('/') + 1));
      for (const std::string& entry : NamesIn(Releases() + "/by-list-md5")) {
        const std::string list =
            ReadFile(Releases() + "/by-list-md5/" + entry + "/App/version.txt");
        EXPECT_EQ(Md5Hex(list.data(), list.size()), entry);
      }
    }
  }
  RecordProperty("kills", kills);
  EXPECT_GT(kills, 20);
}

}  // namespace
