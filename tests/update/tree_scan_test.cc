#include "update/tree_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_starter/log.h"
#include "support/temp_dir.h"

namespace {

class TreeScanTest : public ::testing::Test {
 protected:
  TreeScanTest() : cwd_(dir_.path()) {}

  // The sorted scan of `root` with `filter`.
  std::vector<std::string> Scan(const std::string& root,
                                const std::string& filter = "*",
                                bool subdirs = true) {
    std::vector<std::string> files;
    EXPECT_EQ(SearchDirectory(files, root, filter, subdirs, ignore_), 0);
    std::sort(files.begin(), files.end());
    return files;
  }

  TempDir dir_;
  ScopedCwd cwd_;
  std::vector<std::string> ignore_;
};

using Paths = std::vector<std::string>;

TEST_F(TreeScanTest, AllFilterSkipsHiddenFilesAndBuildLeftovers) {
  for (const char* name :
       {"a.png", "noext", ".hidden", ".hidden.png", "x.ilk", "x.pdb", "x.bak",
        "x.tmp", "x.suo", "X.TMP", "x.tmp.png", "x.tmpx", "Base/b.ogg",
        ".dotdir/seen.txt", ".dotdir/.unseen.txt"}) {
    WriteFile(dir_ / name, "x");
  }
  EXPECT_EQ(Scan("."),
            (Paths{"./.dotdir/seen.txt", "./Base/b.ogg", "./X.TMP", "./a.png",
                   "./noext", "./x.tmp.png", "./x.tmpx"}));
}

TEST_F(TreeScanTest, SkipsTheExactlyNamedDirectoriesOnly) {
  for (const char* d : {"Screenshots", "Downloads", "Cache", "Logs", ".svn",
                        "Mods", "AS_DEBUG", "logs", "mods", "Cache2"}) {
    WriteFile(dir_ / (std::string(d) + "/f.txt"), "x");
  }
  EXPECT_EQ(Scan("."),
            (Paths{"./Cache2/f.txt", "./logs/f.txt", "./mods/f.txt"}));
  // A skipped name as the root itself is scanned.
  EXPECT_EQ(Scan("./Logs"), (Paths{"./Logs/f.txt"}));
}

TEST_F(TreeScanTest, IgnoredNamesAreLeftOutInEveryDirectory) {
  for (const char* name : {"keep.cfg", "custom.cfg", "Base/custom.cfg",
                           "Base/deep/custom.cfg", "Base/deep/Custom.cfg"}) {
    WriteFile(dir_ / name, "x");
  }
  ignore_ = {"custom.cfg", "Base/deep/Custom.cfg"};
  EXPECT_EQ(Scan("."), (Paths{"./Base/deep/Custom.cfg", "./keep.cfg"}));
}

TEST_F(TreeScanTest, ExtensionFilterTakesOnlyThatExtension) {
  for (const char* name : {"a.tmp", "b.TMP", "c.png", ".d.tmp", "sub/e.tmp"}) {
    WriteFile(dir_ / name, "x");
  }
  ignore_ = {"a.tmp"};  // does not apply to an extension filter
  EXPECT_EQ(Scan(".", "tmp"), (Paths{"./a.tmp", "./sub/e.tmp"}));
  EXPECT_EQ(Scan(".", "tmp", false), (Paths{"./a.tmp"}));
}

TEST_F(TreeScanTest, MissingRootYieldsNothing) {
  EXPECT_EQ(Scan("./nowhere"), Paths{});
}

TEST_F(TreeScanTest, DoesNotRepeatThePathAppendedLast) {
  WriteFile(dir_ / "only/one.txt", "x");
  std::vector<std::string> files;
  SearchDirectory(files, "./only", "*", true, ignore_);
  SearchDirectory(files, "./only", "*", true, ignore_);
  EXPECT_EQ(files, (Paths{"./only/one.txt"}));
}

// Links into directories are followed as the directory itself, so an alias
// is scanned under its own name; only a way back to a directory on the path
// being walked (a loop) is not entered. For a release's list each directory
// is scanned once: an alias or a loop is not followed, and a directory
// outside is scanned where it is first met.
TEST_F(TreeScanTest, FollowsLinksIntoDirectoriesButNotLoops) {
  TempDir outside;
  WriteFile(outside / "shared.txt", "x");
  WriteFile(dir_ / "real/file.txt", "x");
  ASSERT_EQ(symlink("real/file.txt", "link.txt"), 0);
  for (const char* alias : {"linkdir", "z_alias"}) {
    ASSERT_EQ(symlink("real", alias), 0);
  }
  ASSERT_EQ(symlink("missing", "dangling.txt"), 0);
  ASSERT_EQ(symlink(".", "real/again"), 0);
  ASSERT_EQ(symlink("..", "real/up"), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), "out1"), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), "out2"), 0);
  // A skipped directory is scanned through a link of another name.
  WriteFile(dir_ / "Cache/kept.txt", "x");
  ASSERT_EQ(symlink("Cache", "cached"), 0);
  std::string log_path = dir_ / "Logs/app.txt";  // "Logs" is not scanned
  WriteFile(log_path, "");
  {
    CAppLog log(log_path.c_str(), false);
    // "real/again" and "real/up" lead back to directories being walked;
    // "linkdir/up" too ("." then), and "linkdir/again" to "linkdir".
    EXPECT_EQ(Scan("."),
              (Paths{"./cached/kept.txt", "./link.txt", "./linkdir/file.txt",
                     "./out1/shared.txt", "./out2/shared.txt",
                     "./real/file.txt", "./z_alias/file.txt"}));
  }
  EXPECT_EQ(ReadFile(log_path), "Odd something d_type = 10\n\n");
  // Whichever the directory yields first, the aliases and the loops are not
  // followed: the files keep their own names.
  std::vector<std::string> once;
  SearchDirectory(once, ".", "*", true, ignore_,
                  DirectoryLinks::kOncePerDirectory);
  std::sort(once.begin(), once.end());
  const Paths outside_once[] = {{"./cached/kept.txt", "./link.txt",
                                 "./out1/shared.txt", "./real/file.txt"},
                                {"./cached/kept.txt", "./link.txt",
                                 "./out2/shared.txt", "./real/file.txt"}};
  EXPECT_TRUE(once == outside_once[0] || once == outside_once[1])
      << testing::PrintToString(once);
}

