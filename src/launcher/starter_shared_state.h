// The part of the launcher that the updater and the HTTP client reach.
#ifndef STARTER_LAUNCHER_STARTER_SHARED_STATE_H_
#define STARTER_LAUNCHER_STARTER_SHARED_STATE_H_

#include <string>

#include "engine_starter/irrlicht_types.h"

// Flags and texts of the live launcher that other subsystems read or write
// without holding a reference to it. The launcher (CStarter) derives from it,
// so the live object is reached as CStarter::starter.
class StarterSharedState {
 public:
  // The live launcher, or null (before and after the launch phase, and while
  // the launcher is being constructed). Test it for null at every use.
  static inline StarterSharedState* starter = nullptr;

  // Shows a progress message; this launcher has no window and draws nothing.
  void DrawMessage(const wchar_t* /*message*/) {}

  // True when work may go on: running and not cancelled.
  bool MayContinue() const { return running && !cancel; }

  // The launch sequence is live; only ever goes from true to false.
  bool running = true;
  // A stop request; nothing in this program sets it.
  bool cancel = false;
  // The display device; always null here.
  irr::IrrlichtDevice* device = nullptr;
  // Name of the file the HTTP client is fetching, empty between transfers.
  std::string download_file;
};

// True when no launcher exists or the live one lets work go on.
inline bool StarterAllowsWork() {
  StarterSharedState* s = StarterSharedState::starter;
  return s == nullptr || s->MayContinue();
}

#endif  // STARTER_LAUNCHER_STARTER_SHARED_STATE_H_
