#include "engine/free_space.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace {

std::uint64_t RoomLeft(const struct statvfs& info) {
  const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  const std::uint64_t size = std::uint64_t{info.f_blocks} * unit;
  const std::uint64_t available = std::uint64_t{info.f_bavail} * unit;
  const std::uint64_t kept =
      std::min(size / 100 * kKeptFreePercent, kMostKeptFreeBytes);
  return available > kept ? available - kept : 0;
}

}  // namespace

std::uint64_t RoomLeftOn(int fd) {
  struct statvfs info;
  return ::fstatvfs(fd, &info) == 0 ? RoomLeft(info) : kNoRoomBound;
}
