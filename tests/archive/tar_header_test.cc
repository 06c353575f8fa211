// Field rules of tar header blocks: octal numbers, checksums, validity and
// name normalisation.
#include "archive/tar_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive_fixture.h"

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(TarHeaderTest, ReadsOctalSkippingEveryNonDigit) {
  const struct {
    std::string field;
    long expected;
  } cases[] = {
      {"0000644", 0644},
      {std::string("   644 \0", 8), 0644},
      {std::string("00000001000\0", 12), 01000},
      {std::string("6 4\0"
                   "4",
                   5),
       0644},        // NUL or space ends nothing
      {"0x19", 01},  // 8 and 9 are not octal digits
      {"", 0},
      {std::string("    \0", 5), 0},
      {"77777777777", 077777777777},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, readOctal(Bytes(c.field), c.field.size()))
        << "field '" << c.field << "'";
  }
}

TEST(TarHeaderTest, ChecksumCountsTheChecksumFieldAsSpaces) {
  std::string blk(512, '\0');
  EXPECT_EQ(256, checksum(Bytes(blk), false));
  blk.replace(148, 8, "12345678");
  EXPECT_EQ(256, checksum(Bytes(blk), true));
  blk[0] = 'a';
  blk[511] = static_cast<char>(0xff);
  EXPECT_EQ(256 + 'a' + 255, checksum(Bytes(blk), false));
  EXPECT_EQ(256 + 'a' - 1, checksum(Bytes(blk), true));
}

TEST(TarHeaderTest, AcceptsAChecksumThatOnlyTheSignedSumMatches) {
  TarEntry e{.name = "caf\xc3\xa9"};
  e.signedChecksum = true;
  const std::string blk = TarHeader(e);
  ASSERT_NE(checksum(Bytes(blk), false), checksum(Bytes(blk), true));
  EXPECT_TRUE(checksumMatches(Bytes(blk)));
  std::string broken = blk;
  broken[0] = 'd';
  EXPECT_FALSE(checksumMatches(Bytes(broken)));
}

TEST(TarHeaderTest, ValidHeaderNeedsNulAtByte99AndASizeStart) {
  std::string blk = TarHeader({.name = "a"});
  EXPECT_TRUE(isValidHeader(Bytes(blk)));
  std::string longName = blk;
  longName[99] = 'x';
  EXPECT_FALSE(isValidHeader(Bytes(longName)));
  for (char start : {' ', '0', '9'}) {
    std::string s = blk;
    s[124] = start;
    EXPECT_TRUE(isValidHeader(Bytes(s))) << start;
  }
  for (char start : {'\0', 'x', '\x80'}) {
    std::string s = blk;
    s[124] = start;
    EXPECT_FALSE(isValidHeader(Bytes(s))) << int(start);
  }
}

TEST(TarHeaderTest, BuildsNameFromPrefixAndName) {
  char nbuf[kNameBufferSize];
  buildEntryName(Bytes(TarHeader({.name = "file"})), nbuf);
  EXPECT_STREQ("file", nbuf);
  buildEntryName(Bytes(TarHeader({.name = "file", .prefix = "a/b"})), nbuf);
  EXPECT_STREQ("a/b/file", nbuf);
  // Longest prefix and name: 155 + "/" + 99 characters fill the buffer.
  const std::string prefix(155, 'p'), name(99, 'n');
  buildEntryName(Bytes(TarHeader({.name = name, .prefix = prefix})), nbuf);
  EXPECT_EQ(prefix + "/" + name, std::string(nbuf));
}

TEST(TarHeaderTest, NormalisesNames) {
  const struct {
    const char* in;
    const char* out;
    bool absolute;
  } cases[] = {
      {"a/b/c", "a/b/c", false}, {"a//b\\c", "a/b/c", false},
      {"/etc/x", "etc/x", true}, {"\\etc\\x", "etc/x", true},
      {"///a", "a", true},       {"dir/", "dir/", false},
      {"dir//", "dir/", false},  {"/", "/", true},
      {"./a", "./a", false},
  };
  for (const auto& c : cases) {
    char name[kNameBufferSize];
    std::strcpy(name, c.in);
    EXPECT_EQ(c.absolute, normaliseName(name)) << c.in;
    EXPECT_STREQ(c.out, name) << c.in;
  }
}

}  // namespace
