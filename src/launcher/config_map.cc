#include "launcher/config_map.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "engine/app_log.h"
#include "engine/atomic_file.h"

namespace {

constexpr char kHeaderLine[] =
    "# Config file for Engine Starter (default keys here are only for first "
    "game run)\n";

void LogSaveFailure(const std::string& name, const char* step, int error) {
  LogLine("Could not save config file %s (%s): %s", name.c_str(), step,
          std::strerror(error));
}

// Creates or truncates `path` and writes `text` into it; failures are logged
// under `name`.
bool SaveInPlace(const std::string& name, const std::string& path,
                 const std::string& text) {
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(path.c_str(), "w"),
                                           &std::fclose);
  if (out == nullptr) {
    LogSaveFailure(name, "create", errno);
    return false;
  }
  if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() ||
      std::fclose(out.release()) != 0) {
    LogSaveFailure(name, "write", errno);
    return false;
  }
  return true;
}

}  // namespace

bool SignedByteLess::operator()(const std::string& a,
                                const std::string& b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(), [](char ca, char cb) {
        return static_cast<signed char>(ca) < static_cast<signed char>(cb);
      });
}

std::int32_t CConfigMap::getConfigAsInt(const stringc& name) const {
  const std::string text = getConfig(name);
  if (text.find('x') != std::string::npos) {
    // By stream extraction: 0 when no number can be read or it does not fit.
    std::istringstream in(text.size() < 3 ? std::string() : text.substr(2));
    std::uint32_t number = 0;
    if (!(in >> std::hex >> number)) number = 0;
    return static_cast<std::int32_t>(number);
  }
  // As "%d" reads it (white space, optional sign, digits), saturating.
  return static_cast<std::int32_t>(std::clamp<long>(
      std::strtol(text.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
}

bool CConfigMap::SaveToFile(const stringc& name) const {
  std::string text = kHeaderLine;
  for (const auto& [key, value] : Map) text += key + "=" + value + "\n";
  // A file this process may not write stays as it is, as it would for an
  // open that creates or truncates it.
  if (::access(name.c_str(), F_OK) == 0 && ::access(name.c_str(), W_OK) != 0) {
    LogSaveFailure(name, "create", errno);
    return false;
  }
  // Replacing the file keeps what rewriting it in place kept: its permission
  // bits, and a symbolic link with the file it leads to.
  AtomicFile file(name, LinkAtDestination::kFollow);
  // Where the file may be written but no new file can take its place, it is
  // rewritten in place.
  if (!file.ok()) {
    if (file.replacement_refused()) return SaveInPlace(name, file.path(), text);
    LogSaveFailure(name, "create", file.error());
    return false;
  }
  if (!file.Write(text.data(), text.size()) || !file.Flush()) {
    LogSaveFailure(name, "write", errno);
    return false;
  }
  if (!file.Commit()) {
    if (file.replacement_refused()) return SaveInPlace(name, file.path(), text);
    LogSaveFailure(name, file.committed() ? "sync" : "rename", file.error());
    return false;
  }
  return true;
}
