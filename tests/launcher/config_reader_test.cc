#include "launcher/config_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

class ConfigReaderTest : public testing::Test {
 protected:
  // Loads `text` from a file and returns every entry the reader hands out.
  Entries Parse(const std::string& text) {
    const std::string path = dir_ / "test.cfg";
    WriteFile(path, text);
    CConfigReader reader;
    Entries entries;
    if (!reader.loadFile(path.c_str())) return entries;
    while (reader.nextConfig()) {
      entries.emplace_back(reader.getConfigName(), reader.getConfigValue());
    }
    return entries;
  }

  TempDir dir_;
};

TEST_F(ConfigReaderTest, ParsesEveryRuleOfTheFormat) {
  const struct {
    const char* label;
    std::string text;
    Entries expected;
  } cases[] = {
      {"plain", "a=1\nb=2\n", {{"a", "1"}, {"b", "2"}}},
      {"no final line feed", "a=1", {{"a", "1"}}},
      {"blanks around =",
       "  Window.Width \t=\t 1136  \n",
       {{"Window.Width", "1136"}}},
      {"CR LF line ends", "a=1\r\nb=2\r\n\r\n", {{"a", "1"}, {"b", "2"}}},
      {"comments and blank lines",
       "# header\n\n   # indented\na=1\n#end",
       {{"a", "1"}}},
      {"in-line comment", "a=1 # one\nb=2#two\n", {{"a", "1"}, {"b", "2"}}},
      {"inner blanks kept, trailing dropped",
       "key = one two  \tthree   # note\n",
       {{"key", "one two  \tthree"}}},
      {"second word lost", "name second = value\n", {{"name", "value"}}},
      {"hash inside a name", "a#b=1\n", {{"a#b", "1"}}},
      {"bare name", "lonely\nnext=1\n", {{"lonely", ""}, {"next", "1"}}},
      {"bare name with blanks", "lonely   \n", {{"lonely", ""}}},
      {"leading =", "=value\n", {{"", "value"}}},
      {"empty value", "a=\nb=   \nc= # c\n", {{"a", ""}, {"b", ""}, {"c", ""}}},
      {"= inside value", "url=http://h/?a=b\n", {{"url", "http://h/?a=b"}}},
      {"duplicates all handed out", "a=1\na=2\n", {{"a", "1"}, {"a", "2"}}},
      {"NUL ends the text",
       std::string("a=1\nb=2\0c=3\n", 12),
       {{"a", "1"}, {"b", "2"}}},
      {"bytes above 0x7F are plain",
       "n\xC3\xA9=\xFF\xFE\n",
       {{"n\xC3\xA9", "\xFF\xFE"}}},
      {"comment ended by CR", "# c\rname=v\n", {{"name", "v"}}},
      {"only comments", "# one\n\n# two\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parse(c.text), c.expected) << c.label;
  }
}

TEST_F(ConfigReaderTest, MissingOrEmptyFileIsNotLoaded) {
  CConfigReader reader;
  EXPECT_FALSE(reader.loadFile((dir_ / "absent.cfg").c_str()));
  EXPECT_FALSE(reader.nextConfig());
  WriteFile(dir_ / "empty.cfg", "");
  EXPECT_FALSE(reader.loadFile((dir_ / "empty.cfg").c_str()));
  EXPECT_FALSE(reader.loadFile(dir_.path().c_str()));  // a directory
  EXPECT_FALSE(reader.nextConfig());
}

TEST_F(ConfigReaderTest, CommentOnlyFileLoadsButHasNoEntries) {
  WriteFile(dir_ / "c.cfg", "# nothing here\n\n");
  CConfigReader reader;
  EXPECT_TRUE(reader.loadFile((dir_ / "c.cfg").c_str()));
  EXPECT_FALSE(reader.nextConfig());
}

TEST_F(ConfigReaderTest, LoadingAgainReplacesTheText) {
  WriteFile(dir_ / "one.cfg", "a=1\nb=2\n");
  WriteFile(dir_ / "two.cfg", "c=3\n");
  CConfigReader reader;
  ASSERT_TRUE(reader.loadFile((dir_ / "one.cfg").c_str()));
  ASSERT_TRUE(reader.nextConfig());
  ASSERT_TRUE(reader.loadFile((dir_ / "two.cfg").c_str()));
  ASSERT_TRUE(reader.nextConfig());
  EXPECT_STREQ(reader.getConfigName(), "c");
  EXPECT_STREQ(reader.getConfigValue(), "3");
  EXPECT_FALSE(reader.nextConfig());
}

TEST_F(ConfigReaderTest, NewReaderHasNoEntries) {
  CConfigReader reader;
  EXPECT_FALSE(reader.nextConfig());
  EXPECT_STREQ(reader.getConfigName(), "");
}

}  // namespace
