#include "release_starter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "launcher/key_slot.h"

std::string KeyReleaseStarter(const std::string& path, const std::string& shown,
                              const ListSigningKey& signing_key,
                              const ListSigningKey* new_key, bool may_fill,
                              StarterKeying& done) {
  const ListSigningKey& target = new_key != nullptr ? *new_key : signing_key;
  const std::string target_name = KeyFingerprint(target);
  const KeySlot slot = ReadKeySlot(path);
  const auto fill = [&](StarterKeying kind) -> std::string {
    if (!FillKeySlot(path, target.pem)) {
      return "cannot fill the key slot of " + shown + ": " +
             std::strerror(errno);
    }
    done = kind;
    return std::string();
  };
  switch (slot.state) {
    case KeySlotState::kUnreadable:
      return "cannot read " + shown + ": " + std::strerror(slot.error);
    case KeySlotState::kNoSlot:
      return shown +
             " has no key slot (it is not a starter of this version), so "
             "nothing tells which key it trusts";
    case KeySlotState::kDamaged:
      return "the key slot of " + shown + " is damaged";
    case KeySlotState::kUnkeyed:
      if (may_fill) return fill(StarterKeying::kFilled);
      return shown + " trusts no key: a signed release shipping it would "
                    "turn the signature checks off wherever it is "
                    "installed (starter-publish fills its key slot)";
    case KeySlotState::kKeyed:
      break;
  }
  const ListSigningKey held{slot.text};
  if (SameKey(held, target)) {
    done = StarterKeying::kAlreadyTrusted;
    return std::string();
  }
  const std::string held_name = KeyFingerprint(held);
  if (held_name.empty()) return "the key slot of " + shown + " is damaged";
  if (new_key != nullptr && SameKey(held, signing_key)) {
    if (may_fill) return fill(StarterKeying::kReplaced);
    return shown + " trusts the signing key " + held_name + ", not the new key " +
           target_name;
  }
  if (new_key != nullptr) {
    return shown + " trusts key " + held_name + ", neither the signing key " +
           KeyFingerprint(signing_key) + " nor the new key " + target_name;
  }
  return shown + " trusts key " + held_name + ", not the signing key " +
         target_name +
         " (to ship a starter that trusts another key, a key change, give "
         "--new-key with that key's public half)";
}

std::string ReadPublicKeyFile(const std::string& path, ListSigningKey& key) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return "cannot open " + path + ": " + std::strerror(errno);
  char buffer[4096];
  const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
  std::fclose(file);
  key = ListSigningKey{std::string(buffer, got)};
  if (!IsUsableKey(key)) return path + " is not an Ed25519 public key";
  return std::string();
}
