// What a patch operation ended with.
#ifndef STARTER_PATCH_PATCH_RESULT_H_
#define STARTER_PATCH_PATCH_RESULT_H_

#include <cstdint>
#include <string>

// The outcome of making or applying a patch.
enum class PatchStatus {
  kOk,
  // The reference (the old file of MakePatch, the local copy of ApplyPatch)
  // does not exist.
  kReferenceMissing,
  // The reference exists but cannot be opened or mapped, or is not a
  // regular file.
  kReferenceUnreadable,
  // The other input (the new file of MakePatch, the patch of ApplyPatch)
  // does not exist.
  kInputMissing,
  // The other input exists but cannot be opened or read, or is not a
  // regular file.
  kInputUnreadable,
  // MakePatch: the old and the new file together are larger than one patch
  // may span (kPatchSpanMax); no patch is made.
  kTooLarge,
  // ApplyPatch: the patch asks for a larger window than the decoder allows
  // (kPatchWindowLogMax).
  kWindowTooLarge,
  // ApplyPatch: the bytes are not one complete, intact patch frame for this
  // reference: not a zstd frame, corrupt or cut, bytes after its end, or a
  // checksum that the decoded bytes do not have.
  kCorrupt,
  // ApplyPatch: the patch decodes, or says it decodes, to more bytes than
  // the caller's cap.
  kOutputTooLarge,
  // The output could not be created, written or put in place.
  kWriteFailed,
  // libzstd could not do its part (no memory, a setting refused).
  kCodecFailed,
};

// A status with what else is known about it.
struct PatchResult {
  PatchStatus status = PatchStatus::kOk;
  // The errno behind a file status (missing, unreadable, write failed); 0
  // otherwise.
  int error_number = 0;
  // libzstd's name for the error of kCorrupt and kCodecFailed, or what was
  // wrong with the frame ("bytes after the end of the patch"); else empty.
  std::string detail;
  // Bytes written to the output: the patch for MakePatch, the decoded file
  // for ApplyPatch (also those written before a failure).
  std::uint64_t output_bytes = 0;

  bool ok() const { return status == PatchStatus::kOk; }
};

// A failed result with `status`, the errno behind it (0: none) and
// libzstd's or the frame's detail.
PatchResult PatchFailure(PatchStatus status, int error_number = 0,
                         std::string detail = {});

// A short English phrase for a status, e.g. "patch corrupt".
const char* PatchStatusReason(PatchStatus status);

// One line's worth for a log: the status's phrase, then the system error
// or the detail, e.g. "reference missing (No such file or directory)".
std::string DescribePatchResult(const PatchResult& result);

#endif  // STARTER_PATCH_PATCH_RESULT_H_
