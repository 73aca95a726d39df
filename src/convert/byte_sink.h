// Where the rewritten text goes: the work file in a conversion, memory in tests.
#pragma once

#include <cstddef>

namespace sk {

class ByteSink {
public:
    virtual ~ByteSink() {}
    // Takes all cb bytes; 1 on success, 0 on failure (the sink keeps the reason).
    virtual int Write(const char* p, size_t cb) = 0;
    // After a successful Write of a writer's whole buffer pFull: the buffer
    // of the same size for its next bytes. The default keeps pFull, which a
    // sink that has finished with the bytes in Write allows; a sink that
    // writes them later hands out another one.
    virtual char* NextBuffer(char* pFull) { return pFull; }
};

}  // namespace sk
