// Fuzzes the extractor on raw archive bytes (plain tar, or gzip when the
// input starts with the gzip magic) and checks that nothing is written
// outside the extraction directory.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/tar_extract.h"
#include "fuzz_archive_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ExtractAndCheck(data, size);
  return 0;
}
