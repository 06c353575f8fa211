// The launcher: arguments, engine defaults, start-up configuration and the
// update step.
#ifndef STARTER_APP_STARTER_H_
#define STARTER_APP_STARTER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "engine_starter/irrlicht_types.h"
#include "launcher/starter_shared_state.h"

class CAutoUpdate;
class CConfigMap;

// Window size of the start-up configuration.
struct StarterScreenSize {
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
};

class CStarter;

// CStarter::starter: the live launcher with its own type, or null; a view of
// StarterSharedState::starter, the one pointer the updater and the HTTP client
// read. Only a CStarter may be published while it is read through this view.
class LiveStarterPointer {
 public:
  LiveStarterPointer() = default;
  LiveStarterPointer(const LiveStarterPointer&) = delete;
  LiveStarterPointer& operator=(const LiveStarterPointer&) = delete;

  // Publishes `starter` (null: none).
  LiveStarterPointer& operator=(CStarter* starter);
  // The published launcher, or null.
  operator CStarter*() const;
  CStarter* operator->() const { return *this; }
};

// Drives one launch: construction scans the arguments, fills the engine
// defaults of the application object and reads "startup_config.cfg";
// StartDevice moves the status to 0; Autoupdate runs the updater; destruction
// writes "startup_config.cfg" back. Requires the application object to exist.
class CStarter : public irr::IEventReceiver, public StarterSharedState {
 public:
  // Set by RunStarterPhase around the launch phase.
  static inline LiveStarterPointer starter;

  CStarter(int argc, char** argv);
  ~CStarter() override;

  // Returns false and changes nothing when the status is above 0; otherwise
  // sets the status to 0 and returns true.
  bool StartDevice() {
    if (startup_error > 0) return false;
    if (nolauncher) startup_error = 0;
    return true;
  }
  // The update step: runs the updater unless switched off, and turns its
  // outcome into the status (10 and the application's restart request when an
  // executable was replaced). Restarts after updates that follow one another
  // are counted through the environment; after three in a row a fourth is
  // not requested: one log line, and the launch goes on.
  void Autoupdate();
  // Reads "startup_config.cfg", or takes the first-run defaults when it is
  // missing or empty. Writes no file.
  void LoadConfig();

  // Hooks of a graphical launcher; this one has no window.
  void Update() {}
  void SetupGUI() {}
  void DrawDownloadProgress() {}
  void RegisterJoinLink() {}
  int ReadNews() { return 0; }
  bool OnEvent(const irr::SEvent& /*event*/) override { return false; }
  // Progress callback contract for a transfer: stores NowDownloaded /
  // TotalToDownload (0 when the total is not above 0) in download_percent and
  // returns 1 (stop) once running is false, else 0. Not installed.
  int DownloadProgress(void* ptr, double TotalToDownload, double NowDownloaded,
                       double TotalToUpload, double NowUploaded);

  bool nolauncher = true;
  // -1 not started, 0 started, 10 restart needed after a major update.
  std::int32_t startup_error = -1;
  // The updater's lasterror after a failed update.
  std::string error_string;
  int argc;
  char** argv;
  std::unique_ptr<CAutoUpdate> autoupdate;
  std::unique_ptr<CConfigMap> cfg;
  StarterScreenSize config_screen;
  bool config_fullscreen = false;
  float download_percent = 0.0f;
};

inline LiveStarterPointer& LiveStarterPointer::operator=(CStarter* starter) {
  StarterSharedState::starter = starter;
  return *this;
}

inline LiveStarterPointer::operator CStarter*() const {
  return static_cast<CStarter*>(StarterSharedState::starter);
}

// The launcher phase of the application's run: creates the starter with the
// arguments, publishes it in CStarter::starter, starts it and runs its update
// step. Returns the starter's status: 0 to go on with the game module, any
// other value to stop the launch (10: an update needs a restart, with the
// application's restartstring set). Unless `only_update` is set, the starter
// is then stopped, destroyed (writing "startup_config.cfg" back) and
// unpublished; in update-only mode it is left alive and published.
int RunStarterPhase(int argc, char** argv, bool only_update);

#endif  // STARTER_APP_STARTER_H_
