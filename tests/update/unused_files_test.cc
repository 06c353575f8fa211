#include "update/unused_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine_starter/log.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "update/auto_update.h"

namespace {

// Creates the log's directory first and returns the log path.
std::string LogPath(const TempDir& dir) {
  WriteFile(dir / "Logs/app.txt", "");
  return dir / "Logs/app.txt";
}

TEST(UnusedFileRuleTest, MovesUnlistedDataFilesOfTheBaseTreeOnly) {
  const std::map<std::string, std::string> listed = {
      {"./Base/listed.png", "h"}};
  const struct {
    const char* path;
    bool moved;
  } cases[] = {
      {"./Base/a.png", true},
      {"./Base/listed.png", false},
      {"./Base/Listed.png", true},  // the list is matched exactly
      {"./Base/a.OGG", true},
      {"./Base/a.cfg", true},
      {"./Base/a.as", true},
      {"./Base/a.xml", true},
      {"./Base/a.ttf", true},
      {"./Base/a.txt", true},
      {"./Base/a.json", true},
      {"./Base/a.frag", true},
      {"./Base/a.vert", true},
      {"./Base/a.dds", false},
      {"./Base/a.pngx", false},
      {"./Base/noext", false},       // extension runs from "./"
      {"./Base/d.png/file", false},  // extension "png/file"
      {"./base/a.png", true},
      {"./BASE/a.png", true},
      {"./Other/a.png", false},
      {"./Data/base/a.png", false},  // "base" starts after position 4
      {"./Base/maps/a.png", false},
      {"./Base/MAPS/a.png", false},
      {"./Base/Maps2/a.png", false},  // "maps" at position 7
      {"./Base/d/maps/a.png", true},  // "maps" at position 9
      {"./Base/gui/a.xml", false},
      {"./Base/Guild/a.xml", false},
      {"./Base/x/gui/a.xml", true},
      {"./Base/old/a.txt", true},  // "old" never protects below "./Base"
      {"./Base/x/y/z/deep.cfg", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUnusedFileToMove(c.path, listed), c.moved) << c.path;
  }
}

TEST(UnusedFileRuleTest, DestinationMirrorsThePathWithoutSpacesInDirectories) {
  const struct {
    const char* file;
    const char* directory;
    const char* path;
  } cases[] = {
      {"./Base/D/N.png", "./old/./Base/D", "./old/./Base/D/N.png"},
      {"./Base/x.cfg", "./old/./Base", "./old/./Base/x.cfg"},
      {"./Base/My Dir/a b.png", "./old/./Base/MyDir",
       "./old/./Base/MyDir/a b.png"},
      {"./Base/a b/c d/e.txt", "./old/./Base/ab/cd",
       "./old/./Base/ab/cd/e.txt"},
  };
  for (const auto& c : cases) {
    UnusedFileDestination d = UnusedFileDestinationFor(c.file, ".../old/");
    EXPECT_EQ(d.directory, c.directory) << c.file;
    EXPECT_EQ(d.path, c.path) << c.file;
  }
}

class UnusedFilesTest : public ::testing::Test {
 protected:
  UnusedFilesTest() : cwd_(dir_.path()), log_(LogPath(dir_).c_str(), false) {}

  std::string Log() { return ReadFile(dir_ / "Logs/app.txt"); }

