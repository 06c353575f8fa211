#include "engine/stale_temporaries.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "engine/atomic_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

// A sweep removes the temporaries of processes that are gone, and nothing
// else; a replacement alone removes nothing; a directory is read once.
TEST(StaleTemporariesTest, RemovesTemporariesOfProcessesThatAreGone) {
  TempDir dir;
  const pid_t gone = PidOfAGoneProcess();
  ASSERT_GT(gone, 0);
  const std::string dead = "a.png." + std::to_string(gone) + ".Ab12Cd.tmp";
  const std::string alive =
      "b.png." + std::to_string(getppid()) + ".Ab12Cd.tmp";
  const std::set<std::string> others = {
      alive, "c.png.tmp", "d.png." + std::to_string(gone) + ".tmp",
      "e." + std::to_string(gone) + ".Ab1.tmp", "plain.txt"};
  WriteFile(dir / dead, "stale");
  for (const std::string& name : others) WriteFile(dir / name, "keep");

  // Replacing a file leaves the leftovers beside it alone.
  {
    AtomicFile kept(dir / "kept.txt", LinkAtDestination::kReplace);
    ASSERT_TRUE(kept.Write("k", 1) && kept.Commit());
  }
  EXPECT_TRUE(PathExists(dir / dead));
  SweepStaleTemporaries(dir.path() + "/");
  std::set<std::string> expected = others;
  expected.insert("kept.txt");
  EXPECT_EQ(NamesIn(dir.path()), expected);

  // A directory swept before is not read again.
  WriteFile(dir / dead, "stale again");
  SweepStaleTemporaries(dir.path() + "/");
  EXPECT_TRUE(PathExists(dir / dead));
}

}  // namespace
