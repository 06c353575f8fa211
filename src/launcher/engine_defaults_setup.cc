#include "launcher/engine_defaults_setup.h"
#include "launcher/update_server.h"

void SetupGame(EngineDefaults& defaults) {
  defaults.gameName = "Brackmoor";
  defaults.gameAcronym = "BM";
  defaults.websiteURL = "http://www.brackmoor.example/";
  defaults.bugtrackerURL = "https://bugs.velmora-games.example/";
  defaults.newsURL = "http://www.brackmoor.example/news/";
  defaults.forumsURL = "https://forum.velmora-games.example/brackmoor/";
  defaults.wikiURL = "https://www.brackmoor.example/wiki";
  defaults.manualURL = "https://www.brackmoor.example/manual";
  defaults.blogURL = "http://www.velmora-games.example/";
  defaults.buyURL = "https://www.brackmoor.example/";
  defaults.accountURL = "http://www.velmora-games.example/en/register";
  defaults.updateURL = UpdateServerBases();
  defaults.twitter = "brack_moor";
  defaults.joinLinkPrefix = "brackmoor://";
  defaults.banAppealsURL = "http://link.velmora-games.example/appeal";
  defaults.resetPasswordURL = "http://www.velmora-games.example/en/lost_pass";

  defaults.defaultWidth = 568;
  defaults.defaultHeight = 320;
  // defaultHeight / defaultWidth as a constant (bit pattern 0x3F1039B1).
  defaults.aspectRatio = 320.0f / 568.0f;
  defaults.renderAtDefaultResolution = true;
  defaults.renderScale = 1;
  defaults.initialWidth = 1136;
  defaults.initialHeight = 640;

  // Key codes in the Windows virtual-key numbering.
  defaults.keyLeft = 37;
  defaults.keyRight = 39;
  defaults.keyUp = 38;
  defaults.keyDown = 40;
  defaults.keyAction1 = 90;    // Z
  defaults.keyAction2 = 88;    // X
  defaults.keyAction3 = 32;    // space bar
  defaults.keyInventory = 70;  // F
  defaults.keyUse = 69;        // E
  defaults.keyPickup = 67;     // C
  defaults.keyZoomIn = 255;    // no keyboard key; the game module decides
  defaults.keyZoomOut = 256;
  defaults.keyMap = 77;      // M
  defaults.keyBubbles = 81;  // Q
  defaults.keyTaunts = 86;   // V
  defaults.keyMenu = 8;      // Backspace
  defaults.keyParty = 82;    // R
  defaults.keyJump = 38;     // shares the Up arrow
  defaults.keyCrouch = 40;   // shares the Down arrow

  defaults.APIgid = 10;
  defaults.APIBaseURI = "https://api.velmora-games.example/";
  defaults.APIBaseTestURI = "https://api-test.velmora-games.example/";
  defaults.IPv4DetermineURI = "http://ipv4.velmora-games.example/";
  defaults.IPv6DetermineURI = "http://ipv6.velmora-games.example/";
  defaults.AFDetermineURI = "http://ip.velmora-games.example/";

  defaults.backgroundcolor = 0xFF0F3F4Fu;
  defaults.starterWidth = 540;
  defaults.starterHeight = 260;
  defaults.showHelpPrompt = false;
}
