// The settings chosen when the starter was built (CMake cache variables).
#ifndef STARTER_LAUNCHER_COMPILED_SETTINGS_H_
#define STARTER_LAUNCHER_COMPILED_SETTINGS_H_

#include <cstddef>
#include <string_view>

// The base address of the update server (STARTER_UPDATE_URL), ending in
// "/10/"; the platform directory is appended to it. Mirrors follow it,
// separated by blanks, in the order they are tried.
std::string_view CompiledUpdateUrl();

// The PEM text of the Ed25519 public key whose signature every checksum list
// must carry: the one in this program's key slot (key_slot.h), which the
// build fills with the file STARTER_UPDATE_PUBLIC_KEY named and a tool may
// fill afterwards; empty when the slot holds none (lists are then not
// signature-checked).
std::string_view CompiledUpdatePublicKey();

// How many file transfers an update keeps in flight
// (STARTER_DOWNLOADS_IN_FLIGHT), from 1 to 64.
std::size_t CompiledDownloadsInFlight();

// The version of this build: the project's version in its CMake project,
// such as "1.0".
std::string_view ProjectVersion();

#endif  // STARTER_LAUNCHER_COMPILED_SETTINGS_H_
