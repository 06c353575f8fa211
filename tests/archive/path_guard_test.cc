// Lexical and file-system checks on archive paths.
#include "archive/path_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace {

TEST(PathGuardTest, FindsDotDotComponents) {
  const struct {
    const char* name;
    bool has;
  } cases[] = {
      {"a/b", false},   {"..", true},       {"../a", true},
      {"a/../b", true}, {"a/..", true},     {"a/..b", false},
      {"..a/b", false}, {"a/.../b", false}, {"./a", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.has, hasDotDotComponent(c.name)) << c.name;
  }
}

TEST(PathGuardTest, SymlinkTargetsMustStayInside) {
  const struct {
    const char* link;
    const char* target;
    bool inside;
  } cases[] = {
      {"l", "file", true},
      {"l", "dir/file", true},
      {"d/l", "../file", true},
      {"d/e/l", "../../file", true},
      {"./d/l", "../file", true},
      {"l", ".", true},
      {"l", "/etc/passwd", false},
      {"l", "", false},
      {"l", "../x", false},
      {"d/l", "../../x", false},
      {"d/l", "./../../x", false},
      {"l", "sub/../x", false},  // ".." after a name could climb out
      {"d/l", "x/..", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.inside, symlinkTargetStaysInside(c.link, c.target))
        << c.link << " -> " << c.target;
  }
}

TEST(PathGuardTest, HardlinkTargetsMustStayInside) {
  EXPECT_TRUE(hardlinkTargetStaysInside("a/b"));
  EXPECT_FALSE(hardlinkTargetStaysInside("/etc/passwd"));
  EXPECT_FALSE(hardlinkTargetStaysInside("../x"));
  EXPECT_FALSE(hardlinkTargetStaysInside("a/../../x"));
  EXPECT_FALSE(hardlinkTargetStaysInside(""));
}

TEST(PathGuardTest, ParentsMayNotBeSymbolicLinksBelowTheRoot) {
  TempDir dir;
  WriteFile(dir / "root/real/f", "x");
  ASSERT_EQ(0, symlink("real", (dir / "root/link").c_str()));
  const std::string root = dir / "root/";
  EXPECT_TRUE(parentsAreReal((root + "real/f").c_str(), root.size()));
  EXPECT_TRUE(
      parentsAreReal((root + "real/missing/deeper/f").c_str(), root.size()));
  EXPECT_TRUE(parentsAreReal((root + "link").c_str(), root.size()))
      << "the last component is not examined";
  EXPECT_FALSE(parentsAreReal((root + "link/f").c_str(), root.size()));
  EXPECT_FALSE(parentsAreReal((root + "real/../link/f").c_str(), root.size()));
  // A link inside the trusted root prefix itself is not the archive's doing.
  const std::string viaLink = dir / "root/link/";
  EXPECT_TRUE(parentsAreReal((viaLink + "f").c_str(), viaLink.size()));
}

}  // namespace
