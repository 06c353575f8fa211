// Extraction of plain tar archives made by GNU tar and by hand.
#include "archive/tar_extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/tar_links.h"
#include "archive_fixture.h"
#include "support/child_process.h"

namespace {

class TarExtractTest : public ArchiveTest {};

TEST_F(TarExtractTest, ExtractsFilesAndDirectoriesWithContentsModesAndTimes) {
  const std::string big = PatternBytes(200000);
  const std::string exact = PatternBytes(512, 2);
  WriteFile(Src("top.txt"), "hello\n");
  WriteFile(Src("a/b/c/deep.bin"), big);
  WriteFile(Src("a/exact512"), exact);
  WriteFile(Src("a/empty"), "");
  Shell(
      "chmod 0640 src/top.txt && chmod 0755 src/a/b/c/deep.bin && "
      "chmod 0600 src/a/empty && "
      "touch -d @1234567890 src/top.txt src/a/b/c/deep.bin src/a/empty "
      "src/a/exact512 && tar -cf a.tar -C src .");

  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("", out_);
  EXPECT_EQ("", err_);
  EXPECT_EQ("hello\n", ReadFile(Out("top.txt")));
  EXPECT_EQ(big, ReadFile(Out("a/b/c/deep.bin")));
  EXPECT_EQ(exact, ReadFile(Out("a/exact512")));
  EXPECT_EQ(512, Lstat(Out("a/exact512")).st_size);
  EXPECT_TRUE(S_ISREG(Lstat(Out("a/empty")).st_mode));
  EXPECT_EQ(0, Lstat(Out("a/empty")).st_size);
  EXPECT_EQ(0640u, Lstat(Out("top.txt")).st_mode & 07777);
  EXPECT_EQ(0755u, Lstat(Out("a/b/c/deep.bin")).st_mode & 07777);
  EXPECT_EQ(0600u, Lstat(Out("a/empty")).st_mode & 07777);
  for (const char* f : {"top.txt", "a/b/c/deep.bin", "a/empty", "a/exact512"}) {
    EXPECT_EQ(1234567890, Lstat(Out(f)).st_mtime) << f;
  }
  EXPECT_TRUE(S_ISDIR(Lstat(Out("a/b/c")).st_mode));
}

// Trees packed by GNU tar come out as they went in, except the links whose
// targets cannot be opened at the link's place in the archive: they are
// skipped with the system error for their target. GNU tar stores the first
// name of a hard-linked file as the file; deleting that member and appending
// it again puts a hard link before its target.
TEST_F(TarExtractTest, ExtractsTheSourceTreeAndSkipsLinksBeforeTheirTargets) {
  WriteFile(Src("bin/run.sh"), "#!/bin/sh\necho run\n");
  WriteFile(Src("lib/libfoo.so.1.2.3"), PatternBytes(70000, 3));
  WriteFile(Src("data/file"), "shared data");
  WriteFile(Src("data/empty"), "");
  Shell(
      "cd src && chmod 0755 bin/run.sh && chmod 0600 data/file && "
      "chmod 0640 data/empty && chmod 0750 bin && "
      "touch -d @1234567890 bin/run.sh lib/libfoo.so.1.2.3 data/file "
      "data/empty && ln -s run.sh bin/link.sh && ln -s missing.sh bin/gone && "
      "ln -s libfoo.so.1.2.3 lib/libfoo.so.1 && "
      "ln -s libfoo.so.1 lib/libfoo.so && ln -s lib share && "
      "ln data/file data/hard");
  const std::string linksFirst =
      "share bin lib data bin/link.sh bin/gone bin/run.sh lib/libfoo.so "
      "lib/libfoo.so.1 lib/libfoo.so.1.2.3 data/hard data/file data/empty";
  const std::string targetsFirst =
      "bin lib data bin/run.sh bin/link.sh bin/gone lib/libfoo.so.1.2.3 "
      "lib/libfoo.so.1 lib/libfoo.so data/file data/hard data/empty share";
  const std::string pack = "tar --no-recursion -cf a.tar -C src ";
  const std::string hardLinkFirst =
      pack + targetsFirst +
      " && tar --delete -f a.tar data/file && tar -rf a.tar -C src data/file"
      " && tar -tvf a.tar | grep -q '^h.* data/hard link to data/file$'";
  const std::string missing = ": No such file or directory\n";
  const std::string linksFirstErr = "lib" + missing + "run.sh" + missing +
                                    "missing.sh" + missing + "libfoo.so.1" +
                                    missing + "libfoo.so.1.2.3" + missing;
  const std::string linksFirstSkipped =
      "share bin/link.sh bin/gone lib/libfoo.so lib/libfoo.so.1";
  const struct {
    const char* label;
    std::string commands;  // make a.tar
    bool gzip;
    std::vector<std::pair<std::string, std::string>> order;  // a before b
    std::string err;      // the system errors of the skipped links
    std::string skipped;  // names not extracted, separated by spaces
  } cases[] = {
      {"links before their targets",
       pack + linksFirst,
       false,
       {{"bin/link.sh", "bin/run.sh"},
        {"lib/libfoo.so", "lib/libfoo.so.1"},
        {"lib/libfoo.so.1", "lib/libfoo.so.1.2.3"},
        {"share", "lib"}},
       linksFirstErr,
       linksFirstSkipped},
      {"links before their targets, gzip", pack + linksFirst, true, {},
       linksFirstErr, linksFirstSkipped},
      {"targets before their links",
       pack + targetsFirst,
       false,
       {{"bin/run.sh", "bin/link.sh"}, {"data/file", "data/hard"}},
       "missing.sh" + missing,
       "bin/gone"},
      {"hard link before its target",
       hardLinkFirst,
       false,
       {{"data/hard", "data/file"}},
       "missing.sh" + missing + "data/file" + missing,
       "bin/gone data/hard"},
      {"hard link before its target, gzip", hardLinkFirst, true, {},
       "missing.sh" + missing + "data/file" + missing, "bin/gone data/hard"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Shell("rm -rf out a.tar a.tar.gz expected && mkdir out && " + c.commands +
          " && tar -tf a.tar > members.txt");
    const std::string members = "\n" + ReadFile(dir_ / "members.txt");
    for (const auto& [before, after] : c.order) {
      EXPECT_LT(members.find("\n" + before + "\n"),
                members.find("\n" + after + "\n"))
          << before << " is not stored before " << after;
    }
    if (c.gzip) Shell("gzip -n a.tar");
    ASSERT_EQ(1, Extract(dir_ / (c.gzip ? "a.tar.gz" : "a.tar")));
    EXPECT_EQ("", out_);
    EXPECT_EQ(c.err, err_);
    EXPECT_EQ(Count(c.skipped, " ") + 1, report_.failedEntries);
    Shell("cp -a src expected && cd expected && rm " + c.skipped);
    ExpectSameTree(dir_ / "expected", dir_ / "out");
  }
}

// A link is checked and made at its own place: a target that comes later is
// not waited for, and a target already there is linked as it is then.
TEST_F(TarExtractTest, ChecksEachLinkAtItsOwnPlace) {
  const std::string missing = ": No such file or directory\n";
  const struct {
    const char* label;
    std::vector<TarEntry> entries;
    std::map<std::string, std::string> old;  // in out/ before
    std::string err;
    std::map<std::string, std::string> contents;
    std::vector<std::string> absent;
    std::vector<std::string> linked;  // names of one and the same file
  } cases[] = {
      {"a chain of hard links",
       {{.name = "h1", .type = '1', .linkto = "h2"},
        {.name = "h2", .type = '1', .linkto = "f"},
        {.name = "f", .data = "data"}},
       {},
       "h2" + missing + "f" + missing,
       {{"f", "data"}},
       {"h1", "h2"},
       {}},
      {"two hard links, target in a directory not made yet",
       {{.name = "a", .type = '1', .linkto = "d/e/f"},
        {.name = "x/b", .type = '1', .linkto = "d/e/f"},
        {.name = "d/e/f", .data = "deep"}},
       {},
       "d/e/f" + missing + "d/e/f" + missing,
       {{"d/e/f", "deep"}},
       {"a", "x"},
       {}},
      {"a later entry of the link's name",
       {{.name = "x", .type = '1', .linkto = "f"},
        {.name = "x", .data = "own"},
        {.name = "f", .data = "target"}},
       {},
       "f" + missing,
       {{"x", "own"}, {"f", "target"}},
       {},
       {}},
      {"a symbolic link before its target",
       {{.name = "d/s", .type = '2', .linkto = "t"},
        {.name = "d/t", .data = "t"}},
       {},
       "t" + missing,
       {{"d/t", "t"}},
       {"d/s"},
       {}},
      // The file replaced later gets a new name; the link keeps the old one.
      {"a hard link to a file already there, replaced later",
       {{.name = "h", .type = '1', .linkto = "f"},
        {.name = "f", .data = "new"}},
       {{"f", "old"}},
       "",
       {{"h", "old"}, {"f", "new"}},
       {},
       {}},
      {"a hard link after its target",
       {{.name = "f", .data = "data"},
        {.name = "d/h", .type = '1', .linkto = "f"}},
       {},
       "",
       {{"f", "data"}, {"d/h", "data"}},
       {},
       {"f", "d/h"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Shell("rm -rf out && mkdir out");
    for (const auto& [name, content] : c.old) WriteFile(Out(name), content);
    ASSERT_EQ(1, Extract(WriteArchive("a.tar", TarArchive(c.entries))));
    EXPECT_EQ("", out_);
    EXPECT_EQ(c.err, err_);
    EXPECT_EQ(Count(c.err, "\n"), report_.failedEntries);
    for (const auto& [name, content] : c.contents) {
      EXPECT_EQ(content, ReadFile(Out(name))) << name;
    }
    for (const std::string& name : c.absent) {
      EXPECT_FALSE(PathExists(Out(name))) << name;
    }
    for (const std::string& name : c.linked) {
      EXPECT_EQ(Lstat(Out(c.linked[0])).st_ino, Lstat(Out(name)).st_ino)
          << name;
    }
  }
}

// A name in the directory that is a hard link to a file elsewhere is
// replaced by the entry; the file elsewhere keeps its data.
TEST_F(TarExtractTest, ReplacesNamesThatAreHardLinksToFilesOutside) {
  WriteFile(dir_ / "outside", "outside data");
  Shell("mkdir out");
  for (const char* name : {"file", "hard", "soft"}) {
    ASSERT_EQ(0, link((dir_ / "outside").c_str(), Out(name).c_str()));
  }
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "file", .data = "new"},
                           {.name = "hard", .type = '1', .linkto = "file"},
                           {.name = "soft", .type = '2', .linkto = "file"}}));
  ASSERT_EQ(1, Extract(a));
  EXPECT_EQ("", err_);
  EXPECT_EQ("outside data", ReadFile(dir_ / "outside"));
  EXPECT_EQ(1u, Lstat(dir_ / "outside").st_nlink);
  EXPECT_EQ("new", ReadFile(Out("file")));
  EXPECT_EQ(Lstat(Out("file")).st_ino, Lstat(Out("hard")).st_ino);
  EXPECT_EQ("file", ReadLink(Out("soft")));
}

