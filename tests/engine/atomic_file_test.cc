#include "engine/atomic_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include "engine/deferred_sync.h"
#include "engine/scoped_fd.h"
#include "support/child_process.h"
#include "support/scoped_tmpfs.h"
#include "support/temp_dir.h"

namespace {

mode_t DefaultMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool IsSymlink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::string LinkText(const std::string& path) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

// Writes `content` through an AtomicFile and commits it.
bool Replace(const std::string& path, const std::string& content,
             LinkAtDestination links, int mode = -1) {
  AtomicFile file(path, links);
  if (mode >= 0) file.SetMode(static_cast<mode_t>(mode));
  return file.Write(content.data(), content.size()) && file.Commit();
}

ino_t InodeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class AtomicFileTest : public testing::Test {
 protected:
  TempDir dir_;
};

// Permission bits after a commit: kept from the replaced file, the default
// for a new one, exact when asked for.
TEST_F(AtomicFileTest, ChoosesThePermissionBits) {
  const struct {
    const char* name;
    int old_mode;  // -1: no file before
    int asked;     // -1: none asked for
    mode_t expected;
  } cases[] = {
      {"new.cfg", -1, -1, DefaultMode()},
      {"secret.cfg", 0600, -1, 0600},
      {"tool.sh", 0755, -1, 0755},
      {"odd.bin", 0640, -1, 0640},
      {"OKUdedi", 0644, 0700, 0700},
      {"fresh_exe", -1, 0700, 0700},
  };
  for (const auto& c : cases) {
    const std::string path = dir_ / c.name;
    if (c.old_mode >= 0) {
      WriteFile(path, "old");
      ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.old_mode)), 0);
    }
    ASSERT_TRUE(Replace(path, "new", LinkAtDestination::kReplace, c.asked))
        << c.name;
    EXPECT_EQ(ReadFile(path), "new") << c.name;
    EXPECT_EQ(PermissionsOf(path), c.expected) << c.name;
  }
  EXPECT_EQ(NamesIn(dir_.path()).size(), std::size(cases));
}

