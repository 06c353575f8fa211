// The base address of the update server.
#ifndef STARTER_LAUNCHER_UPDATE_SERVER_H_
#define STARTER_LAUNCHER_UPDATE_SERVER_H_

#include <string>

// The update server's base address, ending in "/": the environment variable
// STARTER_UPDATE_URL for this run when it holds an http(s) URL ending in
// "/" (logged "Update server from STARTER_UPDATE_URL: <url>"), otherwise the
// address this program was built with. Anything else set in the variable is
// logged as ignored. This is the only place that decides the address; the
// platform directory is appended by the application's update path.
std::string UpdateServerBase();

#endif  // STARTER_LAUNCHER_UPDATE_SERVER_H_
