// starter-checksums: writes the checksum list of a release directory, the
// file a publisher puts on the update server next to the release's files,
// and optionally its signature.
//
// Usage: starter-checksums [--sign KEY] [--skip-unlistable] RELEASE_DIR OUTPUT
//
// The list has the header "version_file <key>" and one line "./<path> <md5>"
// per file the updater's scan takes (hidden files, build leftovers and the
// directories the updater never scans are left out), sorted by path. The
// output file and its signature file are never listed, also when they lie
// inside the directory. The key is drawn from the system's random source,
// from 1000 to 12600995, and never equals the key of the list OUTPUT held
// before, so that every starter on that list fetches the new one.
//
// A file whose entry no starter could read as written (a blank, tab, line
// feed, carriage return or backslash in its name, a path over 255
// characters, anything else the update run's list reader or listed-path
// rules refuse) gets a line "cannot be listed (REASON): PATH" on standard
// error, and no list is written. With --skip-unlistable such files get "not
// listed (REASON): PATH" instead and the list names the others.
//
// With --sign, OUTPUT.sig receives the raw 64-byte Ed25519 signature of the
// list's exact bytes made with the private key KEY (what "openssl pkeyutl
// -sign -rawin" writes), which starters built with the matching public key
// require.
//
// Both files are written under temporary names and put in place only when
// both are complete: on a failure before that, neither is replaced.
// Exit status: 0 written, 1 failure or files that cannot be listed (reported
// on standard error), 2 usage. --help prints the usage to standard output,
// --version the project's version.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/paths.h"
#include "engine/standard_streams.h"
#include "release_list.h"
#include "tool_usage.h"

namespace {

constexpr char kUsage[] =
    "usage: %s [--sign KEY] [--skip-unlistable] RELEASE_DIR OUTPUT\n"
    "Writes the checksum list of RELEASE_DIR to OUTPUT (and, with --sign,\n"
    "its Ed25519 signature made with the private key KEY to OUTPUT.sig).\n"
    "Files whose names no list can carry are reported and no list is\n"
    "written; --skip-unlistable lists the others instead.\n"
    "Exit status: 0 written, 1 failure or unlistable files, 2 usage.\n";

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

int Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "starter-checksums: %s %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  return 1;
}

// The command line: options, then the release directory and the output
// file.
struct Arguments {
  const char* private_key = nullptr;
  bool skip_unlistable = false;
  const char* release = nullptr;
  const char* output = nullptr;
};

bool ParseArguments(int argc, char** argv, Arguments& args) {
  int next = 1;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    if (std::strcmp(argv[next], "--sign") == 0 && next + 1 < argc &&
        args.private_key == nullptr) {
      args.private_key = argv[++next];
    } else if (std::strcmp(argv[next], "--skip-unlistable") == 0) {
      args.skip_unlistable = true;
    } else {
      return false;
    }
  }
  if (argc - next != 2) return false;
  args.release = argv[next];
  args.output = argv[next + 1];
  return true;
}

// Reports each unlistable file; returns false when they stop the list.
bool ReportUnlistable(const ReleaseFiles& files, bool skip) {
  ReportUnlistable("starter-checksums",
                   skip ? "not listed" : "cannot be listed", files.unlistable);
  if (files.unlistable.empty() || skip) return true;
  std::fprintf(stderr,
               "starter-checksums: no list written: %zu file(s) cannot be "
               "listed (rename them, or leave them out with "
               "--skip-unlistable)\n",
               files.unlistable.size());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStandardStreams();
  if (AsksForVersion(argc, argv)) return PrintVersion("starter-checksums");
  Arguments args;
  if (AsksForHelp(argc, argv) || !ParseArguments(argc, argv, args)) {
    return PrintUsage(kUsage, argc, argv, 2);
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

  const ReleaseFiles files =
      CollectReleaseFiles(release, {output, signature_path});
  if (!ReportUnlistable(files, args.skip_unlistable)) return 1;
  WrittenList written;
  std::string error;
  if (!WriteReleaseList(files.listed, output, private_key, KeyOfList(output),
                        written, error)) {
    std::fprintf(stderr, "starter-checksums: %s\n", error.c_str());
    return 1;
  }
  std::printf("%d files listed in %s\n", written.listed, output.c_str());
  if (!files.unlistable.empty()) {
    std::printf("%zu file(s) left out (--skip-unlistable)\n",
                files.unlistable.size());
  }
  if (written.has_signature) {
    std::printf("signature in %s\n", signature_path.c_str());
  } else if (access(signature_path.c_str(), F_OK) == 0) {
    std::fprintf(stderr,
                 "starter-checksums: warning: %s was not made for this list; "
                 "sign with --sign or remove it\n",
                 signature_path.c_str());
  }
  return 0;
}
