// The usage text of a tool: asked for with "--help", or printed for a
// command line the tool cannot take; and its version, asked for with
// "--version".
#ifndef STARTER_TOOLS_TOOL_USAGE_H_
#define STARTER_TOOLS_TOOL_USAGE_H_

#include <cstdio>
#include <cstring>

#include "launcher/compiled_settings.h"

// True when "--help" is one of the arguments.
inline bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) return true;
  }
  return false;
}

// Prints `usage`, a format whose one "%s" is the program's name (argv[0]):
// to standard output and returns 0 when the arguments ask for help, else to
// standard error and returns `error_status`.
inline int PrintUsage(const char* usage, int argc, char** argv,
                      int error_status) {
  const bool help = AsksForHelp(argc, argv);
  std::fprintf(help ? stdout : stderr, usage, argc > 0 ? argv[0] : "");
  return help ? 0 : error_status;
}

// True when "--version" is one of the arguments.
inline bool AsksForVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) return true;
  }
  return false;
}

// Prints "<tool> <version>", the project's version, to standard output and
// returns 0.
inline int PrintVersion(const char* tool) {
  const std::string_view version = ProjectVersion();
  std::printf("%s %.*s\n", tool, static_cast<int>(version.size()),
              version.data());
  return 0;
}

// The command line "[--quiet] GAME_DIR" of the tools that work on one game
// directory.
struct QuietGameDirArguments {
  bool quiet = false;
  const char* game_dir = nullptr;
};

// Reads "[--quiet] GAME_DIR" into `args`; false for any other switch, a
// second directory or none.
inline bool ParseQuietGameDir(int argc, char** argv,
                              QuietGameDirArguments& args) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quiet") == 0) {
      args.quiet = true;
    } else if (argv[i][0] == '-' || args.game_dir != nullptr) {
      return false;
    } else {
      args.game_dir = argv[i];
    }
  }
  return args.game_dir != nullptr;
}

#endif  // STARTER_TOOLS_TOOL_USAGE_H_
