// The starter a signed release ships, and the key it trusts: a release
// signed with one key that installs a starter trusting none (or another)
// would turn the signature checks off on every server that takes it, or
// lock them out of the next release.
#ifndef STARTER_TOOLS_RELEASE_STARTER_H_
#define STARTER_TOOLS_RELEASE_STARTER_H_

#include <string>

#include "update/list_signature.h"

// The starter's name in a game directory and in a release tree.
inline constexpr char kStarterName[] = "DUdavi";

// What KeyReleaseStarter did to a starter that may be shipped.
enum class StarterKeying {
  // It already trusts the key.
  kAlreadyTrusted,
  // Its empty key slot was filled with the key.
  kFilled,
  // It trusted the signing key; its slot now holds the new key.
  kReplaced,
};

// Makes sure that the starter at `path`, a copy in a release being signed
// with `signing_key` (the public half of the signing key), trusts the key it
// must: `new_key` when one is given (a deliberate key change), else the
// signing key. A starter trusting that key passes; an empty slot is filled
// with it when `may_fill`; with `new_key`, a slot holding the signing key is
// given the new key (when `may_fill`). Anything else is refused: another
// key, an empty slot that may not be filled, a file without a key slot (not
// a starter of this version), a damaged slot. Returns "" and sets `done`,
// or why not (a sentence about `shown`, the name to show for the file,
// naming the keys by KeyFingerprint). Changes the file only by filling its
// slot (FillKeySlot).
std::string KeyReleaseStarter(const std::string& path, const std::string& shown,
                              const ListSigningKey& signing_key,
                              const ListSigningKey* new_key, bool may_fill,
                              StarterKeying& done);

// Reads the Ed25519 public key in the PEM file at `path` (--new-key) into
// `key`. Returns "" or why not.
std::string ReadPublicKeyFile(const std::string& path, ListSigningKey& key);

#endif  // STARTER_TOOLS_RELEASE_STARTER_H_
