// What the program that starts an update run hands to it.
#ifndef STARTER_UPDATE_UPDATE_SETTINGS_H_
#define STARTER_UPDATE_UPDATE_SETTINGS_H_

#include <cstddef>
#include <map>
#include <string>

#include "update/list_signature.h"

// The values an update run takes from outside the update code.
struct UpdateSettings {
  // The server directory of this platform's release, ending in "/" (the
  // application's update path). Empty: there is nothing to fetch; the run
  // logs "No update path" and ends as when the list cannot be fetched.
  std::string update_path;
  // Where the run records the paths and hashes of the downloaded list (the
  // application's standardFiles); null: the updater keeps them itself.
  std::map<std::string, std::string>* standard_files = nullptr;
  // How many file transfers may run at once (1: one after another). The
  // console, the log and the files installed are the same for any number.
  std::size_t downloads_in_flight = 1;
  // The key the checksum list must be signed with; empty: lists are not
  // signed-checked.
  ListSigningKey trusted_key;
};

#endif  // STARTER_UPDATE_UPDATE_SETTINGS_H_
