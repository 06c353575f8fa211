// The base addresses of the update servers.
#ifndef STARTER_LAUNCHER_UPDATE_SERVER_H_
#define STARTER_LAUNCHER_UPDATE_SERVER_H_

#include <string>
#include <string_view>
#include <vector>

// The update servers' base addresses, each an http(s) URL ending in "/",
// in the order an update run tries them, separated by one blank: the
// environment variable STARTER_UPDATE_URL for this run when every
// blank-separated entry of it is such a URL (logged "Update server from
// STARTER_UPDATE_URL: <url>", or "Update servers from STARTER_UPDATE_URL,
// tried in order: <urls>" for several), otherwise the addresses this program
// was built with. A variable with any other entry is logged as ignored as a
// whole. This is the only place that decides the addresses; the platform
// directory is appended to each by the application's update paths.
std::string UpdateServerBases();

// The entries of a text of update server addresses: its runs of characters
// other than blanks and tabs, in order. A text without such a run is its own
// single entry, so that there is always one.
std::vector<std::string> UpdateServerEntries(std::string_view text);

#endif  // STARTER_LAUNCHER_UPDATE_SERVER_H_
