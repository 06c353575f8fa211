#include "launcher/update_server.h"

#include <algorithm>
#include <cstdlib>

#include "engine/app_log.h"
#include "launcher/compiled_settings.h"

namespace {

// Overrides the built-in addresses for one run; meant for staging servers,
// for mirrors and for the end-to-end tests, which serve on a free port.
constexpr char kUpdateUrlVariable[] = "STARTER_UPDATE_URL";

// Why `url` cannot be an update server's base address, or null when it can.
const char* WhyNotAServerBase(const std::string& url) {
  if (std::any_of(url.begin(), url.end(),
                  [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
    return "a control character in it";
  }
  const std::size_t scheme_end = url.starts_with("http://")    ? 7
                                 : url.starts_with("https://") ? 8
                                                               : 0;
  if (scheme_end == 0 || url.back() != '/') {
    return "not an http URL ending in /";
  }
  if (url.size() == scheme_end || url[scheme_end] == '/' ||
      url[scheme_end] == ':' || url[scheme_end] == '@') {
    return "no host name in it";
  }
  return nullptr;
}

// The addresses of this run, and the line that says where they came from
// (empty for the built-in ones).
struct ServerChoice {
  std::string bases;
  std::string line;
  // The variable was set but not used.
  bool ignored = false;
};

ServerChoice ChooseServers() {
  const char* value = std::getenv(kUpdateUrlVariable);
  if (value == nullptr || *value == '\0') {
    return {std::string(CompiledUpdateUrl()), "", false};
  }
  const std::vector<std::string> entries = UpdateServerEntries(value);
  std::string bases;
  for (const std::string& url : entries) {
    if (const char* why = WhyNotAServerBase(url)) {
      // One entry names itself only among several.
      const std::string reason = entries.size() == 1 ? why : url + ": " + why;
      return {std::string(CompiledUpdateUrl()),
              std::string(kUpdateUrlVariable) + " ignored (" + reason +
                  "): " + value,
              true};
    }
    bases += (bases.empty() ? "" : " ") + url;
  }
  const std::string line =
      entries.size() == 1
          ? "Update server from " + std::string(kUpdateUrlVariable) + ": "
          : "Update servers from " + std::string(kUpdateUrlVariable) +
                ", tried in order: ";
  return {bases, line + bases, false};
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
  const ServerChoice choice = ChooseServers();
  if (!choice.line.empty()) LogLine("%s\n", choice.line.c_str());
  return choice.bases;
}

std::string IgnoredUpdateServerVariable() {
  const ServerChoice choice = ChooseServers();
  return choice.ignored ? choice.line : std::string();
}
