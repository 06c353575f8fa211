#include "launcher/update_server.h"

#include <cstdlib>

#include "engine/app_log.h"
#include "launcher/compiled_settings.h"

namespace {

// Overrides the built-in address for one run; meant for staging servers and
// for the end-to-end tests, which serve on a free port.
constexpr char kUpdateUrlVariable[] = "STARTER_UPDATE_URL";

}  // namespace

std::string UpdateServerBase() {
  const char* value = std::getenv(kUpdateUrlVariable);
  if (value == nullptr || *value == '\0') return std::string(CompiledUpdateUrl());
  const std::string url = value;
  const bool http = url.starts_with("http://") || url.starts_with("https://");
  if (!http || url.back() != '/') {
    LogLine("%s ignored (not an http URL ending in /): %s\n",
            kUpdateUrlVariable, url.c_str());
    return std::string(CompiledUpdateUrl());
  }
  LogLine("Update server from %s: %s\n", kUpdateUrlVariable, url.c_str());
  return url;
}
