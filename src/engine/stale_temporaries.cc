#include "engine/stale_temporaries.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "engine/atomic_file.h"

namespace {

constexpr std::string_view kTempSuffix = AtomicFile::kTempSuffix;
constexpr std::size_t kRandomLength = AtomicFile::kRandomLength;

// The process id in a temporary file name made by AtomicFile
// ("<name>.<pid>.<XXXXXX>.tmp"), or 0 when `name` is not such a name.
pid_t OwnerOfTemporary(std::string_view name) {
  if (!name.ends_with(kTempSuffix)) return 0;
  name.remove_suffix(kTempSuffix.size());
  if (name.size() < kRandomLength + 2) return 0;
  for (char c : name.substr(name.size() - kRandomLength)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return 0;
  }
  name.remove_suffix(kRandomLength);
  if (name.back() != '.') return 0;
  name.remove_suffix(1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return 0;
  const std::string_view digits = name.substr(dot + 1);
  pid_t pid = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size()) return 0;
  return pid > 0 ? pid : 0;
}

}  // namespace

void SweepStaleTemporaries(const std::string& dir) {
  // Directories swept already; forgotten now and then, so that a process
  // writing into ever new directories does not grow (sweeping twice is
  // harmless).
  static constexpr std::size_t kMostRemembered = 4096;
  static std::mutex mutex;
  static std::set<std::string> swept;
  std::lock_guard<std::mutex> lock(mutex);
  if (swept.size() >= kMostRemembered) swept.clear();
  if (!swept.insert(dir).second) return;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(
      ::opendir(dir.empty() ? "." : dir.c_str()), &::closedir);
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing.get())) {
    const pid_t owner = OwnerOfTemporary(entry->d_name);
    if (owner != 0 && owner != ::getpid() && ::kill(owner, 0) != 0 &&
        errno == ESRCH) {
      ::unlinkat(::dirfd(listing.get()), entry->d_name, 0);
    }
  }
}
