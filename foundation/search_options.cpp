#include "search_options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "trace_log.h"

namespace {

constexpr const char* FILE_NAME = "hvl.cfg";
constexpr int32_t FILE_VERSION = 1;
constexpr size_t FILE_SIZE = 12;

std::string PathIn(const char* pszDirectory, const std::string& name) {
    if (pszDirectory == nullptr || pszDirectory[0] == 0) {
        return name;
    }
    std::string path(pszDirectory);
    if (path.back() != '/') {
        path += '/';
    }
    return path + name;
}

void PutLE(unsigned char* out, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

// Overwrites the field's little-endian byte at index with b.
void SetByteLE(int32_t& field, size_t index, unsigned char b) {
    auto v = static_cast<uint32_t>(field);
    v &= ~(0xFFu << (8 * index));
    v |= static_cast<uint32_t>(b) << (8 * index);
    field = static_cast<int32_t>(v);
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void TraceSaveFailed() {
    TraceMessage(TRACE_ERROR, nullptr, u"Saving configuration to file '%s' failed.", u"hvl.cfg");
}

}  // namespace

int32_t SearchOptions::Load() {
    return Load(nullptr);
}

int32_t SearchOptions::Save() const {
    return Save(nullptr);
}

int32_t SearchOptions::Load(const char* pszDirectory) {
    const std::string path = PathIn(pszDirectory, FILE_NAME);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    unsigned char data[FILE_SIZE];
    size_t got = 0;
    bool ok = fd >= 0;
    // Bytes after the twelfth are never read; a short file is not an error.
    while (ok && got < FILE_SIZE) {
        const ssize_t n = read(fd, data + got, FILE_SIZE - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;  // an input/output error is a failure, the fields stay as they were
        } else if (n == 0) {
            break;
        } else {
            got += static_cast<size_t>(n);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    if (!ok) {
        TraceMessage(TRACE_ERROR, nullptr, u"Loading configuration from file '%s' failed.", u"hvl.cfg");
        return 0;
    }
    // The version (bytes 0-3) is not examined. Bytes the file lacks leave the
    // corresponding bytes of the fields as they were.
    for (size_t i = 4; i < got; ++i) {
        SetByteLE(i < 8 ? bMdnsEnabled : bUpnpEnabled, (i - 4) % 4, data[i]);
    }
    return 1;
}

int32_t SearchOptions::Save(const char* pszDirectory) const {
    unsigned char data[FILE_SIZE];
    PutLE(data, FILE_VERSION);
    PutLE(data + 4, bMdnsEnabled);
    PutLE(data + 8, bUpnpEnabled);

    // The new content goes to a file of its own next to "hvl.cfg" and replaces
    // it in one rename, so that a crash or a full disk never leaves a short
    // file behind: the previous choices survive any failure.
    const std::string path = PathIn(pszDirectory, FILE_NAME);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(attempt);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        TraceSaveFailed();
        return 0;
    }
    bool ok = WriteAll(fd, data, FILE_SIZE);
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        TraceSaveFailed();
        return 0;
    }
    // Make the rename itself durable; the file is complete either way.
    const std::string dir = pszDirectory && pszDirectory[0] ? pszDirectory : ".";
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return 1;
}
