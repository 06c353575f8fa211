#include "engine/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

TEST(PathsTest, SplitsAtTheLastSlash) {
  const struct {
    const char* path;
    const char* directory;
    const char* name;
  } cases[] = {
      {"plain.txt", "", "plain.txt"},
      {"a/b.txt", "a/", "b.txt"},
      {"./Base/deep/x.png", "./Base/deep/", "x.png"},
      {"/top", "/", "top"},
      {"dir/", "dir/", ""},
      {"a\\b", "", "a\\b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DirectoryOf(c.path), c.directory) << c.path;
    EXPECT_EQ(NameOf(c.path), c.name) << c.path;
  }
}

TEST(PathsTest, VisitsEveryComponentWithThePathThroughIt) {
  std::vector<std::string> seen;
  const auto note = [&](std::string_view part, std::string_view through) {
    seen.push_back(std::string(part) + "|" + std::string(through));
    return part != "..";
  };
  EXPECT_TRUE(ForEachComponent("./a//b/", 2, note));
  EXPECT_EQ(seen, (std::vector<std::string>{"a|./a", "|./a/", "b|./a//b",
                                            "|./a//b/"}));
  seen.clear();
  EXPECT_FALSE(ForEachComponent("x/../y", 0, note));
  EXPECT_EQ(seen, (std::vector<std::string>{"x|x", "..|x/.."}));
}

// Each rule makes exactly the directories it names, with its mode.
TEST(PathsTest, MakesTheParentDirectoriesItsRuleNames) {
  const struct {
    const char* path;
    ParentDirectories rule;
    std::map<std::string, mode_t> made;  // every directory afterwards
  } cases[] = {
      {"a/b/c.txt", {}, {{"a", 0777}, {"a/b", 0777}}},
      {"./a/b", {}, {{"a", 0777}}},
      {"a/b/", {.first = 1, .mode = 0775}, {{"a", 0775}, {"a/b", 0775}}},
      {"abc\\d/e", {}, {{"abc\\d", 0777}}},
      {"abc\\d/e", {"/\\", 3, 0777}, {{"abc", 0777}, {"abc\\d", 0777}}},
      // Separators before `first` make nothing, nor what lies below them.
      {"ab/c/d", {"/\\", 3, 0777}, {}},
      {"plain.txt", {}, {}},
  };
  const mode_t mask = umask(0);  // so that each rule's mode shows whole
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TempDir dir;
    ScopedCwd cwd(dir.path());
    const auto made_now = [&] {
      std::map<std::string, mode_t> made;
      for (const auto& entry :
           std::filesystem::recursive_directory_iterator(dir.path())) {
        made[std::filesystem::relative(entry.path(), dir.path()).string()] =
            PermissionsOf(entry.path());
      }
      return made;
    };
    KnownDirectories known;
    MakeParentDirectories(c.path, c.rule, &known);
    EXPECT_EQ(made_now(), c.made);
    // What it made is known and not made again, until forgotten.
    for (const auto& [made, mode] : c.made) std::filesystem::remove_all(made);
    MakeParentDirectories(c.path, c.rule, &known);
    EXPECT_TRUE(made_now().empty());
    EXPECT_EQ(known.Forget(c.path, c.rule), !c.made.empty());
    MakeParentDirectories(c.path, c.rule, &known);
    EXPECT_EQ(made_now(), c.made);
  }
  umask(mask);
  // A file made at a path proves the directories its "/" end, not those a
  // "\" ends (the file "abc\d/e" may lie in a directory "abc\d" of ".").
  KnownDirectories known;
  known.CreatedBelow("./abc\\d/e", {"/\\", 3, 0777});
  EXPECT_TRUE(known.Contains("./abc\\d"));
  EXPECT_FALSE(known.Contains("./abc"));
}

// Links are followed as far as their targets exist; the rest is taken as
// written, and a loop does not resolve.
TEST(PathsTest, ResolvesLinksAsFarAsTheirTargetsExist) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  const std::string top = CanonicalPath(dir.path());
  const std::string above = top.substr(0, top.rfind('/'));
  WriteFile(dir / "real/file.txt", "x");
  const struct {
    const char* link;
    const char* target;
  } links[] = {
      {"to_real", "real"},   {"dangling", "nothere/x"},
      {"up", "../beside"},   {"absolute", "/nonexistent/a"},
      {"chain", "dangling"}, {"loop1", "loop2"},
      {"loop2", "loop1"},    {"through_file", "real/file.txt/x"},
  };
  for (const auto& l : links) ASSERT_EQ(symlink(l.target, l.link), 0);
  const struct {
    const char* path;
    std::string resolved;
  } cases[] = {
      {"real/file.txt", top + "/real/file.txt"},
      {"to_real/file.txt", top + "/real/file.txt"},
      {"to_real/new/deeper", top + "/real/new/deeper"},
      {"dangling", top + "/nothere/x"},
      {"dangling/below", top + "/nothere/x/below"},
      {"dangling/sub/..", top + "/nothere/x"},
      {"chain", top + "/nothere/x"},
      {"up", above + "/beside"},
      {"absolute", "/nonexistent/a"},
      {"missing/x/", top + "/missing/x"},
      {"loop1", ""},
      {"loop1/x", ""},
      {"through_file", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolvedPath(c.path), c.resolved) << c.path;
  }
}

}  // namespace
