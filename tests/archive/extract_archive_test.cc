// The extraction tool, starter-untar, run as a program: its exit status and
// closing line, and what a full disk leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive_fixture.h"
#include "support/child_process.h"
#include "support/scoped_tmpfs.h"

namespace {

const std::string kTool =
    std::string(STARTER_BUILD_DIR) + "/tools/starter-untar";

class ExtractArchiveTest : public ArchiveTest {
 protected:
  void SetUp() override {
    if (access(kTool.c_str(), X_OK) != 0) {
      GTEST_SKIP() << "build the starter-untar target first";
    }
    Shell("mkdir -p out capture");
  }
  // Runs the tool on `archive` with out/ as the directory.
  ChildResult RunTool(const std::string& archive) {
    return RunChild(kTool, {"starter-untar", archive, Out("")}, dir_.path(),
                    dir_ / "capture");
  }
  // An archive with a file too big for the disk between two small ones.
  std::string ArchiveWithABigFile(std::size_t bigSize) {
    return WriteArchive(
        "big.tar", TarArchive({{.name = "first", .data = "12345"},
                               {.name = "big", .data = PatternBytes(bigSize)},
                               {.name = "small", .data = "small"}}));
  }
  // Only "big" failed: reported, old version kept, no temporary file left,
  // the small files extracted, and the tool exits with 1.
  void ExpectOnlyTheBigFileFailed(int exitCode, const std::string& err,
                                  const std::string& archive,
                                  const std::string& error) {
    EXPECT_EQ(1, exitCode);
    EXPECT_EQ(
        Out("big") + ": " + error + "\n" + archive + ": failed entries: 1\n",
        err);
    EXPECT_EQ("old version", ReadFile(Out("big")));
    EXPECT_EQ("12345", ReadFile(Out("first")));
    EXPECT_EQ("small", ReadFile(Out("small")));
    EXPECT_EQ((std::set<std::string>{"big", "first", "small"}),
              NamesIn(Out("")));
  }
};

TEST_F(ExtractArchiveTest, ExitsWithZeroOnlyWhenEveryEntryWasExtracted) {
  const std::string whole =
      TarArchive({{.name = "a", .data = "a"}, {.name = "b", .data = "b"}});
  WriteFile(dir_ / "whole.tar", whole);
  Shell("gzip -n whole.tar");
  const std::string gz = ReadFile(dir_ / "whole.tar.gz");
  std::string badCrc = gz;
  badCrc[gz.size() - 8] ^= 1;
  std::string corrupt = gz;
  corrupt[10] = '\xff';  // a last deflate block of the reserved type 3
  const struct {
    const char* label;
    std::string archive;
    int exitCode;
    std::string out;
    std::string err;  // ARCHIVE stands for the archive's path
    std::map<std::string, std::string> contents;  // of out/ afterwards
  } cases[] = {
      {"every entry extracted", whole, 0, "", "", {{"a", "a"}, {"b", "b"}}},
      {"an entry refused",
       TarArchive({{.name = "../up", .data = "x"}, {.name = "a", .data = "a"}}),
       1,
       "",
       "../up: refused: name contains \"..\"\nARCHIVE: failed entries: 1\n",
       {{"a", "a"}}},
      {"a link whose target never comes",
       TarArchive({{.name = "h", .type = '1', .linkto = "gone"},
                   {.name = "a", .data = "a"}}),
       1,
       "",
       "gone: No such file or directory\nARCHIVE: failed entries: 1\n",
       {{"a", "a"}}},
      {"the archive ends inside a file",
       whole.substr(0, 1024 + 512),
       1,
       "WARNING: Last file might be truncated!\n",
       "ARCHIVE: failed entries: 1\n",
       {{"a", "a"}, {"b", ""}}},
      {"not an archive",
       std::string(1024, 'x'),
       1,
       "",
       "ARCHIVE: not a valid tar file\n",
       {}},
      {"a gzip trailer with a flipped CRC bit",
       badCrc, 0, "", "", {{"a", "a"}, {"b", "b"}}},
      {"bad compressed data",
       corrupt,
       2,
       "",
       "ARCHIVE: bad compression data\n",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Shell("rm -rf out && mkdir out");
    const std::string archive = WriteArchive("a.tar", c.archive);
    const ChildResult run = RunTool(archive);
    EXPECT_EQ(c.exitCode, run.exit_code);
    EXPECT_EQ(c.out, run.out);
    std::string err = c.err;
    for (auto at = err.find("ARCHIVE"); at != std::string::npos;
         at = err.find("ARCHIVE")) {
      err.replace(at, 7, archive);
    }
    EXPECT_EQ(err, run.err);
    std::set<std::string> names;
    for (const auto& [name, content] : c.contents) {
      names.insert(name);
      EXPECT_EQ(content, ReadFile(Out(name))) << name;
    }
    EXPECT_EQ(names, NamesIn(Out("")));
  }
}

// What is not an archive at all is an archive that cannot be read; and the
// usage, asked for or not.
TEST_F(ExtractArchiveTest, ReportsWhatItCannotReadAndItsUsage) {
  Shell("mkdir -p directory");
  const std::string usage = "usage: starter-untar ARCHIVE [DIRECTORY]\n";
  const struct {
    const char* label;
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // its start
    std::string err;  // its start
  } cases[] = {
      {"a directory",
       {dir_ / "directory", Out("")},
       1,
       "",
       dir_ / "directory" + ": Is a directory\n"},
      {"no file",
       {dir_ / "absent.tar", Out("")},
       1,
       "",
       dir_ / "absent.tar" + ": No such file or directory\n"},
      {"--help", {"--help"}, 0, usage, ""},
      {"--version",
       {"--version"},
       0,
       "starter-untar " STARTER_PROJECT_VERSION "\n",
       ""},
      {"no archive", {}, 64, "", usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), "starter-untar");
    const ChildResult run =
        RunChild(kTool, argv, dir_.path(), dir_ / "capture");
    EXPECT_EQ(c.exitCode, run.exit_code);
    EXPECT_EQ(0u, run.out.rfind(c.out, 0)) << run.out;
    EXPECT_EQ(0u, run.err.rfind(c.err, 0)) << run.err;
    if (c.out.empty()) {
      EXPECT_EQ("", run.out);
    }
    if (c.err.empty()) {
      EXPECT_EQ("", run.err);
    }
    EXPECT_EQ(std::set<std::string>{}, NamesIn(Out("")));
  }
}

// The case of the field report: a 30 MiB file and a 5-byte file extracted
// into an 8 MiB file system.
TEST_F(ExtractArchiveTest, FullDiskFailsTheFileAndExtractsTheRest) {
  const ScopedTmpfs tmpfs(Out(""), "8m");
  if (!tmpfs.mounted()) {
    GTEST_SKIP() << "cannot mount a small tmpfs: " << tmpfs.error();
  }
  WriteFile(Out("big"), "old version");
  const std::string archive = ArchiveWithABigFile(30 << 20);
  const ChildResult run = RunTool(archive);
  ExpectOnlyTheBigFileFailed(run.exit_code, run.err, archive,
                             "No space left on device");
}

// The same outcome under a file size limit, which works wherever the test
// cannot mount a file system.
TEST_F(ExtractArchiveTest, FileSizeLimitFailsTheFileAndExtractsTheRest) {
  WriteFile(Out("big"), "old version");
  const std::string archive = ArchiveWithABigFile(3 << 20);
  const std::string errFile = dir_ / "capture/err.txt";
  const int code = RunWithFileSizeLimit(1 << 20, [&] {
    if (freopen(errFile.c_str(), "w", stderr) == nullptr) return 126;
    execl(kTool.c_str(), "starter-untar", archive.c_str(), Out("").c_str(),
          static_cast<char*>(nullptr));
    return 127;
  });
  ExpectOnlyTheBigFileFailed(code, ReadFile(errFile), archive,
                             "File too large");
}

}  // namespace
