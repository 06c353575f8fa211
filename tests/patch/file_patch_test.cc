#include "patch/file_patch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/atomic_file.h"
#include "support/child_process.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"

namespace {

constexpr int kLevel = 3;

// `base` with `count` runs of `run` fresh bytes written over it, spread
// evenly.
std::string Overwrite(std::string base, int count, std::size_t run,
                      unsigned seed) {
  const std::string fresh = RandomBytes(count * run, seed);
  for (int i = 0; i < count; ++i) {
    const std::size_t at = (base.size() - run) / count * i + 7;
    base.replace(at, run, fresh, i * run, run);
  }
  return base;
}

// `base` with `inserted` placed before byte `at`.
std::string Insert(std::string base, std::size_t at,
                   const std::string& inserted) {
  return base.insert(at, inserted);
}

bool HaveZstdTool() { return RunShell("command -v zstd >/dev/null 2>&1") == 0; }

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

class FilePatchTest : public testing::Test {
 protected:
  // Applies the patch file at `patch` to `reference` into dir_/"out",
  // committed only on success.
  PatchResult ApplyFile(const std::string& reference, const std::string& patch,
                        std::uint64_t cap) {
    AtomicFile out(dir_ / "out", LinkAtDestination::kReplace);
    PatchResult result = ApplyPatch(reference, patch, out, PatchLimits{cap});
    if (result.ok()) {
      EXPECT_TRUE(out.Commit());
    }
    return result;
  }
  // The same with the patch's bytes in memory.
  PatchResult ApplyBytes(const std::string& reference, const std::string& patch,
                         std::uint64_t cap) {
    AtomicFile out(dir_ / "out", LinkAtDestination::kReplace);
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(patch.data()), patch.size());
    PatchResult result = ApplyPatch(reference, bytes, out, PatchLimits{cap});
    if (result.ok()) {
      EXPECT_TRUE(out.Commit());
    }
    return result;
  }
  // Writes `old_content` and `new_content` as dir_/"old" and dir_/"new".
  void WritePair(const std::string& old_content,
                 const std::string& new_content) {
    WriteFile(dir_ / "old", old_content);
    WriteFile(dir_ / "new", new_content);
  }

  TempDir dir_;
};

// The changes a release makes to a file, with the largest patch that shows
// the old file served as the reference.
struct Change {
  const char* name;
  std::string old_content;
  std::string new_content;
  std::size_t max_patch;
};

std::vector<Change> Changes() {
  const std::string pack = RandomBytes(1 << 20, 1);
  const std::string two_mib = RandomBytes(2 << 20, 2);
  std::string moved = two_mib.substr(1 << 20) + two_mib.substr(0, 1 << 20);
  moved.resize(moved.size() - 4096);
  std::string script;
  for (int i = 0; i < 2000; ++i) {
    script += "set value_" + std::to_string(i) + " = " +
              std::to_string(i * 7 % 13) + "\n";
  }
  return {
      {"scattered edits", pack, Overwrite(pack, 40, 512, 3), 24 << 10},
      {"insertions", pack,
       Insert(Insert(pack, 300000, RandomBytes(4096, 4)), 900000, "new bytes"),
       6 << 10},
      {"a cut in the middle", pack,
       pack.substr(0, 400000) + pack.substr(500000), 1 << 10},
      {"identical", pack, pack, 1 << 10},
      // Across both files: the block at the old file's start is at the new
      // file's end.
      {"halves swapped", two_mib, moved, 2 << 10},
      {"text edited", script,
       Insert(script, script.size() / 2, "set extra = 1\n"), 1 << 10},
      {"empty old", "", pack, pack.size() + 1024},
      {"empty new", pack, "", 64},
      {"both empty", "", "", 64},
      {"unrelated", pack, RandomBytes(1 << 20, 9), pack.size() + 1024},
  };
}

