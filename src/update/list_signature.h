// Detached Ed25519 signatures of checksum lists: the raw 64-byte signature of
// a list's exact bytes, published beside the list as "<list>.sig".
#ifndef STARTER_UPDATE_LIST_SIGNATURE_H_
#define STARTER_UPDATE_LIST_SIGNATURE_H_

#include <cstddef>
#include <string>
#include <string_view>

// Size of an Ed25519 signature: the whole content of a signature file.
inline constexpr std::size_t kListSignatureSize = 64;

// The name of a list's signature beside the list: the list's name with this
// suffix.
inline constexpr char kListSignatureSuffix[] = ".sig";

// The key an update run trusts: the PEM text of an Ed25519 public key
// ("-----BEGIN PUBLIC KEY-----"). Empty means that lists are not
// signature-checked at all.
struct ListSigningKey {
  std::string pem;

  bool empty() const { return pem.empty(); }
};

// Verdict on a list and its signature file.
enum class ListSignature {
  // The signature is the key's signature of the list's bytes.
  kValid,
  // The signature file does not exist.
  kMissing,
  // The signature file cannot be read or does not hold exactly
  // kListSignatureSize bytes.
  kUnreadable,
  // The signature does not verify the list's bytes under the key (also when
  // the list itself cannot be read).
  kWrong,
  // The key is not the PEM form of an Ed25519 public key: no list can be
  // verified with it.
  kUnusableKey,
};

// Checks the file at `signature_path` as `key`'s signature of the exact bytes
// of the file at `list_path`. Reads both files whole; writes and logs
// nothing. An empty key is kUnusableKey.
ListSignature VerifyListSignature(const std::string& list_path,
                                  const std::string& signature_path,
                                  const ListSigningKey& key);

// Checks `signature` as `key`'s signature of the exact bytes `data`: kValid,
// kUnreadable when it is not kListSignatureSize bytes, kWrong or
// kUnusableKey. Writes and logs nothing.
ListSignature VerifySignatureOfBytes(std::string_view data,
                                     std::string_view signature,
                                     const ListSigningKey& key);

// A short English phrase for a verdict, e.g. "signature missing".
const char* ListSignatureReason(ListSignature verdict);

// Signs the exact bytes of the file at `list_path` with the Ed25519 private
// key in the PEM file at `private_key_path`. On success stores the
// kListSignatureSize-byte signature in `signature` and returns true;
// otherwise returns false and stores a short English reason in `error`
// (e.g. "not an Ed25519 private key"). Writes and logs nothing.
bool SignListFile(const std::string& private_key_path,
                  const std::string& list_path, std::string& signature,
                  std::string& error);

// SignListFile for the bytes `data` instead of a file's.
bool SignBytes(const std::string& private_key_path, std::string_view data,
               std::string& signature, std::string& error);

// The public half of the Ed25519 private key in the PEM file at
// `private_key_path`, as PEM text ("-----BEGIN PUBLIC KEY-----"). Returns
// false with a reason in `error` as SignListFile gives it.
bool PublicKeyOfPrivateKey(const std::string& private_key_path,
                           ListSigningKey& public_key, std::string& error);

// True when `key` is the PEM form of an Ed25519 public key.
bool IsUsableKey(const ListSigningKey& key);

// True when `a` and `b` are the same Ed25519 public key (however their PEM
// text is laid out); false when either is not one.
bool SameKey(const ListSigningKey& a, const ListSigningKey& b);

// A short name of `key` for people: "ed25519:" and the first 16 hex digits
// of the SHA-256 of its 32 key bytes; "" when it is not an Ed25519 public
// key.
std::string KeyFingerprint(const ListSigningKey& key);

#endif  // STARTER_UPDATE_LIST_SIGNATURE_H_
