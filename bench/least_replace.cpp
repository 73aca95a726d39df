// The least a durable replace of a file does on Windows, the measure that
// skconv.exe is timed against (bench/win_bench.sh): read the file in 1 MiB
// blocks, write them to a new file, flush that to disk and put it in the
// file's place with ReplaceFileW.
//
//   least_replace FILE NEWFILE
#include <windows.h>

#include <cstdio>

namespace {

const DWORD kBlock = 1 << 20;  // as skconv reads
const int kPathRoom = 1024;

char g_buf[kBlock];

int Fail(const char* pszWhat, const char* pszPath) {
    const DWORD dwError = GetLastError();  // before anything else can change it
    std::fprintf(stderr, "least_replace: %s %s: error %lu\n", pszWhat, pszPath, dwError);
    return 1;
}

// The full path of psz: ReplaceFileW wants no relative names.
bool FullPath(const char* psz, wchar_t* pwsz) {
    wchar_t wszName[kPathRoom];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, psz, -1, wszName, kPathRoom) == 0)
        return false;
    const DWORD cch = GetFullPathNameW(wszName, kPathRoom, pwsz, nullptr);
    if (cch >= kPathRoom)
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return cch != 0 && cch < kPathRoom;
}

// Copies hIn to hOut to its end and flushes hOut to disk.
int CopyFlushed(HANDLE hIn, HANDLE hOut, const char* pszFile, const char* pszNew) {
    for (;;) {
        DWORD cbRead = 0;
        if (!ReadFile(hIn, g_buf, kBlock, &cbRead, nullptr))
            return Fail("cannot read", pszFile);
        if (cbRead == 0)
            break;
        DWORD cbWritten = 0;
        if (!WriteFile(hOut, g_buf, cbRead, &cbWritten, nullptr))
            return Fail("cannot write", pszNew);
        if (cbWritten != cbRead) {
            SetLastError(ERROR_WRITE_FAULT);  // a short write to a disk file: nothing to retry
            return Fail("cannot write", pszNew);
        }
    }
    if (!FlushFileBuffers(hOut))
        return Fail("cannot flush", pszNew);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: least_replace FILE NEWFILE\n");
        return 2;
    }
    wchar_t wszFile[kPathRoom];
    wchar_t wszNew[kPathRoom];
    if (!FullPath(argv[1], wszFile))
        return Fail("cannot make a full path of", argv[1]);
    if (!FullPath(argv[2], wszNew))
        return Fail("cannot make a full path of", argv[2]);
    const HANDLE hIn = CreateFileW(wszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (hIn == INVALID_HANDLE_VALUE)
        return Fail("cannot open", argv[1]);
    const HANDLE hOut =
        CreateFileW(wszNew, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hOut == INVALID_HANDLE_VALUE) {
        const int r = Fail("cannot create", argv[2]);
        (void)CloseHandle(hIn);  // read only: nothing to lose
        return r;
    }
    int r = CopyFlushed(hIn, hOut, argv[1], argv[2]);
    if (!CloseHandle(hOut) && r == 0)
        r = Fail("cannot close", argv[2]);
    (void)CloseHandle(hIn);  // read only; ReplaceFileW needs it closed
    // No backup name: the least a replacement can do.
    if (r == 0 && !ReplaceFileW(wszFile, wszNew, nullptr, 0, nullptr, nullptr))
        r = Fail("cannot replace", argv[1]);
    if (r != 0)
        (void)DeleteFileW(wszNew);  // already failing; a leftover is removed by the script
    return r;
}
