// starter-verify, the real binary, on real game directories made at test
// time and against the in-process server with faults. Every row proves the
// game directory unchanged (paths, contents, modes, mtimes) and the
// temporary directory emptied; the server rows then run the real update and
// check that it does what the preview said.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "engine/exclusive_lock.h"
#include "engine/md5.h"
#include "launcher/compiled_settings.h"
#include "launcher/key_slot.h"
#include "update/list_signature.h"
#include "support/text_match.h"
#include "verify_tool_fixture.h"

namespace {

// Links `link` below the game directory to a directory outside it holding
// s.png (listed by the rows that use it) and u.cfg (never listed).
void LinkDirectoryOutside(VerifyToolFixture& t, const std::string& link) {
  WriteFile(t.Outer("shared/s.png"), "s");
  WriteFile(t.Outer("shared/u.cfg"), "shared, not the game's");
  ASSERT_EQ(symlink(t.Outer("shared").c_str(), t.Game(link).c_str()), 0);
}

void MakeFifo(VerifyToolFixture& t, const std::string& path) {
  t.RemoveGame(path);
  ASSERT_EQ(mkfifo(t.Game(path).c_str(), 0644), 0);
}

// Puts a socket's file at `path` instead of the file.
void MakeSocket(VerifyToolFixture& t, const std::string& path) {
  t.RemoveGame(path);
  ASSERT_TRUE(MakeSocketFile(t.Game(path))) << path;
}

// Replaces the file at `path` by a link to `target`, which is not there.
void MakeDanglingLink(VerifyToolFixture& t, const std::string& path,
                      const char* target) {
  t.RemoveGame(path);
  ASSERT_EQ(symlink(target, t.Game(path).c_str()), 0);
}

// ---------------------------------------------------------------------------
// The check against the local version file.

struct CheckCase {
  const char* name;
  std::function<void(VerifyToolFixture&)> change;
  std::string out;
  int status;
  // Part of standard error (rows that cannot check).
  std::string err = "";
};

// The summary line of a check (the whole output with --quiet).
std::string SummaryLine(bool intact, int listed, int differ, int moved,
                        int not_executable = 0) {
  return "summary: " + std::string(intact ? "intact" : "not intact") + ", " +
         std::to_string(listed) + " listed, " + std::to_string(differ) +
         " differ, " + std::to_string(moved) + " would move" +
         (not_executable > 0
              ? ", " + std::to_string(not_executable) + " not executable"
              : "") +
         "\n";
}

// The end of a check's output: the way to repair damage, the installed
// list's key, the summary line.
std::string Summary(bool intact, int listed, int differ, int moved,
                    int not_executable = 0, long key = kInstalledKey) {
  return (intact ? "" : "to repair: starter-repair GAME\n") +
         ("installed list key " + std::to_string(key) + "\n") +
         SummaryLine(intact, listed, differ, moved, not_executable);
}

const CheckCase kCheckCases[] = {
    {"Intact", [](VerifyToolFixture&) {}, Summary(true, 5, 0, 0), 0},
    {"MissingFile", [](VerifyToolFixture& t) { t.RemoveGame("Base/a.png"); },
     "missing Base/a.png\n" + Summary(false, 5, 1, 0), 1},
    {"ChangedFile",
     [](VerifyToolFixture& t) { t.WriteGame("Base/sub/b.xml", "B"); },
     "differs Base/sub/b.xml\n" + Summary(false, 5, 1, 0), 1},
    {"FifoAtListedPath",
     [](VerifyToolFixture& t) { MakeFifo(t, "Base/a.png"); },
     "not a regular file Base/a.png\n" + Summary(false, 5, 1, 0), 1},
    {"SocketAtListedPath",
     [](VerifyToolFixture& t) { MakeSocket(t, "Base/a.png"); },
     "not a regular file Base/a.png\n" + Summary(false, 5, 1, 0), 1},
    {"DanglingLinkAtListedPath",
     [](VerifyToolFixture& t) {
       MakeDanglingLink(t, "Base/a.png", "nothere.png");
     },
     "missing Base/a.png\n" + Summary(false, 5, 1, 0), 1},
    // A failed first install records the files it could not hash with a
    // mark that the version file then lists: it is never taken for a hash.
    {"MissingFileListedAsUnreadable",
     [](VerifyToolFixture& t) {
       t.RemoveGame("Base/a.png");
       std::string list = ChecksumListOf(kRelease, kInstalledKey);
       list.replace(list.find(Md5Hex("a", 1)), 32, "unreadable");
       t.WriteGame("App/version.txt", list);
     },
     "missing Base/a.png\n" + Summary(false, 5, 1, 0), 1},
    {"DirectoryAtListedPath",
     [](VerifyToolFixture& t) {
       t.RemoveGame("OKUdedi");
       ASSERT_EQ(mkdir(t.Game("OKUdedi").c_str(), 0755), 0);
     },
     "not a regular file OKUdedi\n" + Summary(false, 5, 1, 0), 1},
    {"UnlistedFilesUnderBase",
     [](VerifyToolFixture& t) {
       t.WriteGame("Base/Sounds/x.OGG", "moved by the next update");
       t.WriteGame("Base/maps/x.txt", "maps stay");
       t.WriteGame("Base/notes.bin", "extension not moved");
       t.WriteGame("Base/.hidden.cfg", "hidden files are never scanned");
       t.WriteGame("loose.cfg", "outside Base");
     },
     "would move Base/Sounds/x.OGG\n" + Summary(false, 5, 0, 1), 1},
    {"IgnoreListsProtectChangedAndUnlistedFiles",
     [](VerifyToolFixture& t) {
       t.WriteGame("autoupdate_ignore.cfg", "Base/sub/b.xml\ncustom.cfg\n");
       t.WriteGame("Base/sub/b.xml", "an operator's own version");
       t.WriteGame("Base/custom.cfg", "unlisted, on the list by name");
     },
     Summary(true, 5, 0, 0), 0},
    {"IgnoredButMissingFile",
     [](VerifyToolFixture& t) {
       t.WriteGame("autoupdate_ignore_custom.cfg", "Base/a.png\n");
       t.RemoveGame("Base/a.png");
     },
     "missing Base/a.png\n" + Summary(false, 5, 1, 0), 1},
    {"LinkedDirectoryLeadingOut",
     [](VerifyToolFixture& t) {
       LinkDirectoryOutside(t, "Base/shared");
       t.WriteGame("App/version.txt",
                   ChecksumListOf(With(kRelease, {{"Base/shared/s.png", "s"}}),
                                  kInstalledKey));
     },
     "refused Base/shared/s.png\n" + Summary(false, 6, 1, 0), 1},
    {"LinkedDirectoryInside",
     [](VerifyToolFixture& t) {
       t.WriteGame("Extra/e.txt", "e");
       ASSERT_EQ(symlink("../Extra", t.Game("Base/alias").c_str()), 0);
       t.WriteGame("App/version.txt",
                   ChecksumListOf(With(kRelease, {{"Base/alias/e.txt", "e"}}),
                                  kInstalledKey));
     },
     Summary(true, 6, 0, 0), 0},
    // The game's executables and scripts are installed runnable by their
    // owner; one that is not is damage, unless an ignore list protects it.
    {"ScriptNotExecutable",
     [](VerifyToolFixture& t) {
       ASSERT_EQ(chmod(t.Game("dedicatedserver.sh").c_str(), 0644), 0);
     },
     "not executable dedicatedserver.sh\n" + Summary(false, 5, 0, 0, 1), 1},
    {"ExecutableNotExecutableAndScriptChanged",
     [](VerifyToolFixture& t) {
       ASSERT_EQ(chmod(t.Game("OKUdedi").c_str(), 0600), 0);
       t.WriteGame("dedicatedserver.sh", "#!/bin/sh\nexit 1\n");
       ASSERT_EQ(chmod(t.Game("dedicatedserver.sh").c_str(), 0644), 0);
     },
     "not executable OKUdedi\ndiffers dedicatedserver.sh\n" +
         Summary(false, 5, 1, 0, 1),
     1},
    {"IgnoredScriptNotExecutable",
     [](VerifyToolFixture& t) {
       t.WriteGame("autoupdate_ignore.cfg", "dedicatedserver.sh\n");
       ASSERT_EQ(chmod(t.Game("dedicatedserver.sh").c_str(), 0644), 0);
     },
     Summary(true, 5, 0, 0), 0},
    {"NoVersionFile",
     [](VerifyToolFixture& t) { t.RemoveGame("App/version.txt"); }, "", 2,
     "no checksum list in App/version.txt"},
    {"VersionFileNotAList",
     [](VerifyToolFixture& t) { t.WriteGame("App/version.txt", "<html>\n"); },
     "", 2, "no checksum list in App/version.txt"},
};

// Rows print as their names in failure messages.
void PrintTo(const CheckCase& row, std::ostream* os) { *os << row.name; }

class VerifyCheckTest : public VerifyToolFixture,
                        public ::testing::WithParamInterface<CheckCase> {};

TEST_P(VerifyCheckTest, ReportsWhatDiffersAndChangesNothing) {
  const CheckCase& row = GetParam();
  row.change(*this);
  const VerifyRun run = Verify({});
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.status, row.status);
  EXPECT_TRUE(Contains(run.err, row.err)) << run.err;
  // The server is not asked.
  EXPECT_EQ(server_.TotalRequestCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, VerifyCheckTest,
                         ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The preview of the next start against the server.

enum class Build { kAny, kKeyed, kUnkeyed };

struct ServerCase {
  const char* name;
  std::function<void(VerifyToolFixture&)> change;
  std::string out;
  int status;
  std::string err = "";
  Build build = Build::kAny;
};

// The keys before a preview's summary: the installed list's and the
// server's.
std::string Keys(long server_key) {
  return "installed list key " + std::to_string(kInstalledKey) +
         "\nserver list key " + std::to_string(server_key) + "\n";
}

// The summary line of a preview that would change something (the whole
// output with --quiet).
std::string ChangeSummaryLine(int moved, int downloaded, bool restart,
                              bool fail = false) {
  return "summary: would change, " + std::to_string(moved) + " would move, " +
         std::to_string(downloaded) + " would download, " +
         (fail      ? "would fail"
          : restart ? "would restart"
                    : "no restart") +
         "\n";
}

// The keys and the summary line of a preview against a list with a new key.
std::string ChangeSummary(int moved, int downloaded, bool restart,
                          bool fail = false) {
  return Keys(kNewKey) + ChangeSummaryLine(moved, downloaded, restart, fail);
}

// The end of a preview against the installed list: its keys match.
std::string KeyMatchSummary(int moved) {
  return "up to date (key matches)\n" + Keys(kInstalledKey) +
         "summary: " + (moved == 0 ? "no change" : "would change") + ", " +
         std::to_string(moved) + " would move, 0 would download\n";
}

constexpr char kReplace[] = "would replace App/version.txt\n";
constexpr char kFail[] = "would fail (the list is not installed)\n";

const ServerCase kServerCases[] = {
    {"SameList", [](VerifyToolFixture&) {}, KeyMatchSummary(0), 0},
    {"NewRelease",
     [](VerifyToolFixture& t) {
       t.PublishSigned(With(kRelease, {{"Base/sub/b.xml", "b2"},
                                       {"Base/new.png", "n"},
                                       {"OKUdedi", "server 2"},
                                       {"dedicatedserver.sh", "#!/bin/sh\n"}}),
                       kNewKey);
     },
     std::string("would download Base/new.png\nwould download "
                 "Base/sub/b.xml\nwould download OKUdedi\n") +
         kReplace + "would restart\n" + ChangeSummary(0, 3, true),
     1},
    {"ScriptOnlyDoesNotRestart",
     [](VerifyToolFixture& t) {
       t.PublishSigned(With(kRelease, {{"dedicatedserver.sh",
                                        "#!/bin/sh\n"
                                        "exit 0\n"}}),
                       kNewKey);
     },
     "would download dedicatedserver.sh\n" + std::string(kReplace) +
         ChangeSummary(0, 1, false),
     1},
    {"UnlistedFileWithTheSameKey",
     [](VerifyToolFixture& t) { t.WriteGame("Base/old.cfg", "unlisted"); },
     "would move Base/old.cfg\n" + KeyMatchSummary(1), 1},
    {"NewKeySameFiles",
     [](VerifyToolFixture& t) { t.PublishSigned(kRelease, kNewKey); },
     kReplace + ChangeSummary(0, 0, false), 1},
    {"IgnoreLists",
     [](VerifyToolFixture& t) {
       t.WriteGame("autoupdate_ignore.cfg", "Base/sub/b.xml\nlocal.cfg\n");
       t.WriteGame("Base/local.cfg", "unlisted, on the list by name");
       t.PublishSigned(With(kRelease, {{"Base/sub/b.xml", "b2"}}), kNewKey);
     },
     kReplace + ChangeSummary(0, 0, false), 1},
    {"FifoAtListedPath",
     [](VerifyToolFixture& t) {
       MakeFifo(t, "Base/a.png");
       t.PublishSigned(kRelease, kNewKey);
     },
     "would download Base/a.png\n" + std::string(kReplace) +
         ChangeSummary(0, 1, false),
     1},
    {"LinkedDirectoryLeadingOut",
     [](VerifyToolFixture& t) {
       LinkDirectoryOutside(t, "Base/shared");
       t.PublishSigned(With(kRelease, {{"Base/shared/s.png", "s2"}}), kNewKey);
     },
     "refused Base/shared/s.png\n" + std::string(kFail) +
         ChangeSummary(0, 0, false, true),
     1},
    // A release statement whose file table has no row for a listed path:
    // the run refuses the path, and the preview says so.
    {"ListedPathWithoutATableRow",
     [](VerifyToolFixture& t) {
       const auto files = With(kRelease, {{"Base/sub/b.xml", "b2"}});
       t.PublishSigned(files, kNewKey);
       auto stated = files;
       stated.erase("Base/a.png");
       const std::string table = ReleaseTableOf(stated);
       WriteFile(t.ServerListPath() + ".files", table);
       WriteFile(t.ServerListPath() + ".release",
                 SignStatementWithOpenssl(
                     TestPrivateKeyPath(),
                     StatementBodyOf({1, "1", 1700000000, std::nullopt},
                                     ReadFile(t.ServerListPath()), table),
                     t.Outer("")));
     },
     "refused Base/a.png\nwould download Base/sub/b.xml\n" +
         std::string(kFail) + ChangeSummary(0, 1, false, true),
     1, "", Build::kKeyed},
    {"PathListedTwiceWithTwoHashes",
     [](VerifyToolFixture& t) {
       t.PublishSigned(With(kRelease, {{"OKUdedi", "server 2"}}), kNewKey);
       WriteFile(t.ServerListPath(), ReadFile(t.ServerListPath()) +
                                         "./OKUdedi " + Md5Hex("server 3", 8) +
                                         "\n");
       t.Resign();
     },
     "would download OKUdedi\nwould fail to download OKUdedi (listed earlier "
     "with another hash)\n" +
         std::string(kFail) + ChangeSummary(0, 2, false, true),
     1},
    {"AliasOfAListedDirectory",
     [](VerifyToolFixture& t) {
       ASSERT_EQ(symlink("sub", t.Game("Base/Sub").c_str()), 0);
       t.WriteGame("Base/u.cfg", "unlisted");
       t.PublishSigned(With(kRelease, {{"Base/a.png", "a2"}}), kNewKey);
     },
     "would move Base/u.cfg\nwould download Base/a.png\n" +
         std::string(kReplace) + ChangeSummary(1, 1, false),
     1},
    {"LoopBackToBase",
     [](VerifyToolFixture& t) {
       ASSERT_EQ(symlink(".", t.Game("Base/again").c_str()), 0);
       t.WriteGame("Base/u.cfg", "unlisted");
     },
     "would move Base/u.cfg\n" + KeyMatchSummary(1), 1},
    {"SocketAndDanglingLinkAtListedPaths",
     [](VerifyToolFixture& t) {
       MakeSocket(t, "Base/a.png");
       MakeDanglingLink(t, "Base/sub/b.xml", "nothere.xml");
       t.PublishSigned(kRelease, kNewKey);
     },
     "would download Base/a.png\nwould download Base/sub/b.xml\n" +
         std::string(kReplace) + ChangeSummary(0, 2, false),
     1},
    {"TemporaryDirectoryInsideTheGameIsNotUsed",
     [](VerifyToolFixture& t) {
       setenv("TMPDIR", t.Game("Cache").c_str(), 1);
       t.PublishSigned(kRelease, kNewKey);
     },
     kReplace + ChangeSummary(0, 0, false), 1},
    {"ServerUnreachable",
     [](VerifyToolFixture&) {
       int port;
       {
         HttpTestServer gone;
         port = gone.port();
       }
       setenv("STARTER_UPDATE_URL",
              ("http://127.0.0.1:" + std::to_string(port) + "/10/").c_str(), 1);
     },
     "", 2, "cannot fetch http://127.0.0.1:"},
    {"ListAnsweredWithAnError",
     [](VerifyToolFixture& t) {
       t.server().SetReply(t.ListUrl(), HttpReply::Status(500));
     },
     "", 2, "cannot fetch"},
    {"ListCutShort",
     [](VerifyToolFixture& t) {
       t.server().SetReply(
           t.ListUrl(), HttpReply::ShortBody(ReadFile(t.ServerListPath()), 8));
     },
     "", 2, "cannot fetch"},
    {"ListWithoutEnd",
     [](VerifyToolFixture& t) {
       t.server().SetReply(t.ListUrl(), HttpReply::Endless());
     },
     "", 2, "(err 63)"},
    {"ErrorPageInsteadOfAList",
     [](VerifyToolFixture& t) {
       t.server().SetReply(t.ListUrl(), HttpReply::Ok("<html>busy</html>\n"));
     },
     "", 2, "not a checksum list"},
    {"ListChangedAfterSigning",
     [](VerifyToolFixture& t) {
       t.PublishSigned(kRelease, kNewKey);
       WriteFile(t.ServerListPath(), ChecksumListOf(kRelease, kNewKey + 1));
     },
     "", 2, "refusing the server's list: signature wrong", Build::kKeyed},
    {"SignatureMissing",
     [](VerifyToolFixture& t) {
       t.PublishSigned(kRelease, kNewKey);
       ASSERT_EQ(unlink((t.ServerListPath() + ".sig").c_str()), 0);
     },
     "", 2, "refusing the server's list: signature missing", Build::kKeyed},
    {"SignatureWithoutEnd",
     [](VerifyToolFixture& t) {
       t.PublishSigned(kRelease, kNewKey);
       t.server().SetReply(t.ListUrl() + ".sig", HttpReply::Endless());
     },
     "", 2, "refusing the server's list: signature unreadable", Build::kKeyed},
    {"DeadFirstMirror",
     [](VerifyToolFixture& t) {
       setenv("STARTER_UPDATE_URL",
              ("http://127.0.0.1:1/10/ " + t.server().Url("/10/")).c_str(), 1);
       t.PublishSigned(kRelease, kNewKey);
     },
     kReplace + ChangeSummary(0, 0, false), 1,
     "cannot fetch http://127.0.0.1:1/10/linux32-dedicated-demo/"
     "App/version.txt (err 7); trying the next server\n"},
    {"ErrorPageOnTheFirstMirror",
     [](VerifyToolFixture& t) {
       t.server().SetReply("/busy/linux32-dedicated-demo/App/version.txt",
                           HttpReply::Ok("<html>busy</html>\n"));
       setenv("STARTER_UPDATE_URL",
              (t.server().Url("/busy/") + " " + t.server().Url("/10/")).c_str(),
              1);
     },
     KeyMatchSummary(0), 0, "not a checksum list: "},
    {"SignatureNotNeededWithoutAKey",
     [](VerifyToolFixture& t) {
       t.PublishSigned(kRelease, kNewKey);
       WriteFile(t.ServerListPath() + ".sig", "not a signature");
     },
     kReplace + ChangeSummary(0, 0, false), 1, "", Build::kUnkeyed},
};

void PrintTo(const ServerCase& row, std::ostream* os) { *os << row.name; }

class VerifyServerTest : public VerifyToolFixture,
                         public ::testing::WithParamInterface<ServerCase> {};

TEST_P(VerifyServerTest, PreviewsTheNextStartAndChangesNothing) {
  const ServerCase& row = GetParam();
  if ((row.build == Build::kKeyed && !kStarterChecksSignatures) ||
      (row.build == Build::kUnkeyed && kStarterChecksSignatures)) {
    GTEST_SKIP() << "a row for the other build variant";
  }
  row.change(*this);
  // Quiet, only the summary line, or the one line of the problem that
  // stopped it; also with standard input and output closed, where nothing
  // of the transfers may reach standard error.
  const VerifyRun quiet = Verify({"--server", "--quiet"});
  EXPECT_EQ(quiet.status, row.status);
  const std::size_t last = row.out.rfind('\n', row.out.size() - 2);
  EXPECT_EQ(quiet.out, row.status == 2 ? "" : row.out.substr(last + 1));
  const VerifyRun closed = VerifyWithoutStandardOutput({"--server", "--quiet"});
  EXPECT_EQ(closed.status, row.status);
  for (const VerifyRun& terse : {quiet, closed}) {
    if (row.status == 2) {
      EXPECT_EQ(Count(terse.err, "\n"), 1) << terse.err;
      EXPECT_TRUE(terse.err.starts_with("starter-verify: ")) << terse.err;
      EXPECT_TRUE(Contains(terse.err, row.err)) << terse.err;
    } else {
      EXPECT_EQ(terse.err, "");
    }
  }
  const VerifyRun run = Verify({"--server"});
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.status, row.status);
  EXPECT_TRUE(Contains(run.err, row.err)) << run.err;
  // A keyed build fetches the signature of every list it got (the keyed
  // rows), and only of a list.
  const bool signature_fetched =
      kStarterChecksSignatures &&
      (row.status != 2 || row.build == Build::kKeyed);
  EXPECT_EQ(server_.RequestCount(ListUrl() + ".sig") > 0, signature_fetched);
  if (row.status == 2) return;

  // The real update run does what the preview said.
  const std::size_t since = server_.Requests().size();
  const RunOutcome update = RealRun();
  EXPECT_EQ(FetchedFiles(since), PredictedRequests(run.out));
  EXPECT_EQ(MovedFiles(), LinesAfter(run.out, "would move "));
  EXPECT_EQ(update.error == 0 && update.restartrequired,
            Contains(run.out, "would restart\n"));
  EXPECT_EQ(update.error != 0, Contains(run.out, kFail));
  EXPECT_EQ(Local("App/version.txt") == ReadFile(ServerListPath()),
            Contains(run.out, kReplace) ||
                Contains(run.out, "up to date (key matches)\n"));
  EXPECT_EQ(Contains(update.log, "Version file the same (key matches)"),
            Contains(run.out, "up to date (key matches)\n"));
  EXPECT_EQ(Contains(update.log, "Refusing listed path"),
            Contains(run.out, "refused "));
}

INSTANTIATE_TEST_SUITE_P(Rows, VerifyServerTest,
                         ::testing::ValuesIn(kServerCases),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The command line, and the run beside a starter that holds the update lock.

TEST_F(VerifyToolFixture, CommandLine) {
  WriteGame("Base/sub/b.xml", "B");
  PublishSigned(kRelease, kNewKey);
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {{"--quiet"}, SummaryLine(false, 5, 1, 0), 1},
      {{"--server", "--quiet"}, ChangeSummaryLine(0, 1, false), 1},
      {{"--quiet", "--server"}, ChangeSummaryLine(0, 1, false), 1},
      {{"--version"}, "starter-verify " STARTER_PROJECT_VERSION "\n", 0},
      {{"--server", "--version"},
       "starter-verify " STARTER_PROJECT_VERSION "\n",
       0},
      {{"--help"},
       "usage: starter-verify [--server] [--quiet] [GAME_DIR]\n"
       "Checks GAME_DIR (default: the current directory) against its\n"
       "App/version.txt, or with --server previews what the next start\n"
       "would do; changes nothing. Exit status: 0 intact or nothing to do,\n"
       "1 something differs or would change, 2 cannot tell.\n",
       0},
      {{"--bogus"}, "", 2},
      {{"two", "dirs"}, "", 2},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const VerifyRun run = Verify(row.args);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.status, row.status);
  }
  // Without GAME_DIR the working directory is checked.
  const ChildResult inside =
      RunChild(kTool, {"starter-verify", "--quiet"}, game_, Outer("capture"));
  EXPECT_EQ(inside.out, SummaryLine(false, 5, 1, 0));
  EXPECT_EQ(inside.exit_code, 1);
  // A STARTER_UPDATE_URL the starter would ignore is named first, also when
  // quiet; the preview goes on as the starter does, with the built-in
  // servers.
  setenv("STARTER_UPDATE_URL", "http://127.0.0.1:1/10/ bogus", 1);
  const VerifyRun ignored = Verify({"--server", "--quiet"});
  EXPECT_EQ(ignored.err.substr(0, ignored.err.find('\n') + 1),
            "starter-verify: STARTER_UPDATE_URL ignored (bogus: not an http "
            "URL ending in /): http://127.0.0.1:1/10/ bogus\n");
  // A game directory that does not exist cannot be checked.
  const ChildResult absent =
      RunChild(kTool, {"starter-verify", Outer("absent")}, outer_.path(),
               Outer("capture"));
  EXPECT_EQ(absent.exit_code, 2);
  EXPECT_EQ(absent.out, "");
  EXPECT_TRUE(Contains(absent.err, "cannot enter")) << absent.err;
}

