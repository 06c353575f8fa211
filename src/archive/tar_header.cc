// Field decoding for tar header blocks.
#include "archive/tar_header.h"

#include <cstring>

long readOctal(const unsigned char* field, std::size_t size) {
  long value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (field[i] >= '0' && field[i] <= '7')
      value = value * 8 + (field[i] - '0');
  }
  return value;
}

long checksum(const unsigned char* tblk, bool sunny) {
  long sum = 0;
  for (std::size_t i = 0; i < kTarBlockSize; ++i) {
    if (i >= kTarChecksum.offset &&
        i < kTarChecksum.offset + kTarChecksum.size) {
      sum += ' ';
    } else if (sunny) {
      sum += static_cast<signed char>(tblk[i]);
    } else {
      sum += tblk[i];
    }
  }
  return sum;
}

bool isValidHeader(const unsigned char* blk) {
  const unsigned char sizeStart = blk[kTarSize.offset];
  return blk[kTarName.size - 1] == '\0' &&
         (sizeStart == ' ' || (sizeStart >= '0' && sizeStart <= '9'));
}

bool checksumMatches(const unsigned char* blk) {
  const long stored = readOctalField(blk, kTarChecksum);
  return stored == checksum(blk, false) || stored == checksum(blk, true);
}

void buildEntryName(const unsigned char* blk, char* nbuf) {
  std::memset(nbuf, 0, kNameBufferSize);
  const char* prefix = reinterpret_cast<const char*>(blk + kTarPrefix.offset);
  const char* name = reinterpret_cast<const char*>(blk + kTarName.offset);
  const std::size_t nameLength = strnlen(name, kTarName.size);
  std::size_t used = 0;
  if (prefix[0] != '\0') {
    used = strnlen(prefix, kTarPrefix.size);
    std::memcpy(nbuf, prefix, used);
    nbuf[used++] = '/';
  }
  // At most 155 + 1 + 100 bytes; a valid header's name has at most 99, so
  // the result and its NUL always fit. Cut an invalid one rather than overrun.
  const std::size_t room = kNameBufferSize - 1 - used;
  std::memcpy(nbuf + used, name, nameLength < room ? nameLength : room);
}

bool normaliseName(char* name) {
  const bool absolute = name[0] == '/' || name[0] == '\\';
  std::size_t out = 0;
  for (std::size_t in = 0; name[in] != '\0'; ++in) {
    const char c = name[in] == '\\' ? '/' : name[in];
    if (c == '/' && (out == 0 || name[out - 1] == '/')) continue;
    name[out++] = c;
  }
  if (out == 0) name[out++] = '/';
  name[out] = '\0';
  return absolute;
}
