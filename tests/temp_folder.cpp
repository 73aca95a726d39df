// Temporary folders and file helpers for the tests, on any platform.
#include "temp_folder.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fsys = std::filesystem;

TempFolder::TempFolder() {
    std::random_device rd;
    const fsys::path base = fsys::temp_directory_path();
    for (int i = 0; i < 100 && m_path.empty(); ++i) {
        const fsys::path dir = base / ("skconv-test-" + std::to_string(rd()));
        if (fsys::create_directory(dir))
            m_path = dir.string();
    }
    if (m_path.empty())
        throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
    std::error_code ec;
    // A test may have made a folder or file read-only.
    for (const auto& entry : fsys::recursive_directory_iterator(m_path, ec))
        fsys::permissions(entry.path(), fsys::perms::owner_all, fsys::perm_options::add, ec);
    fsys::permissions(m_path, fsys::perms::owner_all, fsys::perm_options::add, ec);
    fsys::remove_all(m_path, ec);
}

std::map<std::string, std::string> TempFolder::Snapshot() const {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fsys::recursive_directory_iterator(m_path)) {
        const std::string rel = fsys::relative(entry.path(), m_path).generic_string();
        if (entry.is_symlink())
            entries[rel] = "<link>";
        else if (entry.is_directory())
            entries[rel] = "<dir>";
        else if (entry.is_regular_file())
            entries[rel] = ReadBytes(entry.path().string());
        else
            entries[rel] = "<other>";
    }
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
    std::error_code ec;
    return fsys::exists(fsys::symlink_status(path, ec));
}

unsigned FileMode(const std::string& path) {
    return static_cast<unsigned>(fsys::status(path).permissions()) & 07777;
}
