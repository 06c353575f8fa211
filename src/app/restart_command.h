// The restart of the starter: its own command line run again as a child.
#ifndef STARTER_APP_RESTART_COMMAND_H_
#define STARTER_APP_RESTART_COMMAND_H_

#include <string>

// `arg` as one word of the POSIX shell: unchanged when it holds only
// letters, digits and "_./:=@%+,-" (and is not empty), otherwise in single
// quotes with each "'" written as '\''. The empty argument gives ''.
std::string ShellQuoteArgument(const std::string& arg);

// The shell command that runs argv[0..argc-1] again with exactly these
// arguments: each argument, quoted by ShellQuoteArgument, followed by one
// space (a null argument adds only the space). A program path holding "="
// is quoted too, so that the shell cannot take it for an assignment.
std::string BuildRestartCommand(int argc, char** argv);

// Prints the restart banner, changes into `app_dir` (on failure writes
// "Failed to change directory" to standard error and goes on), prints
// `message` and the command, runs the command through the shell and waits
// for it. A failing command is reported on standard error as
// "cmd <command> failed". Returns the shell's raw status.
int RestartProgram(const std::string& message, const std::string& app_dir,
                   int argc, char** argv);

#endif  // STARTER_APP_RESTART_COMMAND_H_