// A first install whose files the server does not deliver records them in
// the version file with the mark of a file it could not hash; the check
// still says they are missing. (The files that did arrive differ from the
// mark recorded before they came.)
TEST_F(VerifyToolFixture, FilesAFailedFirstInstallLeftOutAreMissing) {
  for (const auto& [path, content] : kRelease) RemoveGame(path);
  RemoveGame("App/version.txt");
  PublishSigned(kRelease, kNewKey);
  for (const std::string path : {"Base/a.png", "OKUdedi"}) {
    server_.SetReply("/10/" + std::string(kPlatform) + path,
                     HttpReply::Status(500));
  }
  ASSERT_EQ(RealRun().error, 1);
  ASSERT_TRUE(Contains(Local("App/version.txt"), "./Base/a.png unreadable\n"));
  // The run wrote the version file under a key of its own.
  const long key = std::stol(Local("App/version.txt").substr(13));
  const VerifyRun check = Verify({});
  EXPECT_EQ(check.out,
            "missing Base/a.png\ndiffers Base/maps/m.txt\ndiffers "
            "Base/sub/b.xml\nmissing OKUdedi\ndiffers dedicatedserver.sh\n" +
                Summary(false, 5, 5, 0, 0, key));
  EXPECT_EQ(check.status, 1);
}

