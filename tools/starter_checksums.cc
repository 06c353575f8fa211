// starter-checksums: writes the checksum list of a release directory, the
// file a publisher puts on the update server next to the release's files,
// and optionally its signature.
//
// Usage: starter-checksums [--sign KEY [--name NAME] [--expires SPAN]
//                          [--serial N] [--new-key PUBLIC_KEY]]
//                          [--skip-unlistable] [--follow-outside-links]
//                          RELEASE_DIR OUTPUT
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
// error, and no list is written. So does a name the starter cannot fetch
// at update URL + path as web servers decode URLs ("#", "?", "%", a control
// character, bytes that are not UTF-8: refused, not escaped, since an
// escaped name is another URL than the one a starter asks for), a link that
// leads to no file, a link into RELEASE_DIR.releases (the releases of
// starter-publish beside a served directory), and a link out of
// RELEASE_DIR, whose file the web server would serve from outside the
// release, unless --follow-outside-links lists it under the link's name.
// With --skip-unlistable such files get "not listed (REASON): PATH"
// instead and the list names the others.
//
// With --sign, OUTPUT.sig receives the raw 64-byte Ed25519 signature of the
// list's exact bytes made with the private key KEY (what "openssl pkeyutl
// -sign -rawin" writes), which starters built with the matching public key
// require. With it come the release's file table, OUTPUT.files (each
// listed file's size, SHA-256 and whether it is executable), and its release
// statement, OUTPUT.release, signed with the same key: serial N (default:
// one above the serial of the statement OUTPUT.release held, else 1), name
// NAME (default: the serial), expiring SPAN after now with --expires (e.g.
// "30d"; default never). A DUdavi in the release must trust KEY (or, with
// --new-key, the key PUBLIC_KEY for a key change); this tool fills no key
// slot, starter-publish does.
//
// The files are written under temporary names and put in place only when
// all are complete: on a failure before that, none is replaced.
// Exit status: 0 written, 1 failure or files that cannot be listed (reported
// on standard error), 2 usage. --help prints the usage to standard output,
// --version the project's version.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "engine/paths.h"
#include "engine/standard_streams.h"
#include "release_list.h"
#include "release_starter.h"
#include "tool_usage.h"
#include "update/list_signature.h"
#include "update/release_statement.h"
#include "update/release_table.h"

