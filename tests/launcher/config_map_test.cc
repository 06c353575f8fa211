#include "launcher/config_map.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <set>
#include <string>

#include "engine_starter/log.h"
#include "launcher/config_reader.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

const std::string kHeader =
    "# Config file for Engine Starter (default keys here are only for first "
    "game run)\n";

class ConfigMapTest : public testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(ConfigMapTest, StoresReplacesAndLooksUpValues) {
  CConfigMap map;
  EXPECT_EQ(map.getConfig("a"), "");
  EXPECT_FALSE(map.hasConfig("a"));
  map.setConfig("a", "1");
  map.setConfig("A", "2");
  map.setConfig("a", "3");
  map.setConfig("", "");
  EXPECT_EQ(map.getConfig("a"), "3");
  EXPECT_EQ(map.getConfig("A"), "2");
  EXPECT_TRUE(map.hasConfig(""));
  EXPECT_EQ(map.entries().size(), 3u);
}

TEST_F(ConfigMapTest, GetConfigAsIntFollowsItsDecimalAndHexRules) {
  const struct {
    const char* value;
    std::int32_t expected;
  } cases[] = {
      {"0x1F", 31},
      {"0x1f", 31},
      {"0X1F", 0},  // upper-case X: decimal rule reads the leading 0
      {"12x", 0},   // any x switches to hexadecimal; "x" holds no digit
      {"800abc", 800},
      {"-3", -3},
      {"abc", 0},
      {"", 0},
      {"  42 apples", 42},
      {"+7", 7},
      {"0xFFFFFFFF", -1},
      {"0x80000000", INT32_MIN},
      {"0x100000000", 0},  // more than 32 bits
      {"0xZZ", 0},
      {"ab12", 0},
      {"zx10", 16},  // the first two characters are dropped, whatever they are
      {"x", 0},
      {"0x 1A", 26},  // blanks before the digits are skipped
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999", INT32_MIN},
  };
  for (const auto& c : cases) {
    CConfigMap map;
    map.setConfig("n", c.value);
    EXPECT_EQ(map.getConfigAsInt("n"), c.expected) << "\"" << c.value << "\"";
  }
  CConfigMap empty;
  EXPECT_EQ(empty.getConfigAsInt("absent"), 0);
}

TEST_F(ConfigMapTest, SavesHeaderThenEntriesInSignedByteOrder) {
  CConfigMap map;
  map.setConfig("b", "lower b");
  map.setConfig("a", "");
  map.setConfig("B", "upper");
  map.setConfig("\xC3\xA9t\xC3\xA9", "high bytes");
  map.setConfig("ab", "longer");
  const std::string path = dir_ / "out.cfg";
  ASSERT_TRUE(map.SaveToFile(path));
  EXPECT_EQ(ReadFile(path), kHeader +
                                "\xC3\xA9t\xC3\xA9=high bytes\n"
                                "B=upper\n"
                                "a=\n"
                                "ab=longer\n"
                                "b=lower b\n");
}

TEST_F(ConfigMapTest, EmptyMapSavesOnlyTheHeader) {
  const std::string path = dir_ / "out.cfg";
  ASSERT_TRUE(CConfigMap().SaveToFile(path));
  EXPECT_EQ(ReadFile(path), kHeader);
}

TEST_F(ConfigMapTest, SaveReplacesAnExistingFileAndLeavesNoTemporaries) {
  const std::string path = dir_ / "out.cfg";
  WriteFile(path, "old content that is much longer than the new one\n");
  CConfigMap map;
  map.setConfig("k", "v");
  ASSERT_TRUE(map.SaveToFile(path));
  EXPECT_EQ(ReadFile(path), kHeader + "k=v\n");
  EXPECT_EQ(RunShell("test $(ls -A '" + dir_.path() + "' | wc -l) -eq 1"), 0);
}

