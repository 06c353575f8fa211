// Keys and signatures of checksum lists in tests, made with the openssl
// command-line tool as a publisher would.
#ifndef STARTER_TESTS_SUPPORT_LIST_SIGNING_H_
#define STARTER_TESTS_SUPPORT_LIST_SIGNING_H_

#include <string>

// True when the starter under test (the executable and CStarter) was built
// with a public key compiled in (STARTER_UPDATE_PUBLIC_KEY), the test key
// for the tests to pass, and so refuses lists without its signature.
inline constexpr bool kStarterChecksSignatures =
    STARTER_CHECKS_LIST_SIGNATURES != 0;

// The committed test key pair (tests/keys/): for tests only, never for a
// starter that updates real servers.
std::string TestPrivateKeyPath();
std::string TestPublicKeyPath();

// The paths of a fresh Ed25519 key pair.
struct KeyPairFiles {
  std::string private_key;
  std::string public_key;
};

// Makes an Ed25519 key pair with "openssl genpkey" as `dir`/`name`.pem and
// `dir`/`name`.pub.pem. Adds a test failure when openssl fails.
KeyPairFiles MakeKeyPair(const std::string& dir, const std::string& name);

// Writes `signature` (by default `file` + ".sig"): the raw Ed25519
// signature of `file` with `private_key`, by "openssl pkeyutl -sign -rawin".
// Returns the exit status of openssl.
int SignWithOpenssl(const std::string& private_key, const std::string& file,
                    std::string signature = std::string());

// The whole text of a release statement: `body` (every line but the
// signature) and the line "signature " + the hex digits of the raw Ed25519
// signature of `body` with `private_key`, by "openssl pkeyutl -sign -rawin"
// (its files made in `scratch_dir`). Adds a test failure when openssl fails.
std::string SignStatementWithOpenssl(const std::string& private_key,
                                     const std::string& body,
                                     const std::string& scratch_dir);

#endif  // STARTER_TESTS_SUPPORT_LIST_SIGNING_H_
