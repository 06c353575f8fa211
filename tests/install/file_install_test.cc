#include "install/file_install.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/atomic_file.h"
#include "engine/deferred_sync.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

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
  // Installs a download of `content` for `target` with stdout captured;
  // returns the output. `before` runs just before the installation.
  std::string Install(const char* target, const std::string& content,
                      const std::function<void(AtomicFile&)>& before = {}) {
    AtomicFile download(target, LinkAtDestination::kReplace);
    download.Write(content.data(), content.size());
    if (before) before(download);
    testing::internal::CaptureStdout();
    outcome_ = InstallDownloadedFile(download, nullptr);
    return testing::internal::GetCapturedStdout();
  }
  // Makes the directory "Base" and, unless `mode` is -1, an old `target`
  // with permission bits `mode`.
  static void PlaceOldFile(const char* target, int mode) {
    WriteFile("Base/.keep", "");
    if (mode < 0) return;
    WriteFile(target, "old");
    ASSERT_EQ(chmod(target, static_cast<mode_t>(mode)), 0);
  }

  TempDir dir_;
  ScopedCwd cwd_{dir_.path()};
  InstallResult outcome_;
};

TEST_F(FileInstallTest, OrdinaryFileReplacesOldOneSilently) {
  WriteFile("Base/a.txt", "old");
  EXPECT_EQ(Install("./Base/a.txt", "new"), "");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("Base/a.txt"), "new");
  EXPECT_FALSE(PathExists("Base/a.txt.tmp"));
  EXPECT_FALSE(PathExists("Base/a.txt.bak"));
}

TEST_F(FileInstallTest, OrdinaryFileWithoutOldOneIsRenamedIntoPlace) {
  EXPECT_EQ(Install("a.txt", "new"), "");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_EQ(ReadFile("a.txt"), "new");
}

TEST_F(FileInstallTest, ExecutableIsRenamedAsideAndAsksForRestart) {
  WriteFile("OKU", "running binary");
  EXPECT_EQ(Install("./OKU", "new binary"),
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
  Install("OKUdedi", "third");
  EXPECT_TRUE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKUdedi.tmp2"), "second");
  EXPECT_EQ(ReadFile("OKUdedi"), "third");
}

TEST_F(FileInstallTest, NewExecutableFallsBackToOrdinaryInstall) {
  EXPECT_EQ(Install("./OKU", "new binary"), "EXECUTABLE ./OKU\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKU"), "new binary");
}

