// starter-untar: extracts a tar or tar.gz archive into a directory.
//
//   starter-untar ARCHIVE [DIRECTORY]
//
// DIRECTORY defaults to the current directory and is created when missing.
// Exits with 0 when the archive was read to its end, 1 otherwise, 2 on a
// usage error. Messages are the extractor's own.
#include <cstdio>
#include <string>

#include "archive/tar_extract.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s ARCHIVE [DIRECTORY]\n", argv[0]);
    return 2;
  }
  std::string dir = argc == 3 ? argv[2] : "";
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return doarchive(argv[1], dir) == 1 ? 0 : 1;
}
