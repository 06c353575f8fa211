// The console a program of this project writes to: its three standard
// streams, set up once at process start.
#ifndef STARTER_ENGINE_STANDARD_STREAMS_H_
#define STARTER_ENGINE_STANDARD_STREAMS_H_

// Call first in main, before anything is printed or opened. Opens /dev/null
// on each of the descriptors 0, 1 and 2 that is closed, so that no file the
// process opens later takes a standard stream's place (and receives its
// text). Makes standard output line-buffered: every line reaches the
// console, a pipe or a file (a service manager's journal) when its line feed
// is printed, not when the process ends, and stays in order with standard
// error, which is unbuffered. Reports nothing; a descriptor that cannot be
// opened stays closed.
void PrepareStandardStreams();

#endif  // STARTER_ENGINE_STANDARD_STREAMS_H_
