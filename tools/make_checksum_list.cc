// starter-checksums: writes the checksum list of a release directory, the
// file a publisher puts on the update server next to the release's files.
//
// Usage: starter-checksums <release-dir> <output-file>
//
// The list has the header "version_file <key>" with a fresh key and one line
// "./<path> <md5>" per file the updater's scan takes (hidden files, build
// leftovers and the directories the updater never scans are left out), sorted
// by path. Names holding a space cannot be listed and are reported. The output
// file itself is never listed, also when it lies inside the directory. The
// list is written under a temporary name and renamed into place when complete.
// Exit status: 0 written, 1 failure (reported on standard error), 2 usage.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "update/checksum_list.h"
#include "update/tree_scan.h"

namespace {

// The canonical absolute form of an existing `path`, or empty.
std::string Canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(
      realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// The absolute form of `path`, whose directory must exist; empty otherwise.
std::string AbsoluteOutput(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (dir.empty()) dir = "/";
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string canonical = Canonical(dir);
  if (canonical.empty() || name.empty()) return std::string();
  return (canonical == "/" ? "" : canonical) + "/" + name;
}

// True when `listed` ("./" + path below the current directory) is the
// output file, by name or by identity.
bool IsOutput(const std::string& listed, const std::string& release,
              const std::string& output) {
  if (release + listed.substr(1) == output) return true;
  struct stat a, b;
  return stat(listed.c_str(), &a) == 0 && stat(output.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "starter-checksums: %s %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <release-dir> <output-file>\n", argv[0]);
    return 2;
  }
  const std::string release = Canonical(argv[1]);
  if (release.empty()) return Fail("cannot open release directory", argv[1]);
  const std::string output = AbsoluteOutput(argv[2]);
  if (output.empty()) return Fail("cannot place output file", argv[2]);
  const std::string temporary = output + ".tmp";
  if (chdir(release.c_str()) != 0) return Fail("cannot enter", release);

  std::vector<std::string> files;
  SearchDirectory(files, ".", "*", true, {});
  std::sort(files.begin(), files.end());

  ChecksumListWriter writer;
  if (int err = writer.Open(temporary.c_str()); err != 0) {
    errno = err;
    return Fail("cannot create", temporary);
  }
  writer.WriteHeader(MakeVersionKey());
  int listed = 0;
  for (const std::string& path : files) {
    if (IsOutput(path, release, output) || IsOutput(path, release, temporary)) {
      continue;
    }
    if (spacesinfile(path.c_str()) > 0) {
      std::fprintf(stderr,
                   "starter-checksums: not listed (space in name): %s\n",
                   path.c_str());
      continue;
    }
    std::string hash;
    if (!stdCalculateMD5(path.c_str(), hash)) {
      int err = errno;
      writer.Close();
      std::remove(temporary.c_str());
      errno = err;
      return Fail("cannot read", path);
    }
    writer.WriteEntry(path, hash);
    ++listed;
  }
  if (!writer.Close()) {
    std::remove(temporary.c_str());
    return Fail("cannot write", temporary);
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    int err = errno;
    std::remove(temporary.c_str());
    errno = err;
    return Fail("cannot rename into", output);
  }
  std::printf("%d files listed in %s\n", listed, output.c_str());
  return 0;
}
