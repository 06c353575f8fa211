// starter-checksums: writes the checksum list of a release directory, the
// file a publisher puts on the update server next to the release's files,
// and optionally its signature.
//
// Usage: starter-checksums [--sign <private-key.pem>] <release-dir> <output>
//
// The list has the header "version_file <key>" with a fresh key and one line
// "./<path> <md5>" per file the updater's scan takes (hidden files, build
// leftovers and the directories the updater never scans are left out), sorted
// by path. Names holding a space cannot be listed and are reported. The output
// file and its signature file are never listed, also when they lie inside the
// directory.
//
// With --sign, <output>.sig receives the raw 64-byte Ed25519 signature of the
// list's exact bytes made with the private key (what "openssl pkeyutl -sign
// -rawin" writes), which starters built with the matching public key require.
//
// Both files are written under temporary names and put in place only when
// both are complete: on a failure before that, neither is replaced.
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

#include "engine/atomic_file.h"
#include "engine/hash_pipeline.h"
#include "engine/paths.h"
#include "update/checksum_list.h"
#include "update/list_signature.h"
#include "update/tree_scan.h"

namespace {

// The absolute form of `path`, whose directory must exist; empty otherwise.
std::string AbsoluteOutput(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (dir.empty()) dir = "/";
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string canonical = CanonicalPath(dir);
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

// The command line: an optional "--sign KEY", then the release directory and
// the output file.
struct Arguments {
  const char* private_key = nullptr;
  const char* release = nullptr;
  const char* output = nullptr;
};

bool ParseArguments(int argc, char** argv, Arguments& args) {
  int next = 1;
  if (argc == 5 && std::strcmp(argv[1], "--sign") == 0) {
    args.private_key = argv[2];
    next = 3;
  } else if (argc != 3) {
    return false;
  }
  args.release = argv[next];
  args.output = argv[next + 1];
  return true;
}

// Writes into `list` the entries of the files of the release (the current
// directory, `release` in absolute form), leaving out the files `output` and
// `signature`. Returns the number of entries, or -1 after reporting a
// failure.
int WriteList(const std::string& release, const std::string& output,
              const std::string& signature, AtomicFile& list) {
  if (!list.ok()) {
    errno = list.error();
    return -Fail("cannot create", output);
  }
  std::vector<std::string> files;
  SearchDirectory(files, ".", "*", true, {});
  std::sort(files.begin(), files.end());
  auto listable = [&](const std::string& path) {
    return !IsOutput(path, release, output) &&
           !IsOutput(path, release, signature);
  };
  // The files are hashed on every core ahead of this loop, which takes the
  // hashes in order and does everything else as if it hashed them itself.
  std::vector<std::string> to_hash;
  for (const std::string& path : files) {
    if (listable(path) && spacesinfile(path.c_str()) == 0) {
      to_hash.push_back(path);
    }
  }
  HashPipeline hashes(to_hash);
  ChecksumListWriter writer;
  writer.Attach(list.stream());
  writer.WriteHeader(MakeVersionKey());
  int listed = 0;
  for (const std::string& path : files) {
    if (!listable(path)) continue;
    if (spacesinfile(path.c_str()) > 0) {
      std::fprintf(stderr,
                   "starter-checksums: not listed (space in name): %s\n",
                   path.c_str());
      continue;
    }
    const HashPipeline::Result hashed = hashes.TakeNext();
    if (hashed.error != FileHashError::kNone) {
      errno = hashed.error_number;
      return -Fail("cannot read", path);
    }
    writer.WriteEntry(path, hashed.hex);
    ++listed;
  }
  if (!writer.Close() || !list.Flush()) {
    if (list.error() != 0) errno = list.error();
    return -Fail("cannot write", output);
  }
  return listed;
}

// Signs the complete list in `list` (not yet in place) with the key at
// `private_key` and writes the signature to a temporary file of
// `signature_file`. Returns 0, or 1 after reporting the failure.
int PrepareSignature(const std::string& private_key, AtomicFile& list,
                     AtomicFile& signature_file) {
  std::string signature, why;
  if (!SignListFile(private_key, list.temp_path(), signature, why)) {
    std::fprintf(stderr, "starter-checksums: cannot sign with %s: %s\n",
                 private_key.c_str(), why.c_str());
    return 1;
  }
  if (!signature_file.ok() ||
      !signature_file.Write(signature.data(), signature.size()) ||
      !signature_file.Flush()) {
    errno = signature_file.error();
    return Fail("cannot write", signature_file.path());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (!ParseArguments(argc, argv, args)) {
    std::fprintf(stderr,
                 "usage: %s [--sign <private-key.pem>] <release-dir> "
                 "<output-file>\n",
                 argv[0]);
    return 2;
  }
  std::string private_key;
  if (args.private_key != nullptr) {
    private_key = CanonicalPath(args.private_key);
    if (private_key.empty()) return Fail("cannot open", args.private_key);
  }
  const std::string release = CanonicalPath(args.release);
  if (release.empty())
    return Fail("cannot open release directory", args.release);
  const std::string output = AbsoluteOutput(args.output);
  if (output.empty()) return Fail("cannot place output file", args.output);
  const std::string signature_path = output + ".sig";
  if (chdir(release.c_str()) != 0) return Fail("cannot enter", release);

  AtomicFile list(output, LinkAtDestination::kReplace);
  const int listed = WriteList(release, output, signature_path, list);
  if (listed < 0) return 1;

  std::unique_ptr<AtomicFile> signature;
  if (!private_key.empty()) {
    signature = std::make_unique<AtomicFile>(signature_path,
                                             LinkAtDestination::kReplace);
    if (int failed = PrepareSignature(private_key, list, *signature)) {
      return failed;
    }
  }
  if (!list.Commit()) return Fail("cannot write", output);
  if (signature != nullptr && !signature->Commit()) {
    Fail("cannot write", signature_path);
    std::fprintf(stderr,
                 "starter-checksums: the new list is in place, but not its "
                 "signature; run again\n");
    return 1;
  }
  std::printf("%d files listed in %s\n", listed, output.c_str());
  if (signature != nullptr) {
    std::printf("signature in %s\n", signature_path.c_str());
  } else if (access(signature_path.c_str(), F_OK) == 0) {
    std::fprintf(stderr,
                 "starter-checksums: warning: %s was not made for this list; "
                 "sign with --sign or remove it\n",
                 signature_path.c_str());
  }
  return 0;
}
