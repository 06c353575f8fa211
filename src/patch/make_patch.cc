// Making a patch: the new file compressed with the old one as its prefix.
#include <zstd.h>

#include <bit>
#include <cerrno>
#include <memory>
#include <vector>

#include "engine/atomic_file.h"
#include "patch/file_patch.h"
#include "patch/mapped_file.h"
#include "patch/zstd_context.h"

namespace {

// The status of an input that could not be mapped.
PatchResult MapFailure(const MappedFile& file, bool reference) {
  if (file.error() == MapError::kMissing) {
    return PatchFailure(
        reference ? PatchStatus::kReferenceMissing : PatchStatus::kInputMissing,
        file.error_number());
  }
  return PatchFailure(reference ? PatchStatus::kReferenceUnreadable
                           : PatchStatus::kInputUnreadable,
                 file.error_number());
}

// The smallest window, as a power of two, that covers `span` bytes.
int WindowLogFor(std::uint64_t span) {
  const int log = span <= 1 ? 0 : std::bit_width(span - 1);
  const int smallest = ZSTD_cParam_getBounds(ZSTD_c_windowLog).lowerBound;
  return log < smallest ? smallest : log;
}

// Sets the parameters of a patch from `old_file` to a new file of
// `new_size` bytes. Empty on success, else libzstd's error name.
std::string Configure(ZSTD_CCtx* cctx, const MappedFile& old_file,
                      std::size_t new_size, int level) {
  const std::size_t steps[] = {
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level),
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1),
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog,
                             WindowLogFor(old_file.size() + new_size)),
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1),
      ZSTD_CCtx_setPledgedSrcSize(cctx, new_size),
      old_file.size() == 0
          ? 0
          : ZSTD_CCtx_refPrefix(cctx, old_file.data(), old_file.size()),
  };
  for (std::size_t step : steps) {
    if (ZSTD_isError(step)) return ZSTD_getErrorName(step);
  }
  return {};
}

}  // namespace

PatchResult MakePatch(const std::string& old_path, const std::string& new_path,
                      AtomicFile& out, int level) {
  const MappedFile old_file(old_path);
  if (old_file.error() != MapError::kNone) return MapFailure(old_file, true);
  const MappedFile new_file(new_path);
  if (new_file.error() != MapError::kNone) return MapFailure(new_file, false);
  if (std::uint64_t{old_file.size()} + new_file.size() > kPatchSpanMax) {
    return PatchFailure(PatchStatus::kTooLarge);
  }
  if (!out.ok()) return PatchFailure(PatchStatus::kWriteFailed, out.error());

  CompressionContext cctx(ZSTD_createCCtx());
  if (!cctx) return PatchFailure(PatchStatus::kCodecFailed, 0, "out of memory");
  std::string refused = Configure(cctx.get(), old_file, new_file.size(), level);
  if (!refused.empty()) {
    return PatchFailure(PatchStatus::kCodecFailed, 0, std::move(refused));
  }

  static const std::uint8_t kNothing = 0;
  ZSTD_inBuffer in{new_file.size() == 0 ? &kNothing : new_file.data(),
                   new_file.size(), 0};
  std::vector<std::uint8_t> chunk(ZSTD_CStreamOutSize() * 8);
  PatchResult result;
  std::size_t remaining;
  do {
    ZSTD_outBuffer piece{chunk.data(), chunk.size(), 0};
    remaining = ZSTD_compressStream2(cctx.get(), &piece, &in, ZSTD_e_end);
    if (ZSTD_isError(remaining)) {
      return PatchFailure(PatchStatus::kCodecFailed, 0,
                     ZSTD_getErrorName(remaining));
    }
    if (!out.Write(chunk.data(), piece.pos)) {
      return PatchFailure(PatchStatus::kWriteFailed, out.error());
    }
    result.output_bytes += piece.pos;
  } while (remaining != 0);
  return result;
}

PatchResult MakePatch(const std::string& old_path, const std::string& new_path,
                      const std::string& patch_path, int level) {
  AtomicFile out(patch_path, LinkAtDestination::kReplace);
  PatchResult result = MakePatch(old_path, new_path, out, level);
  if (result.ok() && !out.Commit(Durability::kSynced)) {
    const int error_number = errno;
    result = PatchFailure(PatchStatus::kWriteFailed, error_number);
  }
  // A patch that is not complete does not stay, not even as a temporary.
  if (!out.committed()) out.Abandon();
  return result;
}
