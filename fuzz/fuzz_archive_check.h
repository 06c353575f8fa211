// Shared body of the archive harnesses.
#ifndef STARTER_FUZZ_FUZZ_ARCHIVE_CHECK_H_
#define STARTER_FUZZ_FUZZ_ARCHIVE_CHECK_H_

#include <cstddef>
#include <cstdint>

// Writes the bytes as an archive into the sandbox, extracts it into
// "box/out/" with the working directory at "box", and aborts when the
// extractor returned something other than 0 or 1 or when anything appeared
// in "box" besides "out" and the archive itself.
void ExtractAndCheck(const std::uint8_t* data, std::size_t size);

#endif  // STARTER_FUZZ_FUZZ_ARCHIVE_CHECK_H_
