// The usage text of a tool: asked for with "--help", or printed for a
// command line the tool cannot take.
#ifndef STARTER_TOOLS_TOOL_USAGE_H_
#define STARTER_TOOLS_TOOL_USAGE_H_

#include <cstdio>
#include <cstring>

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

#endif  // STARTER_TOOLS_TOOL_USAGE_H_
