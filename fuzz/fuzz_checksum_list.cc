// Fuzzes every reader of the checksum list format: the list walk, the key
// check and the relocation's map reader. The updater is constructed without
// an application object, so its run ends before any network access.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_sandbox.h"
#include "update/auto_update.h"
#include "update/checksum_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string list = WriteFuzzInput("Downloads/App/version.txt", data, size);
  if (list.empty()) std::abort();

  FILE* f = std::fopen(list.c_str(), "r");
  if (f != nullptr) {
    ChecksumListReader reader(f);
    std::string path, hash;
    for (std::size_t passes = 0;; ++passes) {
      if (passes > size + 2) std::abort();  // every pass consumes input
      ListRead r = reader.Next(path, hash);
      if (r == ListRead::kEndWithoutLineEnd) break;
      if (r == ListRead::kEntry &&
          (path.size() > kMaxListField || hash.size() > kMaxListField)) {
        std::abort();
      }
    }
    std::fclose(f);
  }

  static CAutoUpdate updater(nullptr, "App/version.txt", ".", true);
  // The local version file is the same bytes: keys must match exactly when
  // the header is well formed with a positive key.
  WriteFuzzInput("App/version.txt", data, size);
  (void)updater.RandomKeyCheck("App/version.txt", "Downloads/");
  updater.MoveUnusedFiles("Downloads/App/version.txt", "./Base");
  return 0;
}
