#include "launcher/key_slot.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "engine/scoped_fd.h"

// This program's own slot: defined by the configured settings of the build
// (compiled_settings.cc), which fill it. Declared volatile so that every
// read of it is made from the executable's bytes.
extern "C" const volatile unsigned char
    starter_update_key_slot[kKeySlotSize];

namespace {

// The marker, read from this program's own slot: its bytes appear nowhere
// else in the executable, so a search of another starter finds its slot
// alone.
std::array<char, kKeySlotMarkerSize> OwnMarker() {
  std::array<char, kKeySlotMarkerSize> marker;
  for (std::size_t i = 0; i < marker.size(); ++i) {
    marker[i] = static_cast<char>(starter_update_key_slot[i]);
  }
  return marker;
}

// Reads the whole file at `fd` into `bytes`; false with errno set.
bool ReadAll(int fd, std::vector<char>& bytes) {
  char block[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.insert(bytes.end(), block, block + got);
  }
}

constexpr char kPemStart[] = "-----BEGIN PUBLIC KEY-----";

}  // namespace

std::string_view OwnKeySlotText() {
  static const std::string text = [] {
    std::string read;
    for (std::size_t i = kKeySlotMarkerSize; i < kKeySlotSize; ++i) {
      const char c = static_cast<char>(starter_update_key_slot[i]);
      if (c == '\0') break;
      read.push_back(c);
    }
    return read;
  }();
  return text;
}

KeySlot ReadKeySlot(const std::string& path) {
  KeySlot slot;
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::vector<char> bytes;
  if (!fd.valid() || !ReadAll(fd.get(), bytes)) {
    slot.state = KeySlotState::kUnreadable;
    slot.error = errno;
    return slot;
  }
  const std::array<char, kKeySlotMarkerSize> marker = OwnMarker();
  const std::boyer_moore_horspool_searcher search(marker.begin(),
                                                  marker.end());
  const auto found = std::search(bytes.begin(), bytes.end(), search);
  if (found == bytes.end()) return slot;  // kNoSlot
  if (std::search(found + 1, bytes.end(), search) != bytes.end() ||
      bytes.end() - found < static_cast<std::ptrdiff_t>(kKeySlotSize)) {
    slot.state = KeySlotState::kDamaged;
    return slot;
  }
  const auto text_begin = found + kKeySlotMarkerSize;
  const auto text_end = text_begin + kKeySlotTextSize;
  const auto nul = std::find(text_begin, text_end, '\0');
  if (nul == text_end || std::any_of(nul, text_end, [](char c) {
        return c != '\0';
      })) {
    slot.state = KeySlotState::kDamaged;
    return slot;
  }
  slot.text_offset = static_cast<std::uint64_t>(text_begin - bytes.begin());
  slot.text.assign(text_begin, nul);
  if (slot.text.empty()) {
    slot.state = KeySlotState::kUnkeyed;
  } else if (slot.text.find(kPemStart) != std::string::npos) {
    slot.state = KeySlotState::kKeyed;
  } else {
    slot.state = KeySlotState::kDamaged;
    slot.text.clear();
  }
  return slot;
}

bool FillKeySlot(const std::string& path, std::string_view text) {
  if (text.size() >= kKeySlotTextSize) {
    errno = E2BIG;
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return false;
  }
  const KeySlot slot = ReadKeySlot(path);
  if (slot.state == KeySlotState::kUnreadable) {
    errno = slot.error;
    return false;
  }
  if (slot.state != KeySlotState::kKeyed &&
      slot.state != KeySlotState::kUnkeyed) {
    errno = EINVAL;
    return false;
  }
  std::array<char, kKeySlotTextSize> area{};
  std::copy(text.begin(), text.end(), area.begin());
  ScopedFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return false;
  std::size_t written = 0;
  while (written < area.size()) {
    const ssize_t put =
        ::pwrite(fd.get(), area.data() + written, area.size() - written,
                 static_cast<off_t>(slot.text_offset + written));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  return ::fsync(fd.get()) == 0;
}
