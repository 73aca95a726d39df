// skconv: converts the files named on the command line, one after another,
// with the same pass as the window's 編集 button. For scripts and machines
// without a display.
#include <cstdio>
#include <cstring>

#include "search_key_converter.h"

namespace {

const char kUsage[] =
    "usage: skconv [--] PATH...\n"
    "Appends the key number (100 for the first line, 101 for the second ...)\n"
    "to every line whose last field is empty or zero, in each file in turn.\n"
    "A file that fails is left exactly as it was. Exit code 0 when every file\n"
    "was converted, 1 when any failed, 2 for a usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    int iFirst = 1;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--") == 0)
        iFirst = 2;
    if (iFirst >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    int nFailed = 0;
    for (int i = iFirst; i < argc; ++i) {
        SearchKeyConverter conv;
        if (conv.Convert(argv[i])) {
            std::printf("converted: %s\n", argv[i]);
            if (conv.WarningStep() != sk::ConvertStep::kNone) {
                char szWhat[512];
                conv.DescribeWarning(szWhat, sizeof szWhat);
                std::fflush(stdout);
                std::fprintf(stderr, "warning: %s: %s\n", argv[i], szWhat);
            }
        } else {
            char szWhy[512];
            conv.DescribeFailure(szWhy, sizeof szWhy);
            std::fflush(stdout);  // keep the lines in order when both go to one place
            std::fprintf(stderr, "failed: %s: %s\n", argv[i], szWhy);
            ++nFailed;
        }
    }
    if (std::fflush(stdout) != 0)
        return 1;
    return nFailed == 0 ? 0 : 1;
}