TEST(SpacesInFileTest, CountsSpaceCharacters) {
  const struct {
    const char* name;
    int spaces;
  } cases[] = {{"", 0},      {"a", 0},    {" ", 1},
               {"a b c", 2}, {"a\tb", 0}, {"./My Maps/x y.png", 2}};
  for (const auto& c : cases) EXPECT_EQ(spacesinfile(c.name), c.spaces);
}

TEST(CalculateMd5Test, HashesBytesOrMarksTheFileUnreadable) {
  TempDir dir;
  WriteFile(dir / "abc", "abc");
  WriteFile(dir / "empty", "");
  std::string hash;
  EXPECT_TRUE(stdCalculateMD5((dir / "abc").c_str(), hash));
  EXPECT_EQ(hash, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_TRUE(stdCalculateMD5((dir / "empty").c_str(), hash));
  EXPECT_EQ(hash, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_FALSE(stdCalculateMD5((dir / "missing").c_str(), hash));
  EXPECT_EQ(hash, kUnreadableHash);
  hash = "old";
  EXPECT_FALSE(stdCalculateMD5(dir.path().c_str(), hash));  // a directory
  EXPECT_EQ(hash, kUnreadableHash);
  // Why, for what is there but is no regular file: a socket does not even
  // open.
  const std::string socket_path = dir / "socket";
  ASSERT_TRUE(MakeSocketFile(socket_path));
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  const struct {
    std::string path;
    FileHashError why;
  } failures[] = {{dir / "missing", FileHashError::kCannotOpen},
                  {dir.path(), FileHashError::kNotRegularFile},
                  {socket_path, FileHashError::kNotRegularFile},
                  {dir / "fifo", FileHashError::kNotRegularFile}};
  for (const auto& f : failures) {
    FileHashError why = FileHashError::kNone;
    EXPECT_FALSE(stdCalculateMD5(f.path.c_str(), hash, &why)) << f.path;
    EXPECT_EQ(why, f.why) << f.path;
  }
  std::string unreadable = kUnreadableHash;
  EXPECT_NE(unreadable.size(), 32u);
  EXPECT_EQ(unreadable.find_first_of(" \t\n"), std::string::npos);
}

}  // namespace
