// The values an update run takes when its creator leaves them unset: those
// of the starter's own update run.
#include "update/update_settings.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "engine/app_log.h"

#include "engine_starter/application.h"
#include "launcher/downloads_in_flight.h"
#include "launcher/compiled_settings.h"

EffectiveUpdateSettings ResolveUpdateSettings(UpdateSettings given) {
  CApplication* app = Singleton<CApplication>::GetSingleton();
  EffectiveUpdateSettings settings;
  if (given.update_path.has_value()) {
    if (!given.update_path->empty()) {
      settings.update_paths.push_back(std::move(*given.update_path));
    }
  } else if (app != nullptr) {
    settings.update_paths = app->getUpdatePaths();
  }
  settings.standard_files = given.standard_files;
  settings.downloads_in_flight = given.downloads_in_flight.has_value()
                                     ? *given.downloads_in_flight
                                     : DownloadsInFlight();
  settings.trusted_key =
      given.trusted_key.has_value()
          ? std::move(*given.trusted_key)
          : ListSigningKey{std::string(CompiledUpdatePublicKey())};
  settings.keys_taken_as_differing = given.keys_taken_as_differing;
  settings.held_lock = given.held_lock;
  settings.now = given.now.has_value()
                     ? *given.now
                     : static_cast<std::int64_t>(std::time(nullptr));
  settings.mirror_speed_floor =
      given.mirror_speed_floor.value_or(kMirrorSpeedFloor);
  if (given.allow_expired.has_value()) {
    settings.allow_expired = *given.allow_expired;
  } else if (const char* allow = std::getenv(kAllowExpiredVariable);
             allow != nullptr && *allow != '\0') {
    settings.allow_expired = std::string(allow) == "1";
    if (!settings.allow_expired) {
      LogLine("%s=%s ignored: only 1 allows an expired release statement\n",
              kAllowExpiredVariable, allow);
    }
  }
  return settings;
}
