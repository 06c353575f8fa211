#include "app/restart_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// True for the bytes the shell takes as they are wherever they stand in a
// word: letters, digits, "_", ".", "/", ",", ":", "@", "+", "-", and every
// byte of a multi-byte character.
bool TakenAsItIs(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c >= 0x80 ||
         std::string_view("_./,:@+-").find(static_cast<char>(c)) !=
             std::string_view::npos;
}

}  // namespace

std::string NeutraliseShellCharacters(const std::string& arg) {
  std::string word;
  word.reserve(arg.size());
  for (char c : arg) {
    if (c == '\n') {
      // A backslash before a line feed would join the lines.
      word += "'\n'";
      continue;
    }
    if (c != ' ' && c != '\t' && !TakenAsItIs(static_cast<unsigned char>(c))) {
      word += '\\';
    }
    word += c;
  }
  return word;
}

std::string BuildRestartCommand(int argc, char** argv) {
  std::string command;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr) command += NeutraliseShellCharacters(argv[i]);
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
