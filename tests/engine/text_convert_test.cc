#include "engine/text_convert.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextConvertTest, EmptyTextsStayEmpty) {
  EXPECT_EQ(string2wide(""), L"");
  EXPECT_EQ(string2wide(std::string()), L"");
  EXPECT_EQ(string2wide(static_cast<const char*>(nullptr)), L"");
  EXPECT_EQ(wide2string(L""), "");
}

TEST(TextConvertTest, CharactersAboveBmpBecomeSurrogatePairsAndBack) {
  const std::string grin = "\xF0\x9F\x98\x80";
  const stringw wide = string2wide(grin);
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(static_cast<unsigned>(wide[0]), 0xD83Du);
  EXPECT_EQ(static_cast<unsigned>(wide[1]), 0xDE00u);
  EXPECT_EQ(wide2string(wide), grin);
}

TEST(TextConvertTest, ValidUtf8SurvivesTheRoundTrip) {
  const std::string cases[] = {"plain ascii", "caf\xC3\xA9", "\xE2\x82\xAC 5",
                               "\xF4\x8F\xBF\xBF last code point",
                               "\xF0\x90\x80\x80"};
  for (const std::string& text : cases) {
    EXPECT_EQ(wide2string(string2wide(text)), text) << text;
    EXPECT_EQ(wide2irrstring(string2wide(text)), text) << text;
  }
}

TEST(TextConvertTest, InvalidUtf8IsRepairedWithQuestionMarks) {
  const struct {
    std::string input;
    std::string repaired;
  } cases[] = {
      {"A\xFF"
       "B",
       "A?B"},
      {"\xC0\xAF", "?"},          // overlong form, one sequence
      {"\xED\xA0\x80", "?"},      // encoded surrogate
      {"x\xE2\x82", "x?"},        // truncated at the end
      {"\xF4\x90\x80\x80", "?"},  // above U+10FFFF
      {"ok", "ok"},
  };
  for (const auto& c : cases) {
    std::string fixed = c.input;
    fix_utf8_string(fixed);
    EXPECT_EQ(fixed, c.repaired) << c.input;
    EXPECT_EQ(string2wide(c.input),
              stringw(c.repaired.begin(), c.repaired.end()))
        << c.input;
  }
}

TEST(TextConvertTest, EmbeddedNulEndsTheText) {
  EXPECT_EQ(string2wide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(wide2string(stringw(L"ab\0cd", 5)), "ab");
}

TEST(TextConvertTest, LoneOrReversedSurrogatesBecomeQuestionMarks) {
  const struct {
    stringw input;
    std::string expected;
  } cases[] = {
      {stringw{wchar_t(0xD83D)}, "?"},
      {stringw{wchar_t(0xDE00)}, "?"},
      {stringw{wchar_t(0xDE00), wchar_t(0xD83D)}, "??"},
      {stringw{L'a', wchar_t(0xD83D), L'b'}, "a?b"},
      {stringw{wchar_t(0xD83D), wchar_t(0xD83D), wchar_t(0xDE00)},
       "?\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wide2string(c.input), c.expected);
  }
}

TEST(TextConvertTest, ElementsAreTakenModulo65536) {
  EXPECT_EQ(wide2string(stringw{wchar_t(0x10041)}), "A");
  EXPECT_EQ(wide2string(stringw{wchar_t(0x10000), L'b'}), "");
}

TEST(TextConvertTest, NumbersFormatLikePrintf) {
  EXPECT_EQ(f2wchar(3.14159f), L"3.1");
  EXPECT_EQ(f2wchar(0.05f), L"0.1");
  EXPECT_EQ(f2wchar(-2.0f), L"-2.0");
  EXPECT_EQ(f2wchar(7), L"7.0");
  EXPECT_EQ(i2wchar(-2147483648), L"-2147483648");
  EXPECT_EQ(i2wchar(0), L"0");
  EXPECT_EQ(i2wchar(42), L"42");
}

TEST(TextConvertTest, HugeFloatsGiveTheirFullText) {
  const stringw big = f2wchar(3.0e38f);
  // 39 integer digits, the point and one decimal.
  EXPECT_EQ(big.size(), 41u);
  EXPECT_EQ(big.substr(0, 3), L"300");
  EXPECT_EQ(big.substr(big.size() - 2), L".0");
  EXPECT_EQ(f2wchar(-3.0e38f).size(), 42u);
}

}  // namespace