TEST_F(TarExtractTest, OverwritesExistingFiles) {
  WriteFile(Src("f"), "new");
  Shell("tar -cf a.tar -C src f");
  WriteFile(Out("f"), "old and longer");
  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("new", ReadFile(Out("f")));
}

TEST_F(TarExtractTest, MakesHardAndSymbolicLinksInsideTheTree) {
  WriteFile(Src("data/file"), "payload");
  Shell(
      "ln src/data/file src/data/hard && ln -s file src/data/soft && "
      "mkdir -p src/other && ln -s ../data/file src/other/up && "
      "tar -cf a.tar -C src data other");

  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("", err_);
  EXPECT_EQ(Lstat(Out("data/file")).st_ino, Lstat(Out("data/hard")).st_ino);
  EXPECT_TRUE(S_ISLNK(Lstat(Out("data/soft")).st_mode));
  EXPECT_EQ("file", ReadLink(Out("data/soft")));
  EXPECT_EQ("../data/file", ReadLink(Out("other/up")));
  EXPECT_EQ("payload", ReadFile(Out("other/up")));
}

TEST_F(TarExtractTest, ExtractingLinksAgainKeepsTheirData) {
  WriteFile(Src("file"), "shared data");
  Shell("ln src/file src/hard && tar -cf a.tar -C src file hard");
  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("", err_);
  EXPECT_EQ("shared data", ReadFile(Out("file")));
  EXPECT_EQ("shared data", ReadFile(Out("hard")));
  EXPECT_EQ(Lstat(Out("file")).st_ino, Lstat(Out("hard")).st_ino);
}

