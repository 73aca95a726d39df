// Temporary folders and file helpers for the tests (POSIX).
#include "temp_folder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RemoveEntry(const char* pszPath, const struct stat*, int, struct FTW*) {
    ::chmod(pszPath, 0700);  // a test may have made a folder read-only
    return ::remove(pszPath);
}

void Walk(const std::string& base, const std::string& rel,
          std::map<std::string, std::string>* pOut) {
    DIR* pDir = ::opendir((base + rel).c_str());
    if (pDir == nullptr)
        throw std::runtime_error("opendir " + base + rel);
    while (const dirent* pEnt = ::readdir(pDir)) {
        const std::string name = pEnt->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string relName = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (::lstat((base + relName).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            (*pOut)[relName] = "<dir>";
            Walk(base, relName, pOut);
        } else {
            (*pOut)[relName] = S_ISREG(st.st_mode) ? ReadBytes(base + relName) : "<other>";
        }
    }
    ::closedir(pDir);
}

}  // namespace

TempFolder::TempFolder() {
    const char* pszTmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(pszTmp != nullptr && *pszTmp ? pszTmp : "/tmp") + "/skconv-test-XXXXXX";
    if (::mkdtemp(&templ[0]) == nullptr)
        throw std::runtime_error("mkdtemp " + templ);
    m_path = templ;
}

TempFolder::~TempFolder() {
    ::nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::map<std::string, std::string> TempFolder::Snapshot() const {
    std::map<std::string, std::string> entries;
    Walk(m_path + "/", "", &entries);
    return entries;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("write " + path);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

unsigned FileMode(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("stat " + path);
    return st.st_mode & 07777;
}
