#include "search_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "trace_log.h"

namespace {

constexpr const char* FILE_NAME = "hvl.cfg";
constexpr int32_t FILE_VERSION = 1;
constexpr size_t FILE_SIZE = 12;
constexpr const char* TEMP_SUFFIX = ".tmp";

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

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links from path to the file they end at (which need not
// exist); relative targets count from the link's own directory.
bool ResolveLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        char link[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n <= 0) return false;
        const std::string next(link, static_cast<size_t>(n));
        const std::string dir = DirectoryOf(path);
        path = next[0] == '/' || dir.empty() ? next : dir + "/" + next;
    }
    return false;  // a loop
}

enum class SaveResult { Done, DirectoryRefused, Failed };

// The new content goes to a temporary file next to the target and replaces
// it in one rename, so a crash or a full disk never leaves a short file: the
// previous choices survive any failure. The temporary file has a fixed name,
// so one left by a save that was killed midway is found and removed.
SaveResult ReplaceAtomically(const std::string& target, const unsigned char* data) {
    struct stat old {};
    const bool exists = stat(target.c_str(), &old) == 0;
    // A file the user may not write stays as it is, whatever its directory allows.
    if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return SaveResult::Failed;

    const std::string temp = target + TEMP_SUFFIX;
    auto fnCreate = [&temp] {
        return open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
    };
    int fd = fnCreate();
    if (fd < 0 && errno == EEXIST && unlink(temp.c_str()) == 0) fd = fnCreate();
    if (fd < 0) {
        return errno == EACCES || errno == EPERM || errno == EROFS ? SaveResult::DirectoryRefused
                                                                   : SaveResult::Failed;
    }
    bool ok = WriteAll(fd, data, FILE_SIZE);
    if (exists) {
        // The replacement keeps the file's mode, and its owner where the user may give it.
        ok = fchmod(fd, old.st_mode & 07777) == 0 && ok;
        [[maybe_unused]] const int owned = fchown(fd, old.st_uid, old.st_gid);
    }
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(temp.c_str());
        return SaveResult::Failed;
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        // A sticky directory lets the user create files but not replace
        // another user's: the file may still be writable in place.
        const int error = errno;
        unlink(temp.c_str());
        return error == EACCES || error == EPERM ? SaveResult::DirectoryRefused : SaveResult::Failed;
    }
    // Make the rename itself durable; the file is complete either way.
    const std::string dir = DirectoryOf(target);
    const int dirFd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return SaveResult::Done;
}

bool WriteInPlace(const std::string& target, const unsigned char* data) {
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data, FILE_SIZE);
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    return ok;
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

    // A link named "hvl.cfg" is written through: its target is replaced, and
    // the link stays.
    std::string target;
    if (!ResolveLinks(PathIn(pszDirectory, FILE_NAME), target)) {
        TraceSaveFailed();
        return 0;
    }
    const SaveResult result = ReplaceAtomically(target, data);
    // A directory the user cannot write still lets a writable file be
    // rewritten in place, as a plain truncating write does.
    const bool ok =
        result == SaveResult::Done || (result == SaveResult::DirectoryRefused && WriteInPlace(target, data));
    if (!ok) {
        TraceSaveFailed();
        return 0;
    }
    return 1;
}
