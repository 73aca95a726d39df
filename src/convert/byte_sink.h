// Where the rewritten text goes: the work file in a conversion, memory in tests.
#pragma once

#include <cstddef>

namespace sk {

class ByteSink {
public:
    virtual ~ByteSink() {}
    // Takes all cb bytes; 1 on success, 0 on failure (the sink keeps the reason).
    virtual int Write(const char* p, size_t cb) = 0;
};

}  // namespace sk