// A file that cannot be written is reported and removed; its old version
// stays, and the next entry is still extracted.
TEST_F(TarExtractTest, ReportsAFailedWriteAndGoesOn) {
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "big", .data = PatternBytes(300000)},
                           {.name = "small", .data = "fits"}}));
  WriteFile(Out("big"), "old version");
  const std::string errFile = dir_ / "stderr.txt";
  const int code = RunWithFileSizeLimit(64 * 1024, [&] {
    if (freopen(errFile.c_str(), "w", stderr) == nullptr) return 99;
    ExtractReport report;
    const int rc = doarchive(a.c_str(), Out(""), report);
    fflush(stderr);
    return rc * 10 + report.failedEntries;
  });
  EXPECT_EQ(11, code) << "read to the end, one failed entry";
  EXPECT_EQ(Out("big") + ": File too large\n", ReadFile(errFile));
  EXPECT_EQ("old version", ReadFile(Out("big")));
  EXPECT_EQ("fits", ReadFile(Out("small")));
  EXPECT_EQ((std::set<std::string>{"big", "small"}), NamesIn(Out("")));
}

TEST_F(TarExtractTest, ReportsALinkWhoseTargetIsMissing) {
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "h", .type = '1', .linkto = "missing"},
                           {.name = "after", .data = "ok"}}));
  ASSERT_EQ(1, Extract(a));
  EXPECT_EQ("missing: No such file or directory\n", err_);
  EXPECT_EQ(1, report_.failedEntries);
  EXPECT_FALSE(PathExists(Out("h")));
  EXPECT_EQ("ok", ReadFile(Out("after")));
}

