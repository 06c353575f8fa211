// Release file tables: the strict reading, the lookup by listed path, and
// the binding to the size and SHA-256 a release statement gives.
#include "update/release_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "engine/sha256.h"
#include "support/published_release.h"
#include "support/temp_dir.h"

namespace {

const std::map<std::string, std::string> kFiles = {
    {"Base/a.png", "png"}, {"OKUdedi", "server"}, {"dedicatedserver.sh", "sh"}};

TEST(ReleaseTableTest, ReadsOnlyWellFormedTables) {
  const std::string good = ReleaseTableOf(kFiles, {"OKUdedi"});
  const std::string sha(64, 'a');
  const struct {
    const char* name;
    std::string text;
    std::string reason;  // "" when it reads
  } cases[] = {
      {"as written", good, ""},
      {"only the header", "release_files 1\n", ""},
      {"no header", "./a 1 " + sha + " -\n", "line 1: \"release_files 1\" expected"},
      {"empty", "", "line 1:"},
      {"no line feed at the end", "release_files 1\n./a 1 " + sha + " -",
       "line 2: no line feed at its end"},
      {"path without ./", "release_files 1\na 1 " + sha + " -\n",
       "line 2: path expected"},
      {"path of 256 bytes",
       "release_files 1\n./" + std::string(254, 'p') + " 1 " + sha + " -\n",
       "line 2: path expected"},
      {"path with a tab", "release_files 1\n./a\tb 1 " + sha + " -\n",
       "line 2: path expected"},
      {"path with a control character",
       "release_files 1\n./a\x01 1 " + sha + " -\n", "line 2: path expected"},
      {"size with a sign", "release_files 1\n./a +1 " + sha + " -\n",
       "line 2: size expected"},
      {"size of 19 digits",
       "release_files 1\n./a 1000000000000000000 " + sha + " -\n",
       "line 2: size expected"},
      {"digest of 63 digits",
       "release_files 1\n./a 1 " + sha.substr(1) + " -\n",
       "line 2: SHA-256 expected"},
      {"digest in capitals",
       "release_files 1\n./a 1 " + std::string(64, 'A') + " -\n",
       "line 2: SHA-256 expected"},
      {"mode other than x or -", "release_files 1\n./a 1 " + sha + " r\n",
       "line 2: mode x or - expected"},
      {"a fifth field", "release_files 1\n./a 1 " + sha + " - more\n",
       "line 2: mode x or - expected"},
      {"a path twice",
       "release_files 1\n./a 1 " + sha + " -\n./a 1 " + sha + " -\n",
       "line 3: path not after the one before"},
      {"paths out of order",
       "release_files 1\n./b 1 " + sha + " -\n./a 1 " + sha + " -\n",
       "line 3: path not after the one before"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseTable table;
    const std::string why = table.Parse(c.text);
    if (c.reason.empty()) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_TRUE(why.starts_with(c.reason)) << why;
      EXPECT_EQ(table.size(), 0u);
    }
  }

  ReleaseTable table;
  ASSERT_EQ(table.Parse(good), "");
  ASSERT_EQ(table.size(), 3u);
  const ReleaseFileRecord* server = table.Find("./OKUdedi");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->size, 6u);
  EXPECT_EQ(server->sha256, Sha256Hex("server"));
  EXPECT_TRUE(server->executable);
  const ReleaseFileRecord* png = table.Find("./Base/a.png");
  ASSERT_NE(png, nullptr);
  EXPECT_FALSE(png->executable);
  // Only the spelling the list gives finds a record.
  EXPECT_EQ(table.Find("./base/a.png"), nullptr);
  EXPECT_EQ(table.Find("./Base//a.png"), nullptr);
  EXPECT_EQ(table.Find("./absent"), nullptr);
  EXPECT_EQ(ReleaseTableLine("./OKUdedi", 6, Sha256Hex("server"), true),
            "./OKUdedi 6 " + Sha256Hex("server") + " x\n");
}

TEST(ReleaseTableTest, NamesPatchesByTheirTwoContents) {
  const std::string old_md5(32, 'a');
  const std::string new_md5 = "0123456789ABCDEF0123456789abcdef";
  const std::string patch = PatchTablePath(old_md5, new_md5);
  EXPECT_EQ(patch, "./.patches/" + old_md5 + "-" +
                       "0123456789abcdef0123456789abcdef");
  ReleaseTable table;
  ASSERT_EQ(table.Parse(ReleaseTableHeader() +
                        ReleaseTableLine(patch, 40, Sha256Hex("p"), false) +
                        ReleaseTableLine("./Base/a.pak", 4, Sha256Hex("a"),
                                         false)),
            "");
  const ReleaseFileRecord* row = table.FindPatch(old_md5, new_md5);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->size, 40u);
  // The direction counts: the patch back is another one.
  EXPECT_EQ(table.FindPatch(new_md5, old_md5), nullptr);
  EXPECT_EQ(table.FindPatch(old_md5, std::string(32, 'b')), nullptr);
}

TEST(ReleaseTableTest, IsReadOnlyWithTheSizeAndDigestTheStatementGives) {
  TempDir dir;
  const std::string path = dir / "version.txt.files";
  const std::string good = ReleaseTableOf(kFiles);
  WriteFile(path, good);
  const struct {
    const char* name;
    std::string text;
    std::uint64_t size;
    std::string sha256;
    std::string reason;
    // Why the same text is refused where no statement binds it (the table
    // beside an unsigned list).
    std::string unsigned_reason;
  } cases[] = {
      {"as stated", good, good.size(), Sha256Hex(good), "", ""},
      {"a byte changed", "R" + good.substr(1), good.size(), Sha256Hex(good),
       "not the one the release statement names", "malformed (line 1:"},
      {"longer", good + "./z 1 " + std::string(64, 'a') + " -\n", good.size(),
       Sha256Hex(good), "not the one the release statement names", ""},
      {"shorter", good.substr(0, 20), good.size(), Sha256Hex(good),
       "not the one the release statement names", "malformed (line 2:"},
      {"stated, but malformed", "release_files 2\n", 16,
       Sha256Hex("release_files 2\n"),
       "malformed (line 1:", "malformed (line 1:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, c.text);
    ReleaseTable table;
    const std::string why = ReadReleaseTable(path, c.size, c.sha256, table);
    EXPECT_TRUE(why.starts_with(c.reason)) << why;
    EXPECT_EQ(why.empty(), c.reason.empty());
    ReleaseTable unbound;
    const std::string unsigned_why = ReadReleaseTable(path, unbound);
    EXPECT_TRUE(unsigned_why.starts_with(c.unsigned_reason)) << unsigned_why;
    EXPECT_EQ(unsigned_why.empty(), c.unsigned_reason.empty());
    EXPECT_EQ(unbound.Find("./Base/a.png") != nullptr, unsigned_why.empty());
  }
  ReleaseTable table;
  EXPECT_EQ(ReadReleaseTable(dir / "absent", 1, Sha256Hex(""), table),
            "missing");
  EXPECT_EQ(ReadReleaseTable(dir / "absent", table), "missing");
  // Without a statement, a table past the most any has is not read on.
  WriteFile(path, good);
  ASSERT_EQ(truncate(path.c_str(), kMostTableBytes + 1), 0);
  EXPECT_EQ(ReadReleaseTable(path, table),
            "longer than " + std::to_string(kMostTableBytes) + " bytes");
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
