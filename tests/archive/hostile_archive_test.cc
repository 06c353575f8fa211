// Archives that try to write outside the extraction directory: ".." names,
// links that lead out, writes through links, names too long for the buffer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/tar_extract.h"
#include "archive_fixture.h"

namespace {

class HostileArchiveTest : public ArchiveTest {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "outside/keep", "untouched");
    WriteFile(Out("inside/target"), "original");
  }
  // Extracts the hand-made archive; it must still be read to its end.
  void ExtractEntries(const std::vector<TarEntry>& entries) {
    ASSERT_EQ(1, Extract(WriteArchive("hostile.tar", TarArchive(entries))));
  }
  // Nothing outside out/ changed: only the files this fixture made are there.
  void ExpectOutsideUntouched() {
    EXPECT_EQ("untouched", ReadFile(dir_ / "outside/keep"));
    EXPECT_EQ(0, RunShell("cd '" + dir_.path() +
                          "' && test -z \"$(find . -path ./out -prune -o "
                          "-type f ! -name hostile.tar ! -path ./outside/keep "
                          "-print -o -type l -print)\""))
        << "a file appeared outside the extraction directory";
  }
  // A last, harmless entry that must be extracted whatever came before.
  static TarEntry After() {
    return {.name = "after", .data = "still extracted"};
  }
  // `text` with the scratch directory's path and its "/" taken out.
  std::string ReplacePrefix(std::string text) const {
    const std::string prefix = dir_.path() + "/";
    for (auto p = text.find(prefix); p != std::string::npos;
         p = text.find(prefix)) {
      text.erase(p, prefix.size());
    }
    return text;
  }
  void ExpectAfterExtracted() {
    EXPECT_EQ("still extracted", ReadFile(Out("after")));
  }
};

TEST_F(HostileArchiveTest, RefusesNamesWithDotDot) {
  ExtractEntries({{.name = "../outside/keep", .data = PatternBytes(2000)},
                  {.name = "a/../../evil", .data = "x"},
                  {.name = "../escape/", .type = '5'},
                  {.name = "..", .type = '2', .linkto = "inside"},
                  After()});
  EXPECT_EQ(
      "../outside/keep: refused: name contains \"..\"\n"
      "a/../../evil: refused: name contains \"..\"\n"
      "../escape/: refused: name contains \"..\"\n"
      "..: refused: name contains \"..\"\n",
      err_);
  EXPECT_EQ(4, report_.failedEntries);
  EXPECT_FALSE(PathExists(dir_ / "evil"));
  EXPECT_FALSE(PathExists(dir_ / "escape"));
  ExpectAfterExtracted();
  ExpectOutsideUntouched();
}

TEST_F(HostileArchiveTest, RefusesSymbolicLinksThatLeadOut) {
  ExtractEntries(
      {{.name = "abs", .type = '2', .linkto = "/etc"},
       {.name = "up", .type = '2', .linkto = "../outside"},
       {.name = "inside/up2", .type = '2', .linkto = "../../outside"},
       {.name = "dot", .type = '2', .linkto = "."},
       {.name = "via", .type = '2', .linkto = "dot/../outside"},
       After()});
  EXPECT_EQ(4, Count(err_, "refused: link target leaves the extraction"))
      << err_;
  for (const char* name : {"abs", "up", "inside/up2", "via"}) {
    EXPECT_FALSE(PathExists(Out(name))) << name;
  }
  EXPECT_EQ(".", ReadLink(Out("dot"))) << "a link that stays inside is made";
  ExpectAfterExtracted();
  ExpectOutsideUntouched();
}

// Hard links to targets that lead out, and to a symbolic link member (which
// may lead anywhere), are refused before the target is opened.
TEST_F(HostileArchiveTest, RefusesHardLinksThatLeadOut) {
  ExtractEntries({{.name = "abs", .type = '1', .linkto = "/etc/passwd"},
                  {.name = "bs", .type = '1', .linkto = "\\etc\\passwd"},
                  {.name = "up", .type = '1', .linkto = "../outside/keep"},
                  {.name = "sl", .type = '2', .linkto = "inside/target"},
                  {.name = "tosl", .type = '1', .linkto = "sl"},
                  After()});
  EXPECT_EQ(
      "abs: refused: link target leaves the extraction directory\n"
      "bs: refused: link target leaves the extraction directory\n"
      "up: refused: link target leaves the extraction directory\n"
      "tosl: refused: link target is a symbolic link\n",
      err_);
  EXPECT_FALSE(PathExists(Out("abs")));
  EXPECT_FALSE(PathExists(Out("up")));
  EXPECT_FALSE(PathExists(Out("tosl")));
  EXPECT_EQ("inside/target", ReadLink(Out("sl")));
  ExpectAfterExtracted();
}

