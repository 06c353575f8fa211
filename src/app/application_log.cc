#include "app/application_log.h"

namespace {
std::unique_ptr<CAppLog>& HeldLog() {
  static std::unique_ptr<CAppLog> log;
  return log;
}
}  // namespace

CAppLog* OpenApplicationLog(const char* path) {
  std::unique_ptr<CAppLog>& held = HeldLog();
  held.reset();
  held = std::make_unique<CAppLog>(path, true);
  return held.get();
}

std::unique_ptr<CAppLog> TakeApplicationLog() { return std::move(HeldLog()); }
