// starter-untar: extracts a tar or tar.gz archive into a directory.
//
//   starter-untar ARCHIVE [DIRECTORY]
//
// DIRECTORY defaults to the current directory and is created when missing.
// Exits with 0 when the archive was read to its end and every entry was
// extracted; 2 when its compressed data could not be decoded or held a bad
// tar header ("ARCHIVE: bad compression data"); 1 otherwise (the entries
// that could be extracted still are); 64 on a usage error. Messages are the
// extractor's own, followed by "ARCHIVE: failed entries: N" on the standard
// error stream when entries failed. An ARCHIVE that cannot be read (a
// directory, say) gets its system error and exit status 1. --help prints the
// usage to standard output, --version the project's version.
#include <cstdio>
#include <string>

#include "archive/tar_extract.h"
#include "engine/standard_streams.h"
#include "tool_usage.h"

namespace {

constexpr char kUsage[] =
    "usage: %s ARCHIVE [DIRECTORY]\n"
    "Extracts the tar or tar.gz ARCHIVE into DIRECTORY (default: the current\n"
    "directory). Exit status: 0 every entry extracted, 1 the archive could\n"
    "not be read to its end or entries failed, 2 bad compressed data, 64\n"
    "usage.\n";

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-untar");
  if (argc < 2 || argc > 3 || AsksForHelp(argc, argv)) {
    return PrintUsage(kUsage, argc, argv, 64);
  }
  std::string dir = argc == 3 ? argv[2] : "";
  if (!dir.empty() && dir.back() != '/') dir += '/';
  ExtractReport report;
  const int read = doarchive(argv[1], dir, report);
  if (report.failedEntries > 0) {
    fflush(stdout);
    fprintf(stderr, "%s: failed entries: %d\n", argv[1], report.failedEntries);
  }
  if (report.badCompressedData) return 2;
  return read == 1 && report.failedEntries == 0 ? 0 : 1;
}