TEST_F(FilePatchTest, RoundTripsEveryKindOfChange) {
  for (const Change& c : Changes()) {
    SCOPED_TRACE(c.name);
    WritePair(c.old_content, c.new_content);
    const PatchResult made =
        MakePatch(dir_ / "old", dir_ / "new", dir_ / "patch", kLevel);
    ASSERT_TRUE(made.ok()) << DescribePatchResult(made);
    const std::string patch = ReadFile(dir_ / "patch");
    EXPECT_EQ(made.output_bytes, patch.size());
    EXPECT_LE(patch.size(), c.max_patch);

    const PatchResult applied =
        ApplyFile(dir_ / "old", dir_ / "patch", c.new_content.size());
    ASSERT_TRUE(applied.ok()) << DescribePatchResult(applied);
    EXPECT_EQ(applied.output_bytes, c.new_content.size());
    EXPECT_TRUE(ReadFile(dir_ / "out") == c.new_content);

    ASSERT_TRUE(ApplyBytes(dir_ / "old", patch, c.new_content.size()).ok());
    EXPECT_TRUE(ReadFile(dir_ / "out") == c.new_content);

    // Through a sink: the same bytes, in pieces of at most 1 MiB.
    std::string sunk;
    std::size_t largest = 0;
    const PatchResult through_sink = ApplyPatch(
        dir_ / "old", dir_ / "patch",
        [&](const std::uint8_t* data, std::size_t size) {
          sunk.append(reinterpret_cast<const char*>(data), size);
          largest = std::max(largest, size);
          return true;
        },
        PatchLimits{c.new_content.size()});
    ASSERT_TRUE(through_sink.ok()) << DescribePatchResult(through_sink);
    EXPECT_EQ(through_sink.output_bytes, c.new_content.size());
    EXPECT_TRUE(sunk == c.new_content);
    EXPECT_LE(largest, std::size_t{1} << 20);
  }
  // Only the committed files: no temporary stays behind.
  EXPECT_EQ(NamesIn(dir_.path()),
            (std::set<std::string>{"new", "old", "out", "patch"}));
}

// Patches pass between this codec and the zstd tool in both directions.
TEST_F(FilePatchTest, PatchesAreThoseOfTheZstdTool) {
  if (!HaveZstdTool()) GTEST_SKIP() << "no zstd tool";
  for (const Change& c : Changes()) {
    SCOPED_TRACE(c.name);
    WritePair(c.old_content, c.new_content);
    const std::string old_file = Quoted(dir_ / "old");
    ASSERT_TRUE(
        MakePatch(dir_ / "old", dir_ / "new", dir_ / "ours", kLevel).ok());
    ASSERT_EQ(
        RunShell("zstd -q -f -d --long=30 --patch-from=" + old_file + " " +
                 Quoted(dir_ / "ours") + " -o " + Quoted(dir_ / "by-zstd")),
        0);
    EXPECT_TRUE(ReadFile(dir_ / "by-zstd") == c.new_content);

    // The tool cannot make a patch to an empty file (it stops on an
    // assertion).
    if (c.new_content.empty()) continue;
    ASSERT_EQ(
        RunShell("zstd -q -f -3 --long=27 --patch-from=" + old_file + " " +
                 Quoted(dir_ / "new") + " -o " + Quoted(dir_ / "theirs")),
        0);
    const PatchResult applied =
        ApplyFile(dir_ / "old", dir_ / "theirs", c.new_content.size());
    ASSERT_TRUE(applied.ok()) << DescribePatchResult(applied);
    EXPECT_TRUE(ReadFile(dir_ / "out") == c.new_content);
  }
}