// The copy replaces what is in the way, even a hard link to a file outside.
// It is a new file with the source's permission bits (a private file stays
// private), and times of its own.
TEST_F(TarExtractTest, CopiesWhenAHardLinkCannotBeMade) {
  WriteFile(Out("src"), "contents");
  Shell("chmod 0751 out/src && touch -d @1234567890 out/src");
  WriteFile(dir_ / "outside", "in the way");
  // link() fails with EEXIST.
  ASSERT_EQ(0, link((dir_ / "outside").c_str(), Out("dst").c_str()));
  OwnedFile source(fopen(Out("src").c_str(), "rb"));
  ASSERT_TRUE(source);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(linkorcopy(Out("src").c_str(), Out("dst").c_str(), false,
                         std::move(source)));
  EXPECT_EQ(Out("dst") + ": copy instead of link\n",
            ::testing::internal::GetCapturedStdout());
  EXPECT_EQ("contents", ReadFile(Out("dst")));
  EXPECT_NE(Lstat(Out("src")).st_ino, Lstat(Out("dst")).st_ino);
  EXPECT_EQ(0751u, Lstat(Out("dst")).st_mode & 07777);
  EXPECT_NE(1234567890, Lstat(Out("dst")).st_mtime);
  EXPECT_EQ("in the way", ReadFile(dir_ / "outside"));
  EXPECT_EQ((std::set<std::string>{"src", "dst"}), NamesIn(Out("")));
}

TEST_F(TarExtractTest, CreatesNothingForDevicesAndFifos) {
  WriteFile(Src("before"), "1");
  WriteFile(Src("after"), "2");
  Shell("mkfifo src/pipe && tar -cf a.tar -C src before pipe after");
  const std::string dev =
      WriteArchive("dev.tar", TarArchive({{.name = "chr", .type = '3'},
                                          {.name = "blk", .type = '4'},
                                          {.name = "../up", .type = '6'},
                                          {.name = "x", .data = "3"}}));

  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_FALSE(PathExists(Out("pipe")));
  EXPECT_EQ("2", ReadFile(Out("after")));
  ASSERT_EQ(1, Extract(dev));
  EXPECT_EQ("", err_) << "nothing to refuse where nothing is made";
  EXPECT_EQ(0, report_.failedEntries);
  EXPECT_FALSE(PathExists(Out("chr")));
  EXPECT_FALSE(PathExists(Out("blk")));
  EXPECT_EQ("3", ReadFile(Out("x")));
}

