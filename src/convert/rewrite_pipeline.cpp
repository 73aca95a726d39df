// The calling thread reads blocks into a small ring and writes the rewritten
// blocks that come back; one worker thread rewrites. The worker reports in
// order (a full output block, an input block done, the end) and the calling
// thread acts on each report in that order, so the order of the system calls
// is that of a pass without a thread.
#include "rewrite_pipeline.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "line_rewriter.h"

namespace sk {

namespace {

#if defined(SEARCHKEY_FAULT_INJECTION) || defined(SEARCHKEY_SMALL_BLOCKS)
const size_t kBlock = 4 << 10;  // small test files still cross many blocks
#else
const size_t kBlock = 1 << 20;  // few calls per byte, still inside the memory bound
#endif
// Two of each: one being filled while the other is read or written.
const int kInBlocks = 2;
const int kOutBlocks = 2;
// Without the ring's memory or a thread: one pass, one block at a time.
const size_t kFallbackBlock = 64 << 10;

PipelineResult RewriteInline(BlockSource* pSource, ByteSink* pSink,
                             NumberedLineObserver* pObserver) {
    static_assert(kFallbackBlock <= 64 << 10, "the fallback buffers live on the stack");
    char inBuf[kFallbackBlock];
    char outBuf[kFallbackBlock];
    // Counts the sink's failures, so that they are told apart from the
    // key numbers running out.
    class Sink : public ByteSink {
    public:
        explicit Sink(ByteSink* pSink) : m_pSink(pSink), m_bFailed(false) {}
        int Write(const char* p, size_t cb) override {
            if (m_pSink->Write(p, cb))
                return 1;
            m_bFailed = true;
            return 0;
        }
        ByteSink* m_pSink;
        bool m_bFailed;
    } sink(pSink);
    LineRewriter rewriter(&sink, outBuf, sizeof outBuf);
    rewriter.SetObserver(pObserver);
    while (!rewriter.Stopped()) {
        size_t cbRead = 0;
        if (!pSource->Read(inBuf, sizeof inBuf, &cbRead))
            return PipelineResult::kReadFailed;
        if (cbRead == 0 || !rewriter.Feed(inBuf, cbRead))
            break;
    }
    if (!rewriter.Finish())
        return sink.m_bFailed ? PipelineResult::kWriteFailed : PipelineResult::kTooManyLines;
    return PipelineResult::kDone;
}

// What the worker tells the calling thread, in the order it happens.
struct Report {
    enum Kind { kOutFull, kInDone, kEnd } kind;
    const char* p;  // kOutFull: the block and its length
    size_t cb;
    bool bMore;  // kInDone: the worker wants more input; kEnd: it finished without failing
};

class Pipeline : public ByteSink {
public:
    Pipeline(char* pMemory, NumberedLineObserver* pObserver)
        : m_pObserver(pObserver),
          m_iInNext(0),
          m_cInFull(0),
          m_bInEnd(false),
          m_cOutFree(kOutBlocks - 1),
          m_iOutNext(1),
          m_iReportFirst(0),
          m_cReports(0),
          m_bAbort(false) {
        for (int i = 0; i < kInBlocks; ++i)
            m_apIn[i] = pMemory + static_cast<size_t>(i) * kBlock;
        for (int i = 0; i < kOutBlocks; ++i)
            m_apOut[i] = pMemory + static_cast<size_t>(kInBlocks + i) * kBlock;
    }

    PipelineResult Run(BlockSource* pSource, ByteSink* pSink, bool* pbStarted);

private:
    // The worker's side.
    void Rewrite();
    int Write(const char* p, size_t cb) override;
    char* NextBuffer(char* pFull) override;
    void Tell(const Report& r);

    // The calling thread's side: false when the read failed.
    bool ReadBlock(BlockSource* pSource, int i, bool* pbEnd);

    static const int kMaxReports = kInBlocks + kOutBlocks + 1;

    NumberedLineObserver* const m_pObserver;  // told on the worker's thread
    std::mutex m_mutex;
    std::condition_variable m_cvWorker;  // input came, an output block is free, or abort
    std::condition_variable m_cvCaller;  // a report came
    char* m_apIn[kInBlocks];
    size_t m_acbIn[kInBlocks];
    int m_iInNext;  // the worker's next input block
    int m_cInFull;  // blocks read and not yet rewritten
    bool m_bInEnd;  // no more input will come
    char* m_apOut[kOutBlocks];
    int m_cOutFree;  // output blocks written and free for the worker
    int m_iOutNext;  // the worker's next output block
    Report m_aReports[kMaxReports];
    int m_iReportFirst;
    int m_cReports;
    bool m_bAbort;  // the calling thread failed: the worker stops
};

void Pipeline::Tell(const Report& r) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Bounded: the worker waits for each block it reports to come back.
        m_aReports[(m_iReportFirst + m_cReports) % kMaxReports] = r;
        ++m_cReports;
    }
    m_cvCaller.notify_one();
}

