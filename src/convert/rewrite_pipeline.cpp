// One small block is read, rewritten and written before the next is read.
// The blocks stay in the processor's cache from the read through the
// rewriting to the write; handing larger blocks to a second thread, whose
// core must fetch them from the first one's, cost more than the rewriting
// it hid (measured with bench/convert_bench).
#include "rewrite_pipeline.h"

#include "line_rewriter.h"

namespace sk {

namespace {

#if defined(SEARCHKEY_FAULT_INJECTION) || defined(SEARCHKEY_SMALL_BLOCKS)
const size_t kBlock = 4 << 10;  // small test files still cross many blocks
#else
const size_t kBlock = 64 << 10;  // one in and one out fit a core's cache together
#endif

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

}  // namespace

PipelineResult RewriteAll(BlockSource* pSource, ByteSink* pSink, NumberedLineObserver* pObserver) {
    // On the stack: nothing to allocate, so nothing that can fail, and the
    // same memory for any file or line length.
    char inBuf[kBlock];
    char outBuf[kBlock];
    CountingSink sink(pSink);
    LineRewriter rewriter(&sink, outBuf, sizeof outBuf);
    rewriter.SetObserver(pObserver);
    while (!rewriter.Stopped()) {
        size_t cbRead = 0;
        if (!pSource->Read(inBuf, sizeof inBuf, &cbRead))
            return PipelineResult::kReadFailed;
        // A byte 26 stops the rewriter: what is left of the file is not read.
        if (cbRead == 0 || !rewriter.Feed(inBuf, cbRead))
            break;
    }
    if (!rewriter.Finish())
        return sink.Failed() ? PipelineResult::kWriteFailed : PipelineResult::kTooManyLines;
    return PipelineResult::kDone;
}

}  // namespace sk
