// The key a game directory's update runs trust: the one its starter holds,
// which every tool that judges the directory by the server judges it by.
#ifndef STARTER_TOOLS_GAME_DIRECTORY_KEY_H_
#define STARTER_TOOLS_GAME_DIRECTORY_KEY_H_

#include <string>

#include "update/list_signature.h"

// The key and where it came from.
struct GameDirectoryKey {
  // Empty: signatures are not checked, as the directory's starter would
  // not check them.
  ListSigningKey key;
  // Whose key it is, for people: "trusted by DUdavi", "DUdavi trusts no
  // key", "this tool's own: no DUdavi with a key slot", "this tool's own:
  // the key slot of DUdavi is damaged".
  std::string whose;
};

// The key of the game directory's starter "DUdavi" in the current
// directory, read from its key slot: none when its slot is empty; this
// tool's own compiled-in key when there is no DUdavi with a key slot or its
// slot is damaged. Reads DUdavi; changes and prints nothing.
GameDirectoryKey KeyOfGameDirectory();

// "key: FINGERPRINT (WHOSE)", "key: unusable (WHOSE)" for a key that is no
// Ed25519 public key, or "key: none (WHOSE): signatures are not checked".
std::string DescribeGameDirectoryKey(const GameDirectoryKey& key);

#endif  // STARTER_TOOLS_GAME_DIRECTORY_KEY_H_
