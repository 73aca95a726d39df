// One block is read, rewritten and written before the next is read. The
// blocks stay in the processor's cache from the read through the rewriting
// to the write; handing larger blocks to a second thread, whose core must
// fetch them from the first one's, cost more than the rewriting it hid
// (measured with bench/convert_bench).
#include "rewrite_pipeline.h"

#include <memory>
#include <new>

#include "line_rewriter.h"

namespace sk {

namespace {

const size_t kBlock = kBlockSize;
// Without the memory for those: blocks on the stack.
const size_t kSmallBlock = kBlock < (16 << 10) ? kBlock : 16 << 10;

// Counts the sink's failures, so that they are told apart from the key
// numbers running out.
class CountingSink : public ByteSink {
public:
    explicit CountingSink(ByteSink* pSink) : m_pSink(pSink), m_bFailed(false) {}
    int Write(const char* p, size_t cb) override {
        if (m_pSink->Write(p, cb))
            return 1;
        m_bFailed = true;
        return 0;
    }
    bool Failed() const { return m_bFailed; }

private:
    ByteSink* const m_pSink;
    bool m_bFailed;
};

PipelineResult RewriteBlocks(BlockSource* pSource, ByteSink* pSink, LineCounts* pCounts,
                             char* pMemory, size_t cbBlock) {
    char* const pIn = pMemory;
    char* const pOut = pMemory + cbBlock;
    CountingSink sink(pSink);
    LineRewriter rewriter(&sink, pOut, cbBlock);
    PipelineResult result = PipelineResult::kDone;
    while (!rewriter.Stopped()) {
        size_t cbRead = 0;
        if (!pSource->Read(pIn, cbBlock, &cbRead)) {
            result = PipelineResult::kReadFailed;
            break;
        }
        // A byte 26 stops the rewriter: what is left of the file is not read.
        if (cbRead == 0 || !rewriter.Feed(pIn, cbRead))
            break;
    }
    if (result == PipelineResult::kDone && !rewriter.Finish())
        result = sink.Failed() ? PipelineResult::kWriteFailed : PipelineResult::kTooManyLines;
    *pCounts = rewriter.Counts();
    return result;
}

}  // namespace

PipelineResult RewriteAll(BlockSource* pSource, ByteSink* pSink, LineCounts* pCounts) {
    // The same memory for any file or line length; no exception leaves the pass.
    std::unique_ptr<char[]> memory(new (std::nothrow) char[2 * kBlock]);
    if (memory)
        return RewriteBlocks(pSource, pSink, pCounts, memory.get(), kBlock);
    char small[2 * kSmallBlock];
    return RewriteBlocks(pSource, pSink, pCounts, small, kSmallBlock);
}

}  // namespace sk
