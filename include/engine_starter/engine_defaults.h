// The game's fixed start-up settings.
#ifndef ENGINE_STARTER_ENGINE_DEFAULTS_H_
#define ENGINE_STARTER_ENGINE_DEFAULTS_H_

#include <cstdint>
#include <string>

// Names, web addresses, screen geometry, default key bindings and the
// starter's window look. Construction leaves the strings empty and the
// numbers zero; the starter fills every field once per launch.
struct EngineDefaults {
  std::string gameName;
  std::string gameAcronym;
  std::string websiteURL;
  std::string bugtrackerURL;
  std::string newsURL;
  std::string forumsURL;
  std::string wikiURL;
  std::string manualURL;
  std::string blogURL;
  std::string buyURL;
  std::string accountURL;
  // Base address of the update server; ends with "/".
  std::string updateURL;
  std::string twitter;
  std::string joinLinkPrefix;
  std::string banAppealsURL;
  std::string resetPasswordURL;
  std::int32_t defaultWidth = 0;
  std::int32_t defaultHeight = 0;
  float aspectRatio = 0.0f;
  bool renderAtDefaultResolution = false;
  std::int32_t renderScale = 0;
  // Window size of a first run.
  std::int32_t initialWidth = 0;
  std::int32_t initialHeight = 0;
  std::int32_t keyLeft = 0;
  std::int32_t keyRight = 0;
  std::int32_t keyUp = 0;
  std::int32_t keyDown = 0;
  std::int32_t keyAction1 = 0;
  std::int32_t keyAction2 = 0;
  std::int32_t keyAction3 = 0;
  std::int32_t keyInventory = 0;
  std::int32_t keyUse = 0;
  std::int32_t keyPickup = 0;
  std::int32_t keyZoomIn = 0;
  std::int32_t keyZoomOut = 0;
  std::int32_t keyMap = 0;
  std::int32_t keyBubbles = 0;
  std::int32_t keyTaunts = 0;
  std::int32_t keyMenu = 0;
  std::int32_t keyParty = 0;
  std::int32_t keyJump = 0;
  std::int32_t keyCrouch = 0;
  std::uint32_t APIgid = 0;
  std::string APIBaseURI;
  std::string APIBaseTestURI;
  std::string IPv4DetermineURI;
  std::string IPv6DetermineURI;
  std::string AFDetermineURI;
  std::uint32_t backgroundcolor = 0;
  std::int32_t starterWidth = 0;
  std::int32_t starterHeight = 0;
  bool showHelpPrompt = false;
};

#endif  // ENGINE_STARTER_ENGINE_DEFAULTS_H_
