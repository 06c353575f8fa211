// Ordered name/value settings with integer access and a save operation.
#ifndef STARTER_LAUNCHER_CONFIG_MAP_H_
#define STARTER_LAUNCHER_CONFIG_MAP_H_

#include <cstdint>
#include <map>
#include <string>

#include "engine_starter/irrlicht_types.h"

// Orders names byte by byte with each byte taken as a signed 8-bit number;
// a prefix sorts before the longer name.
struct SignedByteLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// An ordered map of settings. Names are unique and case-sensitive; empty
// names and values are allowed.
class CConfigMap {
 public:
  // Stores the pair, replacing the value of an existing name.
  void setConfig(const stringc& name, const stringc& value) {
    Map[name] = value;
  }
  // The value stored for `name`, or the empty string.
  stringc getConfig(const stringc& name) const {
    auto it = Map.find(name);
    return it == Map.end() ? stringc() : it->second;
  }
  // True when `name` has an entry.
  bool hasConfig(const stringc& name) const { return Map.contains(name); }
  // The value as a signed 32-bit number. Text holding a lower-case "x" is
  // read as hexadecimal after dropping its first two characters; other text
  // as a leading decimal number, saturating at the 32-bit limits. Missing
  // names and text without a number give 0.
  std::int32_t getConfigAsInt(const stringc& name) const;
  // Writes the header line and every entry ("name=value") in name order to
  // the file `name`, replacing it whole and durably. A symbolic link at
  // `name` stays and the file it leads to is replaced; the file keeps its
  // permission bits. Returns false, logging one line ("Could not save config
  // file ...") and leaving the old file as it was, when the new one cannot be
  // created or written, and when `name` exists but this process may not
  // write it. Where this process may write the file but cannot put a new
  // one in its place (a directory it may not write, or a file of another
  // user in a shared directory with the sticky bit), the file is rewritten
  // in place.
  bool SaveToFile(const stringc& name) const;

  // The entries in name order.
  const auto& entries() const { return Map; }

 private:
  std::map<std::string, std::string, SignedByteLess> Map;
};

#endif  // STARTER_LAUNCHER_CONFIG_MAP_H_
