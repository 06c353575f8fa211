#include "launcher/config_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "engine/file_lock.h"
#include "engine_starter/log.h"

namespace {

constexpr char kHeaderLine[] =
    "# Config file for Engine Starter (default keys here are only for first "
    "game run)\n";

// Reads a leading decimal number the way "%d" does (white space, optional
// sign, digits), saturating at the 32-bit limits. No digits give 0.
std::int32_t ParseDecimal(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMagnitudeLimit = kMax + 1;  // |INT32_MIN|
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kMagnitudeLimit) magnitude = kMagnitudeLimit;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(magnitude > kMax ? kMax : magnitude);
}

// Reads an unsigned 32-bit hexadecimal number by stream extraction; 0 when
// none can be read or it does not fit.
std::int32_t ParseHexadecimal(const std::string& text) {
  std::istringstream in(text);
  std::uint32_t number = 0;
  if (!(in >> std::hex >> number)) number = 0;
  return static_cast<std::int32_t>(number);
}

void LogSaveFailure(const std::string& name, const char* step, int error) {
  if (!Singleton<CAppLog>::IsValid()) return;
  Singleton<CAppLog>::GetSingleton()->Write(
      "Could not save config file %s (%s): %s", name.c_str(), step,
      std::strerror(error));
}

// A temporary file beside a target, removed on destruction unless it was
// renamed over the target by Commit.
class PendingFile {
 public:
  explicit PendingFile(const std::string& target)
      : target_(target), temp_(target + ".XXXXXX") {}
  ~PendingFile() {
    if (!committed_ && created_) ::unlink(temp_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Creates the temporary file with the usual permissions and returns its
  // stream, or null with errno set.
  FILE* Create() {
    std::vector<char> name(temp_.begin(), temp_.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return nullptr;
    created_ = true;
    temp_ = name.data();
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    FILE* stream = ::fdopen(fd, "w");
    if (stream == nullptr) {
      int error = errno;
      ::close(fd);
      errno = error;
    }
    return stream;
  }
  // Renames the temporary file over the target; false with errno set.
  bool Commit() {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string target_;
  std::string temp_;
  bool created_ = false;
  bool committed_ = false;
};

}  // namespace

bool SignedByteLess::operator()(const std::string& a,
                                const std::string& b) const {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto ca = static_cast<signed char>(a[i]);
    const auto cb = static_cast<signed char>(b[i]);
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

void CConfigMap::setConfig(const stringc& name, const stringc& value) {
  Map[name] = value;
}

stringc CConfigMap::getConfig(const stringc& name) const {
  auto it = Map.find(name);
  return it == Map.end() ? stringc() : it->second;
}

bool CConfigMap::hasConfig(const stringc& name) const {
  return Map.find(name) != Map.end();
}

std::int32_t CConfigMap::getConfigAsInt(const stringc& name) const {
  const std::string text = getConfig(name);
  if (text.empty()) return 0;
  if (text.find('x') != std::string::npos) {
    return ParseHexadecimal(text.size() < 3 ? std::string() : text.substr(2));
  }
  return ParseDecimal(text);
}

bool CConfigMap::SaveToFile(const stringc& name) const {
  PendingFile pending(name);
  FILE* stream = pending.Create();
  if (stream == nullptr) {
    LogSaveFailure(name, "create", errno);
    return false;
  }
  FileLock file(stream);
  std::fputs(kHeaderLine, file.get());
  for (const auto& [key, value] : Map) {
    std::fwrite(key.data(), 1, key.size(), file.get());
    std::fputc('=', file.get());
    std::fwrite(value.data(), 1, value.size(), file.get());
    std::fputc('\n', file.get());
  }
  const bool written = std::ferror(file.get()) == 0;
  const int write_error = errno;
  if (!file.close() || !written) {
    LogSaveFailure(name, "write", written ? errno : write_error);
    return false;
  }
  if (!pending.Commit()) {
    LogSaveFailure(name, "rename", errno);
    return false;
  }
  return true;
}
