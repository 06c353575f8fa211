#include "support/list_signing.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

std::string TestPrivateKeyPath() {
  return STARTER_TEST_KEY_DIR "/update_test_key.pem";
}

std::string TestPublicKeyPath() {
  return STARTER_TEST_KEY_DIR "/update_test_key.pub.pem";
}

KeyPairFiles MakeKeyPair(const std::string& dir, const std::string& name) {
  KeyPairFiles pair{dir + "/" + name + ".pem", dir + "/" + name + ".pub.pem"};
  EXPECT_EQ(
      RunShell("openssl genpkey -algorithm ed25519 -out '" + pair.private_key +
               "' && openssl pkey -in '" + pair.private_key +
               "' -pubout -out '" + pair.public_key + "'"),
      0)
      << "openssl could not make a key pair in " << dir;
  return pair;
}

int SignWithOpenssl(const std::string& private_key, const std::string& file,
                    std::string signature) {
  if (signature.empty()) signature = file + ".sig";
  return RunShell("openssl pkeyutl -sign -rawin -inkey '" + private_key +
                  "' -in '" + file + "' -out '" + signature + "'");
}

std::string SignStatementWithOpenssl(const std::string& private_key,
                                     const std::string& body,
                                     const std::string& scratch_dir) {
  const std::string body_file = scratch_dir + "/statement.body";
  WriteFile(body_file, body);
  EXPECT_EQ(SignWithOpenssl(private_key, body_file), 0)
      << "openssl could not sign " << body_file;
  const std::string signature = ReadFile(body_file + ".sig");
  std::string hex;
  for (const char c : signature) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0x0f];
  }
  return body + "signature " + hex + "\n";
}
