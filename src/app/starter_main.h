// The process entry of the starter.
#ifndef STARTER_APP_STARTER_MAIN_H_
#define STARTER_APP_STARTER_MAIN_H_

// Creates the application object, runs it, destroys it and then the
// application log (which Run opened and this function takes over), and
// restarts the program as a waited-for child when a restart was requested.
// Prints "THE END" last. Always returns 0.
int StarterMain(int argc, char** argv);

#endif  // STARTER_APP_STARTER_MAIN_H_
