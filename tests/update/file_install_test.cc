#include "update/file_install.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

TEST(FileInstallNamesTest, RecognisesExactlyTheListedNames) {
  const struct {
    const char* name;
    bool executable;
    bool script;
  } cases[] = {
      {"OKU", true, false},
      {"OKUdedi", true, false},
      {"OKU.exe", true, false},
      {"./OKU", true, false},
      {"./OKUdedi", true, false},
      {"./OKU.exe", true, false},
      {"oku", false, false},
      {"OKU.tmp", false, false},
      {"./Base/OKU", false, false},
      {".//OKU", false, false},
      {"dedicatedserver.sh", false, true},
      {"createversion.sh", false, true},
      {"./dedicatedserver.sh", false, true},
      {"./createversion.sh", false, true},
      // The bare batch name is listed misspelt; only the "./" form is right.
      {"dedcatedserver.bat", false, true},
      {"dedicatedserver.bat", false, false},
      {"./dedicatedserver.bat", false, true},
      {"./dedcatedserver.bat", false, false},
      {"rungame.sh", false, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsExecutableName(c.name), c.executable) << c.name;
    EXPECT_EQ(IsScriptName(c.name), c.script) << c.name;
  }
}

class FileInstallTest : public ::testing::Test {
 protected:
  // Installs `temp` over `target` with stdout captured; returns the output.
  std::string Install(const char* target, const char* temp) {
    testing::internal::CaptureStdout();
    outcome_ = InstallDownloadedFile(target, temp);
    return testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
  ScopedCwd cwd_{dir_.path()};
  InstallResult outcome_;
};

TEST_F(FileInstallTest, OrdinaryFileReplacesOldOneSilently) {
  WriteFile("Base/a.txt", "old");
  WriteFile("Base/a.txt.tmp", "new");
  EXPECT_EQ(Install("./Base/a.txt", "./Base/a.txt.tmp"), "");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("Base/a.txt"), "new");
  EXPECT_FALSE(PathExists("Base/a.txt.tmp"));
  EXPECT_FALSE(PathExists("Base/a.txt.bak"));
}

TEST_F(FileInstallTest, OrdinaryFileWithoutOldOneIsRenamedIntoPlace) {
  WriteFile("a.txt.tmp", "new");
  EXPECT_EQ(Install("a.txt", "a.txt.tmp"), "");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_EQ(ReadFile("a.txt"), "new");
}

TEST_F(FileInstallTest, ExecutableIsRenamedAsideAndAsksForRestart) {
  WriteFile("OKU", "running binary");
  WriteFile("OKU.tmp", "new binary");
  EXPECT_EQ(Install("./OKU", "./OKU.tmp"),
            "EXECUTABLE ./OKU\nRenaming ./OKU\nUPDATED EXECUTABLE\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_TRUE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKU"), "new binary");
  EXPECT_EQ(ReadFile("OKU.tmp2"), "running binary");
  EXPECT_EQ(PermissionsOf("OKU"), 0700u);
  EXPECT_FALSE(PathExists("OKU.tmp"));
}

TEST_F(FileInstallTest, ExecutableRenamesOverOldAsideCopy) {
  WriteFile("OKUdedi", "second");
  WriteFile("OKUdedi.tmp2", "first");
  WriteFile("OKUdedi.tmp", "third");
  Install("OKUdedi", "OKUdedi.tmp");
  EXPECT_TRUE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKUdedi.tmp2"), "second");
  EXPECT_EQ(ReadFile("OKUdedi"), "third");
}

TEST_F(FileInstallTest, NewExecutableFallsBackToOrdinaryInstall) {
  WriteFile("OKU.tmp", "new binary");
  EXPECT_EQ(Install("./OKU", "./OKU.tmp"), "EXECUTABLE ./OKU\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKU"), "new binary");
}