TEST_F(FileInstallTest, ExecutableThatCannotMoveAsideIsReplacedInPlace) {
  WriteFile("OKU", "old");
  WriteFile("OKU.tmp2/blocker", "a non-empty directory in the way");
  EXPECT_EQ(Install("./OKU", "new"), "EXECUTABLE ./OKU\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("OKU"), "new");
}

// A new executable that cannot be written out in full (here: the file size
// limit) is not put in place: the running one comes back under its name.
TEST_F(FileInstallTest, FailedCommitPutsTheOldExecutableBack) {
  WriteFile("OKUdedi", "running binary");
  const int installed = RunWithFileSizeLimit(1024, [&] {
    Install("./OKUdedi", std::string(64 * 1024, 'x'));
    return outcome_.installed ? 1 : 0;
  });
  EXPECT_EQ(installed, 0);
  EXPECT_EQ(ReadFile("OKUdedi"), "running binary");
  EXPECT_FALSE(PathExists("OKUdedi.tmp2"));
  EXPECT_FALSE(PathExists("OKUdedi.tmp"));
}

TEST_F(FileInstallTest, ScriptIsRenamedToShTmpWithoutRestart) {
  WriteFile("dedicatedserver.sh", "old script");
  EXPECT_EQ(Install("./dedicatedserver.sh", "new script"),
            "UPDATED BATCH FILE\n");
  EXPECT_TRUE(outcome_.installed);
  EXPECT_FALSE(outcome_.restart_required);
  EXPECT_EQ(ReadFile("dedicatedserver.sh"), "new script");
  EXPECT_EQ(ReadFile("sh.tmp"), "old script");
  EXPECT_EQ(PermissionsOf("dedicatedserver.sh"), 0700u);
}

TEST_F(FileInstallTest, SecondScriptUpdateKeepsOnlyLastOldScript) {
  WriteFile("createversion.sh", "old create");
  WriteFile("dedicatedserver.sh", "old server");
  Install("createversion.sh", "new create");
  Install("dedicatedserver.sh", "new server");
  EXPECT_EQ(ReadFile("sh.tmp"), "old server");
  EXPECT_EQ(ReadFile("createversion.sh"), "new create");
  EXPECT_EQ(ReadFile("dedicatedserver.sh"), "new server");
}

TEST_F(FileInstallTest, BareBatchNameIsAnOrdinaryFile) {
  WriteFile("dedicatedserver.bat", "old");
  EXPECT_EQ(Install("dedicatedserver.bat", "new"), "");
  EXPECT_EQ(ReadFile("dedicatedserver.bat"), "new");
  EXPECT_FALSE(PathExists("sh.tmp"));
}

TEST_F(FileInstallTest, UncopyableOldFileIsNotReplaced) {
  WriteFile("data/keep", "a non-empty directory where the file goes");
  EXPECT_EQ(Install("data", "new"),
            "Move failed data (err " + std::to_string(EISDIR) + ")\n");
  EXPECT_FALSE(outcome_.installed);
  EXPECT_EQ(ReadFile("data.tmp"), "new");
  EXPECT_EQ(ReadFile("data/keep"), "a non-empty directory where the file goes");
  EXPECT_FALSE(PathExists("data.bak"));
}

TEST_F(FileInstallTest, UnremovableOldBackupStopsTheInstall) {
  WriteFile("data/keep", "x");
  WriteFile("data.bak/keep", "y");
  EXPECT_EQ(Install("data", "new"),
            "Remove failed data.bak (err " + std::to_string(ENOTEMPTY) + ")\n");
  EXPECT_FALSE(outcome_.installed);
  EXPECT_EQ(ReadFile("data.tmp"), "new");
}

TEST_F(FileInstallTest, PathThroughAFileReportsRemoveFailed) {
  WriteFile("plain", "a file, not a directory");
  EXPECT_EQ(Install("plain/x", "new"), "Remove failed plain/x.bak (err " +
                                             std::to_string(ENOTDIR) + ")\n");
  EXPECT_FALSE(outcome_.installed);
  EXPECT_EQ(ReadFile("plain"), "a file, not a directory");
  EXPECT_EQ(NamesIn("."), std::set<std::string>{"plain"});
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
    WriteFile("Base/.keep", "");
    // The finished download disappears before it can be put in place.
    EXPECT_EQ(Install(c.target, "new",
                      [](AtomicFile& download) {
                        download.Flush();
                        unlink(download.temp_path().c_str());
                      }),
              expected);
    EXPECT_FALSE(outcome_.installed);
  }
}

// An executable or script gets 0700; any other file keeps the bits of the
// file it replaces, so the starter itself and the operator's scripts stay
// runnable and secrets stay private; a new file gets the default.
TEST_F(FileInstallTest, KeepsThePermissionBitsOfWhatItReplaces) {
  const mode_t mask = umask(0);
  umask(mask);
  const struct {
    const char* target;
    int old_mode;  // -1: no old file
    mode_t expected;
  } cases[] = {
      {"./DUdavi", 0755, 0755},
      {"./rungame.sh", 0755, 0755},
      {"./Base/secret.cfg", 0600, 0600},
      {"./Base/group.cfg", 0640, 0640},
      {"./Base/new.cfg", -1, 0666 & ~mask},
      {"./OKUdedi", 0755, 0700},
      {"./dedicatedserver.sh", 0755, 0700},
      // A first install of an executable or script is runnable too.
      {"./OKU", -1, 0700},
      {"OKU.exe", -1, 0700},
      {"./createversion.sh", -1, 0700},
      {"dedcatedserver.bat", -1, 0700},
      {"dedicatedserver.bat", -1, 0666 & ~mask},
  };
  for (const auto& c : cases) {
    PlaceOldFile(c.target, c.old_mode);
    Install(c.target, "new");
    EXPECT_TRUE(outcome_.installed) << c.target;
    EXPECT_EQ(ReadFile(c.target), "new") << c.target;
    EXPECT_EQ(PermissionsOf(c.target), c.expected) << c.target;
  }
}

