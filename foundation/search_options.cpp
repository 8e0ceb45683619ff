#include "search_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "trace_log.h"

namespace {

constexpr const char* FILE_NAME = "hvl.cfg";
constexpr int32_t FILE_VERSION = 1;
constexpr size_t FILE_SIZE = 12;
constexpr const char* TEMP_SUFFIX = ".tmp";
// The longest the caller (the window's thread, as it closes) waits for a save.
constexpr std::chrono::seconds SAVE_BOUND{1};

using FileBytes = std::array<unsigned char, FILE_SIZE>;

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

// The kernel's fs.protected_symlinks rule, applied here because it may be
// off: in a sticky world-writable directory (/tmp) a link is followed only
// when it belongs to the user or to the directory's owner, so a link another
// user planted there cannot aim the save at the user's own files.
bool MayFollow(const std::string& link, const struct stat& linkStat) {
    const std::string dir = DirectoryOf(link);
    struct stat dirStat {};
    if (stat(dir.empty() ? "." : dir.c_str(), &dirStat) != 0) return false;
    const bool bShared = (dirStat.st_mode & S_ISVTX) != 0 && (dirStat.st_mode & S_IWOTH) != 0;
    return !bShared || linkStat.st_uid == geteuid() || linkStat.st_uid == dirStat.st_uid;
}

// Follows symbolic links from path to the file they end at (which need not
// exist); relative targets count from the link's own directory. False for a
// link that must not be followed, and for a loop.
bool ResolveLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        if (!MayFollow(path, st)) return false;
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
    // A FIFO, a device or a directory is never written to.
    if (exists && !S_ISREG(old.st_mode)) return SaveResult::Failed;
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
    // Opened without blocking (a FIFO put there since would wait for a
    // reader) and written only when it is a regular file.
    const int fd =
        open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) == 0;
    ok = ok && WriteAll(fd, data, FILE_SIZE);
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    return ok;
}

bool SaveFile(const std::string& path, const unsigned char* data) {
    // A link named "hvl.cfg" is written through: its target is replaced, and
    // the link stays.
    std::string target;
    if (!ResolveLinks(path, target)) return false;
    const SaveResult result = ReplaceAtomically(target, data);
    // A directory the user cannot write still lets a writable file be
    // rewritten in place, as a plain truncating write does.
    return result == SaveResult::Done ||
           (result == SaveResult::DirectoryRefused && WriteInPlace(target, data));
}

// The file system may stall (a slow disk's fsync, a hung network mount):
// the caller waits at most SAVE_BOUND. A save still running then goes on by
// itself and replaces the file whole or not at all.
bool SaveFileWithinBound(const std::string& path, const FileBytes& data) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool bDone = false;
        bool bSaved = false;
    };
    auto pOutcome = std::make_shared<Outcome>();
    try {
        std::thread([pOutcome, path, data] {
            const bool bSaved = SaveFile(path, data.data());
            const std::lock_guard<std::mutex> lock(pOutcome->mutex);
            pOutcome->bDone = true;
            pOutcome->bSaved = bSaved;
            pOutcome->done.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return SaveFile(path, data.data());  // no thread to be had: save here
    }
    std::unique_lock<std::mutex> lock(pOutcome->mutex);
    return pOutcome->done.wait_for(lock, SAVE_BOUND, [&pOutcome] { return pOutcome->bDone; }) &&
           pOutcome->bSaved;
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
    FileBytes data{};
    PutLE(data.data(), FILE_VERSION);
    PutLE(data.data() + 4, bMdnsEnabled);
    PutLE(data.data() + 8, bUpnpEnabled);
    if (!SaveFileWithinBound(PathIn(pszDirectory, FILE_NAME), data)) {
        TraceSaveFailed();
        return 0;
    }
    return 1;
}
