// The base addresses of the update servers.
#ifndef STARTER_LAUNCHER_UPDATE_SERVER_H_
#define STARTER_LAUNCHER_UPDATE_SERVER_H_

#include <string>
#include <string_view>
#include <vector>

// The update servers' base addresses, each an http(s) URL with a host name,
// ending in "/", in the order an update run tries them, separated by one
// blank: the environment variable STARTER_UPDATE_URL for this run when every
// blank-separated entry of it is such a URL (logged "Update server from
// STARTER_UPDATE_URL: <url>", or "Update servers from STARTER_UPDATE_URL,
// tried in order: <urls>" for several), otherwise the addresses this program
// was built with. A variable with any other entry is ignored as a whole, and
// logged so with why: "STARTER_UPDATE_URL ignored (<why>): <value>", where
// <why> is "not an http URL ending in /", "no host name in it" or "a control
// character in it", preceded by the entry and ": " when the variable holds
// several. An unset or empty variable is no line. This is the only place that
// decides the addresses; the platform directory is appended to each by the
// application's update paths.
std::string UpdateServerBases();

// The line UpdateServerBases logs when it ignores STARTER_UPDATE_URL
// (without its line feed), for programs that have no application log to
// print it themselves; empty when the variable is used, unset or empty.
std::string IgnoredUpdateServerVariable();

// The entries of a text of update server addresses: its runs of characters
// other than blanks and tabs, in order. A text without such a run is its own
// single entry, so that there is always one.
std::vector<std::string> UpdateServerEntries(std::string_view text);

#endif  // STARTER_LAUNCHER_UPDATE_SERVER_H_
