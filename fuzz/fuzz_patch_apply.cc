// Fuzzes patch decoding against a fixed reference file: the input is the
// patch. Every way of handing a patch over (its bytes, its file) and of
// taking the decoded bytes (a file, a sink) must end alike, and the decoded
// file must stay within the cap.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "engine/atomic_file.h"
#include "fuzz_sandbox.h"
#include "patch/file_patch.h"

namespace {

// The most bytes a patch may decode to here.
constexpr std::uint64_t kCap = 1 << 20;

// The reference: numbered lines, the same text as
//   seq 0 1999 | sed 's/.*/line &: the quick brown fox/'
// so that seed patches can be made for it with the zstd tool.
const std::string& Reference() {
  static const std::string path = [] {
    std::string text;
    for (int i = 0; i < 2000; ++i) {
      text += "line " + std::to_string(i) + ": the quick brown fox\n";
    }
    return WriteFuzzInput("reference",
                          reinterpret_cast<const std::uint8_t*>(text.data()),
                          text.size());
  }();
  return path;
}

// Decodes with `apply` into a fresh temporary file and checks the bytes it
// holds against what the result says was written.
template <typename Apply>
PatchResult DecodeAndCheck(Apply apply) {
  AtomicFile out(FuzzSandbox() + "/out", LinkAtDestination::kReplace);
  const PatchResult result = apply(out);
  if (result.output_bytes > kCap) std::abort();
  if (!out.Flush()) std::abort();
  struct stat info;
  if (stat(out.temp_path().c_str(), &info) != 0) std::abort();
  if (static_cast<std::uint64_t>(info.st_size) != result.output_bytes) {
    std::abort();
  }
  return result;  // out removes its temporary file
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string& reference = Reference();
  const PatchResult from_memory = DecodeAndCheck([&](AtomicFile& out) {
    return ApplyPatch(reference, std::span(data, size), out, PatchLimits{kCap});
  });
  const std::string patch = WriteFuzzInput("patch", data, size);
  const PatchResult from_file = DecodeAndCheck([&](AtomicFile& out) {
    return ApplyPatch(reference, patch, out, PatchLimits{kCap});
  });
  std::uint64_t sunk = 0;
  const PatchResult to_sink = ApplyPatch(
      reference, patch,
      [&sunk](const std::uint8_t*, std::size_t piece) {
        sunk += piece;
        return true;
      },
      PatchLimits{kCap});
  if (sunk != to_sink.output_bytes || to_sink.status != from_file.status ||
      to_sink.output_bytes != from_file.output_bytes) {
    std::abort();
  }
  if (from_memory.status != from_file.status ||
      from_memory.output_bytes != from_file.output_bytes) {
    std::fprintf(stderr, "memory: %s, %llu bytes; file: %s, %llu bytes\n",
                 DescribePatchResult(from_memory).c_str(),
                 static_cast<unsigned long long>(from_memory.output_bytes),
                 DescribePatchResult(from_file).c_str(),
                 static_cast<unsigned long long>(from_file.output_bytes));
    std::abort();
  }
  return 0;
}
