// Rewrites a whole input into a sink, a block at a time, on the calling
// thread.
#pragma once

#include <cstddef>

#include "byte_sink.h"
#include "line_rewriter.h"

// The bytes read, rewritten and written at a time: one in and one out fit
// a core's cache together, and few calls move a file. A build may choose
// another size (the tests and the fuzzer take small blocks, so that small
// files cross many of them).
#if !defined(SEARCHKEY_BLOCK_SIZE)
#define SEARCHKEY_BLOCK_SIZE (256 << 10)
#endif

namespace sk {

const size_t kBlockSize = SEARCHKEY_BLOCK_SIZE;

// Where the bytes to rewrite come from.
class BlockSource {
public:
    virtual ~BlockSource() {}
    // Up to cb bytes; *pcbRead == 0 at the end. 1 on success, 0 on failure
    // (the source keeps the reason).
    virtual int Read(char* p, size_t cb, size_t* pcbRead) = 0;
};

enum class PipelineResult { kDone, kReadFailed, kWriteFailed, kTooManyLines };

// Feeds every byte of pSource through a LineRewriter into pSink. Every call
// of pSource and pSink is made on the calling thread, in an order that
// depends only on the bytes, so a failure is seen where it happened and the
// pass stops there. The memory used is bounded whatever the input.
// *pCounts gets what was done to the lines, also when the rewrite failed.
PipelineResult RewriteAll(BlockSource* pSource, ByteSink* pSink, LineCounts* pCounts);

}  // namespace sk
