#include "launcher/config_reader.h"

#include <cstdio>
#include <memory>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\n' || c == '\r' || c == '\0'; }

}  // namespace

bool CConfigReader::loadFile(const char* filename) {
  Text.clear();
  // A plain stream, not a FileLock: the reader logs nothing itself.
  std::unique_ptr<FILE, int (*)(FILE*)> file(
      filename != nullptr ? std::fopen(filename, "rb") : nullptr, std::fclose);
  if (file) {
    char block[16384];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) {
      Text.append(block, got);
    }
    // A read error (a directory, for instance) counts as unreadable.
    if (std::ferror(file.get())) Text.clear();
  }
  TextPtr = Text.c_str();
  return !Text.empty();
}

bool CConfigReader::nextConfig() {
  ConfigName.clear();
  ConfigValue.clear();
  const char*& p = TextPtr;

  // Separators and comments between entries.
  for (;;) {
    if (*p == '\n' || *p == '\r' || IsBlank(*p)) {
      ++p;
    } else if (*p == '#') {
      while (!IsLineEnd(*p)) ++p;
      if (*p == '\n') ++p;
    } else {
      break;
    }
  }
  if (*p == '\0') return false;

  // The name runs to a blank, a line end or "=".
  while (!IsBlank(*p) && !IsLineEnd(*p) && *p != '=')
    ConfigName.push_back(*p++);
  // Anything between the name and "=" is dropped.
  while (!IsLineEnd(*p) && *p != '=') ++p;
  if (IsLineEnd(*p)) return true;

  // The value: after "=" and leading blanks, up to a line end or "#", with
  // trailing blanks removed and inner blanks kept.
  ++p;
  while (IsBlank(*p)) ++p;
  while (!IsLineEnd(*p) && *p != '#') {
    if (!IsBlank(*p)) {
      ConfigValue.push_back(*p++);
      continue;
    }
    const char* run = p;
    while (IsBlank(*p)) ++p;
    if (IsLineEnd(*p) || *p == '#') break;
    ConfigValue.append(run, p);
  }
  return true;
}