TEST_F(ConfigMapTest, SavedFileReadsBackIntoTheSameEntries) {
  CConfigMap map;
  map.setConfig("Window.Width", "1136");
  map.setConfig("Fullscreen", "0");
  map.setConfig("Spaced", "a  b");
  const std::string path = dir_ / "round.cfg";
  ASSERT_TRUE(map.SaveToFile(path));
  CConfigReader reader;
  ASSERT_TRUE(reader.loadFile(path.c_str()));
  CConfigMap loaded;
  while (reader.nextConfig()) {
    loaded.setConfig(reader.getConfigName(), reader.getConfigValue());
  }
  EXPECT_EQ(loaded.entries(), map.entries());
}

TEST_F(ConfigMapTest, LaterDuplicateWinsWhenLoadedInFileOrder) {
  WriteFile(dir_ / "dup.cfg", "a=1\na=2\n");
  CConfigReader reader;
  ASSERT_TRUE(reader.loadFile((dir_ / "dup.cfg").c_str()));
  CConfigMap map;
  while (reader.nextConfig()) {
    map.setConfig(reader.getConfigName(), reader.getConfigValue());
  }
  EXPECT_EQ(map.getConfig("a"), "2");
}

TEST_F(ConfigMapTest, SaveOverADirectoryFailsAndLogsOneLine) {
  const std::string log_path = dir_ / "app.txt";
  const std::string target = dir_ / "cfg";
  WriteFile(target + "/inside.txt", "keep");
  CConfigMap map;
  map.setConfig("k", "v");
  {
    CAppLog log(log_path.c_str(), false);
    EXPECT_FALSE(map.SaveToFile(target));
  }
  EXPECT_EQ(ReadFile(target + "/inside.txt"), "keep");
  const std::string logged = ReadFile(log_path);
  EXPECT_NE(logged.find("Could not save config file " + target),
            std::string::npos)
      << logged;
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
  // Only the log, the directory, and nothing left over.
  EXPECT_EQ(RunShell("test $(ls -A '" + dir_.path() + "' | wc -l) -eq 2"), 0);
}

TEST_F(ConfigMapTest, SaveThroughARegularFileFailsAndWritesNothing) {
  const std::string log_path = dir_ / "app.txt";
  WriteFile(dir_ / "plain", "not a directory");
  CConfigMap map;
  map.setConfig("k", "v");
  {
    CAppLog log(log_path.c_str(), false);
    EXPECT_FALSE(map.SaveToFile(dir_ / "plain/startup_config.cfg"));
  }
  EXPECT_EQ(ReadFile(dir_ / "plain"), "not a directory");
  EXPECT_NE(ReadFile(log_path).find("Not a directory"), std::string::npos);
}

TEST_F(ConfigMapTest, FailedWriteKeepsTheOldFile) {
  const std::string path = dir_ / "startup_config.cfg";
  WriteFile(path, "Window.Width=800\n");
  // A child whose file size limit is below the header cannot write the new
  // file; the old one must survive untouched.
  const int code = RunWithFileSizeLimit(10, [&] {
    CConfigMap map;
    map.setConfig("Window.Width", "1136");
    return map.SaveToFile(path) ? 1 : 0;
  });
  EXPECT_EQ(code, 0) << "save should have failed";
  EXPECT_EQ(ReadFile(path), "Window.Width=800\n");
  EXPECT_EQ(RunShell("test $(ls -A '" + dir_.path() + "' | wc -l) -eq 1"), 0);
}

