#include "game_directory_key.h"

#include "launcher/compiled_settings.h"
#include "launcher/key_slot.h"

namespace {

// The game directory's starter.
constexpr char kStarter[] = "DUdavi";

}  // namespace

GameDirectoryKey KeyOfGameDirectory() {
  GameDirectoryKey found;
  const KeySlot slot = ReadKeySlot(kStarter);
  if (slot.state == KeySlotState::kKeyed) {
    found.key.pem = slot.text;
    found.whose = std::string("trusted by ") + kStarter;
  } else if (slot.state == KeySlotState::kUnkeyed) {
    found.whose = std::string(kStarter) + " trusts no key";
  } else {
    found.key.pem = std::string(CompiledUpdatePublicKey());
    found.whose = slot.state == KeySlotState::kDamaged
                      ? std::string("this tool's own: the key slot of ") +
                            kStarter + " is damaged"
                      : std::string("this tool's own: no ") + kStarter +
                            " with a key slot";
  }
  return found;
}

std::string DescribeGameDirectoryKey(const GameDirectoryKey& key) {
  if (key.key.empty()) {
    return "key: none (" + key.whose + "): signatures are not checked";
  }
  const std::string fingerprint = KeyFingerprint(key.key);
  return "key: " +
         (fingerprint.empty() ? std::string("unusable") : fingerprint) + " (" +
         key.whose + ")";
}
