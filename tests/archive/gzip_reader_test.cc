// Extraction of gzip-compressed archives: header fields, decoding, the
// trailer that is not checked, and the handling of bad compressed data.
#include "archive/gzip_reader.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "archive_fixture.h"

namespace {

class GzipReaderTest : public ArchiveTest {
 protected:
  // Packs src/ with GNU tar and gzip -n (no stored name), "dir/two.bin" as
  // the last member; returns the bytes.
  std::string PackedTree() {
    WriteFile(Src("one.txt"), "first file\n");
    WriteFile(Src("dir/two.bin"), two_);
    Shell("tar -cf a.tar -C src one.txt dir && gzip -n -c a.tar > plain.tgz");
    return ReadFile(dir_ / "plain.tgz");
  }
  void ExpectTreeExtracted() {
    EXPECT_EQ("first file\n", ReadFile(Out("one.txt")));
    EXPECT_EQ(two_, ReadFile(Out("dir/two.bin")));
  }

  const std::string two_ = PatternBytes(300000) + std::string(100000, 'z');
};

TEST_F(GzipReaderTest, ExtractsAnArchiveWithAStoredName) {
  PackedTree();
  Shell("cp a.tar named-inside.tar && gzip named-inside.tar");
  const std::string gz = ReadFile(dir_ / "named-inside.tar.gz");
  ASSERT_EQ(8, gz[3] & 8) << "gzip stored no name";
  ASSERT_EQ(1, Extract(dir_ / "named-inside.tar.gz"));
  EXPECT_EQ("", out_);
  EXPECT_EQ("", err_);
  ExpectTreeExtracted();
  EXPECT_FALSE(PathExists(Out("named-inside.tar")));
}

TEST_F(GzipReaderTest, SkipsExtraCommentHeaderCrcAndLongNames) {
  const std::string gz = PackedTree();
  ASSERT_EQ(0, gz[3]);
  const std::string extra = "AB\x04\x00wxyz";
  std::string head = gz.substr(0, 10);
  head[3] = 2 | 4 | 8 | 16;
  const std::string body = std::string{static_cast<char>(extra.size()), 0} +
                           extra + std::string(400, 'N') + '\0' + "a comment" +
                           '\0' + "\x12\x34";
  ASSERT_EQ(1,
            Extract(WriteArchive("fields.tgz", head + body + gz.substr(10))));
  EXPECT_EQ("", err_);
  ExpectTreeExtracted();
}

TEST_F(GzipReaderTest, RefusesAnotherCompressionMethod) {
  std::string gz = PackedTree();
  gz[2] = 7;
  EXPECT_EQ(0, Extract(WriteArchive("m.tgz", gz)));
  EXPECT_EQ("Unsupported compression type\n", err_);
  EXPECT_FALSE(PathExists(Out("one.txt")));
}

// Bad compressed data is reported and ends the extraction; the file being
// written then is not installed, its old version stays, and no temporary
// file is left. The trailer is not read: a wrong or missing one changes
// nothing.
TEST_F(GzipReaderTest, ReportsBadCompressedDataAndReturns) {
  const std::string gz = PackedTree();
  std::string corrupt = gz;
  corrupt[10] = '\xff';  // a last block of the reserved type 3
  std::string badCrc = gz;
  badCrc[gz.size() - 8] ^= 1;
  std::string badLength = gz;
  badLength[gz.size() - 1] ^= 1;
  const struct {
    const char* label;
    std::string archive;
    bool bad;          // reported as bad compressed data
    bool firstIntact;  // bad, after the file before the fault was extracted
                       // (decoded data reaches the extractor window by window)
  } cases[] = {
      {"a block of a reserved type", corrupt, true, false},
      // Cut after more than one 32 KiB window of decoded data.
      {"truncated compressed data", gz.substr(0, gz.size() / 2), true, true},
      {"header only", gz.substr(0, 10), true, false},
      {"compressed data cut near its end", gz.substr(0, gz.size() - 30), true,
       true},
      {"missing trailer", gz.substr(0, gz.size() - 8), false, false},
      {"wrong CRC-32", badCrc, false, false},
      {"wrong length", badLength, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Shell("rm -rf out");
    WriteFile(Out("dir/two.bin"), "old version");
    const std::string path = WriteArchive("bad.tgz", c.archive);
    EXPECT_EQ(c.bad ? 0 : 1, Extract(path));
    EXPECT_EQ(c.bad, report_.badCompressedData);
    EXPECT_EQ(std::set<std::string>{"two.bin"}, NamesIn(Out("dir")));
    if (!c.bad) {
      EXPECT_EQ("", out_);
      EXPECT_EQ("", err_);
      EXPECT_EQ(0, report_.failedEntries);
      ExpectTreeExtracted();
      continue;
    }
    const std::string line = path + ": bad compression data\n";
    ASSERT_GE(err_.size(), line.size()) << err_;
    EXPECT_EQ(line, err_.substr(err_.size() - line.size()));
    EXPECT_EQ("old version", ReadFile(Out("dir/two.bin")));
    if (c.firstIntact) {
      EXPECT_EQ(line, err_);
      EXPECT_EQ("first file\n", ReadFile(Out("one.txt")));
      EXPECT_EQ(1, report_.failedEntries);
    }
  }
}

TEST_F(GzipReaderTest, ReportsATarFaultInsideCompressedData) {
  WriteFile(dir_ / "notes.txt", std::string(2000, 'n'));
  Shell("gzip -n notes.txt");
  EXPECT_EQ(0, Extract(dir_ / "notes.txt.gz"));
  EXPECT_TRUE(report_.badCompressedData);
  const std::string path = dir_ / "notes.txt.gz";
  EXPECT_EQ(
      path + ": not a valid tar file\n" + path + ": bad compression data\n",
      err_);
}

TEST_F(GzipReaderTest, WarnsWhenTheDecodedArchiveEndsInsideAFile) {
  const std::string data = PatternBytes(50000);
  const std::string cut =
      TarArchive({{.name = "f", .data = data}}).substr(0, 512 * 21);
  WriteFile(dir_ / "cut.tar", cut);
  Shell("gzip -n cut.tar");
  WriteFile(Out("f"), "old version");
  ASSERT_EQ(1, Extract(dir_ / "cut.tar.gz"));
  EXPECT_EQ("WARNING: Last file might be truncated!\n", out_);
  EXPECT_EQ("", err_);
  EXPECT_FALSE(report_.badCompressedData);
  EXPECT_EQ(data.substr(0, 512 * 20), ReadFile(Out("f")))
      << "the bytes that came replace the old version";
  EXPECT_EQ(std::set<std::string>{"f"}, NamesIn(Out("")));
}

TEST_F(GzipReaderTest, DecodesALargeArchiveAcrossManyWindows) {
  // Data blocks straddle every input and output chunk boundary.
  std::vector<TarEntry> entries;
  for (int i = 0; i < 40; ++i) {
    entries.push_back({.name = "f" + std::to_string(i),
                       .data = PatternBytes(37 * 1024 + 77 * i, i)});
  }
  WriteFile(dir_ / "many.tar", TarArchive(entries));
  Shell("gzip -1 -n many.tar");
  ASSERT_EQ(1, Extract(dir_ / "many.tar.gz"));
  EXPECT_EQ("", err_);
  for (const TarEntry& e : entries) {
    EXPECT_EQ(e.data, ReadFile(Out(e.name))) << e.name;
  }
}

}  // namespace
