// The application object: construction, the run sequence and the forwarding
// of shutdown and restart requests to the game module.
#include "engine_starter/application.h"

// Every field starts zero, false, null or empty through its in-class
// initialiser; the Singleton base registers the object.
CApplication::CApplication() = default;

// Releases the fields and clears the registration. Modules and the log are
// not touched: Run unloads the former, main destroys the latter.
CApplication::~CApplication() = default;

void CApplication::Shutdown() {
  if (game != nullptr) game->Shutdown();
}

void CApplication::Restart() {
  if (game != nullptr) game->Restart();
}

bool CApplication::ImportDLLPointers(ModuleImportExport ie) {
  game = ie.app;
  return true;
}

void CApplication::setBuildName(const char* /*name*/) {}

void CApplication::AddCrashRptFile(const char* /*filename*/) {}

void CApplication::SetReportDebugString(const char* /*text*/) {}
