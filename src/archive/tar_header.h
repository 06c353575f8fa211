// The 512-byte tar header block: field layout, numbers, checksum and names.
#ifndef STARTER_ARCHIVE_TAR_HEADER_H_
#define STARTER_ARCHIVE_TAR_HEADER_H_

#include <cstddef>

// Size of every tar block, header or data.
constexpr std::size_t kTarBlockSize = 512;
// Size of the entry name buffer `nbuf`, terminator included. An entry name
// (prefix, "/" and name) always fits; a full output path may not.
constexpr std::size_t kNameBufferSize = 256;

// Byte offsets and sizes of the header fields that the extractor reads.
struct TarField {
  std::size_t offset;
  std::size_t size;
};
inline constexpr TarField kTarName{0, 100};
inline constexpr TarField kTarMode{100, 8};
inline constexpr TarField kTarSize{124, 12};
inline constexpr TarField kTarMtime{136, 12};
inline constexpr TarField kTarChecksum{148, 8};
inline constexpr TarField kTarType{156, 1};
inline constexpr TarField kTarLinkTo{157, 100};
inline constexpr TarField kTarPrefix{345, 155};

// Reads the `size` bytes at `field` as an octal number: every byte "0" to "7"
// is taken in order, every other byte is skipped. No digits reads as 0.
long readOctal(const unsigned char* field, std::size_t size);

// Reads header field `f` of block `blk` by the octal rule.
inline long readOctalField(const unsigned char* blk, TarField f) {
  return readOctal(blk + f.offset, f.size);
}

// The header checksum of the 512-byte block `tblk`: the sum of all its bytes
// with the checksum field counted as eight spaces, bytes taken as unsigned
// (`sunny` false) or as signed values (`sunny` true).
long checksum(const unsigned char* tblk, bool sunny);

// True when `blk` may be a header: byte 99 (the last of the name) is NUL and
// the first byte of the size field is a space or a decimal digit.
bool isValidHeader(const unsigned char* blk);

// True when the stored checksum matches the unsigned or the signed sum.
bool checksumMatches(const unsigned char* blk);

// Writes the entry name of header `blk` into `nbuf` (kNameBufferSize bytes,
// NUL-terminated): prefix + "/" + name when the prefix is not empty, else the
// name. Prefix and name are read up to their NUL or field end.
void buildEntryName(const unsigned char* blk, char* nbuf);

// Normalises `name` in place: backslashes become "/", a "/" at the start or
// after another "/" is dropped, an empty result becomes "/". Returns true when
// the name began with "/" or a backslash.
bool normaliseName(char* name);

#endif  // STARTER_ARCHIVE_TAR_HEADER_H_
