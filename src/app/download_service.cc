// The download service the application offers to the game module.
#include "engine/app_log.h"
#include "engine_starter/application.h"
#include "http/curl_client.h"

namespace {
const char* TextOf(const char* text) { return text != nullptr ? text : ""; }
}  // namespace

bool CApplication::DownloadFile(const char* urldir, const char* filename,
                                const char* downloaddir, int timeout_secs) {
  LogLine("APP: downloading file %s/%s", TextOf(urldir), TextOf(filename));
  CURLcode result;
  {
    CCurl client;
    client.DownloadFile(TextOf(urldir), TextOf(filename), TextOf(downloaddir),
                        timeout_secs);
    result = client.result;
  }
  if (result != CURLE_OK) {
    LogLine("APP: error downloading file to %s (err %i)", TextOf(downloaddir),
            static_cast<int>(result));
    return false;
  }
  return true;
}
