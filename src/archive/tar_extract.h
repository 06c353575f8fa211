// Extraction of tar archives, plain or gzip-compressed, under a path prefix.
//
// One extraction runs at a time: the extractor keeps its state (prefix,
// current entry, open output file) process-wide, and `doarchive` resets it
// before each archive. Every message goes to the console. Nothing an archive
// names is written outside the extraction directory: names with ".." and
// links that lead out of it are refused, and no file is written through a
// symbolic link.
#ifndef STARTER_ARCHIVE_TAR_EXTRACT_H_
#define STARTER_ARCHIVE_TAR_EXTRACT_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// Closes a C stream; the deleter of OwnedFile.
struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) fclose(f);
  }
};
// An owned C stream, closed when the owner goes.
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

// What an extraction did beyond reading the archive to its end or not.
struct ExtractReport {
  // Entries that were refused, could not be created or written, or were cut
  // off by the end of the archive or by bad compressed data. Each has its
  // printed line (the archive's own line for the last two).
  int failedEntries = 0;
};

// Extracts the archive `filename` (plain tar or one gzip member) with
// `extractDir` as a plain path prefix: give a directory with its trailing
// "/"; the empty string extracts into the current directory. Returns 1 when
// the archive was read to its end (a last entry cut short is announced with
// "WARNING: Last file might be truncated!"), 0 when the archive cannot be
// opened (system error printed), uses another compression than deflate
// ("Unsupported compression type"), holds a bad header, or holds compressed
// data that cannot be decoded or fails its CRC-32 or length check ("<file>:
// bad compression data"). Either way, the entries that failed are counted
// in `report`, and the others are extracted.
//
// A regular file is written under a temporary name beside its path and
// installed under its path (replacing what was there, never writing into
// it) once its data is complete and the archive goes on past it: the next
// header, or the end of an archive that was read without fault. So a file
// that cannot be written, or that the archive or its compressed data breaks
// off in, is not installed, and the old file of that name stays. Files
// installed before a failure stay. Hard links whose targets come later are
// made after the last entry. Closes the archive and removes any temporary
// file left on every return.
int doarchive(const char* filename, std::string extractDir,
              ExtractReport& report);

// As above, for callers that need only the return value.
int doarchive(const char* filename, std::string extractDir);

// Processes one 512-byte block of the archive: data of the current entry, or
// the next header, whose entry is then created. Returns 0 to go on, 1 when
// the block is neither data nor a valid header with a matching checksum (its
// message is printed; the caller stops).
int untar(unsigned char* blk);

// Processes `count` consecutive blocks exactly as `count` calls of `untar`
// would, writing runs of data blocks in one piece. Returns 1 as soon as
// `untar` would, else 0.
int untarBlocks(unsigned char* blocks, std::size_t count);

// Opens the output file for the entry `name` (a normalised name) at the
// extraction prefix + `name`, which becomes the current entry's path: a new
// temporary file beside that path, owned by the extractor, that replaces
// what is there when the entry is complete. Creates missing directories
// (mode 0777 less the umask). Returns null, with a printed line, when the
// path does not fit the name buffer, passes through or ends in a symbolic
// link, is a directory, or the file cannot be created (system error).
FILE* createpath(const char* name);

// Makes `dst` a symbolic link (`sym` true) with the text `src`, or a hard link
// (`sym` false) to the file `src`. When the hard link cannot be made, copies
// `source` (the open `src`) with its mode and times to a new file that
// replaces `dst`, and prints "<dst>: copy instead of link". Failures print
// the system error for `dst`. Closes `source` (null for a symbolic link).
// The caller has checked that `dst` lies inside the extraction directory.
void linkorcopy(const char* src, const char* dst, bool sym, OwnedFile source);

#endif  // STARTER_ARCHIVE_TAR_EXTRACT_H_
