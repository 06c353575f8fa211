// Fuzzes the tar layer behind gzip decoding: the input is compressed into a
// gzip member first, so every mutation reaches the tar parser through the
// decoder. Checks that nothing is written outside the extraction directory.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_archive_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  z_stream zs{};
  // windowBits 15 + 16: a gzip wrapper with header and trailer.
  if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    std::abort();
  }
  std::vector<std::uint8_t> out(deflateBound(&zs, size) + 64);
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  ExtractAndCheck(out.data(), out.size());
  return 0;
}