// Where the process may not write: a file it may not write stays as it is
// (one log line, nothing beside it); a file it may write but cannot replace
// (in a directory it may not write, or another user's in a shared directory
// with the sticky bit) is rewritten in place.
TEST_F(ConfigMapTest, SaveWithoutWriteRightsActsAsCreatingTheFileWould) {
  const struct {
    const char* name;
    mode_t file_mode;
    mode_t dir_mode;
    bool saved;
  } cases[] = {
      {"read-only file", 0644, 0777, false},
      {"writable file, read-only directory", 0666, 0755, true},
      {"writable file of another user, sticky directory", 0666, 01777, true},
      {"no file, read-only directory", 0, 0755, false},
  };
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  for (const auto& c : cases) {
    const std::string game = dir_ / c.name;
    const std::string path = game + "/startup_config.cfg";
    const std::string log_path = dir_ / (std::string(c.name) + ".log");
    ASSERT_EQ(mkdir(game.c_str(), 0755), 0);
    if (c.file_mode != 0) {
      WriteFile(path, "Window.Width=800\n");
      ASSERT_EQ(chmod(path.c_str(), c.file_mode), 0);
    }
    ASSERT_EQ(chmod(game.c_str(), c.dir_mode), 0);
    WriteFile(log_path, "");
    ASSERT_EQ(chmod(log_path.c_str(), 0666), 0);
    const int code = RunAsNobody([&] {
      CAppLog log(log_path.c_str(), false);
      CConfigMap map;
      map.setConfig("Window.Width", "1136");
      return map.SaveToFile(path) ? 1 : 0;
    });
    EXPECT_EQ(code, c.saved ? 1 : 0) << c.name;
    const std::string logged = ReadFile(log_path);
    if (c.saved) {
      EXPECT_EQ(ReadFile(path), kHeader + "Window.Width=1136\n") << c.name;
      EXPECT_EQ(logged, "") << c.name;
    } else {
      if (c.file_mode != 0) {
        EXPECT_EQ(ReadFile(path), "Window.Width=800\n") << c.name;
      }
      EXPECT_EQ(logged, "Could not save config file " + path +
                            " (create): Permission denied\n")
          << c.name;
    }
    EXPECT_EQ(RunShell("test $(ls -A '" + game + "' | wc -l) -eq " +
                       (c.file_mode != 0 || c.saved ? "1" : "0")),
              0)
        << c.name;
  }
}

// A configuration kept elsewhere through a link is rewritten there, and the
// other files of that directory are not the program's to clear: not even
// one named like a temporary of a process that is gone.
TEST_F(ConfigMapTest, SaveThroughALinkLeavesTheOtherFilesThereAlone) {
  const std::string elsewhere = dir_ / "elsewhere";
  const std::string game = dir_ / "game";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(game.c_str(), 0755), 0);
  const pid_t gone = PidOfAGoneProcess();
  ASSERT_GT(gone, 0);
  const std::string leftover =
      "notes.txt." + std::to_string(gone) + ".Ab12Cd.tmp";
  WriteFile(elsewhere + "/startup_config.cfg", "Window.Width=800\n");
  WriteFile(elsewhere + "/" + leftover, "someone else's");
  ASSERT_EQ(symlink((elsewhere + "/startup_config.cfg").c_str(),
                    (game + "/startup_config.cfg").c_str()),
            0);
  CConfigMap map;
  map.setConfig("Window.Width", "1136");
  ASSERT_TRUE(map.SaveToFile(game + "/startup_config.cfg"));
  EXPECT_EQ(ReadFile(elsewhere + "/startup_config.cfg"),
            kHeader + "Window.Width=1136\n");
  EXPECT_EQ(NamesIn(elsewhere),
            (std::set<std::string>{"startup_config.cfg", leftover}));
  EXPECT_EQ(NamesIn(game), std::set<std::string>{"startup_config.cfg"});
}

TEST(SignedByteLessTest, OrdersBytesAsSignedNumbers) {
  SignedByteLess less;
  EXPECT_TRUE(less("B", "a"));
  EXPECT_TRUE(less("a", "b"));
  EXPECT_TRUE(less("a", "ab"));
  EXPECT_FALSE(less("ab", "a"));
  EXPECT_FALSE(less("a", "a"));
  EXPECT_TRUE(less("\x80", "\x01"));
  EXPECT_TRUE(less("\xFF", "A"));
  EXPECT_TRUE(less("\x80", "\xFF"));
  EXPECT_TRUE(less("", "\x80"));
}

}  // namespace
