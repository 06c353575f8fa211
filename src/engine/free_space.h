// The room a download may take on a file system, so that the operator's
// other data (saves, databases, logs) always finds free space beside it.
#ifndef STARTER_ENGINE_FREE_SPACE_H_
#define STARTER_ENGINE_FREE_SPACE_H_

#include <cstdint>
#include <limits>

// What a download leaves free on its file system: kKeptFreePercent of the
// file system's size, but never more than kMostKeptFreeBytes (a large disk
// is not held to 5% of its size; a small one keeps room in proportion).
inline constexpr unsigned kKeptFreePercent = 5;
inline constexpr std::uint64_t kMostKeptFreeBytes = std::uint64_t{1} << 30;

// No bound: what RoomLeftOn gives when the file system cannot be asked.
inline constexpr std::uint64_t kNoRoomBound =
    std::numeric_limits<std::uint64_t>::max();

// The bytes a file may still grow by on the file system of the open file
// `fd` while the share above stays free: the space available to ordinary
// users (the space kept for the superuser never counts) less that share; 0
// when less than that share is free already. kNoRoomBound when the file
// system cannot be asked (fstatvfs fails).
std::uint64_t RoomLeftOn(int fd);

#endif  // STARTER_ENGINE_FREE_SPACE_H_
