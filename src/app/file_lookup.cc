// Data file lookup, the directories, the update paths and the process id
// file: fileExists2 and the members of CApplication useFile, getAppDirFile,
// getDirectoryFromArgs, getUpdatePath, getUpdatePaths and WritePID (declared
// in engine_starter/application.h).
#include "app/file_lookup.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "engine/app_log.h"
#include "engine/file_lock.h"
#include "engine_starter/application.h"
#include "install/file_install.h"
#include "launcher/update_server.h"

namespace {

// The fixed fallback directory of useFile; it does not follow baseDir.
constexpr char kFallbackDirectory[] = "../Base/";

// The platform directory of this build under the update server's base URL:
// the 32-bit Linux dedicated-server demo, whatever the host's word size.
constexpr char kPlatformDirectory[] = "linux32-dedicated-demo/";

String ForwardSlashes(String path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

}  // namespace

bool fileExists2(const char* fname) {
  return fname != nullptr && fileExists(fname);
}

String CApplication::useFile(const char* filename) {
  if (fileExists2(filename)) {
    String result = ForwardSlashes(filename);
    if (filesUsed.insert(result).second) {
      LogLine("Using file '%s'", result.c_str());
    }
    return result;
  }
  const String fallback = ForwardSlashes(String(kFallbackDirectory) +
                                         (filename != nullptr ? filename : ""));
  if (fileExists2(fallback.c_str())) {
    if (filesUsed.insert(fallback).second) {
      LogLine("File not found. Using default file '%s'", fallback.c_str());
    }
    return fallback;
  }
  LogLine("File not found '%s'", filename != nullptr ? filename : "");
  return fallback;
}

String CApplication::getAppDirFile(const char* filename) {
  return filename != nullptr ? appDir + filename : appDir;
}

String CApplication::getDirectoryFromArgs(int /*argc*/, char** argv) {
  if (argv == nullptr || argv[0] == nullptr) return String();
  String path = argv[0];
  const auto separator = path.find_last_of("/\\");
  if (separator != String::npos) path.resize(separator + 1);
  return ForwardSlashes(path);
}

std::string CApplication::getUpdatePath() { return getUpdatePaths().front(); }

std::vector<std::string> CApplication::getUpdatePaths() {
  std::vector<std::string> paths = UpdateServerEntries(defaults.updateURL);
  for (std::string& path : paths) path += kPlatformDirectory;
  return paths;
}

void CApplication::WritePID() {
  const int pid = static_cast<int>(getpid());
  std::printf("PID: %i\n", pid);
  FileLock file(OpenForWritingNoWait("Logs/pid.txt"));
  if (file.isValid()) std::fprintf(file.get(), "%i", pid);
}
