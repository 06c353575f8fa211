#include "engine/md5.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "engine/sha256.h"
#include "support/temp_dir.h"

namespace {

TEST(Md5Test, MatchesTheRfc1321TestSuite) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Md5Hex(c.input, std::string(c.input).size()), c.digest)
        << "input \"" << c.input << "\"";
  }
}

// Where the system's OpenSSL configuration admits only FIPS algorithms, the
// default library context refuses MD5; the digests above still come out.
TEST(Md5Test, HashesWhereTheSystemAdmitsOnlyFipsAlgorithms) {
  TempDir dir;
  const std::string conf = dir / "fips-only.cnf";
  WriteFile(conf,
            "openssl_conf = openssl_init\n[openssl_init]\n"
            "alg_section = evp_properties\n[evp_properties]\n"
            "default_properties = fips=yes\n");
  WriteFile(dir / "abc", "abc");
  const std::string env = "OPENSSL_CONF='" + conf + "' ";
  ASSERT_NE(RunShell(env + "openssl md5 '" + (dir / "abc") + "' >/dev/null 2>&1"),
            0)
      << "the configuration should make the default context refuse MD5";
  EXPECT_EQ(RunShell(env +
                     "/proc/" + std::to_string(getpid()) +
                     "/exe --gtest_filter=Md5Test.MatchesTheRfc1321TestSuite "
                     ">/dev/null 2>&1"),
            0);
}

TEST(Md5Test, DigestDoesNotDependOnChunking) {
  std::mt19937 gen(42);
  std::string data(10000, '\0');
  for (char& ch : data) ch = static_cast<char>(gen());
  const std::string whole = Md5Hex(data.data(), data.size());
  for (std::size_t chunk : {1u, 3u, 55u, 63u, 64u, 65u, 1000u}) {
    Md5 md5;
    for (std::size_t pos = 0; pos < data.size(); pos += chunk) {
      md5.Update(data.data() + pos, std::min(chunk, data.size() - pos));
    }
    EXPECT_EQ(md5.FinalHex(), whole) << "chunk " << chunk;
  }
}

// The file's MD5 agrees with md5sum; asked for, its SHA-256 from the same
// read agrees with sha256sum, and its size and mode are the file's.
TEST(Md5Test, FileDigestAgreesWithMd5sum) {
  TempDir dir;
  std::mt19937 gen(7);
  for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 4096u,
                           262143u, 262144u, 262145u, 5u * 1024 * 1024 + 17}) {
    std::string data(size, '\0');
    for (char& ch : data) ch = static_cast<char>(gen());
    const std::string path = dir / ("f" + std::to_string(size));
    WriteFile(path, data);
    const std::string out = dir / "sum.txt";
    ASSERT_EQ(RunShell("md5sum '" + path + "' > '" + out + "'"), 0);
    const std::string expected = ReadFile(out).substr(0, 32);

    std::string hex;
    ASSERT_TRUE(Md5File(path.c_str(), hex)) << size;
    EXPECT_EQ(hex, expected) << "size " << size;
    EXPECT_EQ(Md5Hex(data.data(), data.size()), expected) << "size " << size;

    ASSERT_EQ(RunShell("chmod 0750 '" + path + "' && sha256sum '" + path +
                       "' > '" + out + "'"),
              0);
    const std::string expected_sha256 = ReadFile(out).substr(0, 64);
    FileFacts facts;
    ASSERT_EQ(HashFile(path.c_str(), hex, facts, true), FileHashError::kNone);
    EXPECT_EQ(hex, expected);
    EXPECT_EQ(facts.sha256, expected_sha256) << "size " << size;
    EXPECT_TRUE(IsSha256Text(facts.sha256));
    EXPECT_EQ(Sha256Hex(data), expected_sha256) << "size " << size;
    EXPECT_EQ(facts.size, size);
    EXPECT_EQ(facts.mode, 0750u);
    FileFacts without;
    ASSERT_EQ(HashFile(path.c_str(), hex, without, false),
              FileHashError::kNone);
    EXPECT_EQ(without.sha256, "");
  }
  EXPECT_FALSE(IsSha256Text(std::string(64, 'A')));
  EXPECT_FALSE(IsSha256Text(std::string(63, 'a')));
}

TEST(Md5Test, FileThatCannotBeReadLeavesTheResultUnchanged) {
  TempDir dir;
  std::string hex = "unchanged";
  EXPECT_FALSE(Md5File((dir / "absent").c_str(), hex));
  EXPECT_FALSE(Md5File(dir.path().c_str(), hex));  // a directory
  EXPECT_FALSE(Md5File(nullptr, hex));
  EXPECT_EQ(hex, "unchanged");
}

TEST(Md5Test, FinalGivesTheRawDigestBytes) {
  Md5 md5;
  md5.Update("abc", 3);
  const auto digest = md5.Final();
  EXPECT_EQ(digest[0], 0x90);
  EXPECT_EQ(digest[15], 0x72);
}

}  // namespace