TEST_F(TarExtractTest,
       DirectoryEntryWithMissingParentIsSkippedButItsFilesAreMade) {
  WriteFile(Src("p/q/f"), "inner");
  Shell("tar --no-recursion -cf a.tar -C src p/q p/q/f");
  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("", err_);
  EXPECT_EQ("inner", ReadFile(Out("p/q/f")));
}

TEST_F(TarExtractTest, DirectoryEntryGetsItsMode) {
  // A directory entry makes one level only: the prefix must exist.
  Shell("mkdir -p out src/d && chmod 0705 src/d && tar -cf a.tar -C src d");
  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  ASSERT_TRUE(S_ISDIR(Lstat(Out("d")).st_mode));
  EXPECT_EQ(0705u & ~0022u, Lstat(Out("d")).st_mode & 0777 & ~0022u);
}

TEST_F(TarExtractTest, StripsLeadingSlashesAndWarnsAtEveryEndBlock) {
  WriteFile(Src("abs"), "absolute");
  Shell("tar -cPf a.tar \"$PWD/src/abs\"");
  const std::string archive = ReadFile(dir_ / "a.tar");
  const int zeroBlocks = static_cast<int>(archive.size() / 512) - 2;

  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("absolute", ReadFile(Out(dir_.path().substr(1) + "/src/abs")));
  const std::string warning =
      "WARNING: Removed leading slashes because \"-p\" wasn't given.\n";
  std::string expected;
  for (int i = 0; i < zeroBlocks; ++i) expected += warning;
  EXPECT_EQ(expected, err_);
  EXPECT_GE(zeroBlocks, 2);
}

TEST_F(TarExtractTest,
       LeadingSlashWithEmptyPrefixGoesUnderTheWorkingDirectory) {
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "/etc/x", .data = "not in /etc"}}));
  ScopedCwd cwd(dir_.path());
  const std::string empty;
  ASSERT_EQ(1, Extract(a, &empty));
  EXPECT_EQ("not in /etc", ReadFile(dir_ / "etc/x"));
  EXPECT_EQ(2, Count(err_, "Removed leading slashes"));
}

TEST_F(TarExtractTest, TurnsBackslashesIntoSlashes) {
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "a//b\\c", .data = "abc"},
                           {.name = "\\win\\path.txt", .data = "w"}}));
  ASSERT_EQ(1, Extract(a));
  EXPECT_EQ("abc", ReadFile(Out("a/b/c")));
  EXPECT_EQ("w", ReadFile(Out("win/path.txt")));
}

TEST_F(TarExtractTest, RejectsAHundredCharacterName) {
  const std::string name(100, 'n');
  WriteFile(Src(name), "x");
  Shell("tar --format=ustar -cf a.tar -C src " + name);
  EXPECT_EQ(0, Extract(dir_ / "a.tar"));
  EXPECT_EQ(dir_ / "a.tar: not a valid tar file\n", err_);
  EXPECT_FALSE(PathExists(Out(name)));
}

TEST_F(TarExtractTest, JoinsTheUstarPrefixField) {
  const std::string p(60, 'p'), q(60, 'q');
  const std::string rel = p + "/" + q + "/file";
  WriteFile(Src(rel), "long path");
  Shell("tar --format=ustar -cf a.tar -C src " + rel);
  ASSERT_NE('\0', ReadFile(dir_ / "a.tar")[345]) << "prefix field not used";
  ASSERT_EQ(1, Extract(dir_ / "a.tar"));
  EXPECT_EQ("long path", ReadFile(Out(rel)));
}

// The file the archive ends in is installed with the bytes that came, in
// place of the version already there.
TEST_F(TarExtractTest, WarnsWhenTheLastFileIsTruncated) {
  const std::string data = PatternBytes(100000);
  WriteFile(Src("big"), data);
  Shell("tar -cf full.tar -C src big");
  const std::string full = ReadFile(dir_ / "full.tar");
  WriteFile(Out("big"), "old version");
  // Header and ten data blocks, plus a stray partial block.
  const std::string a = WriteArchive("a.tar", full.substr(0, 512 * 11 + 100));
  ASSERT_EQ(1, Extract(a));
  EXPECT_EQ("WARNING: Last file might be truncated!\n", out_);
  EXPECT_EQ("", err_);
  EXPECT_EQ(1, report_.failedEntries);
  EXPECT_EQ(data.substr(0, 512 * 10), ReadFile(Out("big")));
  EXPECT_EQ(std::set<std::string>{"big"}, NamesIn(Out("")));
}

