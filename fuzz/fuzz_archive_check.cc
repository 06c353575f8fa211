#include "fuzz_archive_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/tar_extract.h"
#include "fuzz_sandbox.h"

void ExtractAndCheck(const std::uint8_t* data, std::size_t size) {
  const std::string box = FuzzSandbox() + "/box";
  mkdir(box.c_str(), 0755);
  ClearDirectory(box);
  if (chdir(box.c_str()) != 0) std::abort();
  FILE* f = std::fopen("in.tar", "wb");
  if (f == nullptr) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  mkdir("out", 0755);

  // Each input as in a new process: nothing left from the one before.
  ForgetEarlierArchives();
  int result = doarchive("in.tar", "out/");
  if (result != 0 && result != 1) std::abort();
  // Only the archive and the extraction directory may exist beside each
  // other; the sandbox itself holds only "box".
  if (CountEntries(box) != 2) std::abort();
  if (CountEntries(FuzzSandbox()) != 1) std::abort();
  if (chdir(FuzzSandbox().c_str()) != 0) std::abort();
}
