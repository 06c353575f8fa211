#include "patch/patch_result.h"

#include <cstring>
#include <utility>

const char* PatchStatusReason(PatchStatus status) {
  switch (status) {
    case PatchStatus::kOk:
      return "ok";
    case PatchStatus::kReferenceMissing:
      return "reference missing";
    case PatchStatus::kReferenceUnreadable:
      return "reference unreadable";
    case PatchStatus::kInputMissing:
      return "input missing";
    case PatchStatus::kInputUnreadable:
      return "input unreadable";
    case PatchStatus::kTooLarge:
      return "files too large for a patch";
    case PatchStatus::kWindowTooLarge:
      return "patch window too large";
    case PatchStatus::kCorrupt:
      return "patch corrupt";
    case PatchStatus::kOutputTooLarge:
      return "patch output larger than expected";
    case PatchStatus::kWriteFailed:
      return "output write failed";
    case PatchStatus::kCodecFailed:
      return "codec failed";
  }
  return "unknown patch status";
}

std::string DescribePatchResult(const PatchResult& result) {
  std::string text = PatchStatusReason(result.status);
  if (result.error_number != 0) {
    text += " (";
    text += std::strerror(result.error_number);
    text += ")";
  } else if (!result.detail.empty()) {
    text += " (" + result.detail + ")";
  }
  return text;
}

PatchResult PatchFailure(PatchStatus status, int error_number,
                         std::string detail) {
  PatchResult result;
  result.status = status;
  result.error_number = error_number;
  result.detail = std::move(detail);
  return result;
}
