#include "launcher/update_server.h"

#include <cstdlib>

#include "engine_starter/log.h"
#include "launcher/compiled_settings.h"

namespace {

// Overrides the built-in address for one run; meant for staging servers and
// for the end-to-end tests, which serve on a free port.
constexpr char kUpdateUrlVariable[] = "STARTER_UPDATE_URL";

void Log(const char* format, const std::string& url) {
  if (CAppLog* log = Singleton<CAppLog>::GetSingleton()) {
    log->Write(format, kUpdateUrlVariable, url.c_str());
  }
}

bool IsHttpUrlEndingInSlash(const std::string& url) {
  const bool has_scheme =
      url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  return has_scheme && url.back() == '/';
}

}  // namespace

std::string UpdateServerBase() {
  const char* value = std::getenv(kUpdateUrlVariable);
  if (value == nullptr || *value == '\0') return std::string(CompiledUpdateUrl());
  const std::string url = value;
  if (!IsHttpUrlEndingInSlash(url)) {
    Log("%s ignored (not an http URL ending in /): %s\n", url);
    return std::string(CompiledUpdateUrl());
  }
  Log("Update server from %s: %s\n", url);
  return url;
}