// What the update run may be handed instead of the patch it asked for: each
// ends in its status, and the decoded file is never the new one.
TEST_F(FilePatchTest, RefusesWhatIsNotAnIntactPatch) {
  const std::string old_content = RandomBytes(256 << 10, 11);
  const std::string new_content = Overwrite(old_content, 8, 512, 12);
  WritePair(old_content, new_content);
  ASSERT_TRUE(
      MakePatch(dir_ / "old", dir_ / "new", dir_ / "patch", kLevel).ok());
  const std::string patch = ReadFile(dir_ / "patch");
  ASSERT_GT(patch.size(), 200u);
  std::string other_bytes = patch;
  for (std::size_t i = patch.size() / 3; i < patch.size() / 3 + 64; ++i) {
    other_bytes[i] = static_cast<char>(~other_bytes[i]);
  }
  std::string last_byte_wrong = patch;
  last_byte_wrong.back() = static_cast<char>(~last_byte_wrong.back());
  // A skippable frame of four bytes: a zstd file that decodes to nothing.
  const std::string skippable(
      "\x50\x2a\x4d\x18\x04\x00\x00\x00"
      "abcd",
      12);
  const struct {
    const char* name;
    std::string patch;
    PatchStatus expected;
  } cases[] = {
      {"same size, other bytes", other_bytes, PatchStatus::kCorrupt},
      {"checksum wrong", last_byte_wrong, PatchStatus::kCorrupt},
      {"cut in half", patch.substr(0, patch.size() / 2), PatchStatus::kCorrupt},
      {"last byte cut", patch.substr(0, patch.size() - 1),
       PatchStatus::kCorrupt},
      {"header only", patch.substr(0, 6), PatchStatus::kCorrupt},
      {"empty", "", PatchStatus::kCorrupt},
      {"an error page", "<html>404 Not Found</html>", PatchStatus::kCorrupt},
      {"skippable frame", skippable, PatchStatus::kCorrupt},
      {"bytes after the frame", patch + "tail", PatchStatus::kCorrupt},
      {"two frames", patch + patch, PatchStatus::kCorrupt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir_ / "bad", c.patch);
    const PatchResult from_file =
        ApplyFile(dir_ / "old", dir_ / "bad", new_content.size());
    EXPECT_EQ(from_file.status, c.expected) << DescribePatchResult(from_file);
    EXPECT_FALSE(from_file.detail.empty());
    const PatchResult from_memory =
        ApplyBytes(dir_ / "old", c.patch, new_content.size());
    EXPECT_EQ(from_memory.status, c.expected);
    EXPECT_NE(ReadFile(dir_ / "out"), new_content);
  }
}

// A patch read from a file whose frame ends exactly where a read of it
// ends, and which goes on after it, is caught like any other.
TEST_F(FilePatchTest, BytesAfterAFrameThatFillsWholeReadsAreCaught) {
  // Random bytes are stored, not compressed: the frame is the file's size
  // plus a few bytes of header, block headers and checksum.
  const std::size_t read_size = 1 << 20;
  std::string new_content;
  for (std::size_t size = read_size - 64; size < read_size; ++size) {
    WritePair("", RandomBytes(size, 13));
    ASSERT_TRUE(MakePatch(dir_ / "old", dir_ / "new", dir_ / "patch", 1).ok());
    if (ReadFile(dir_ / "patch").size() == read_size) {
      new_content = ReadFile(dir_ / "new");
      break;
    }
  }
  ASSERT_FALSE(new_content.empty()) << "no frame of exactly one read";
  EXPECT_TRUE(ApplyFile(dir_ / "old", dir_ / "patch", new_content.size()).ok());
  WriteFile(dir_ / "bad", ReadFile(dir_ / "patch") + "x");
  const PatchResult result =
      ApplyFile(dir_ / "old", dir_ / "bad", new_content.size());
  EXPECT_EQ(result.status, PatchStatus::kCorrupt);
  EXPECT_EQ(result.detail, "bytes after the end of the patch");
}

// The decoded file never grows past the size the caller expects, whether the
// patch declares its size or not.
TEST_F(FilePatchTest, StopsAtTheExpectedSize) {
  const std::string old_content = RandomBytes(300 << 10, 21);
  const std::string new_content =
      Insert(old_content, 1000, RandomBytes(5000, 22));
  WritePair(old_content, new_content);
  ASSERT_TRUE(
      MakePatch(dir_ / "old", dir_ / "new", dir_ / "declared", kLevel).ok());
  const bool zstd = HaveZstdTool();
  if (zstd) {
    // A frame that does not say its size, as one made from a pipe.
    ASSERT_EQ(RunShell("zstd -q -f -3 --no-content-size --patch-from=" +
                       Quoted(dir_ / "old") + " " + Quoted(dir_ / "new") +
                       " -o " + Quoted(dir_ / "undeclared")),
              0);
  }
  const std::uint64_t size = new_content.size();
  const struct {
    const char* patch;
    std::uint64_t cap;
    PatchStatus expected;
    std::uint64_t written;
  } cases[] = {
      {"declared", size, PatchStatus::kOk, size},
      {"declared", size + 1, PatchStatus::kOk, size},
      // Refused from the header: nothing is decoded.
      {"declared", size - 1, PatchStatus::kOutputTooLarge, 0},
      {"declared", 0, PatchStatus::kOutputTooLarge, 0},
      {"undeclared", size, PatchStatus::kOk, size},
      // Decoded up to the cap, then stopped.
      {"undeclared", size - 1, PatchStatus::kOutputTooLarge, size - 1},
      {"undeclared", 100000, PatchStatus::kOutputTooLarge, 100000},
      {"undeclared", 0, PatchStatus::kOutputTooLarge, 0},
  };
  for (const auto& c : cases) {
    if (!zstd && std::string(c.patch) == "undeclared") continue;
    SCOPED_TRACE(std::string(c.patch) + " cap " + std::to_string(c.cap));
    AtomicFile out(dir_ / "out", LinkAtDestination::kReplace);
    const PatchResult result =
        ApplyPatch(dir_ / "old", dir_ / c.patch, out, PatchLimits{c.cap});
    EXPECT_EQ(result.status, c.expected) << DescribePatchResult(result);
    EXPECT_EQ(result.output_bytes, c.written);
    ASSERT_TRUE(out.Flush());
    EXPECT_EQ(ReadFile(out.temp_path()), new_content.substr(0, c.written));
  }
}