TEST_F(TarExtractTest, IgnoresAShortLastBlock) {
  std::string archive = TarArchive({{.name = "f", .data = "x"}});
  archive += std::string(100, '\x7f');
  ASSERT_EQ(1, Extract(WriteArchive("a.tar", archive)));
  EXPECT_EQ("", out_);
  EXPECT_EQ("", err_);
  EXPECT_EQ("x", ReadFile(Out("f")));
}

TEST_F(TarExtractTest, ReportsBadHeaders) {
  const std::string good = TarHeader({.name = "good", .data = "g"});
  std::string badSum = TarHeader({.name = "second"});
  badSum[0] = 'S';
  std::string badSize = TarHeader({.name = "third"});
  badSize[124] = 'z';
  const struct {
    const char* label;
    std::string archive;
    const char* out;
    std::string err;
  } cases[] = {
      {"first header bad checksum", badSum, "",
       "/x.tar: header has bad checksum for Second\n"},
      {"first header not valid", badSize, "", "/x.tar: not a valid tar file\n"},
      {"garbage after a file", good + "g" + std::string(511, '\0') + badSize,
       "WARNING: Garbage detected; preceding file may be damaged\n", ""},
      {"bad checksum after a file",
       good + "g" + std::string(511, '\0') + badSum,
       "WARNING: Garbage detected; preceding file may be damaged\n",
       "/x.tar: header has bad checksum for Second\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string a = WriteArchive("x.tar", c.archive);
    EXPECT_EQ(0, Extract(a));
    EXPECT_EQ(c.out, out_);
    EXPECT_EQ(c.err.empty() ? "" : dir_.path() + c.err, err_);
  }
  EXPECT_EQ("g", ReadFile(Out("good"))) << "files before the fault stay";
}

TEST_F(TarExtractTest, AcceptsSignedChecksums) {
  TarEntry e{.name = "caf\xc3\xa9", .data = "signed"};
  e.signedChecksum = true;
  ASSERT_EQ(1, Extract(WriteArchive("a.tar", TarArchive({e}))));
  EXPECT_EQ("signed", ReadFile(Out("caf\xc3\xa9")));
}

TEST_F(TarExtractTest, ReportsAnArchiveThatCannotBeOpened) {
  EXPECT_EQ(0, Extract(dir_ / "nope.tar"));
  EXPECT_EQ(dir_ / "nope.tar: No such file or directory\n", err_);
}

// A directory where a file, or the copy of a hard link, should go: the
// system's reason is printed for each, and the next entry is extracted.
TEST_F(TarExtractTest, ReportsAFileThatCannotBeCreatedAndGoesOn) {
  Shell("mkdir -p out/taken out/linked");
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "taken", .data = PatternBytes(3000)},
                           {.name = "next", .data = "n"},
                           {.name = "linked", .type = '1', .linkto = "next"},
                           {.name = "last", .data = "l"}}));
  ASSERT_EQ(1, Extract(a));
  EXPECT_EQ(Out("taken") + ": Is a directory\n" + Out("linked") +
                ": Is a directory\n",
            err_);
  EXPECT_EQ(2, report_.failedEntries);
  EXPECT_EQ("n", ReadFile(Out("next")));
  EXPECT_EQ("l", ReadFile(Out("last")));
  EXPECT_EQ((std::set<std::string>{"taken", "next", "linked", "last"}),
            NamesIn(Out("")));
}

