#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "update/auto_update.h"
#include "update_run_fixture.h"

namespace {

// An updater whose run ended at once (the server has no list), for calling
// the version-file operations directly.
class VersionFileTest : public UpdateRunFixture {
 protected:
  VersionFileTest()
      : update_("App/autoupdate.cfg", "App/version.txt", ".", true) {}
  CAutoUpdate update_;
};

TEST_F(VersionFileTest, RandomKeyCheckComparesValidKeysOnly) {
  const struct {
    const char* name;
    std::optional<std::string> local;
    std::optional<std::string> downloaded;
    int match;
    const char* log;
  } cases[] = {
      {"byte copy", "version_file 4711\n./a h\n", "version_file 4711\n./a h\n",
       1, ""},
      {"same key, other entries", "version_file 4711\n",
       "version_file 4711\n./b x\n", 1, ""},
      {"other key", "version_file 4711\n", "version_file 4712\n", 0, ""},
      {"key 0", "version_file 0\n", "version_file 0\n", 0, ""},
      {"negative key", "version_file -5\n", "version_file -5\n", 0, ""},
      {"not a number", "version_file abc\n", "version_file abc\n", 0, ""},
      {"same number, other text", "version_file 0042\n", "version_file 42\n", 1,
       ""},
      {"local missing", std::nullopt, "version_file 1\n", 0,
       "Failed to open my version file App/version.txt\n"},
      {"local empty", "", "version_file 1\n", 0,
       "fscanf read error: autoupdate 2\n"},
      {"local without keyword", "version 1\n", "version 1\n", 0,
       "Failed to create version file Downloads//App/version.txt\n"},
      {"downloaded missing", "version_file 1\n", std::nullopt, 0,
       "Failed to open downloaded version file Downloads//App/version.txt\n"},
      {"downloaded empty", "version_file 1\n", "", 0,
       "fscanf read error: autoupdate 3\n"},
      {"downloaded without keyword", "version_file 1\n", "Version_file 1\n", 0,
       "Failed to create version file Downloads//App/version.txt\n"},
      {"overlong key", "version_file " + std::string(300, '1') + "\n",
       "version_file " + std::string(300, '1') + "\n", 0,
       "fscanf read error: autoupdate 2\n"},
  };
  for (const auto& c : cases) {
    std::remove("App/version.txt");
    std::remove("Downloads/App/version.txt");
    if (c.local) WriteLocal("App/version.txt", *c.local);
    if (c.downloaded) WriteLocal("Downloads/App/version.txt", *c.downloaded);
    std::size_t before = Log().size();
    EXPECT_EQ(update_.RandomKeyCheck("App/version.txt", "Downloads/"), c.match)
        << c.name;
    std::string log = Log().substr(before);
    EXPECT_NE(log.find(c.log), std::string::npos) << c.name << ": " << log;
  }
}

TEST_F(VersionFileTest, CreateVersionFileHashesTheListedNamesInOrder) {
  WriteLocal("Downloads/App/version.txt",
             "version_file 99\n./b.txt x\n./a.txt y\n./gone.txt z\n./b.txt w\n"
             "./../outside.txt q\n");
  WriteLocal("a.txt", "a");
  WriteLocal("b.txt", "b");
  // A dangling link: the scan of the tree logs it, before the list's lines.
  ASSERT_EQ(symlink("nowhere", (game_ + "/dangling").c_str()), 0);
  ASSERT_EQ(update_.CreateVersionFile("App/version.txt", ".",
                                      "Downloads/App/version.txt"),
            0);
  EXPECT_LT(Log().find("Odd something d_type = "),
            Log().find("fscanf2 read error"));
  EXPECT_LT(Log().find("fscanf2 read error"),
            Log().find("\nChecking which files need updating"));
  std::string version = Local("App/version.txt");
  std::string b = Md5Hex("b", 1), a = Md5Hex("a", 1);
  std::size_t body = version.find('\n') + 1;
  EXPECT_EQ(version.substr(body), "./b.txt " + b + "\n./a.txt " + a +
                                      "\n./gone.txt unreadable\n./b.txt " + b +
                                      "\n");
  long key = std::stol(version.substr(13, body - 14));
  EXPECT_EQ(version.rfind("version_file ", 0), 0u);
  EXPECT_GE(key, 1000);
  EXPECT_LE(key, 12600995);
  ASSERT_EQ(update_.diskpairs.size(), 4u);
  EXPECT_EQ(update_.diskpairs[2].filename, "./gone.txt");
  EXPECT_EQ(update_.diskpairs[2].md5, "unreadable");
  filemd5pair pair{"./A.TXT", a};
  EXPECT_TRUE(update_.compareFilePair(&pair));
  EXPECT_NE(Log().find("fscanf2 read error: autoupdate 1 - "
                       "Downloads/App/version.txt\n"),
            std::string::npos);
  EXPECT_NE(Log().find("Hashing file ./a.txt\n"), std::string::npos);
}

TEST_F(VersionFileTest, CreateVersionFileKeepsHashesWithTheirNamesOnLongLists) {
  // More names than the hashing takes in one batch, refused paths (no
  // record) and present files around the places where batches change.
  std::string list = "version_file 7\n", expected;
  std::vector<filemd5pair> records;
  for (int i = 0; i < 9000; ++i) {
    const std::string n = std::to_string(i);
    if (i % 1000 == 999 || i == 4095 || i == 4099) {
      list += "./../r" + n + " h\n";
      continue;
    }
    const bool present = i % 4096 < 3 || i % 4096 > 4093 || i % 997 == 0;
    if (present) WriteLocal("f" + n, n);
    records.push_back(
        {"./f" + n, present ? Md5Hex(n.data(), n.size()) : "unreadable"});
    list += "./f" + n + " h\n";
    expected += records.back().filename + " " + records.back().md5 + "\n";
  }
  WriteLocal("Downloads/App/version.txt", list);
  ASSERT_EQ(update_.CreateVersionFile("App/version.txt", ".",
                                      "Downloads/App/version.txt"),
            0);
  const std::string version = Local("App/version.txt");
  EXPECT_TRUE(version.substr(version.find('\n') + 1) == expected);
  ASSERT_EQ(update_.diskpairs.size(), 8989u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const filemd5pair kept = update_.diskpairs[i];
    ASSERT_EQ(kept.filename + " " + kept.md5,
              records[i].filename + " " + records[i].md5);
  }
  filemd5pair pair{"./F8193", Md5Hex("8193", 4)};
  EXPECT_TRUE(update_.compareFilePair(&pair));
}

TEST_F(VersionFileTest, CreateVersionFileHashesTheScanWithoutAList) {
  WriteLocal("Base/a.txt", "a");
  WriteLocal("Base/with space.txt", "s");
  WriteLocal("x.tmp", "skipped by the scan");
  ASSERT_EQ(symlink("nowhere", (game_ + "/dangling").c_str()), 0);
  const std::size_t before = Log().size();
  ASSERT_EQ(update_.CreateVersionFile("App/version.txt", ".", "Downloads/none"),
            0);
  // The missing list is reported after the scan's lines.
  EXPECT_EQ(Log().substr(before).find(
                "Odd something d_type = 10\n\n"
                "File open error: No such file or directory\n\n"
                "\nChecking which files need updating\n"),
            0u)
      << Log().substr(before);
  std::string version = Local("App/version.txt");
  EXPECT_NE(version.find("./Base/a.txt " + Md5Hex("a", 1) + "\n"),
            std::string::npos);
  EXPECT_EQ(version.find("space"), std::string::npos);
  EXPECT_EQ(version.find("x.tmp"), std::string::npos);
}

TEST_F(VersionFileTest, CreateVersionFileReportsAnUnwritableVersionFile) {
  mkdir("App/version.txt", 0755);  // a directory where the file belongs
  EXPECT_EQ(update_.CreateVersionFile("App/version.txt", ".", "Downloads/none"),
            EISDIR);
  EXPECT_NE(Log().find("File open error: Is a directory\n\n"
                       "Failed to open - invalid File App/version.txt\n"),
            std::string::npos);
}

TEST_F(VersionFileTest, RunWithAnUnwritableVersionFileReportsTheError) {
  Publish({{"Base/a.png", "a"}}, 1234);
  RunShell("rm -rf '" + game_ + "/App'");
  WriteLocal("App", "a file where the directory belongs");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 1);
  EXPECT_EQ(run.lasterror, "Error creating checksum");
  EXPECT_NE(run.log.find("Error creating version file App/version.txt (20)\n"),
            std::string::npos);
  EXPECT_EQ(Fetches("Base/a.png"), 0);
}

}  // namespace
