// The key of the update server's list signatures, compiled into the program.
#ifndef STARTER_LAUNCHER_UPDATE_PUBLIC_KEY_H_
#define STARTER_LAUNCHER_UPDATE_PUBLIC_KEY_H_

#include <string_view>

// The PEM text of the Ed25519 public key whose signature every checksum list
// must carry, as configured with STARTER_UPDATE_PUBLIC_KEY when the program
// was built; empty when it was built without one (lists are then not
// signature-checked).
std::string_view CompiledUpdatePublicKey();

#endif  // STARTER_LAUNCHER_UPDATE_PUBLIC_KEY_H_
