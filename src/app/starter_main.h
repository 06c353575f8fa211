// The process entry of the starter, which owns the application log.
#ifndef STARTER_APP_STARTER_MAIN_H_
#define STARTER_APP_STARTER_MAIN_H_

#include <memory>

#include "engine_starter/log.h"

// Prepares the standard streams (PrepareStandardStreams: every line reaches
// a pipe when it is printed), then creates the application object, runs it,
// destroys it and then the application log (which Run opened and this
// function takes over), and restarts the program as a waited-for child when
// a restart was requested. Prints "THE END" last. Always returns 0.
int StarterMain(int argc, char** argv);

// Creates the application log on `path` with echo to standard output and
// returns it (never null; a file that cannot be created leaves a console-only
// log). This module owns the log until TakeApplicationLog hands it out; a log
// still held from an earlier call is destroyed first, so the singleton always
// names the new one. A log nobody takes is destroyed at process exit.
CAppLog* OpenApplicationLog(const char* path);

// Hands the log created by OpenApplicationLog to the caller, or null when
// none is held. main takes it after the application object is gone and
// destroys it, which clears the log's singleton.
std::unique_ptr<CAppLog> TakeApplicationLog();

#endif  // STARTER_APP_STARTER_MAIN_H_
