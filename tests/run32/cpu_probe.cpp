// What the processor a program runs on tells it, for the 32-bit run under an
// emulated processor: whether it has SSE2 and which path the rewriter takes
// there, as "sse2 yes, lines sse2" or "sse2 no, lines portable".
#include <cstdio>

#include "line_rewriter.h"

int main() {
    __builtin_cpu_init();
    std::printf("sse2 %s, lines %s\n", __builtin_cpu_supports("sse2") ? "yes" : "no",
                sk::FastestLinePath() == sk::LinePath::kSse2 ? "sse2" : "portable");
    return 0;
}
