// File lookup helpers of the application shell that are not members of the
// application object.
#ifndef STARTER_APP_FILE_LOOKUP_H_
#define STARTER_APP_FILE_LOOKUP_H_

// True when `fname` can be opened for reading; the file is closed again at
// once. A failed open is logged as "File open error: ..." once the
// application log exists. A null name gives false without a log line.
bool fileExists2(const char* fname);

#endif  // STARTER_APP_FILE_LOOKUP_H_
