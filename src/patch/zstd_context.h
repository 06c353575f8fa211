// Owners of libzstd's compression and decompression contexts.
#ifndef STARTER_PATCH_ZSTD_CONTEXT_H_
#define STARTER_PATCH_ZSTD_CONTEXT_H_

#include <zstd.h>

#include <memory>

struct CompressionContextFree {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};
struct DecompressionContextFree {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// A compression context, freed when the owner goes; null when libzstd could
// not allocate it.
using CompressionContext = std::unique_ptr<ZSTD_CCtx, CompressionContextFree>;
// A decompression context, freed when the owner goes; null when libzstd
// could not allocate it.
using DecompressionContext =
    std::unique_ptr<ZSTD_DCtx, DecompressionContextFree>;

#endif  // STARTER_PATCH_ZSTD_CONTEXT_H_
