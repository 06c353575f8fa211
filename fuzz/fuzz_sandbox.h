// A private working directory for a fuzz harness, and input files in it.
#ifndef STARTER_FUZZ_FUZZ_SANDBOX_H_
#define STARTER_FUZZ_FUZZ_SANDBOX_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The process's sandbox directory (created under /tmp on first use, removed at
// exit). The harness works with the sandbox as its current directory.
const std::string& FuzzSandbox();

// Writes the fuzz input to `name` inside the sandbox (creating its
// directories) and returns its path.
std::string WriteFuzzInput(const char* name, const std::uint8_t* data,
                           std::size_t size);

// Removes everything inside `dir` (the directory itself stays).
void ClearDirectory(const std::string& dir);

// Number of entries directly inside `dir`.
std::size_t CountEntries(const std::string& dir);

#endif  // STARTER_FUZZ_FUZZ_SANDBOX_H_