int Pipeline::Write(const char* p, size_t cb) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bAbort)
            return 0;
    }
    Tell({Report::kOutFull, p, cb, false});
    return 1;
}

char* Pipeline::NextBuffer(char* pFull) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cvWorker.wait(lock, [this] { return m_cOutFree > 0 || m_bAbort; });
    if (m_bAbort)
        return pFull;  // nothing more goes out: the next Write fails
    --m_cOutFree;
    char* p = m_apOut[m_iOutNext];
    m_iOutNext = (m_iOutNext + 1) % kOutBlocks;
    return p;
}

void Pipeline::Rewrite() {
    LineRewriter rewriter(this, m_apOut[0], kBlock);
    rewriter.SetObserver(m_pObserver);
    bool bOk = true;
    for (;;) {
        int i;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvWorker.wait(lock, [this] { return m_cInFull > 0 || m_bInEnd || m_bAbort; });
            if (m_bAbort) {
                bOk = false;
                break;
            }
            if (m_cInFull == 0)
                break;  // the end of the input
            i = m_iInNext;
        }
        bOk = rewriter.Feed(m_apIn[i], m_acbIn[i]) != 0;
        const bool bMore = bOk && !rewriter.Stopped();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_cInFull;
            m_iInNext = (m_iInNext + 1) % kInBlocks;
        }
        Tell({Report::kInDone, m_apIn[i], 0, bMore});
        if (!bMore)
            break;
    }
    if (bOk)
        bOk = rewriter.Finish() != 0;
    Tell({Report::kEnd, nullptr, 0, bOk});
}

bool Pipeline::ReadBlock(BlockSource* pSource, int i, bool* pbEnd) {
    size_t cbRead = 0;
    const bool bRead = pSource->Read(m_apIn[i], kBlock, &cbRead) != 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!bRead) {
            m_bAbort = true;
        } else if (cbRead == 0) {
            m_bInEnd = true;
            *pbEnd = true;
        } else {
            m_acbIn[i] = cbRead;
            ++m_cInFull;
        }
    }
    m_cvWorker.notify_one();
    return bRead;
}

PipelineResult Pipeline::Run(BlockSource* pSource, ByteSink* pSink, bool* pbStarted) {
    std::thread worker;
    try {
        worker = std::thread(&Pipeline::Rewrite, this);
    } catch (const std::system_error&) {
        *pbStarted = false;  // no thread to be had: the caller rewrites in line
        return PipelineResult::kDone;
    }
    *pbStarted = true;

    PipelineResult result = PipelineResult::kDone;
    bool bEnd = false;  // the input has ended or the worker wants no more
    int iRead = 0;      // the next block to read into
    for (; iRead < kInBlocks && !bEnd && result == PipelineResult::kDone; ++iRead) {
        if (!ReadBlock(pSource, iRead, &bEnd))
            result = PipelineResult::kReadFailed;
    }
    iRead %= kInBlocks;
    for (;;) {
        Report r;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cvCaller.wait(lock, [this] { return m_cReports > 0; });
            r = m_aReports[m_iReportFirst];
            m_iReportFirst = (m_iReportFirst + 1) % kMaxReports;
            --m_cReports;
        }
        if (r.kind == Report::kEnd) {
            if (!r.bMore && result == PipelineResult::kDone)
                result = PipelineResult::kTooManyLines;
            break;
        }
        if (r.kind == Report::kOutFull) {
            // After a failure nothing more is written; the block only goes back.
            if (result == PipelineResult::kDone && !pSink->Write(r.p, r.cb))
                result = PipelineResult::kWriteFailed;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_cOutFree;
                if (result != PipelineResult::kDone)
                    m_bAbort = true;
            }
            m_cvWorker.notify_one();
            continue;
        }
        if (!r.bMore)
            bEnd = true;  // a byte 26 or a failure: what is left of the file is not wanted
        if (!bEnd && result == PipelineResult::kDone) {
            if (!ReadBlock(pSource, iRead, &bEnd))
                result = PipelineResult::kReadFailed;
            iRead = (iRead + 1) % kInBlocks;
        }
    }
    worker.join();
    return result;
}

}  // namespace

PipelineResult RewriteAll(BlockSource* pSource, ByteSink* pSink, NumberedLineObserver* pObserver) {
    // No exception leaves the pass: without the memory the pass runs in line.
    std::unique_ptr<char[]> memory(new (std::nothrow) char[(kInBlocks + kOutBlocks) * kBlock]);
    if (memory) {
        std::unique_ptr<Pipeline> pipeline(new (std::nothrow) Pipeline(memory.get(), pObserver));
        bool bStarted = false;
        if (pipeline) {
            const PipelineResult result = pipeline->Run(pSource, pSink, &bStarted);
            if (bStarted)
                return result;
        }
    }
    return RewriteInline(pSource, pSink, pObserver);
}

}  // namespace sk
