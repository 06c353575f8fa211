// What the program that starts an update run hands to it.
#ifndef STARTER_UPDATE_UPDATE_SETTINGS_H_
#define STARTER_UPDATE_UPDATE_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "http/speed_floor.h"
#include "update/list_signature.h"

class ExclusiveLock;

// The values an update run takes from outside the update code. A value left
// unset is the one the starter's own update run uses; setting it overrides
// that for this run only.
struct UpdateSettings {
  // The server directory of this platform's release, ending in "/", the
  // only one the run tries. Unset: the application object's
  // getUpdatePaths() (its mirrors, in order), or none when no application
  // object exists. None (or set empty): there is nothing to fetch; the run
  // logs "No update path" and ends as when the list cannot be fetched.
  std::optional<std::string> update_path;
  // Where the run records the paths and hashes of the downloaded list. Null:
  // the application object's standardFiles, or the updater's own map when no
  // application object exists, whichever holds when the list is read.
  std::map<std::string, std::string>* standard_files = nullptr;
  // How many file transfers may run at once (1: one after another). Unset:
  // DownloadsInFlight(). The console, the log and the files installed are
  // the same for any number.
  std::optional<std::size_t> downloads_in_flight;
  // The key the checksum list must be signed with. Unset: the key compiled
  // into the program. An empty key: lists are not signature-checked.
  std::optional<ListSigningKey> trusted_key;
  // True: the key check is taken as differing whatever the keys, so every
  // listed file is hashed and compared, and each that is missing, not a
  // regular file or differs is fetched and installed (a repair). False: the
  // starter's key check.
  bool keys_taken_as_differing = false;
  // The game directory's update lock when the creator of the run holds it
  // already (see LockGameDirectory), so that the run and what the creator
  // does around it take one turn. Null: the run takes the lock itself.
  const ExclusiveLock* held_lock = nullptr;
  // The time a release statement's expiry is judged by, in seconds since
  // 1970. Unset: the system clock at the start of the run.
  std::optional<std::int64_t> now;
  // Whether this run may install a release whose statement has expired.
  // Unset: only when the environment variable STARTER_ALLOW_EXPIRED is "1".
  std::optional<bool> allow_expired;
  // The speed floor of file requests to a mirror that has another after it
  // (see CAutoUpdate). Unset: kMirrorSpeedFloor.
  std::optional<SpeedFloor> mirror_speed_floor;
};

// The floor of the file requests to a mirror that has another after it:
// 1 KiB/s over 30 s, a small fraction of any link a game server
// updates over, and long enough for a server or cache to recover from a
// stall.
inline constexpr SpeedFloor kMirrorSpeedFloor{1024, std::chrono::seconds(30)};

// The settings of one run with every value decided.
struct EffectiveUpdateSettings {
  // The server directories to try, in order. Empty: no update path.
  std::vector<std::string> update_paths;
  // Null: the application object's standardFiles, or the updater's own map,
  // chosen when the list is read.
  std::map<std::string, std::string>* standard_files = nullptr;
  // 1: one after another.
  std::size_t downloads_in_flight = 1;
  // Empty: lists are not signature-checked.
  ListSigningKey trusted_key;
  bool keys_taken_as_differing = false;
  const ExclusiveLock* held_lock = nullptr;
  std::int64_t now = 0;
  bool allow_expired = false;
  SpeedFloor mirror_speed_floor = kMirrorSpeedFloor;
};

// The environment variable that lets one run install a release whose
// statement has expired, when it is "1".
inline constexpr char kAllowExpiredVariable[] = "STARTER_ALLOW_EXPIRED";

// `given` with every unset value replaced by the one the starter uses (see
// UpdateSettings). Reads the application object when one exists; logs only
// what DownloadsInFlight() logs, when that value is unset, and, when the
// expiry setting is unset, a value of STARTER_ALLOW_EXPIRED other than "1"
// as ignored.
EffectiveUpdateSettings ResolveUpdateSettings(UpdateSettings given);

#endif  // STARTER_UPDATE_UPDATE_SETTINGS_H_
