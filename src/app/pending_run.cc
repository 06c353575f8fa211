// TEMPORARY: placeholders so that the application object links while the
// engine utilities it needs land. Replaced by application_run.cc,
// file_lookup.cc, module_loader.cc and download_service.cc.
#include "engine_starter/application.h"

void CApplication::Run(int, char**) {}
bool CApplication::DownloadFile(const char*, const char*, const char*, int) {
  return false;
}
bool CApplication::LoadGameDLL(const char*, int, char**) { return false; }
String CApplication::useFile(const char* filename) {
  return filename != nullptr ? filename : "";
}
String CApplication::getDirectoryFromArgs(int, char**) { return String(); }
int CApplication::ParseCmdLine(int, char**) { return 0; }
String CApplication::getAppDirFile(const char* filename) {
  return appDir + (filename != nullptr ? filename : "");
}
void CApplication::WritePID() {}
