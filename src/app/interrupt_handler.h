// The interrupt (Ctrl+C) handling of the starter.
#ifndef STARTER_APP_INTERRUPT_HANDLER_H_
#define STARTER_APP_INTERRUPT_HANDLER_H_

// The SIGINT handler: writes "Ctrl+C detected\n" to standard output, asks the
// application object (when it exists) to shut the game down, which reaches
// the game module only when it has registered, and restores the default
// action so that a second interrupt ends the process.
void exit_program(int sig);

#endif  // STARTER_APP_INTERRUPT_HANDLER_H_
