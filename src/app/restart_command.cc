#include "app/restart_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool IsShellSafe(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9')) {
    return true;
  }
  return c != '\0' && std::strchr("_./:=@%+,-", c) != nullptr;
}

std::string SingleQuoted(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::string ShellQuoteArgument(const std::string& arg) {
  bool safe = !arg.empty();
  for (char c : arg) safe = safe && IsShellSafe(c);
  return safe ? arg : SingleQuoted(arg);
}

std::string BuildRestartCommand(int argc, char** argv) {
  std::string command;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr) {
      const std::string arg = argv[i];
      const bool looks_like_assignment =
          i == 0 && arg.find('=') != std::string::npos;
      command +=
          looks_like_assignment ? SingleQuoted(arg) : ShellQuoteArgument(arg);
    }
    command += ' ';
  }
  return command;
}

int RestartProgram(const std::string& message, const std::string& app_dir,
                   int argc, char** argv) {
  std::printf("***************** RESTARTING *******************\n");
  if (chdir(app_dir.c_str()) != 0) {
    std::fputs("Failed to change directory", stderr);
  }
  const std::string command = BuildRestartCommand(argc, argv);
  std::printf("%s\n", message.c_str());
  std::printf("cmd: %s\n", command.c_str());
  // The child shares our output streams: hand it what we have printed.
  std::fflush(stdout);
  const int status = std::system(command.c_str());
  if (status != 0) std::fprintf(stderr, "cmd %s failed", command.c_str());
  return status;
}