// A patch applied to another file than it was made from never yields the
// new file: it fails, or it decodes to other bytes, which the caller's hash
// check refuses.
TEST_F(FilePatchTest, AnotherReferenceNeverYieldsTheNewFile) {
  const std::string old_content = RandomBytes(512 << 10, 31);
  const std::string new_content = Overwrite(old_content, 10, 512, 32);
  WritePair(old_content, new_content);
  ASSERT_TRUE(
      MakePatch(dir_ / "old", dir_ / "new", dir_ / "patch", kLevel).ok());
  const struct {
    const char* name;
    std::string reference;
  } cases[] = {
      {"other content, same size", RandomBytes(old_content.size(), 33)},
      {"locally modified", Overwrite(old_content, 3, 100, 34)},
      {"one byte changed",
       old_content.substr(0, 4096) + "x" + old_content.substr(4097)},
      {"cut short", old_content.substr(0, old_content.size() / 2)},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir_ / "local", c.reference);
    const PatchResult result =
        ApplyFile(dir_ / "local", dir_ / "patch", new_content.size());
    EXPECT_FALSE(result.ok() && ReadFile(dir_ / "out") == new_content)
        << DescribePatchResult(result);
  }
}

// Inputs that are not there or cannot be read end in their own status,
// without waiting on a FIFO and without writing anything.
TEST_F(FilePatchTest, ReportsMissingAndUnreadableInputs) {
  WritePair("old bytes", "new bytes");
  ASSERT_TRUE(
      MakePatch(dir_ / "old", dir_ / "new", dir_ / "patch", kLevel).ok());
  ASSERT_EQ(mkdir((dir_ / "directory").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  const std::string old_file = dir_ / "old";
  const std::string patch = dir_ / "patch";
  const std::string absent = dir_ / "absent";
  const std::string through_file = dir_ / "old/inside";
  const std::string directory = dir_ / "directory";
  const std::string fifo = dir_ / "fifo";
  const struct {
    const char* name;
    std::function<PatchResult()> run;
    PatchStatus expected;
  } cases[] = {
      {"apply: reference missing",
       [&] { return ApplyFile(absent, patch, 100); },
       PatchStatus::kReferenceMissing},
      {"apply: reference under a file",
       [&] { return ApplyFile(through_file, patch, 100); },
       PatchStatus::kReferenceMissing},
      {"apply: reference a directory",
       [&] { return ApplyFile(directory, patch, 100); },
       PatchStatus::kReferenceUnreadable},
      {"apply: reference a FIFO", [&] { return ApplyFile(fifo, patch, 100); },
       PatchStatus::kReferenceUnreadable},
      {"apply: patch missing", [&] { return ApplyFile(old_file, absent, 100); },
       PatchStatus::kInputMissing},
      {"apply: patch a directory",
       [&] { return ApplyFile(old_file, directory, 100); },
       PatchStatus::kInputUnreadable},
      {"apply: patch a FIFO", [&] { return ApplyFile(old_file, fifo, 100); },
       PatchStatus::kInputUnreadable},
      {"apply from memory: reference missing",
       [&] { return ApplyBytes(absent, ReadFile(patch), 100); },
       PatchStatus::kReferenceMissing},
      {"make: old missing",
       [&] { return MakePatch(absent, dir_ / "new", dir_ / "made", 3); },
       PatchStatus::kReferenceMissing},
      {"make: old a FIFO",
       [&] { return MakePatch(fifo, dir_ / "new", dir_ / "made", 3); },
       PatchStatus::kReferenceUnreadable},
      {"make: new missing",
       [&] { return MakePatch(old_file, absent, dir_ / "made", 3); },
       PatchStatus::kInputMissing},
      {"make: new a directory",
       [&] { return MakePatch(old_file, directory, dir_ / "made", 3); },
       PatchStatus::kInputUnreadable},
      {"make: patch where a directory is",
       [&] { return MakePatch(old_file, dir_ / "new", directory, 3); },
       PatchStatus::kWriteFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PatchResult result = c.run();
    EXPECT_EQ(result.status, c.expected) << DescribePatchResult(result);
    EXPECT_NE(result.error_number, 0);
  }
  EXPECT_EQ(
      NamesIn(dir_.path()),
      (std::set<std::string>{"directory", "fifo", "new", "old", "patch"}));
}

// A full disk while the patch or the decoded file is written is reported,
// and no patch file is left half written.
TEST_F(FilePatchTest, WriteFailuresAreReported) {
  const std::string old_content = RandomBytes(1 << 20, 41);
  WritePair(old_content, RandomBytes(1 << 20, 42));
  ASSERT_TRUE(
      MakePatch(dir_ / "old", dir_ / "new", dir_ / "patch", kLevel).ok());
  ScopedFileSizeLimit limit(64 << 10);
  ASSERT_TRUE(limit.ok());
  const PatchResult made =
      MakePatch(dir_ / "old", dir_ / "new", dir_ / "second", kLevel);
  EXPECT_EQ(made.status, PatchStatus::kWriteFailed);
  EXPECT_EQ(made.error_number, EFBIG);
  const PatchResult applied = ApplyFile(dir_ / "old", dir_ / "patch", 2 << 20);
  EXPECT_EQ(applied.status, PatchStatus::kWriteFailed);
  EXPECT_EQ(applied.error_number, EFBIG);
  // A sink that stops taking bytes ends the decoding there, with its errno.
  std::uint64_t taken = 0;
  const PatchResult refused = ApplyPatch(
      dir_ / "old", dir_ / "patch",
      [&](const std::uint8_t*, std::size_t size) {
        if (taken > 0) {
          errno = ENOSPC;
          return false;
        }
        taken += size;
        return true;
      },
      PatchLimits{2 << 20});
  EXPECT_EQ(refused.status, PatchStatus::kWriteFailed);
  EXPECT_EQ(refused.error_number, ENOSPC);
  EXPECT_EQ(refused.output_bytes, taken);
  EXPECT_EQ(NamesIn(dir_.path()),
            (std::set<std::string>{"new", "old", "patch"}));
}

// The decoder's window is capped, so its memory is; MakePatch makes no
// patch it would refuse.
TEST_F(FilePatchTest, HoldsTheWindowLimit) {
  WriteFile(dir_ / "old", "reference");
  // A frame without a declared size holding one empty raw block; its
  // window descriptor byte gives the window 2^(10 + (byte >> 3)).
  const auto frame = [](char window) {
    return std::string("\x28\xb5\x2f\xfd\x00", 5) + window +
           std::string("\x01\x00\x00", 3);
  };
  const struct {
    char window;
    PatchStatus expected;
  } cases[] = {
      {static_cast<char>((kPatchWindowLogMax - 10) << 3), PatchStatus::kOk},
      {static_cast<char>((kPatchWindowLogMax - 9) << 3),
       PatchStatus::kWindowTooLarge},
  };
  for (const auto& c : cases) {
    const PatchResult result = ApplyBytes(dir_ / "old", frame(c.window), 100);
    EXPECT_EQ(result.status, c.expected) << DescribePatchResult(result);
  }

  // Two files that together pass the span get no patch (sparse files: no
  // byte is read).
  for (const char* name : {"big-old", "big-new"}) {
    const int fd = open((dir_ / name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kPatchSpanMax / 2 + 1), 0);
    close(fd);
  }
  const PatchResult made =
      MakePatch(dir_ / "big-old", dir_ / "big-new", dir_ / "big", kLevel);
  EXPECT_EQ(made.status, PatchStatus::kTooLarge);
  EXPECT_FALSE(PathExists(dir_ / "big"));
}

}  // namespace
