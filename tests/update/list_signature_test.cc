// Detached list signatures: verification against keys and signatures made by
// the openssl tool, and signing as the openssl tool does.
#include "update/list_signature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "support/list_signing.h"
#include "support/temp_dir.h"

namespace {

constexpr char kList[] =
    "version_file 4242\n./Base/a.png 0123456789abcdef0123456789abcdef\n";

ListSigningKey TestKey() { return {ReadFile(TestPublicKeyPath())}; }

// `text` with its byte at `at` changed.
std::string WithByteChanged(std::string text, std::size_t at) {
  text[at] = static_cast<char>(text[at] ^ 0x01);
  return text;
}

// A list and its signature in a temporary directory, and a second key pair.
class ListSignatureTest : public ::testing::Test {
 protected:
  ListSignatureTest() : other_(MakeKeyPair(dir_.path(), "other")) {}

  TempDir dir_;
  KeyPairFiles other_;
  const std::string list_ = dir_ / "version.txt";
  const std::string signature_ = list_ + ".sig";
};

TEST_F(ListSignatureTest, OnlyTheKeysSignatureOfTheExactBytesIsValid) {
  const struct {
    const char* name;
    // Changes the list or the signature after both were made.
    std::function<void()> change;
    ListSignature expected;
  } cases[] = {
      {"as signed", [] {}, ListSignature::kValid},
      {"one byte of the list changed",
       [&] { WriteFile(list_, WithByteChanged(kList, 30)); },
       ListSignature::kWrong},
      {"a line feed appended to the list",
       [&] { WriteFile(list_, kList + std::string("\n")); },
       ListSignature::kWrong},
      {"signature of another list",
       [&] {
         WriteFile(dir_ / "other.txt", "version_file 4243\n");
         ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), dir_ / "other.txt",
                                   signature_),
                   0);
       },
       ListSignature::kWrong},
      {"signature by another key",
       [&] { ASSERT_EQ(SignWithOpenssl(other_.private_key, list_), 0); },
       ListSignature::kWrong},
      {"signature missing", [&] { std::remove(signature_.c_str()); },
       ListSignature::kMissing},
      {"empty signature", [&] { WriteFile(signature_, ""); },
       ListSignature::kUnreadable},
      {"signature cut to 63 bytes",
       [&] { WriteFile(signature_, ReadFile(signature_).substr(0, 63)); },
       ListSignature::kUnreadable},
      {"line feed after the signature",
       [&] { WriteFile(signature_, ReadFile(signature_) + "\n"); },
       ListSignature::kUnreadable},
      {"signature in base64",
       [&] {
         ASSERT_EQ(RunShell("openssl base64 -in '" + signature_ + "' -out '" +
                            signature_ + ".b64' && mv '" + signature_ +
                            ".b64' '" + signature_ + "'"),
                   0);
       },
       ListSignature::kUnreadable},
      {"signature is a directory",
       [&] {
         std::remove(signature_.c_str());
         ASSERT_EQ(mkdir(signature_.c_str(), 0755), 0);
       },
       ListSignature::kUnreadable},
      {"list missing", [&] { std::remove(list_.c_str()); },
       ListSignature::kWrong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunShell("rm -rf '" + signature_ + "'");
    WriteFile(list_, kList);
    ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), list_), 0);
    c.change();
    EXPECT_EQ(VerifyListSignature(list_, signature_, TestKey()), c.expected);
  }
}

TEST_F(ListSignatureTest, KeyThatIsNoEd25519PublicKeyVerifiesNothing) {
  WriteFile(list_, kList);
  ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), list_), 0);
  ASSERT_EQ(RunShell("openssl genpkey -algorithm EC -pkeyopt "
                     "ec_paramgen_curve:P-256 -out '" + dir_ / "ec.pem" +
                     "' && openssl pkey -in '" + dir_ / "ec.pem" +
                     "' -pubout -out '" + dir_ / "ec.pub.pem" + "'"),
            0);
  const std::string pem = ReadFile(TestPublicKeyPath());
  const struct {
    const char* name;
    std::string key;
  } cases[] = {
      {"empty", ""},
      {"text", "not a key\n"},
      {"cut short", pem.substr(0, pem.size() - 40)},
      {"the private key", ReadFile(TestPrivateKeyPath())},
      {"a P-256 public key", ReadFile(dir_ / "ec.pub.pem")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VerifyListSignature(list_, signature_, {c.key}),
              ListSignature::kUnusableKey);
  }
}

TEST_F(ListSignatureTest, SignsExactlyAsTheOpensslToolDoes) {
  WriteFile(list_, kList);
  std::string signature, error;
  ASSERT_TRUE(SignListFile(TestPrivateKeyPath(), list_, signature, error))
      << error;
  EXPECT_EQ(signature.size(), kListSignatureSize);
  // Ed25519 signatures are deterministic: the same key and bytes give the
  // same signature.
  ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), list_), 0);
  EXPECT_EQ(signature, ReadFile(signature_));
  WriteFile(signature_, signature);
  EXPECT_EQ(VerifyListSignature(list_, signature_, TestKey()),
            ListSignature::kValid);
}

TEST_F(ListSignatureTest, SigningRefusesWhatItCannotUse) {
  WriteFile(list_, kList);
  ASSERT_EQ(RunShell("openssl genpkey -algorithm EC -pkeyopt "
                     "ec_paramgen_curve:P-256 -out '" + dir_ / "ec.pem" + "'"),
            0);
  const struct {
    const char* name;
    std::string key;
    std::string list;
    const char* error;
  } cases[] = {
      {"no key file", dir_ / "absent.pem", list_,
       "cannot read the private key file"},
      {"a public key", TestPublicKeyPath(), list_,
       "no private key in PEM form (or a wrong passphrase)"},
      {"a P-256 key", dir_ / "ec.pem", list_, "not an Ed25519 key"},
      {"no list", TestPrivateKeyPath(), dir_ / "absent.txt",
       "cannot read the list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string signature = "untouched", error;
    EXPECT_FALSE(SignListFile(c.key, c.list, signature, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(signature, "untouched");
  }
}

}  // namespace