TEST_F(FileInstallTest, ExecutableThatCannotMoveAsideIsReplacedInPlace) {
  WriteFile("OKU", "old");
  WriteFile("OKU.tmp", "new");
  WriteFile("OKU.tmp2/blocker", "a non-empty directory in the way");
  EXPECT_EQ(Install("./OKU", "./OKU.tmp"), "EXECUTABLE ./OKU\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKU"), "new");
}

TEST_F(FileInstallTest, ScriptIsRenamedToShTmpWithoutRestart) {
  WriteFile("dedicatedserver.sh", "old script");
  WriteFile("dedicatedserver.sh.tmp", "new script");
  EXPECT_EQ(Install("./dedicatedserver.sh", "./dedicatedserver.sh.tmp"),
            "UPDATED BATCH FILE\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("dedicatedserver.sh"), "new script");
  EXPECT_EQ(ReadFile("sh.tmp"), "old script");
  EXPECT_EQ(PermissionsOf("dedicatedserver.sh"), 0700u);
}

TEST_F(FileInstallTest, SecondScriptUpdateKeepsOnlyLastOldScript) {
  WriteFile("createversion.sh", "old create");
  WriteFile("createversion.sh.tmp", "new create");
  WriteFile("dedicatedserver.sh", "old server");
  WriteFile("dedicatedserver.sh.tmp", "new server");
  Install("createversion.sh", "createversion.sh.tmp");
  Install("dedicatedserver.sh", "dedicatedserver.sh.tmp");
  EXPECT_EQ(ReadFile("sh.tmp"), "old server");
  EXPECT_EQ(ReadFile("createversion.sh"), "new create");
  EXPECT_EQ(ReadFile("dedicatedserver.sh"), "new server");
}

TEST_F(FileInstallTest, BareBatchNameIsAnOrdinaryFile) {
  WriteFile("dedicatedserver.bat", "old");
  WriteFile("dedicatedserver.bat.tmp", "new");
  EXPECT_EQ(Install("dedicatedserver.bat", "dedicatedserver.bat.tmp"), "");
  EXPECT_EQ(ReadFile("dedicatedserver.bat"), "new");
  EXPECT_FALSE(PathExists("sh.tmp"));
}

TEST_F(FileInstallTest, UncopyableOldFileIsNotReplaced) {
  WriteFile("data/keep", "a non-empty directory where the file goes");
  WriteFile("data.tmp", "new");
  EXPECT_EQ(Install("data", "data.tmp"),
            "Move failed data (err " + std::to_string(EISDIR) + ")\n");
  EXPECT_FALSE(outcome_.installed);
  EXPECT_EQ(ReadFile("data.tmp"), "new");
  EXPECT_EQ(ReadFile("data/keep"), "a non-empty directory where the file goes");
  EXPECT_FALSE(PathExists("data.bak"));
}

TEST_F(FileInstallTest, UnremovableOldBackupStopsTheInstall) {
  WriteFile("data/keep", "x");
  WriteFile("data.bak/keep", "y");
  WriteFile("data.tmp", "new");
  EXPECT_EQ(Install("data", "data.tmp"),
            "Remove failed data.bak (err " + std::to_string(ENOTEMPTY) + ")\n");
  EXPECT_FALSE(outcome_.installed);
  EXPECT_EQ(ReadFile("data.tmp"), "new");
}

TEST_F(FileInstallTest, PathThroughAFileReportsRemoveFailed) {
  WriteFile("plain", "a file, not a directory");
  WriteFile("x.tmp", "new");
  EXPECT_EQ(Install("plain/x", "x.tmp"), "Remove failed plain/x.bak (err " +
                                             std::to_string(ENOTDIR) + ")\n");
  EXPECT_FALSE(outcome_.installed);
  EXPECT_EQ(ReadFile("x.tmp"), "new");
}

TEST_F(FileInstallTest, MissingNewExecutablePrintsTheRenameHint) {
  const struct {
    const char* target;
    const char* temp;
    const char* hint;
  } cases[] = {
      {"./OKU", "./OKU.tmp",
       "\nPlease rename OKU.tmp to OKU\nor run ./rungame.sh or "
       "dedicatedserver.sh\n"},
      {"./OKUdedi", "./OKUdedi.tmp",
       "\nPlease rename OKUdedi.tmp to OKUdedi\nor run ./rungame.sh or "
       "dedicatedserver.sh\n"},
      {"./Base/a.txt", "./Base/a.txt.tmp", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    std::string expected = IsExecutableName(c.target)
                               ? std::string("EXECUTABLE ") + c.target + "\n"
                               : std::string();
    expected += std::string("Rename failed ") + c.temp + " to " + c.target +
                " (err " + std::to_string(ENOENT) + ")\n" + c.hint;
    EXPECT_EQ(Install(c.target, c.temp), expected);
    EXPECT_FALSE(outcome_.installed);
  }
}

TEST(CopyFileTest, CopiesEveryByte) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7));
  WriteFile(dir / "src", content);
  WriteFile(dir / "dest", "older and longer than nothing");
  EXPECT_TRUE(copyFile((dir / "src").c_str(), (dir / "dest").c_str(), 0));
  EXPECT_TRUE(ReadFile(dir / "dest") == content);
  EXPECT_EQ(Entries(dir.path()).size(), 2u);
}

