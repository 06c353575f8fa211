// The update server's platform directory.
#include "engine_starter/application.h"

namespace {
// The platform directory of this build under the update server's base URL:
// the 32-bit Linux dedicated-server demo, whatever the host's word size.
constexpr char kPlatformDirectory[] = "linux32-dedicated-demo/";
}  // namespace

std::string CApplication::getUpdatePath() {
  return defaults.updateURL + kPlatformDirectory;
}
