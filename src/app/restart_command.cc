#include "app/restart_command.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// Characters through which the shell would run or expand what an argument
// holds.
constexpr std::string_view kShellCharacters = ";&|<>$`\\'\"*?[";

// True when `word` has the form NAME=... of a shell variable assignment.
bool LooksLikeAssignment(const std::string& word) {
  const std::size_t eq = word.find('=');
  if (eq == 0 || eq == std::string::npos) return false;
  return !std::isdigit(static_cast<unsigned char>(word[0])) &&
         std::all_of(word.begin(), word.begin() + eq, [](unsigned char c) {
           return std::isalnum(c) || c == '_';
         });
}

}  // namespace

std::string NeutraliseShellCharacters(const std::string& arg) {
  std::string word;
  word.reserve(arg.size());
  for (char c : arg) {
    if (c == '\n') {
      word += "'\n'";
      continue;
    }
    if (kShellCharacters.find(c) != std::string_view::npos) word += '\\';
    word += c;
  }
  return word;
}

std::string BuildRestartCommand(int argc, char** argv) {
  std::string command;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr) {
      std::string word = NeutraliseShellCharacters(argv[i]);
      if (i == 0 && LooksLikeAssignment(word)) {
        word.insert(word.find('='), 1, '\\');
      }
      command += word;
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
