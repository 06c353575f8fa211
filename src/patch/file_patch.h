// Per-file patches between releases: a zstd frame that encodes a new file
// with the old one as its reference (what `zstd --patch-from` makes and
// reads), so that a host holding the old file fetches only what changed.
//
// Patches are compatible with the zstd tool both ways: a patch made here
// decodes with `zstd -d --patch-from=OLD`, and one made by
// `zstd --patch-from=OLD NEW` is applied here, within the limits below.
//
// Nothing here logs or checks what a decoded file should be: the caller
// logs DescribePatchResult and checks the result's hash before it installs
// it (a patch applied to another reference than it was made from decodes to
// other bytes or fails, and a patch without a checksum cannot tell).
#ifndef STARTER_PATCH_FILE_PATCH_H_
#define STARTER_PATCH_FILE_PATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "patch/patch_result.h"

class AtomicFile;

// The largest window, as a power of two, that a patch may declare and
// ApplyPatch decodes: 1 GiB. A patch reaches back across the reference and
// the new bytes before its position, so it spans both files.
inline constexpr int kPatchWindowLogMax = 30;
// The most bytes the old and the new file together may hold for MakePatch
// to make a patch of them. Larger pairs get none (kTooLarge): the caller
// sends the whole file; files are not patched in pieces.
inline constexpr std::uint64_t kPatchSpanMax = std::uint64_t{1}
                                               << kPatchWindowLogMax;

// Makes the patch from the file at `old_path` to the file at `new_path` and
// writes it to `out`, which it leaves uncommitted. `level` is zstd's
// compression level (1 to 19, and up to 22 at more memory; other values are
// brought into that range). The frame carries the new file's size and a
// checksum of it, and uses long-distance matching with a window that covers
// both files (as `zstd --patch-from --long` does). Both files are mapped,
// not read into memory; the encoder's own memory grows with the window and
// the level (at level 3, a 64 MiB old and a 65 MiB new file peak at about
// 215 MiB resident, the two mapped files included).
// On success output_bytes is the patch's size. Fails with kReferenceMissing
// or kReferenceUnreadable (the old file), kInputMissing or kInputUnreadable
// (the new file), kTooLarge (together above kPatchSpanMax; nothing is
// written), kWriteFailed (out failed; errno in error_number) or
// kCodecFailed.
PatchResult MakePatch(const std::string& old_path, const std::string& new_path,
                      AtomicFile& out, int level);

// As above, into a new file at `patch_path` that replaces whatever is there
// (a symbolic link there is replaced, not followed) once the patch is
// complete and synced; on failure `patch_path` is as it was and no
// temporary file stays.
PatchResult MakePatch(const std::string& old_path, const std::string& new_path,
                      const std::string& patch_path, int level);

// What ApplyPatch may produce.
struct PatchLimits {
  // The most bytes the decoded file may have: the size the caller expects.
  // A patch whose header declares more is refused before any byte is
  // decoded; one that decodes past it stops there.
  std::uint64_t max_output = 0;
};

// Decodes the patch in the file at `patch_path`, with the file at
// `reference_path` as its reference, and appends the decoded bytes to
// `out` (for the update run, the temporary file of the download that the
// patch stands for), which it leaves uncommitted. The reference is mapped,
// not copied; the patch is read in 1 MiB pieces. Never waits on a FIFO at
// either path.
//
// Peak memory of the decoder: its window buffer, which is the decoded
// file's size as the patch's header declares it (at most
// 2^kPatchWindowLogMax; a patch that does not declare its size reserves the
// window it declares, of which only the decoded bytes are touched), plus
// about 2.3 MiB (libzstd's context and block buffers, 1 MiB of patch and
// 1 MiB of output). The reference's pages are the page cache's, read as
// they are touched: a 65 MiB file patched from a 64 MiB one peaks at about
// 134 MiB resident, both counted.
//
// On success output_bytes is the size of the decoded file. Fails with
// kReferenceMissing or kReferenceUnreadable, kInputMissing or
// kInputUnreadable (the patch), kWindowTooLarge, kCorrupt, kOutputTooLarge
// (at most max_output bytes were written), kWriteFailed (errno in
// error_number) or kCodecFailed. After a failure `out` holds whatever was
// decoded before it: the caller abandons it.
PatchResult ApplyPatch(const std::string& reference_path,
                       const std::string& patch_path, AtomicFile& out,
                       const PatchLimits& limits);

// As above, the decoded bytes handed to `out` in order, in pieces of at most
// 1 MiB, instead of appended to a file: `out` returns false when it cannot
// take a piece, which ends the decoding with kWriteFailed (error_number: the
// errno `out` left, 0 if none). output_bytes counts the bytes `out` took. For
// a caller whose output is not a file of its own (the body of a download,
// whose digests and bound see every byte).
using PatchSink =
    std::function<bool(const std::uint8_t* data, std::size_t size)>;
PatchResult ApplyPatch(const std::string& reference_path,
                       const std::string& patch_path, const PatchSink& out,
                       const PatchLimits& limits);

// As above, with the patch's bytes in memory (kInputMissing and
// kInputUnreadable do not occur).
PatchResult ApplyPatch(const std::string& reference_path,
                       std::span<const std::uint8_t> patch, AtomicFile& out,
                       const PatchLimits& limits);

#endif  // STARTER_PATCH_FILE_PATCH_H_
