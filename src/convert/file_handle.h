// What the file layers hand to the pass: an open file (or any other handle
// a layer opens) that closes itself, and which file it is.
#pragma once

#include <cstdint>

namespace sk {
namespace fs {

// A handle or descriptor, owned: moved when handed on, closed when it goes
// out of scope. A close whose error matters is CloseFile, which returns it.
class FileHandle {
public:
    FileHandle() : m_h(kNone) {}
    explicit FileHandle(intptr_t h) : m_h(h) {}
    ~FileHandle() { Close(); }
    FileHandle(FileHandle&& other) noexcept : m_h(other.Release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            Close();
            m_h = other.Release();
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool IsOpen() const { return m_h != kNone; }
    intptr_t Get() const { return m_h; }
    intptr_t Release() {
        const intptr_t h = m_h;
        m_h = kNone;
        return h;
    }

    static const intptr_t kNone = -1;  // also INVALID_HANDLE_VALUE

private:
    void Close();  // each platform's own close; its error is of no use here
    intptr_t m_h;
};

// Which file a handle holds, as its volume tells it: the volume, and the
// file's id (128 bits where the volume gives them). An id of 0 is unknown.
struct FileIdentity {
    uint64_t ullVolume;    // device, or volume serial number
    uint64_t ullFile;      // inode, file index, or the low half of a 128-bit id
    uint64_t ullFileHigh;  // the high half of a 128-bit id
};
inline bool IsKnown(const FileIdentity& id) {
    return id.ullFile != 0 || id.ullFileHigh != 0;
}
// Known, and the same file.
inline bool IsSameFile(const FileIdentity& a, const FileIdentity& b) {
    return IsKnown(a) && a.ullVolume == b.ullVolume && a.ullFile == b.ullFile &&
           a.ullFileHigh == b.ullFileHigh;
}

}  // namespace fs
}  // namespace sk
