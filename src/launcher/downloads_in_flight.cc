#include "launcher/downloads_in_flight.h"

#include <cstdlib>
#include <string>

#include "engine/app_log.h"
#include "launcher/compiled_settings.h"

namespace {

constexpr char kVariable[] = "STARTER_DOWNLOADS";
constexpr long kMost = 64;

}  // namespace

std::size_t DownloadsInFlight() {
  const char* value = std::getenv(kVariable);
  if (value == nullptr || *value == '\0') return CompiledDownloadsInFlight();
  char* end = nullptr;
  const long count = std::strtol(value, &end, 10);
  if (*end != '\0' || count < 1 || count > kMost) {
    LogLine("%s ignored (not a number from 1 to 64): %s\n", kVariable, value);
    return CompiledDownloadsInFlight();
  }
  LogLine("Downloads in flight from %s: %s\n", kVariable, value);
  return static_cast<std::size_t>(count);
}