// A file this process may not write to is left as it is, as it would be if
// it were opened for writing in place, although its directory is writable:
// the file and the hard link entries for it are reported and skipped. So is
// a file it may write but not replace (another user's, in a shared directory
// with the sticky bit), with the system's reason.
TEST_F(TarExtractTest, LeavesAFileItMayNotWriteAsItIs) {
  const std::string a = WriteArchive(
      "a.tar", TarArchive({{.name = "ro", .data = "new"},
                           {.name = "f", .data = "f"},
                           {.name = "ro-link", .type = '1', .linkto = "f"},
                           {.name = "shared/shared.txt", .data = "new"},
                           {.name = "next", .data = "n"}}));
  WriteFile(Out("ro"), "old");
  WriteFile(Out("ro-link"), "old link");
  WriteFile(Out("shared/shared.txt"), "old shared");
  Shell("chmod 0755 . && chmod 0777 out && chmod 0444 out/ro out/ro-link && "
        "chmod 1777 out/shared && chmod 0666 out/shared/shared.txt");
  const std::string errFile = dir_ / "stderr.txt";
  // In a child that, when this test runs as root, gives up root, for whom
  // every file is writable.
  const int code = RunWithFileSizeLimit(RLIM_INFINITY, [&] {
    if (freopen(errFile.c_str(), "w", stderr) == nullptr) return 99;
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      return 98;
    }
    ExtractReport report;
    const int rc = doarchive(a.c_str(), Out(""), report);
    fflush(stderr);
    return rc * 10 + report.failedEntries;
  });
  EXPECT_EQ(13, code) << "read to the end, three failed entries";
  EXPECT_EQ(Out("ro") + ": Permission denied\n" + Out("ro-link") +
                ": Permission denied\n" + Out("shared/shared.txt") +
                ": Operation not permitted\n",
            ReadFile(errFile));
  EXPECT_EQ("old", ReadFile(Out("ro")));
  EXPECT_EQ("old link", ReadFile(Out("ro-link")));
  EXPECT_EQ("old shared", ReadFile(Out("shared/shared.txt")));
  EXPECT_EQ("n", ReadFile(Out("next")));
  EXPECT_EQ((std::set<std::string>{"ro", "f", "ro-link", "shared", "next"}),
            NamesIn(Out("")));
  EXPECT_EQ(std::set<std::string>{"shared.txt"}, NamesIn(Out("shared")));
}

TEST_F(TarExtractTest, KeepsItsSlashAndFirstHeaderFlagsForTheProcess) {
  const std::string abs =
      WriteArchive("abs.tar", TarArchive({{.name = "/x", .data = "1"}}));
  const std::string plain =
      WriteArchive("plain.tar", TarArchive({{.name = "y", .data = "2"}}));
  const std::string notTar = WriteArchive("bad.tar", std::string(1024, 'x'));

  ASSERT_EQ(0, Extract(notTar));
  EXPECT_EQ(notTar + ": not a valid tar file\n", err_);
  ASSERT_EQ(1, Extract(abs));
  EXPECT_NE(std::string::npos, err_.find("Removed leading slashes"));
  ASSERT_EQ(1, Extract(plain));
  EXPECT_NE(std::string::npos, err_.find("Removed leading slashes"))
      << "a name of an earlier archive lost its leading slash";
  EXPECT_EQ(0, Extract(notTar));
  EXPECT_EQ("WARNING: Garbage detected; preceding file may be damaged\n", out_)
      << "a header of an earlier archive passed its checksum";

  ForgetEarlierArchives();
  EXPECT_EQ(0, Extract(notTar));
  EXPECT_EQ(notTar + ": not a valid tar file\n", err_);
  ASSERT_EQ(1, Extract(plain));
  EXPECT_EQ("", err_);
}

// An archive that ends inside an entry leaves that entry's remaining data
// to come: the next archive's first blocks, as many as it lacked, are taken
// for that data and skipped.
TEST_F(TarExtractTest, CutArchiveLeavesTheRestOfItsEntryToTheNextArchive) {
  const std::string full =
      TarArchive({{.name = "z", .data = PatternBytes(3 * 512)}});
  // The header and the first of three data blocks.
  const std::string cut = WriteArchive("cut.tar", full.substr(0, 2 * 512));
  const std::string next = WriteArchive(
      "next.tar", TarArchive({{.name = "a", .data = "a"},
                              {.name = "b", .data = "b"}}));
  ASSERT_EQ(1, Extract(cut));
  EXPECT_EQ("WARNING: Last file might be truncated!\n", out_);
  ASSERT_EQ(1, Extract(next));
  EXPECT_EQ("", out_);
  EXPECT_EQ("", err_);
  EXPECT_FALSE(PathExists(Out("a"))) << "taken for the data of z";
  EXPECT_EQ("b", ReadFile(Out("b")));

  // Once the rest has come, archives start afresh.
  ASSERT_EQ(1, Extract(next));
  EXPECT_EQ("a", ReadFile(Out("a")));
}

}  // namespace