namespace {

constexpr char kUsage[] =
    "usage: %s [--sign KEY [--name NAME] [--expires SPAN] [--serial N]\n"
    "          [--new-key PUB]] [--skip-unlistable] [--follow-outside-links]\n"
    "          RELEASE_DIR OUTPUT\n"
    "Writes the checksum list of RELEASE_DIR to OUTPUT (and, with --sign,\n"
    "its Ed25519 signature made with the private key KEY to OUTPUT.sig,\n"
    "the file table to OUTPUT.files and the signed release statement to\n"
    "OUTPUT.release: serial N, name NAME, expiring SPAN from now).\n"
    "Files whose names no list can carry are reported and no list is\n"
    "written; --skip-unlistable lists the others instead. A file reached\n"
    "through a link out of RELEASE_DIR is listed only with\n"
    "--follow-outside-links.\n"
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

// The canonical path of the releases starter-publish keeps beside
// `release_dir` when it serves it; "" when there are none.
std::string PublishedReleases(std::string release_dir) {
  while (release_dir.size() > 1 && release_dir.back() == '/') {
    release_dir.pop_back();
  }
  return CanonicalPath(release_dir + ".releases");
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
  const char* name = nullptr;
  const char* expires = nullptr;
  const char* serial = nullptr;
  const char* new_key = nullptr;
  bool skip_unlistable = false;
  bool follow_outside_links = false;
  const char* release = nullptr;
  const char* output = nullptr;
};

bool ParseArguments(int argc, char** argv, Arguments& args) {
  int next = 1;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    const std::string option = argv[next];
    const char** value = option == "--sign"      ? &args.private_key
                         : option == "--name"    ? &args.name
                         : option == "--expires" ? &args.expires
                         : option == "--serial"  ? &args.serial
                         : option == "--new-key" ? &args.new_key
                                                 : nullptr;
    if (option == "--skip-unlistable") {
      args.skip_unlistable = true;
    } else if (option == "--follow-outside-links") {
      args.follow_outside_links = true;
    } else if (value == nullptr || *value != nullptr || next + 1 >= argc) {
      return false;
    } else {
      *value = argv[++next];
    }
  }
  if (argc - next != 2) return false;
  if (args.private_key == nullptr &&
      (args.name || args.expires || args.serial || args.new_key)) {
    return false;
  }
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

// The statement's terms from the command line; "" or why they cannot be
// taken. The serial defaults to one above that of `previous`.
std::string PlanStatement(const Arguments& args, const std::string& previous,
                          StatementPlan& plan) {
  plan.issued = static_cast<std::int64_t>(std::time(nullptr));
  plan.serial = HighestSerial({previous}) + 1;
  if (args.serial != nullptr) {
    const std::string serial = args.serial;
    if (serial.empty() || serial.size() > 15 || serial[0] == '0' ||
        serial.find_first_not_of("0123456789") != std::string::npos) {
      return "cannot take --serial " + serial + " (a number from 1)";
    }
    plan.serial = std::stoll(serial);
  }
  std::optional<std::int64_t> span;
  std::string why =
      TakeStatementOptions(args.name, args.expires, plan.name, span);
  if (span) plan.expires = plan.issued + *span;
  return why;
}

// With a key, the starter the release ships (if any) must trust it (or the
// new key); "" or why not.
std::string CheckShippedStarter(const ReleaseFiles& files,
                                const std::string& private_key,
                                const char* new_key_path) {
  const std::string listed = std::string("./") + kStarterName;
  if (std::find(files.listed.begin(), files.listed.end(), listed) ==
      files.listed.end()) {
    return std::string();
  }
  ListSigningKey public_key;
  std::string why;
  if (!PublicKeyOfPrivateKey(private_key, public_key, why)) {
    return "cannot sign with " + private_key + ": " + why;
  }
  std::optional<ListSigningKey> new_key;
  if (new_key_path != nullptr) {
    new_key.emplace();
    if (why = ReadPublicKeyFile(new_key_path, *new_key); !why.empty()) {
      return why;
    }
  }
  StarterKeying done;
  return KeyReleaseStarter(kStarterName, kStarterName, public_key,
                           new_key ? &*new_key : nullptr, false, done);
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

  const ReleaseFiles files = CollectReleaseFiles(
      release,
      {output, signature_path, output + kStatementSuffix,
       output + kTableSuffix},
      {.served = {PublishedReleases(args.release)},
       .follow_outside = args.follow_outside_links});
  if (!ReportUnlistable(files, args.skip_unlistable)) return 1;
  StatementPlan plan;
  if (!private_key.empty()) {
    std::string why = PlanStatement(args, output + kStatementSuffix, plan);
    if (why.empty()) why = CheckShippedStarter(files, private_key, args.new_key);
    if (!why.empty()) {
      std::fprintf(stderr, "starter-checksums: %s\n", why.c_str());
      return 1;
    }
  }
  WrittenList written;
  std::string error;
  if (!WriteReleaseList(files.listed, output, private_key, KeyOfList(output),
                        private_key.empty() ? nullptr : &plan, written,
                        error)) {
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
    std::printf("release %s (serial %lld) stated in %s%s\n",
                written.statement->name.c_str(),
                static_cast<long long>(written.statement->serial),
                output.c_str(), kStatementSuffix);
  } else if (access(signature_path.c_str(), F_OK) == 0) {
    std::fprintf(stderr,
                 "starter-checksums: warning: %s was not made for this list; "
                 "sign with --sign or remove it\n",
                 signature_path.c_str());
  }
  return 0;
}
