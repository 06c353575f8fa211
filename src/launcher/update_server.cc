#include "launcher/update_server.h"

#include <algorithm>
#include <cstdlib>

#include "engine/app_log.h"
#include "launcher/compiled_settings.h"

namespace {

// Overrides the built-in addresses for one run; meant for staging servers,
// for mirrors and for the end-to-end tests, which serve on a free port.
constexpr char kUpdateUrlVariable[] = "STARTER_UPDATE_URL";

bool IsServerBase(const std::string& url) {
  const bool http = url.starts_with("http://") || url.starts_with("https://");
  return http && url.back() == '/';
}

}  // namespace

std::vector<std::string> UpdateServerEntries(std::string_view text) {
  constexpr std::string_view kBlanks = " \t";
  std::vector<std::string> entries;
  for (std::size_t at = text.find_first_not_of(kBlanks);
       at != std::string_view::npos; at = text.find_first_not_of(kBlanks, at)) {
    const std::size_t end =
        std::min(text.find_first_of(kBlanks, at), text.size());
    entries.emplace_back(text.substr(at, end - at));
    at = end;
  }
  if (entries.empty()) entries.emplace_back(text);
  return entries;
}

std::string UpdateServerBases() {
  const char* value = std::getenv(kUpdateUrlVariable);
  if (value == nullptr || *value == '\0') return std::string(CompiledUpdateUrl());
  const std::vector<std::string> entries = UpdateServerEntries(value);
  std::string bases;
  for (const std::string& url : entries) {
    if (!IsServerBase(url)) {
      LogLine("%s ignored (not an http URL ending in /): %s\n",
              kUpdateUrlVariable, value);
      return std::string(CompiledUpdateUrl());
    }
    bases += (bases.empty() ? "" : " ") + url;
  }
  if (entries.size() == 1) {
    LogLine("Update server from %s: %s\n", kUpdateUrlVariable, bases.c_str());
  } else {
    LogLine("Update servers from %s, tried in order: %s\n", kUpdateUrlVariable,
            bases.c_str());
  }
  return bases;
}
