// A fresh folder per test, removed afterwards, with the small file helpers
// the pass tests need to check a whole folder's state.
#pragma once

#include <map>
#include <string>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    // Every entry below the folder, by relative path, with its bytes (folders map to "<dir>").
    std::map<std::string, std::string> Snapshot() const;

private:
    std::string m_path;
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);
unsigned FileMode(const std::string& path);