// Link targets are looked for under the prefix, never in the working
// directory: a hard link target as an archive path (inside/target under
// out/), a symbolic link target from the link's own directory there.
TEST_F(HostileArchiveTest, ResolvesLinkTargetsUnderThePrefix) {
  ScopedCwd cwd(dir_ / "outside");  // holds "keep"
  WriteFile(Out("inside/sibling"), "beside");
  ExtractEntries({{.name = "h", .type = '1', .linkto = "inside/target"},
                  {.name = "s", .type = '2', .linkto = "inside/target"},
                  {.name = "inside/s", .type = '2', .linkto = "sibling"},
                  {.name = "hk", .type = '1', .linkto = "keep"},
                  {.name = "sk", .type = '2', .linkto = "keep"}});
  EXPECT_EQ(
      "keep: No such file or directory\n"
      "keep: No such file or directory\n",
      err_);
  EXPECT_EQ(Lstat(Out("inside/target")).st_ino, Lstat(Out("h")).st_ino);
  EXPECT_EQ("original", ReadFile(Out("s")));
  EXPECT_EQ("beside", ReadFile(Out("inside/s")));
  EXPECT_FALSE(PathExists(Out("hk")));
  EXPECT_FALSE(PathExists(Out("sk")));
  ExpectOutsideUntouched();
}

// Without a prefix, a symbolic link's target is opened as its text reads,
// from the current directory (the extraction directory then), not from the
// link's own directory; the link is made with its text unchanged.
TEST_F(HostileArchiveTest, WithoutAPrefixOpensSymbolicLinkTargetsFromHere) {
  ScopedCwd cwd(Out(""));
  const std::string none;
  ASSERT_EQ(1, Extract(WriteArchive(
                           "hostile.tar",
                           TarArchive({{.name = "d/t", .data = "in d"},
                                       {.name = "d/s", .type = '2',
                                        .linkto = "t"},
                                       {.name = "d/s2", .type = '2',
                                        .linkto = "inside/target"},
                                       After()})),
                       &none));
  EXPECT_EQ("t: No such file or directory\n", err_);
  EXPECT_EQ(1, report_.failedEntries);
  EXPECT_FALSE(PathExists(Out("d/s")));
  EXPECT_EQ("inside/target", ReadLink(Out("d/s2")));
  EXPECT_EQ("in d", ReadFile(Out("d/t")));
  ExpectAfterExtracted();
  ExpectOutsideUntouched();
}

TEST_F(HostileArchiveTest, NeverWritesThroughALinkTheArchiveMade) {
  ExtractEntries({{.name = "late", .type = '1', .linkto = "laterlink/target"},
                  {.name = "dirlink", .type = '2', .linkto = "inside"},
                  {.name = "dirlink/new", .data = "through the link"},
                  {.name = "dirlink/sub/", .type = '5'},
                  {.name = "filelink", .type = '2', .linkto = "inside/target"},
                  {.name = "filelink", .data = "overwrite the target"},
                  {.name = "hl", .type = '1', .linkto = "dirlink/target"},
                  {.name = "laterlink", .type = '2', .linkto = "inside"},
                  After()});
  EXPECT_EQ(
      "laterlink/target: No such file or directory\n"
      "out/dirlink/new: refused: path passes through a symbolic link\n"
      "out/dirlink/sub/: refused: path passes through a symbolic link\n"
      "out/filelink: refused: path is a symbolic link\n"
      "hl: refused: link target passes through a symbolic link\n",
      ReplacePrefix(err_));
  EXPECT_FALSE(PathExists(Out("late")));
  EXPECT_FALSE(PathExists(Out("inside/new")));
  EXPECT_FALSE(PathExists(Out("inside/sub")));
  EXPECT_EQ("original", ReadFile(Out("inside/target")));
  EXPECT_EQ("inside/target", ReadLink(Out("filelink")));
  ExpectAfterExtracted();
}

TEST_F(HostileArchiveTest, NeverWritesThroughALinkAlreadyInTheDirectory) {
  ASSERT_EQ(0, symlink((dir_ / "outside").c_str(), Out("planted").c_str()));
  ExtractEntries({{.name = "planted/keep", .data = "overwritten"},
                  {.name = "planted/new", .data = "new"},
                  After()});
  EXPECT_EQ(2, Count(err_, "refused: path passes through a symbolic link"));
  EXPECT_FALSE(PathExists(dir_ / "outside/new"));
  ExpectAfterExtracted();
  ExpectOutsideUntouched();
}

TEST_F(HostileArchiveTest, RefusesPathsThatDoNotFitTheNameBuffer) {
  // A prefix of 200 characters leaves no room for a 60-character name.
  const std::string deep = Out(std::string(199 - Out("").size(), 'd') + "/");
  ASSERT_EQ(200u, deep.size());
  const std::string name(60, 'n');
  ASSERT_EQ(1,
            Extract(WriteArchive(
                        "long.tar",
                        TarArchive({{.name = name, .data = PatternBytes(1500)},
                                    {.name = "short", .data = "fits"}})),
                    &deep));
  EXPECT_EQ(name + ": refused: path too long\n", err_);
  EXPECT_FALSE(PathExists(deep + name.substr(0, 55)));
  EXPECT_EQ("fits", ReadFile(deep + "short"));
}

}  // namespace