// Times set before the commit stay: bytes still buffered when they are set
// must not change them when the commit writes them out.
TEST_F(AtomicFileTest, TimesSetBeforeTheCommitStay) {
  AtomicFile file(dir_ / "dated.bin", LinkAtDestination::kReplace);
  ASSERT_TRUE(file.Write("buffered", 8));
  ASSERT_TRUE(file.SetTimes(1000000000, 1234567890));
  ASSERT_TRUE(file.Commit(Durability::kWriteBack));
  struct stat info;
  ASSERT_EQ(stat((dir_ / "dated.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1234567890);
  EXPECT_EQ(info.st_atime, 1000000000);
  EXPECT_EQ(ReadFile(dir_ / "dated.bin"), "buffered");
}

TEST_F(AtomicFileTest, FollowKeepsTheLinkAndReplacesItsTarget) {
  WriteFile(dir_ / "real/config.cfg", "old");
  ASSERT_EQ(chmod((dir_ / "real/config.cfg").c_str(), 0600), 0);
  ASSERT_EQ(symlink("real/config.cfg", (dir_ / "config.cfg").c_str()), 0);
  ASSERT_EQ(symlink("config.cfg", (dir_ / "again.cfg").c_str()), 0);

  AtomicFile file(dir_ / "again.cfg", LinkAtDestination::kFollow);
  EXPECT_EQ(file.path(), dir_ / "real/config.cfg");
  ASSERT_TRUE(file.Write("new", 3));
  ASSERT_TRUE(file.Commit());

  EXPECT_TRUE(IsSymlink(dir_ / "config.cfg"));
  EXPECT_TRUE(IsSymlink(dir_ / "again.cfg"));
  EXPECT_EQ(LinkText(dir_ / "config.cfg"), "real/config.cfg");
  EXPECT_EQ(ReadFile(dir_ / "real/config.cfg"), "new");
  EXPECT_EQ(PermissionsOf(dir_ / "real/config.cfg"), 0600u);
  EXPECT_EQ(NamesIn(dir_ / "real"), std::set<std::string>{"config.cfg"});
}

TEST_F(AtomicFileTest, FollowThroughADanglingLinkCreatesItsTarget) {
  ASSERT_EQ(mkdir((dir_ / "elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(symlink("elsewhere/made.cfg", (dir_ / "made.cfg").c_str()), 0);
  ASSERT_TRUE(Replace(dir_ / "made.cfg", "x", LinkAtDestination::kFollow));
  EXPECT_TRUE(IsSymlink(dir_ / "made.cfg"));
  EXPECT_EQ(ReadFile(dir_ / "elsewhere/made.cfg"), "x");
}

TEST_F(AtomicFileTest, ReplaceSwapsTheLinkItselfAndLeavesItsTarget) {
  WriteFile(dir_ / "target.png", "target");
  ASSERT_EQ(symlink("target.png", (dir_ / "link.png").c_str()), 0);
  ASSERT_TRUE(Replace(dir_ / "link.png", "new", LinkAtDestination::kReplace));
  EXPECT_FALSE(IsSymlink(dir_ / "link.png"));
  EXPECT_EQ(ReadFile(dir_ / "link.png"), "new");
  EXPECT_EQ(ReadFile(dir_ / "target.png"), "target");
}

TEST_F(AtomicFileTest, UncommittedFileLeavesNothingBehind) {
  WriteFile(dir_ / "keep.txt", "old");
  {
    AtomicFile file(dir_ / "keep.txt", LinkAtDestination::kReplace);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file.Write("half", 4));
    ASSERT_TRUE(file.Flush());
    EXPECT_EQ(ReadFile(file.temp_path()), "half");
    EXPECT_EQ(NamesIn(dir_.path()).size(), 2u);
  }
  EXPECT_EQ(ReadFile(dir_ / "keep.txt"), "old");
  EXPECT_EQ(NamesIn(dir_.path()), std::set<std::string>{"keep.txt"});
  {
    AtomicFile file(dir_ / "keep.txt", LinkAtDestination::kReplace);
    ASSERT_TRUE(file.Write("x", 1));
    EXPECT_TRUE(file.Abandon());
    EXPECT_EQ(NamesIn(dir_.path()), std::set<std::string>{"keep.txt"});
    EXPECT_FALSE(file.Commit());
  }
  EXPECT_EQ(ReadFile(dir_ / "keep.txt"), "old");
  EXPECT_EQ(NamesIn(dir_.path()), std::set<std::string>{"keep.txt"});
}

// A commit that cannot finish leaves the old file whole and no temporary:
// a rename over a directory, and a write cut short by a file size limit.
TEST_F(AtomicFileTest, FailedCommitKeepsTheOldFileAndRemovesTheTemporary) {
  WriteFile(dir_ / "busy/inside", "x");
  {
    AtomicFile over_dir(dir_ / "busy", LinkAtDestination::kReplace);
    ASSERT_TRUE(over_dir.Write("data", 4));
    EXPECT_FALSE(over_dir.Commit());
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(over_dir.error(), EISDIR) << "the failed rename is kept";
    EXPECT_TRUE(over_dir.ok()) << "the file itself is whole";
    // Still there for another way of installing it, until the object goes.
    EXPECT_EQ(ReadFile(over_dir.temp_path()), "data");
  }
  EXPECT_EQ(ReadFile(dir_ / "busy/inside"), "x");

  WriteFile(dir_ / "big.bin", "old content");
  const int code = RunWithFileSizeLimit(4096, [&] {
    AtomicFile file(dir_ / "big.bin", LinkAtDestination::kReplace);
    const std::string data(100000, 'n');
    file.Write(data.data(), data.size());
    if (file.Commit()) return 0;
    return errno == EFBIG ? 1 : 2;
  });
  EXPECT_EQ(code, 1) << "0: reported committed, 2: wrong errno";
  EXPECT_EQ(ReadFile(dir_ / "big.bin"), "old content");
  EXPECT_EQ(NamesIn(dir_.path()), (std::set<std::string>{"big.bin", "busy"}));
}

TEST_F(AtomicFileTest, CreationFailsWhereNoFileCanGo) {
  WriteFile(dir_ / "plain", "file");
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {dir_ / "missing/x.cfg", ENOENT},
      {dir_ / "plain/x.cfg", ENOTDIR},
  };
  for (const auto& c : cases) {
    AtomicFile file(c.path, LinkAtDestination::kReplace);
    EXPECT_FALSE(file.ok()) << c.path;
    EXPECT_EQ(file.error(), c.error) << c.path;
    EXPECT_TRUE(file.temp_path().empty()) << c.path;
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_FALSE(file.Commit());
  }
  EXPECT_EQ(ReadFile(dir_ / "plain"), "file");
}

TEST_F(AtomicFileTest, TemporaryNamesAreUniqueAndFitLongNames) {
  const std::string long_name(250, 'n');
  AtomicFile a(dir_ / long_name, LinkAtDestination::kReplace);
  AtomicFile b(dir_ / long_name, LinkAtDestination::kReplace);
  ASSERT_TRUE(a.ok()) << a.error();
  ASSERT_TRUE(b.ok());
  EXPECT_NE(a.temp_path(), b.temp_path());
  const std::string pid_part = "." + std::to_string(getpid()) + ".";
  EXPECT_NE(a.temp_path().find(pid_part), std::string::npos) << a.temp_path();
  ASSERT_TRUE(a.Write("a", 1) && a.Commit(Durability::kWriteBack));
  ASSERT_TRUE(b.Write("b", 1) && b.Commit());
  EXPECT_EQ(ReadFile(dir_ / long_name), "b");
  EXPECT_EQ(NamesIn(dir_.path()).size(), 1u);
}

TEST_F(AtomicFileTest, KeepAsLeavesTheFinishedFileUnderTheGivenName) {
  WriteFile(dir_ / "OKUdedi", "running");
  {
    AtomicFile file(dir_ / "OKUdedi", LinkAtDestination::kReplace);
    ASSERT_TRUE(file.Write("complete", 8));
    ASSERT_TRUE(file.KeepAs(dir_ / "OKUdedi.tmp"));
  }
  EXPECT_EQ(ReadFile(dir_ / "OKUdedi"), "running");
  EXPECT_EQ(ReadFile(dir_ / "OKUdedi.tmp"), "complete");
  EXPECT_EQ(NamesIn(dir_.path()).size(), 2u);
}

TEST_F(AtomicFileTest, DeferredCommitsAreSyncedTogether) {
  DeferredSync deferred;
  EXPECT_TRUE(deferred.empty());
  for (const char* name : {"a", "b", "sub/c"}) {
    WriteFile(dir_ / "sub/.keep", "");
    AtomicFile file(dir_ / name, LinkAtDestination::kReplace);
    ASSERT_TRUE(file.Write(name, 1));
    ASSERT_TRUE(file.Commit(deferred));
    EXPECT_EQ(ReadFile(dir_ / name), std::string(name, 1));
  }
  EXPECT_FALSE(deferred.empty());
  EXPECT_TRUE(deferred.SyncAll());
  EXPECT_TRUE(deferred.empty());
}

// A complete file made elsewhere on the same file system becomes the
// temporary file: the commit renames it into place with the attributes a
// made file would have, and abandoning it removes it. One that is not a
// regular file with one name on that file system is refused and left as it
// was, and the object's own file is still there to write.
TEST_F(AtomicFileTest, AdoptsACompleteFileOfTheSameFileSystem) {
  const struct {
    const char* name;
    int old_mode;  // of the file replaced; -1: none
    bool commit;   // else abandoned
    mode_t expected;
  } cases[] = {
      {"replaces.bin", 0640, true, 0640},
      {"new.bin", -1, true, DefaultMode()},
      {"abandoned.bin", 0640, false, 0640},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ / c.name;
    const std::string made = dir_ / ("staged/" + std::string(c.name));
    WriteFile(made, "made before");
    ASSERT_EQ(chmod(made.c_str(), 0604), 0);
    const ino_t inode = InodeOf(made);
    if (c.old_mode >= 0) {
      WriteFile(path, "old");
      ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.old_mode)), 0);
    }
    {
      AtomicFile file(path, LinkAtDestination::kReplace);
      ScopedFd fd(open(made.c_str(), O_RDWR | O_CLOEXEC));
      ASSERT_TRUE(file.Adopt(fd, made));
      EXPECT_FALSE(fd.valid());
      EXPECT_EQ(file.temp_path(), made);
      EXPECT_EQ(PermissionsOf(made), c.expected);
      if (c.commit) {
        ASSERT_TRUE(file.Commit());
      } else {
        EXPECT_TRUE(file.Abandon());
      }
    }
    EXPECT_FALSE(PathExists(made));
    if (c.commit) {
      EXPECT_EQ(ReadFile(path), "made before");
      EXPECT_EQ(InodeOf(path), inode);
      EXPECT_EQ(PermissionsOf(path), c.expected);
    } else {
      EXPECT_EQ(ReadFile(path), "old");
    }
  }
  // Nothing but the files themselves and the emptied directory.
  EXPECT_EQ(NamesIn(dir_.path()),
            (std::set<std::string>{"replaces.bin", "new.bin", "abandoned.bin",
                                   "staged"}));
  EXPECT_EQ(NamesIn(dir_ / "staged"), std::set<std::string>{});

  WriteFile(dir_ / "sub/.keep", "");
  const std::string linked = dir_ / "staged/linked.bin";
  WriteFile(linked, "two names");
  ASSERT_EQ(link(linked.c_str(), (dir_ / "other-name").c_str()), 0);
  const std::string tmpfs_dir = dir_ / "elsewhere";
  WriteFile(tmpfs_dir + "/.keep", "");
  const ScopedTmpfs elsewhere(tmpfs_dir, "1m");
  const std::string other_fs = tmpfs_dir + "/copy.bin";
  if (elsewhere.mounted()) WriteFile(other_fs, "another file system");
  const struct {
    std::string adopted;
    int open_flags;
    int error;
  } refused[] = {
      {linked, O_RDWR, EMLINK},
      {dir_ / "staged", O_RDONLY | O_DIRECTORY, EINVAL},
      {other_fs, O_RDWR, EXDEV},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.adopted);
    if (r.adopted == other_fs && !elsewhere.mounted()) continue;
    AtomicFile file(dir_ / "target.bin", LinkAtDestination::kReplace);
    ScopedFd fd(open(r.adopted.c_str(), r.open_flags | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    errno = 0;
    EXPECT_FALSE(file.Adopt(fd, r.adopted));
    EXPECT_EQ(errno, r.error);
    EXPECT_TRUE(fd.valid());
    ASSERT_TRUE(file.Write("own", 3));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(ReadFile(dir_ / "target.bin"), "own");
  }
  // A synced file committed with others: its directories wait for SyncAll.
  const std::string synced = dir_ / "staged/synced.bin";
  WriteFile(synced, "synced before");
  DeferredSync deferred;
  {
    AtomicFile file(dir_ / "sub/synced.bin", LinkAtDestination::kReplace);
    ScopedFd fd(open(synced.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(file.Adopt(fd, synced, AdoptedData::kSynced));
    ASSERT_TRUE(file.Commit(deferred));
  }
  EXPECT_EQ(ReadFile(dir_ / "sub/synced.bin"), "synced before");
  EXPECT_FALSE(deferred.empty());
  EXPECT_TRUE(deferred.SyncAll());
  EXPECT_TRUE(deferred.empty());

  EXPECT_EQ(ReadFile(linked), "two names");
  EXPECT_EQ(ReadFile(dir_ / "other-name"), "two names");
  if (elsewhere.mounted()) {
    EXPECT_EQ(ReadFile(other_fs), "another file system");
  }
}

}  // namespace
