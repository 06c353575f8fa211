// Release statements: the strict reading of statements signed by the
// openssl tool, and the judgement of a server's statement against the
// release a game directory installed.
#include "update/release_statement.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "support/list_signing.h"
#include "support/published_release.h"
#include "support/temp_dir.h"
#include "support/text_match.h"

namespace {

constexpr char kList[] = "version_file 4242\n./Base/a.png "
                         "0123456789abcdef0123456789abcdef\n";
constexpr char kTable[] = "release_files 1\n";

ListSigningKey TestKey() { return {ReadFile(TestPublicKeyPath())}; }

// `text` with the first `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from,
                     const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class ReleaseStatementTest : public ::testing::Test {
 protected:
  // The statement of `terms` for kList and kTable, signed with `key`.
  std::string Signed(const StatementTerms& terms,
                     const std::string& key = TestPrivateKeyPath(),
                     const std::string& list = kList) {
    return SignStatementWithOpenssl(key, StatementBodyOf(terms, list, kTable),
                                    dir_.path());
  }

  TempDir dir_;
  const std::string path_ = dir_ / "version.txt.release";
};

TEST_F(ReleaseStatementTest, ReadsOnlyWellFormedStatementsSignedByTheKey) {
  const StatementTerms terms{5, "hotfix-5", 1700000000, 1700086400};
  const std::string good = Signed(terms);
  const KeyPairFiles other = MakeKeyPair(dir_.path(), "other");
  const ListSigningKey test_key = TestKey();
  const ListSigningKey unusable{"not a key\n"};
  const struct {
    const char* name;
    std::function<std::string()> text;
    const ListSigningKey* key;
    std::string reason;  // "" when it reads
  } cases[] = {
      {"as signed", [&] { return good; }, &test_key, ""},
      {"never expires",
       [&] { return Signed({5, "5", 1700000000, std::nullopt}); }, &test_key,
       ""},
      {"another key's, read without a key",
       [&] { return Signed(terms, other.private_key); }, nullptr, ""},
      {"signature by another key",
       [&] { return Signed(terms, other.private_key); }, &test_key,
       "signature wrong (does not verify the statement)"},
      {"a byte of the name changed after signing",
       [&] { return Replaced(good, "hotfix-5", "hotfix-6"); }, &test_key,
       "signature wrong"},
      {"unusable key", [&] { return good; }, &unusable,
       "the trusted key is not an Ed25519 public key"},
      {"empty", [] { return std::string(); }, &test_key,
       "malformed (line 1: \"release_statement 1\" expected)"},
      {"another format", [&] { return Replaced(good, "statement 1", "statement 2"); },
       &test_key, "malformed (line 1:"},
      {"line ends CR LF", [&] { return Replaced(good, "1\n", "1\r\n"); },
       &test_key, "malformed (line 1:"},
      {"serial 0", [&] { return Replaced(good, "serial 5", "serial 0"); },
       &test_key, "malformed (line 2: serial expected)"},
      {"serial with a leading zero",
       [&] { return Replaced(good, "serial 5", "serial 05"); }, &test_key,
       "malformed (line 2:"},
      {"serial of 19 digits",
       [&] { return Replaced(good, "serial 5", "serial 1000000000000000000"); },
       &test_key, "malformed (line 2:"},
      {"serial and name swapped",
       [&] {
         return Replaced(good, "serial 5\nname hotfix-5",
                         "name hotfix-5\nserial 5");
       },
       &test_key, "malformed (line 2:"},
      {"two blanks after the keyword",
       [&] { return Replaced(good, "serial 5", "serial  5"); }, &test_key,
       "malformed (line 2:"},
      {"name with a blank",
       [&] { return Replaced(good, "hotfix-5", "hot fix"); }, &test_key,
       "malformed (line 3: name expected)"},
      {"name with a NUL",
       [&] { return Replaced(good, "hotfix-5", std::string("hot\0fix", 7)); },
       &test_key, "malformed (line 3:"},
      {"name of 65 characters",
       [&] { return Replaced(good, "hotfix-5", std::string(65, 'n')); },
       &test_key, "malformed (line 3:"},
      {"expires before issued",
       [&] { return Replaced(good, "expires 1700086400", "expires 1699999999"); },
       &test_key, "malformed (line 5: expires after issued expected)"},
      {"list digest in capitals",
       [&] {
         const std::string digest = good.substr(good.find("\nlist ") + 9, 64);
         std::string upper = digest;
         for (char& c : upper) c = static_cast<char>(std::toupper(c));
         return Replaced(good, digest, upper);
       },
       &test_key, "malformed (line 6: list expected)"},
      {"files without a size",
       [&] { return Replaced(good, "files 16 ", "files "); }, &test_key,
       "malformed (line 7: files expected)"},
      {"signature cut short",
       [&] { return good.substr(0, good.size() - 3) + "\n"; },
       &test_key, "malformed (line 8: signature expected)"},
      {"no line feed after the signature",
       [&] { return good.substr(0, good.size() - 1); }, &test_key,
       "malformed (line 8:"},
      {"a line after the signature", [&] { return good + "serial 6\n"; },
       &test_key, "malformed (line 9: nothing expected after the signature)"},
      {"longer than 1024 bytes",
       [&] { return good + std::string(1024, '\n'); }, &test_key,
       "unreadable (longer than 1024 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path_, c.text());
    ReleaseStatement statement;
    const std::string why = ReadStatementFile(path_, c.key, statement);
    if (c.reason.empty()) {
      EXPECT_EQ(why, "");
      EXPECT_EQ(statement.serial, 5);
      EXPECT_EQ(statement.list.size, std::string(kList).size());
      EXPECT_EQ(statement.files.size, std::string(kTable).size());
    } else {
      EXPECT_TRUE(why.starts_with(c.reason)) << why;
    }
  }
  ReleaseStatement statement;
  bool missing = false;
  EXPECT_EQ(ReadStatementFile(dir_ / "absent", &test_key, statement, &missing),
            "missing");
  EXPECT_TRUE(missing);

  // What the program writes reads back the same, and its signature line is
  // the one the openssl tool makes.
  WriteFile(path_, good);
  ASSERT_EQ(ReadStatementFile(path_, &test_key, statement), "");
  EXPECT_EQ(statement.name, "hotfix-5");
  EXPECT_EQ(statement.issued, 1700000000);
  EXPECT_EQ(statement.expires, 1700086400);
  const std::string body = StatementBody(statement);
  EXPECT_EQ(body, StatementBodyOf(terms, kList, kTable));
  std::string signature, error;
  ASSERT_TRUE(SignBytes(TestPrivateKeyPath(), body, signature, error)) << error;
  EXPECT_EQ(SignedStatementText(body, signature), good);
}

TEST_F(ReleaseStatementTest, JudgesTheListRollbackAndExpiry) {
  const std::string list = dir_ / "version.txt";
  WriteFile(list, kList);
  const long long issued = 1700000000;
  const long long day = 86400;
  // The record of a game directory that installed `serial` of `list_text`.
  const auto record = [&](long long serial, const std::string& list_text) {
    WriteFile(dir_ / "record", Signed({serial, "r", issued, std::nullopt},
                                      TestPrivateKeyPath(), list_text));
    ReleaseStatement statement;
    EXPECT_EQ(ReadStatementFile(dir_ / "record", nullptr, statement), "");
    return statement;
  };
  const std::string other_list = "version_file 4243\n";
  const struct {
    const char* name;
    StatementTerms offered;
    std::optional<ReleaseStatement> installed;
    long long now;
    bool allow_expired;
    bool accepted;
    std::string reason;
  } cases[] = {
      {"a first statement", {3, "3", issued, std::nullopt}, std::nullopt,
       issued, false, true, ""},
      {"the installed one", {5, "5", issued, std::nullopt}, record(5, kList),
       issued, false, true, ""},
      {"a newer one", {6, "6", issued, std::nullopt}, record(5, other_list),
       issued, false, true, ""},
      {"behind the installed release", {4, "4", issued, std::nullopt},
       record(5, kList), issued, false, false,
       "the release statement of release 4 is behind the installed release 5"},
      {"another list under the same release", {5, "5", issued, std::nullopt},
       record(5, other_list), issued, false, false,
       "the release statement names another list under the same release 5"},
      {"expired 3 days ago", {6, "6", issued, issued + day}, record(5, kList),
       issued + 4 * day + 100, false, false,
       "the release statement expired 3 days ago (2023-11-15 22:13:20 UTC)"},
      {"expired, allowed", {6, "6", issued, issued + day}, record(5, kList),
       issued + 4 * day, true, true,
       "the release statement expired 3 days ago (2023-11-15 22:13:20 UTC)"},
      {"expiring this second", {6, "6", issued, issued + day}, std::nullopt,
       issued + day, false, false,
       "the release statement expired 0 seconds ago"},
      {"a second before its expiry", {6, "6", issued, issued + day},
       std::nullopt, issued + day - 1, false, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path_, Signed(c.offered));
    const StatementCheck check =
        CheckStatement(path_, list, TestKey(),
                       c.installed ? &*c.installed : nullptr, c.now,
                       c.allow_expired);
    EXPECT_EQ(check.accepted, c.accepted);
    EXPECT_TRUE(check.reason.starts_with(c.reason)) << check.reason;
    EXPECT_EQ(check.reason.empty(), c.reason.empty()) << check.reason;
    EXPECT_EQ(check.expired_but_allowed, c.accepted && !c.reason.empty());
    if (c.accepted) {
      EXPECT_EQ(check.statement.serial, c.offered.serial);
    }
  }
  // A list other than the one the statement names, and a statement that
  // does not read, are refused before anything else is judged.
  WriteFile(path_, Signed({9, "9", issued, std::nullopt}, TestPrivateKeyPath(),
                          other_list));
  EXPECT_EQ(CheckStatement(path_, list, TestKey(), nullptr, issued, true).reason,
            "the release statement names another list (its size or SHA-256 "
            "differs)");
  WriteFile(path_, "release_statement 1\n");
  EXPECT_EQ(CheckStatement(path_, list, TestKey(), nullptr, issued, true).reason,
            "release statement malformed (line 2: serial expected)");
}

TEST(DescribeSpanTest, GivesTheLargestFittingUnit) {
  const struct {
    long long seconds;
    const char* text;
  } cases[] = {{0, "0 seconds"},     {1, "1 second"},     {119, "119 seconds"},
               {120, "2 minutes"},   {7199, "119 minutes"}, {7200, "2 hours"},
               {172799, "47 hours"}, {172800, "2 days"},  {-5, "0 seconds"}};
  for (const auto& c : cases) EXPECT_EQ(DescribeSpan(c.seconds), c.text);
  EXPECT_EQ(FormatStatementTime(0), "1970-01-01 00:00:00 UTC");
}

}  // namespace