// Data files wait for one sync of the whole run; what the operator runs is
// written through at once.
TEST_F(FileInstallTest, OnlyDataFilesWaitForTheDeferredSync) {
  const struct {
    const char* target;
    int old_mode;
    bool deferred;
  } cases[] = {
      {"./Base/a.png", -1, true},
      {"./Base/b.png", 0644, true},
      {"./rungame.sh", 0755, false},
      {"./OKUdedi", 0755, false},
      {"./createversion.sh", -1, false},
  };
  for (const auto& c : cases) {
    PlaceOldFile(c.target, c.old_mode);
    DeferredSync deferred;
    AtomicFile download(c.target, LinkAtDestination::kReplace);
    ASSERT_TRUE(download.Write("new", 3));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(InstallDownloadedFile(download, &deferred).installed);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile(c.target), "new") << c.target;
    EXPECT_EQ(!deferred.empty(), c.deferred) << c.target;
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
  EXPECT_EQ(NamesIn(dir.path()).size(), 2u);
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
  EXPECT_EQ(NamesIn(dir.path()).size(), 3u);
}

// Under a file size limit the copy is cut short: that is a failure, and the
// old destination survives whole.
TEST(CopyFileTest, ShortWriteFailsAndKeepsDestination) {
  TempDir dir;
  WriteFile(dir / "src", std::string(100000, 'n'));
  WriteFile(dir / "dest", "old content");
  const int code = RunWithFileSizeLimit(10000, [&] {
    bool copied = copyFile((dir / "src").c_str(), (dir / "dest").c_str(), 0);
    return copied ? 0 : (errno == EFBIG ? 1 : 2);
  });
  EXPECT_EQ(code, 1) << "0: reported copied, 2: wrong errno";
  EXPECT_EQ(ReadFile(dir / "dest"), "old content");
  EXPECT_EQ(NamesIn(dir.path()).size(), 2u);
}

// A destination this process may write but cannot replace is written in
// place, as opening it for writing would; never through a symbolic link.
TEST(CopyFileTest, WritesInPlaceWhereTheFileMayBeWrittenButNotReplaced) {
  const struct {
    const char* name;
    mode_t dir_mode;
    bool link;  // the destination is a link to a writable file beside
    bool copied;
  } cases[] = {
      {"read-only directory", 0755, false, true},
      {"file of another user, sticky directory", 01777, false, true},
      {"link of another user, sticky directory", 01777, true, false},
  };
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  WriteFile(dir / "src", "new content");
  ASSERT_EQ(chmod((dir / "src").c_str(), 0644), 0);
  for (const auto& c : cases) {
    const std::string shared = dir / c.name;
    const std::string dest = shared + "/dest";
    const std::string target = dir / (std::string(c.name) + ".target");
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    WriteFile(c.link ? target : dest, "old");
    if (c.link) {
      ASSERT_EQ(symlink(target.c_str(), dest.c_str()), 0);
    }
    ASSERT_EQ(chmod((c.link ? target : dest).c_str(), 0666), 0);
    ASSERT_EQ(chmod(shared.c_str(), c.dir_mode), 0);
    const int code = RunAsNobody([&] {
      return copyFile((dir / "src").c_str(), dest.c_str(), 0) ? 1 : 0;
    });
    EXPECT_EQ(code, c.copied ? 1 : 0) << c.name;
    EXPECT_EQ(ReadFile(dest), c.copied ? "new content" : "old") << c.name;
    EXPECT_EQ(NamesIn(shared), std::set<std::string>{"dest"}) << c.name;
  }
}

TEST(FileExistsTest, TellsWhetherAFileOpens) {
  TempDir dir;
  WriteFile(dir / "here", "");
  EXPECT_TRUE(fileExists((dir / "here").c_str()));
  EXPECT_FALSE(fileExists((dir / "gone").c_str()));
}

}  // namespace
