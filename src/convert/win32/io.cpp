// Plain reads and writes on Windows, the flush and the close of the work
// file, and the attributes it takes over from the input.
#include <cstring>

#include "layer.h"

namespace sk {
namespace fs {

void FileHandle::Close() {
    if (IsOpen())
        (void)sys::CloseHandle(reinterpret_cast<HANDLE>(Release()));  // see CloseFile
}

namespace {

// ReadFile and WriteFile move at most this many bytes per call.
const size_t kMaxIo = 1u << 30;

DWORD IoSize(size_t cb) {
    return static_cast<DWORD>(cb < kMaxIo ? cb : kMaxIo);
}

}  // namespace

SysError ReadSome(const FileHandle& file, char* p, size_t cb, size_t* pcbRead) {
    *pcbRead = 0;
    DWORD dwRead = 0;
    if (!sys::ReadFile(H(file), p, IoSize(cb), &dwRead))
        return LastError();
    *pcbRead = dwRead;
    return 0;
}

SysError WriteAll(const FileHandle& file, const char* p, size_t cb) {
    while (cb != 0) {
        DWORD dwWritten = 0;
        if (!sys::WriteFile(H(file), p, IoSize(cb), &dwWritten))
            return LastError();
        if (dwWritten == 0)
            return ERROR_WRITE_FAULT;  // no progress and no reason: do not spin
        p += dwWritten;
        cb -= dwWritten;
    }
    return 0;
}

SysError FlushToDisk(const FileHandle& file) {
    return sys::FlushFileBuffers(H(file)) ? 0 : LastError();
}

SysError StartWriteBack(const FileHandle&, uint64_t, uint64_t) {
    return 0;  // the lazy writer starts on its own; FlushFileBuffers waits for the rest
}

SysError CloseFile(FileHandle* pFile) {
    return sys::CloseHandle(reinterpret_cast<HANDLE>(pFile->Release())) ? 0 : LastError();
}

namespace {

// The attributes SetFileInformationByHandle sets, and so compares.
const DWORD kSetAttributes =
    kKeptAttributes | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

// Whether the work file already shows the attributes dwWanted.
SysError HoldsAttributes(HANDLE hWork, DWORD dwWanted, bool* pbHolds) {
    FILE_BASIC_INFO basic;
    if (!sys::GetFileInformationByHandleEx(hWork, FileBasicInfo, &basic, sizeof basic))
        return LastError();
    *pbHolds = (basic.FileAttributes & kSetAttributes) == dwWanted;
    return 0;
}

// What a volume answers for attributes it cannot set: Wine on FAT through
// FUSE answers ERROR_GEN_FAILURE, even for those the file already has.
bool IsUnsupported(SysError e) {
    return e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION ||
           e == ERROR_INVALID_PARAMETER || e == ERROR_GEN_FAILURE;
}

}  // namespace

SysError CopyAccess(const FileHandle&, const FileHandle& work, const FileInfo& info) {
    // The input's attributes, with the archive bit that tells backup
    // programs the text has changed, through the work file's own handle: its
    // name is only ours by convention. The creation time is left to
    // ReplaceFile, which keeps the old file's. Nothing is set where the work
    // file has them already, as a volume that cannot set them may refuse even
    // that; "not supported" loses nothing when the work file, read back, has
    // them anyway. Any other failure, and that one otherwise, is the pass's.
    const DWORD dwWanted = static_cast<DWORD>(info.facts.ulAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    bool bHolds = false;
    if (SysError e = HoldsAttributes(H(work), dwWanted, &bHolds))
        return e;
    if (bHolds)
        return 0;
    FILE_BASIC_INFO basic;
    std::memset(&basic, 0, sizeof basic);  // times of 0: left as they are
    basic.FileAttributes = dwWanted;
    if (sys::SetFileInformationByHandle(H(work), FileBasicInfo, &basic, sizeof basic))
        return 0;
    const SysError e = LastError();
    return IsUnsupported(e) && HoldsAttributes(H(work), dwWanted, &bHolds) == 0 && bHolds ? 0 : e;
}

void AdviseSequential(const FileHandle&) {
    // The input is opened with FILE_FLAG_SEQUENTIAL_SCAN, which says the same.
}

void AdviseDone(const FileHandle&, uint64_t, uint64_t) {
    // The cache manager keeps what it finds worth keeping; no call asks it.
}

}  // namespace fs
}  // namespace sk
