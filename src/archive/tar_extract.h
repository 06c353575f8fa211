// Extraction of tar archives, plain or gzip-compressed, under a path prefix.
//
// One extraction runs at a time: the extractor keeps its state process-wide
// and `doarchive` resets it before each archive, except two flags that last
// for the process: whether any name lost a leading slash (the warning then
// comes at every end-of-archive block of later archives too) and whether any
// header has passed its checksum (a bad block is then "Garbage detected"
// rather than "not a valid tar file"); and the count of data bytes still to
// come for the current entry, which an archive that ended inside an entry
// leaves behind (not one that ended in bad compressed data): the next
// archive's first blocks, up to that count, are taken for that entry's data
// and skipped. Every message goes to the console.
// Nothing an archive names is written outside the extraction directory:
// names with ".." and links that lead out of it are refused ("<name>:
// refused: <reason>" on the standard error stream, the entry skipped), and no
// file is written through a symbolic link.
#ifndef STARTER_ARCHIVE_TAR_EXTRACT_H_
#define STARTER_ARCHIVE_TAR_EXTRACT_H_

#include <cstdio>
#include <string>

// What an extraction did beyond reading the archive to its end or not.
struct ExtractReport {
  // Entries that were refused, skipped, could not be created or written, or
  // were cut off by the end of the archive or by bad compressed data. Each
  // has its printed line (the archive's own line for the last two).
  int failedEntries = 0;
  // The compressed data could not be decoded, or the tar stream decoded from
  // it held a bad header ("<file>: bad compression data" was printed).
  bool badCompressedData = false;
};

// Extracts the archive `filename` (plain tar or one gzip member) with
// `extractDir` as a plain path prefix: give a directory with its trailing
// "/"; the empty string extracts into the current directory.
//
// Returns 1 when the archive was read to its end. The gzip trailer (CRC-32
// and length) is neither read nor checked. When the archive ends inside an
// entry's data, "WARNING: Last file might be truncated!" goes to the
// standard output and the bytes received so far are installed under the
// entry's name (without the entry's times and mode).
//
// Returns 0 when the archive cannot be opened or read, a directory for one
// (system error printed), uses another compression than deflate
// ("Unsupported compression type"), or holds a bad header (the header's
// line); files extracted before stay. For
// bad compressed data (see ExtractReport) it prints "<file>: bad compression
// data" to the standard error stream, sets `report.badCompressedData` and
// returns 0 instead of ending the process; the file being written then is
// not installed and its old version stays, as do files extracted before.
//
// Each regular file is written to a new temporary file beside its path and
// installed under its path when its data is complete, replacing what was
// there, never writing into it (it may be a hard link to a file elsewhere).
// A file this process may not write to is left as it is (system error
// printed), and so is the old version of one that cannot be created or
// written (a full disk, the file size limit; system error printed for its
// path, temporary file removed). Link entries are made at their own place in
// the archive, their targets looked for under the prefix (see extractLink).
// Failed entries are counted in `report`; the others are extracted. Closes
// the archive and removes any temporary file left on every return.
int doarchive(const char* filename, std::string extractDir,
              ExtractReport& report);

// As above, for callers that need only the return value.
int doarchive(const char* filename, std::string extractDir);

// Clears what outlasts an archive (the two flags, and the data bytes a cut
// archive left to come), as in a new process.
void ForgetEarlierArchives();

// Processes one 512-byte block of the archive: data of the current entry, or
// the next header, whose entry is then created. Returns 0 to go on, 1 when
// the block is neither data nor a valid header with a matching checksum (its
// message is printed; the caller stops).
int untar(unsigned char* blk);

// Opens the output file of the entry `name` (a normalised name) at the
// extraction prefix + `name`, which becomes the current entry's path: the
// extractor's own temporary file for it (see doarchive), in the missing
// directories it creates (mode 0777 less the umask). Returns null, with a
// printed line, when the path does not fit the name buffer, passes through
// or ends in a symbolic link, is a directory or a file this process may not
// write to, or the file cannot be created (system error).
FILE* createpath(const char* name);

#endif  // STARTER_ARCHIVE_TAR_EXTRACT_H_
