// The restart of the starter: its own command line run again as a child.
#ifndef STARTER_APP_RESTART_COMMAND_H_
#define STARTER_APP_RESTART_COMMAND_H_

#include <string>

// `arg` as it goes into the restart command: every byte the shell would act
// on gets a backslash before it, so that the shell hands it on as it is;
// only letters, digits, "_", ".", "/", ",", ":", "@", "+", "-" and bytes of
// multi-byte characters are taken as they are without one. A line feed is
// written in single quotes. Blanks (space and tab) stay as they are, so an
// argument holding blanks reaches the restarted program as several
// arguments.
std::string NeutraliseShellCharacters(const std::string& arg);

// The shell command that runs argv[0..argc-1] again: each argument, through
// NeutraliseShellCharacters, followed by one space (a null argument adds
// only the space), so the command ends with a space.
std::string BuildRestartCommand(int argc, char** argv);

// Prints the restart banner, changes into `app_dir` (on failure writes
// "Failed to change directory" to standard error and goes on), prints
// `message` and the command, runs the command through the shell and waits
// for it. A failing command is reported on standard error as
// "cmd <command> failed". Returns the shell's raw status.
int RestartProgram(const std::string& message, const std::string& app_dir,
                   int argc, char** argv);

#endif  // STARTER_APP_RESTART_COMMAND_H_