  TempDir dir_;
  ScopedCwd cwd_;
  CAppLog log_;
  std::vector<std::string> ignore_;
  std::map<std::string, std::string> standard_;
};

TEST_F(UnusedFilesTest, MovesUnlistedFilesIntoTheOldTreeOnce) {
  WriteFile(dir_ / "Downloads/App/version.txt",
            "version_file 42\n./Base/keep.png aaa\n./Base/keep.png bbb\n"
            "./Base/sub/keep.xml ccc\n");
  WriteFile(dir_ / "Base/keep.png", "k");
  WriteFile(dir_ / "Base/sub/keep.xml", "k");
  WriteFile(dir_ / "Base/gone.png", "gone");
  WriteFile(dir_ / "Base/private.cfg", "secret");
  ASSERT_EQ(chmod((dir_ / "Base/private.cfg").c_str(), 0600), 0);
  WriteFile(dir_ / "Base/Sub Dir/gone two.TXT", "gone2");
  WriteFile(dir_ / "Base/maps/stay.png", "s");
  WriteFile(dir_ / "Base/stay.dds", "s");
  WriteFile(dir_ / "Base/deep/mine.cfg", "ignored");
  ignore_ = {"mine.cfg"};

  const mode_t mask = umask(0);  // so that the directories' mode shows whole
  MoveUnusedFiles("Downloads/App/version.txt", "./Base", ignore_, standard_);
  umask(mask);

  EXPECT_EQ(standard_,
            (std::map<std::string, std::string>{
                {"./Base/keep.png", "aaa"}, {"./Base/sub/keep.xml", "ccc"}}));
  EXPECT_EQ(ReadFile(dir_ / "old/Base/gone.png"), "gone");
  EXPECT_FALSE(PathExists(dir_ / "Base/gone.png"));
  // A moved file keeps its permission bits: a private one stays private.
  EXPECT_EQ(ReadFile(dir_ / "old/Base/private.cfg"), "secret");
  EXPECT_EQ(PermissionsOf(dir_ / "old/Base/private.cfg"), 0600u);
  EXPECT_EQ(ReadFile(dir_ / "old/Base/SubDir/gone two.TXT"), "gone2");
  EXPECT_EQ(PermissionsOf(dir_ / "old/Base/SubDir"), 0775u);
  EXPECT_FALSE(PathExists(dir_ / "Base/Sub Dir/gone two.TXT"));
  for (const char* stays :
       {"Base/keep.png", "Base/sub/keep.xml", "Base/maps/stay.png",
        "Base/stay.dds", "Base/deep/mine.cfg"}) {
    EXPECT_TRUE(PathExists(dir_ / stays)) << stays;
  }
  EXPECT_NE(Log().find("Removing unused/moved files in ./Base\n\n"
                       "fscanf read error: autoupdate 1 - "
                       "Downloads/App/version.txt (error -1) lastread \n\n"),
            std::string::npos)
      << Log();

  // A second pass finds nothing more to move.
  RunShell("rm -rf '" + dir_.path() + "/old'");
  MoveUnusedFiles("Downloads/App/version.txt", "./Base", ignore_, standard_);
  EXPECT_FALSE(PathExists(dir_ / "old"));
}

// Every selected name the list does not name moves, in one pass, unless
// removing it would take a listed file from its path: a listed file met
// under an alias of its directory, or the file a listed link leads to. A
// second hard link or a link to a listed file moves (only that name goes);
// an unlisted file met under an alias moves once, and its other name then
// finds nothing to copy. A link leading outside moves too: only the link
// goes.
TEST_F(UnusedFilesTest, MovesEveryNameButThoseAListedPathRestsOn) {
  WriteFile(dir_ / "Downloads/App/version.txt",
            "version_file 42\n./Base/keep.png aaa\n./Base/sub/kept.png bbb\n"
            "./Base/listed_link.png ccc\n");
  WriteFile(dir_ / "Base/keep.png", "k");
  ASSERT_EQ(link("Base/keep.png", "Base/hard.png"), 0);
  ASSERT_EQ(symlink("keep.png", "Base/soft.png"), 0);
  WriteFile(dir_ / "Base/gone.png", "gone");
  ASSERT_EQ(link("Base/gone.png", "Base/gone_too.png"), 0);
  WriteFile(dir_ / "Base/sub/kept.png", "s");
  WriteFile(dir_ / "Base/sub/u.png", "u");
  ASSERT_EQ(symlink("sub", "Base/Sub"), 0);
  WriteFile(dir_ / "Base/behind.png", "behind the listed link");
  ASSERT_EQ(symlink("behind.png", "Base/listed_link.png"), 0);
  // A link leading outside: its data is copied, only the link goes.
  TempDir outside;
  WriteFile(outside / "far.png", "far");
  ASSERT_EQ(symlink((outside / "far.png").c_str(), "Base/far.png"), 0);
  testing::internal::CaptureStdout();
  MoveUnusedFiles("Downloads/App/version.txt", "./Base", ignore_, standard_);
  const std::string out = testing::internal::GetCapturedStdout();
  for (const char* stays : {"Base/keep.png", "Base/sub/kept.png",
                            "Base/behind.png", "Base/listed_link.png"}) {
    EXPECT_TRUE(PathExists(dir_ / stays)) << stays;
  }
  for (const char* moved :
       {"hard.png", "soft.png", "gone.png", "gone_too.png", "far.png"}) {
    EXPECT_FALSE(PathExists(dir_ / (std::string("Base/") + moved))) << moved;
  }
  EXPECT_EQ(ReadFile(dir_ / "old/Base/hard.png"), "k");
  EXPECT_EQ(ReadFile(dir_ / "old/Base/soft.png"), "k");
  EXPECT_EQ(ReadFile(dir_ / "old/Base/gone.png"), "gone");
  EXPECT_EQ(ReadFile(dir_ / "old/Base/gone_too.png"), "gone");
  EXPECT_EQ(ReadFile(dir_ / "old/Base/far.png"), "far");
  EXPECT_EQ(ReadFile(outside / "far.png"), "far");
  EXPECT_EQ(NamesIn(outside.path()), std::set<std::string>{"far.png"});
  EXPECT_FALSE(PathExists(dir_ / "Base/sub/u.png"));
  // Under whichever name the directory yields first.
  const std::set<std::string> u = {"Base/Sub/u.png", "Base/sub/u.png"};
  std::set<std::string> moved_u;
  for (const std::string& path : PathsEndingIn(dir_ / "old", "u.png")) {
    moved_u.insert(path);
  }
  ASSERT_EQ(moved_u.size(), 1u) << out;
  EXPECT_EQ(u.count(*moved_u.begin()), 1u) << out;
  EXPECT_EQ(Count(out, "MOVING UNUSED FILE:\n"), 7) << out;
  EXPECT_EQ(Count(out, "FILE CONFLICT"), 1) << out;
  for (const std::string& path : u) {
    if (path == *moved_u.begin()) continue;
    EXPECT_TRUE(Contains(out, "FILE CONFLICT ./" + path + ". PLEASE DELETE"))
        << out;
  }
}

TEST_F(UnusedFilesTest, MissingListMovesNothingAndEmptiesTheMap) {
  WriteFile(dir_ / "Base/gone.png", "gone");
  standard_ = {{"./Base/x", "h"}};
  MoveUnusedFiles("Downloads/none.txt", "./Base", ignore_, standard_);
  EXPECT_TRUE(standard_.empty());
  EXPECT_TRUE(PathExists(dir_ / "Base/gone.png"));
  EXPECT_NE(Log().find("Failed to open - Invalid File Downloads/none.txt\n"),
            std::string::npos);
}

TEST_F(UnusedFilesTest, KeepsTheFileWhenItCannotBeCopied) {
  WriteFile(dir_ / "Base/gone.png", "gone");
  WriteFile(dir_ / "old/Base/gone.png/blocker", "");  // a directory in the way
  testing::internal::CaptureStdout();
  CAutoUpdate::MoveUnusedFile("./Base/gone.png", ".../old/", true);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "MOVING UNUSED FILE:\n./Base/gone.png to ./old/./Base/gone.png\n"
            "FILE CONFLICT ./Base/gone.png. PLEASE DELETE THIS FILE OR "
            "REINSTALL A CLEAN COPY\n");
  EXPECT_EQ(ReadFile(dir_ / "Base/gone.png"), "gone");
}

TEST_F(UnusedFilesTest, LoadsBothIgnoreListsInOrder) {
  WriteFile(dir_ / "autoupdate_ignore.cfg",
            "# standard\nBase/a.cfg\n\nserver.cfg = whatever\n");
  WriteFile(dir_ / "autoupdate_ignore_custom.cfg", "mine.cfg\nserver.cfg\n");
  std::vector<std::string> names;
  LoadIgnoreLists(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Base/a.cfg", "server.cfg",
                                             "mine.cfg", "server.cfg"}));
  EXPECT_EQ(Log(), "");
}

TEST_F(UnusedFilesTest, LogsMissingOrEmptyIgnoreLists) {
  WriteFile(dir_ / "autoupdate_ignore_custom.cfg", "");
  std::vector<std::string> names;
  LoadIgnoreLists(names);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(Log(),
            "Could not find autoupdate_ignore.cfg\n\n"
            "Not using autoupdate_ignore_custom.cfg\n\n");
}

}  // namespace