TEST(CopyFileTest, KeepsThePermissionsOfTheReplacedFile) {
  TempDir dir;
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dest", "old");
  ASSERT_EQ(chmod((dir / "dest").c_str(), 0750), 0);
  EXPECT_TRUE(copyFile((dir / "src").c_str(), (dir / "dest").c_str(), 0));
  EXPECT_EQ(PermissionsOf(dir / "dest"), 0750u);
}

TEST(CopyFileTest, MissingSourceLeavesDestinationAlone) {
  TempDir dir;
  WriteFile(dir / "dest", "old");
  EXPECT_FALSE(copyFile((dir / "none").c_str(), (dir / "dest").c_str(), 0));
  EXPECT_EQ(ReadFile(dir / "dest"), "old");
  EXPECT_FALSE(copyFile((dir / "none").c_str(), (dir / "new").c_str(), 0));
  EXPECT_FALSE(PathExists(dir / "new"));
}

TEST(CopyFileTest, UnwritableDestinationFails) {
  TempDir dir;
  WriteFile(dir / "src", "new");
  WriteFile(dir / "file", "not a directory");
  WriteFile(dir / "dir/keep", "");
  EXPECT_FALSE(copyFile((dir / "src").c_str(), (dir / "missing/d").c_str(), 0));
  EXPECT_FALSE(copyFile((dir / "src").c_str(), (dir / "file/d").c_str(), 0));
  EXPECT_FALSE(copyFile((dir / "src").c_str(), (dir / "dir").c_str(), 0));
  EXPECT_EQ(Entries(dir.path()).size(), 3u);
}

// Under a file size limit the copy is cut short: that is a failure, and the
// old destination survives whole.
TEST(CopyFileTest, ShortWriteFailsAndKeepsDestination) {
  TempDir dir;
  WriteFile(dir / "src", std::string(100000, 'n'));
  WriteFile(dir / "dest", "old content");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{10000, 10000};
    setrlimit(RLIMIT_FSIZE, &limit);
    bool copied = copyFile((dir / "src").c_str(), (dir / "dest").c_str(), 0);
    _exit(copied ? 0 : (errno == EFBIG ? 1 : 2));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "0: reported copied, 2: wrong errno";
  EXPECT_EQ(ReadFile(dir / "dest"), "old content");
  EXPECT_EQ(Entries(dir.path()).size(), 2u);
}

TEST(FileExistsTest, TellsWhetherAFileOpens) {
  TempDir dir;
  WriteFile(dir / "here", "");
  EXPECT_TRUE(fileExists((dir / "here").c_str()));
  EXPECT_FALSE(fileExists((dir / "gone").c_str()));
}

}  // namespace
