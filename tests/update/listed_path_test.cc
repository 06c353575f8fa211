#include "update/listed_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace {

TEST(ListedPathTest, JudgesPathsByTheirText) {
  const struct {
    const char* path;
    ListedPath verdict;
  } cases[] = {
      {"./Base/x.png", ListedPath::kInside},
      {"./OKU", ListedPath::kInside},
      {"./Base/./x.png", ListedPath::kInside},
      {"./Base//x.png", ListedPath::kInside},
      {"./a..b/c..", ListedPath::kInside},
      {"./.hidden", ListedPath::kInside},
      {"/etc/passwd", ListedPath::kNotRelative},
      {"Base/x.png", ListedPath::kNotRelative},
      {"../x", ListedPath::kNotRelative},
      {".", ListedPath::kNotRelative},
      {"", ListedPath::kNotRelative},
      {".//etc/passwd", ListedPath::kInside},  // stays below "."
      {"./", ListedPath::kEmptyName},
      {"./.", ListedPath::kEmptyName},
      {"./Base/", ListedPath::kEmptyName},
      {"./Base/.", ListedPath::kEmptyName},
      {"./..", ListedPath::kParentComponent},
      {"./../x", ListedPath::kParentComponent},
      {"./Base/../../x", ListedPath::kParentComponent},
      {"./Base/..", ListedPath::kParentComponent},
      {"./Base\\..\\..\\x", ListedPath::kBackslash},
      {"./a\\b", ListedPath::kBackslash},
  };
  TempDir dir;
  ScopedCwd cwd(dir.path());
  for (const auto& c : cases) {
    EXPECT_EQ(CheckListedPath(c.path), c.verdict) << c.path;
  }
}

TEST(ListedPathTest, RefusesPathsThroughLinksThatLeaveTheGameDirectory) {
  TempDir outside;
  TempDir game;
  ScopedCwd cwd(game.path());
  WriteFile(game / "Base/real.txt", "x");
  ASSERT_EQ(symlink(outside.path().c_str(), "out"), 0);
  ASSERT_EQ(symlink("Base", "inner"), 0);
  ASSERT_EQ(symlink((outside / "target.txt").c_str(), "Base/file_link"), 0);
  ASSERT_EQ(symlink("/nonexistent/dir", "dangling"), 0);
  ASSERT_EQ(symlink("../..", "Base/up"), 0);
  // Links that lead nowhere yet, judged by where they would lead.
  ASSERT_EQ(symlink("nothere.png", "Base/dangling_here"), 0);
  ASSERT_EQ(symlink("../Missing/dir", "Base/dangling_dir"), 0);
  ASSERT_EQ(symlink((game / "Base/abs_nothere").c_str(), "Base/dangling_abs"),
            0);
  ASSERT_EQ(symlink("nothere/../../..", "Base/dangling_up"), 0);
  ASSERT_EQ(symlink("dangling_dir/../../../x", "Base/dangling_chain"), 0);
  ASSERT_EQ(symlink("loop_b", "Base/loop_a"), 0);
  ASSERT_EQ(symlink("loop_a", "Base/loop_b"), 0);
  const struct {
    const char* path;
    ListedPath verdict;
  } cases[] = {
      {"./out/x.png", ListedPath::kLeavesThroughLink},
      {"./dangling/x", ListedPath::kLeavesThroughLink},
      {"./Base/up/x", ListedPath::kLeavesThroughLink},
      {"./Base/loop_a/x", ListedPath::kLeavesThroughLink},
      {"./Base/file_link/x", ListedPath::kLeavesThroughLink},
      // A link at the file's own name is replaced by every install, wherever
      // it leads.
      {"./out", ListedPath::kInside},
      {"./Base/file_link", ListedPath::kInside},
      {"./Base/up", ListedPath::kInside},
      {"./Base/loop_a", ListedPath::kInside},
      {"./inner/real.txt", ListedPath::kInside},
      {"./inner/new/deeper.txt", ListedPath::kInside},
      {"./Base/real.txt/below", ListedPath::kInside},  // ENOTDIR on writing
      {"./Missing/dir/x", ListedPath::kInside},
      {"./Base/dangling_here", ListedPath::kInside},
      {"./Base/dangling_dir/x.png", ListedPath::kInside},
      {"./Base/dangling_abs", ListedPath::kInside},
      {"./Base/dangling_up/x", ListedPath::kLeavesThroughLink},
      {"./Base/dangling_chain/x", ListedPath::kLeavesThroughLink},
      {"./Base/dangling_up", ListedPath::kInside},
  };
  ListedPathChecker checker;
  for (const auto& c : cases) {
    EXPECT_EQ(CheckListedPath(c.path), c.verdict) << c.path;
    EXPECT_EQ(checker.Check(c.path), c.verdict) << c.path << " (checker)";
  }
}

TEST(ListedPathTest, NamesEveryReason) {
  EXPECT_STREQ(ListedPathReason(ListedPath::kParentComponent),
               "contains a .. component");
  EXPECT_STREQ(ListedPathReason(ListedPath::kNotRelative),
               "does not begin with ./");
}

}  // namespace
