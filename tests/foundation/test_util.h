// Small helpers shared by the foundation tests: a private temporary
// directory and whole-file reads.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "conv_string.h"

class CTempDir {
public:
    CTempDir() {
        char pattern[] = "/tmp/hvl-foundation-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_strPath = made ? made : "";
    }
    ~CTempDir() {
        if (!m_strPath.empty()) {
            chmod(m_strPath.c_str(), 0700);
            std::string cmd = "rm -rf '" + m_strPath + "'";
            [[maybe_unused]] int rc = std::system(cmd.c_str());
        }
    }
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

inline bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The UTF-16LE content of a trace file as UTF-8, without its byte-order mark.
inline std::string ReadTraceText(const std::string& path) {
    std::string bytes = ReadBytes(path);
    size_t start = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE' ? 2 : 0;
    std::u16string wide;
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return Utf16ToUtf8(wide);
}