// The preview judges the server by the key of the game directory's
// starter, as that starter's run would, names it, and shows the installed
// release; without a DUdavi that has a key slot it takes its own key.
TEST_F(VerifyToolFixture, UsesTheKeyOfTheGameDirectorysStarter) {
  const KeyPairFiles other = MakeKeyPair(outer_.path(), "other");
  const std::string test_key = ReadFile(TestPublicKeyPath());
  const std::string test_name = KeyFingerprint({test_key});
  const std::string other_name = KeyFingerprint({ReadFile(other.public_key)});
  const std::string own_key(CompiledUpdatePublicKey());
  const std::string own_line =
      own_key.empty()
          ? "key: none (this tool's own: no DUdavi with a key slot): "
            "signatures are not checked\n"
          : "key: " + KeyFingerprint({own_key}) +
                " (this tool's own: no DUdavi with a key slot)\n";
  const long long issued = 1700000000;
  const auto starter_trusting = [&](const std::string& pem) {
    ASSERT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + Game("DUdavi") + "'"),
              0);
    ASSERT_TRUE(FillKeySlot(Game("DUdavi"), pem));
  };
  // The server's release statement of serial `serial`, the game
  // directory's record of serial 7.
  const auto statements = [&](long long serial) {
    const std::string table = ReleaseTableOf(kRelease);
    WriteFile(ServerListPath() + ".files", table);
    WriteFile(ServerListPath() + ".release",
              SignStatementWithOpenssl(
                  TestPrivateKeyPath(),
                  StatementBodyOf({serial, "r" + std::to_string(serial), issued,
                                   std::nullopt},
                                  ReadFile(ServerListPath()), table),
                  outer_.path()));
    WriteGame("App/version.txt.release",
              SignStatementWithOpenssl(
                  TestPrivateKeyPath(),
                  StatementBodyOf({7, "spring", issued, std::nullopt},
                                  ChecksumListOf(kRelease, kInstalledKey),
                                  table),
                  outer_.path()));
  };
  const std::string none_installed = "installed release: none recorded\n";
  const struct {
    const char* name;
    std::function<void()> change;
    std::string header;
    std::string out;
    int status;
    std::string err = "";
  } cases[] = {
      {"no starter", [] {}, own_line + none_installed,
       kReplace + ChangeSummary(0, 0, false), 1},
      {"a starter trusting the signing key",
       [&] { starter_trusting(test_key); },
       "key: " + test_name + " (trusted by DUdavi)\n" + none_installed,
       kReplace + ChangeSummary(0, 0, false), 1},
      {"a starter trusting another key",
       [&] { starter_trusting(ReadFile(other.public_key)); },
       "key: " + other_name + " (trusted by DUdavi)\n" + none_installed, "",
       2, "refusing the server's list: signature wrong"},
      {"a starter trusting no key", [&] { starter_trusting(""); },
       "key: none (DUdavi trusts no key): signatures are not checked\n" +
           none_installed,
       kReplace + ChangeSummary(0, 0, false), 1},
      {"a starter that installed a later release",
       [&] {
         starter_trusting(test_key);
         statements(6);
       },
       "key: " + test_name +
           " (trusted by DUdavi)\ninstalled release: spring (serial 7, issued "
           "2023-11-14 22:13:20 UTC)\n",
       "", 2,
       "refusing the server's list: the release statement of release 6 is "
       "behind the installed release 7"},
      {"a starter that installed an earlier release",
       [&] {
         starter_trusting(test_key);
         statements(8);
       },
       "key: " + test_name +
           " (trusted by DUdavi)\ninstalled release: spring (serial 7, issued "
           "2023-11-14 22:13:20 UTC)\n",
       kReplace + ChangeSummary(0, 0, false), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(Game("DUdavi").c_str());
    std::remove(Game("App/version.txt.release").c_str());
    Publish(kRelease, kNewKey);
    ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), ServerListPath()), 0);
    c.change();
    const VerifyRun run = Verify({"--server"});
    EXPECT_EQ(run.header, c.header);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
  }
  // The check of the installed files names the installed release too.
  const VerifyRun check = Verify({});
  EXPECT_EQ(check.header,
            "installed release: spring (serial 7, issued 2023-11-14 22:13:20 "
            "UTC)\n");
}

TEST_F(VerifyToolFixture, RunsWhileAStarterHoldsTheUpdateLock) {
  // The lock file exists before the snapshot; the tool neither waits for
  // the lock nor takes it.
  const ExclusiveLock held(Game("Downloads/update.lock"), [] {});
  ASSERT_TRUE(held.held());
  PublishSigned(kRelease, kNewKey);
  const VerifyRun run = Verify({"--server"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, kReplace + ChangeSummary(0, 0, false));
}

}  // namespace
