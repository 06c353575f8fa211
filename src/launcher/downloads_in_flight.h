// How many file transfers of an update may run at once.
#ifndef STARTER_LAUNCHER_DOWNLOADS_IN_FLIGHT_H_
#define STARTER_LAUNCHER_DOWNLOADS_IN_FLIGHT_H_

#include <cstddef>

// The number of file transfers an update keeps in flight: the environment
// variable STARTER_DOWNLOADS for this run when it holds a whole number from
// 1 to 64 (logged "Downloads in flight from STARTER_DOWNLOADS: <n>"),
// otherwise the number this program was built with (4 unless the build
// said otherwise). Anything else set in the variable is logged as ignored.
// 1 downloads the files strictly one after another.
std::size_t DownloadsInFlight();

#endif  // STARTER_LAUNCHER_DOWNLOADS_IN_FLIGHT_H_
