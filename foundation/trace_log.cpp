#include "trace_log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

// The file holds UTF-16LE; lines are written straight from memory.
static_assert(std::endian::native == std::endian::little, "trace lines are written as in-memory UTF-16");

using trace_detail::ArgKind;
using trace_detail::TraceArg;

namespace {

constexpr const char* MACHINE_CONFIG_FILE = "/etc/xdg/Ostrel/PrinterLocator.conf";
constexpr const char* USER_CONFIG_FILE = "/.config/Ostrel/Client.conf";  // under the home directory
constexpr size_t MESSAGE_BUFFER_START = 1024;
constexpr size_t MESSAGE_BUFFER_STEP = 1024;
constexpr size_t HEADER_LIMIT = 119;
constexpr size_t CONFIG_FILE_LIMIT = 64 * 1024;

// Collects formatted output up to a limit, remembering whether it overflowed.
class COutput {
public:
    COutput(char16_t* out, size_t limit) : m_pOut(out), m_nLimit(limit) {}

    void Put(char16_t c) {
        if (m_nCount < m_nLimit) {
            m_pOut[m_nCount] = c;
        } else {
            m_bOverflow = true;
        }
        ++m_nCount;
    }
    void Repeat(char16_t c, size_t n) {
        for (size_t i = 0; i < n && !m_bOverflow; ++i) {
            Put(c);
        }
    }
    int TerminateAndCount() {
        m_pOut[m_nCount < m_nLimit ? m_nCount : m_nLimit] = 0;
        return m_bOverflow ? -1 : static_cast<int>(m_nCount);
    }
    bool Overflowed() const { return m_bOverflow; }

private:
    char16_t* m_pOut;
    size_t m_nLimit;
    size_t m_nCount = 0;
    bool m_bOverflow = false;
};

struct Conversion {
    bool bLeft = false;
    bool bPlus = false;
    bool bSpace = false;
    bool bAlt = false;
    bool bZero = false;
    size_t nWidth = 0;
    bool bPrecision = false;
    size_t nPrecision = 0;
};

void FormatInteger(COutput& out, const Conversion& how, char16_t conv, const TraceArg& arg) {
    uint64_t magnitude = 0;
    bool negative = false;
    const bool is32 = arg.nBits <= 32;
    if (conv == u'd' || conv == u'i') {
        int64_t v = is32 ? static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(arg.nValue)))
                         : static_cast<int64_t>(arg.nValue);
        negative = v < 0;
        magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    } else {
        magnitude = is32 ? static_cast<uint32_t>(arg.nValue) : arg.nValue;
    }
    const unsigned base = (conv == u'x' || conv == u'X') ? 16 : 10;
    const char* digitSet = conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    char16_t digits[24];
    size_t nDigits = 0;
    for (uint64_t v = magnitude; v != 0; v /= base) {
        digits[nDigits++] = static_cast<char16_t>(digitSet[v % base]);
    }
    // printf: no precision means at least one digit; precision 0 with 0 prints none.
    const size_t minDigits = how.bPrecision ? how.nPrecision : 1;
    const size_t zeros = minDigits > nDigits ? minDigits - nDigits : 0;

    char16_t prefix[2];
    size_t nPrefix = 0;
    if (negative) {
        prefix[nPrefix++] = u'-';
    } else if ((conv == u'd' || conv == u'i') && how.bPlus) {
        prefix[nPrefix++] = u'+';
    } else if ((conv == u'd' || conv == u'i') && how.bSpace) {
        prefix[nPrefix++] = u' ';
    } else if (base == 16 && how.bAlt && magnitude != 0) {
        prefix[nPrefix++] = u'0';
        prefix[nPrefix++] = conv;
    }

    const size_t body = nPrefix + zeros + nDigits;
    const size_t pad = how.nWidth > body ? how.nWidth - body : 0;
    const bool zeroPad = how.bZero && !how.bLeft && !how.bPrecision;
    if (!how.bLeft && !zeroPad) {
        out.Repeat(u' ', pad);
    }
    for (size_t i = 0; i < nPrefix; ++i) {
        out.Put(prefix[i]);
    }
    if (zeroPad) {
        out.Repeat(u'0', pad);
    }
    out.Repeat(u'0', zeros);
    while (nDigits > 0 && !out.Overflowed()) {
        out.Put(digits[--nDigits]);
    }
    if (how.bLeft) {
        out.Repeat(u' ', pad);
    }
}

// Text arguments come from the network (printer names, URLs): a line break
// or other control character in them would let a device forge trace lines,
// so each becomes a space.
char16_t Printable(char16_t c) {
    return (c < 0x20 || c == 0x7F || c == 0x2028 || c == 0x2029) ? u' ' : c;
}

void FormatText(COutput& out, const Conversion& how, const char16_t* text, size_t length,
                bool bPrintableOnly = false) {
    static const char16_t NULL_TEXT[] = u"(null)";
    if (text == nullptr) {
        text = NULL_TEXT;
        length = 6;
    }
    if (how.bPrecision && how.nPrecision < length) {
        length = how.nPrecision;
    }
    const size_t pad = how.nWidth > length ? how.nWidth - length : 0;
    if (!how.bLeft) {
        out.Repeat(u' ', pad);
    }
    for (size_t i = 0; i < length && !out.Overflowed(); ++i) {
        out.Put(bPrintableOnly ? Printable(text[i]) : text[i]);
    }
    if (how.bLeft) {
        out.Repeat(u' ', pad);
    }
}

size_t ParseNumber(const char16_t*& p) {
    size_t n = 0;
    while (*p >= u'0' && *p <= u'9') {
        if (n < 100000) {  // a literal's width; anything larger is nonsense
            n = n * 10 + static_cast<size_t>(*p - u'0');
        }
        ++p;
    }
    return n;
}

// Writes every byte of the pieces; false when the file refused some.
bool WriteAll(int fd, iovec* iov, int count) {
    while (count > 0) {
        ssize_t n = writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

// An unsigned 32-bit value written in decimal or as 0x hex; anything else is
// the wrong type.
bool ParseLevel(const std::string& text, uint32_t& value) {
    uint64_t v = 0;
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) {
        return false;
    }
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        v = v * base + d;
        if (v > 0xFFFFFFFFu) {
            return false;
        }
    }
    value = static_cast<uint32_t>(v);
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) {
        --e;
    }
    return s.substr(b, e - b);
}

enum class ReadResult { ABSENT, FAILED, READ };

struct KeyValues {
    bool bHasLevel = false;
    std::string strLevel;
    bool bHasFile = false;
    std::string strFile;
};

// Reads "DebugLevel=" and "DebugFile=" lines; group headers and comments are
// skipped, the last occurrence of a key counts.
ReadResult ReadKeyFile(const char* path, KeyValues& kv) {
    if (path == nullptr) {
        return ReadResult::ABSENT;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? ReadResult::ABSENT : ReadResult::FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(CONFIG_FILE_LIMIT)) {
        close(fd);
        return ReadResult::FAILED;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return ReadResult::FAILED;
        }
        if (n == 0) {
            break;
        }
        content.append(chunk, static_cast<size_t>(n));
        if (content.size() > CONFIG_FILE_LIMIT) {
            close(fd);
            return ReadResult::FAILED;
        }
    }
    close(fd);

    size_t pos = 0;
    while (pos < content.size()) {
        size_t eol = content.find('\n', pos);
        if (eol == std::string::npos) {
            eol = content.size();
        }
        const std::string line = Trim(content.substr(pos, eol - pos));
        pos = eol + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') {
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key == "DebugLevel") {
            kv.bHasLevel = true;
            kv.strLevel = value;
        } else if (key == "DebugFile") {
            kv.bHasFile = true;
            kv.strFile = value.substr(0, value.find('\0'));
        }
    }
    return ReadResult::READ;
}

std::string UserConfigPath() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw;
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) != 0 || result == nullptr ||
        result->pw_dir == nullptr || result->pw_dir[0] == 0) {
        return std::string();
    }
    return std::string(result->pw_dir) + USER_CONFIG_FILE;
}

}  // namespace

namespace trace_detail {
void TraceFormatError_BadConversionOrArgumentType(const char*) {}
}  // namespace trace_detail

int FormatTraceText(char16_t* out, size_t limit, const char16_t* format, const TraceArg* args, size_t count) {
    COutput o(out, limit);
    size_t next = 0;
    for (const char16_t* p = format; *p && !o.Overflowed();) {
        if (*p != u'%') {
            o.Put(*p++);
            continue;
        }
        ++p;
        if (*p == u'%') {
            o.Put(*p++);
            continue;
        }
        Conversion how;
        for (;; ++p) {
            if (*p == u'-') {
                how.bLeft = true;
            } else if (*p == u'+') {
                how.bPlus = true;
            } else if (*p == u' ') {
                how.bSpace = true;
            } else if (*p == u'#') {
                how.bAlt = true;
            } else if (*p == u'0') {
                how.bZero = true;
            } else {
                break;
            }
        }
        how.nWidth = ParseNumber(p);
        if (*p == u'.') {
            ++p;
            how.bPrecision = true;
            how.nPrecision = ParseNumber(p);
        }
        const char16_t conv = *p;
        if (conv == 0) {
            break;
        }
        ++p;
        // The format was checked against the arguments when compiled; these
        // guards only keep an unchecked caller from reading past them.
        if (next >= count) {
            break;
        }
        const TraceArg& arg = args[next++];
        if (conv == u's' && arg.nKind == ArgKind::TEXT) {
            FormatText(o, how, arg.pText, arg.nLength, true);
        } else if (conv == u'c' && arg.nKind == ArgKind::INTEGER) {
            const char16_t c = static_cast<char16_t>(arg.nValue);
            Conversion plain = how;
            plain.bPrecision = false;
            FormatText(o, plain, &c, 1);
        } else if (arg.nKind == ArgKind::INTEGER &&
                   (conv == u'd' || conv == u'i' || conv == u'u' || conv == u'x' || conv == u'X')) {
            FormatInteger(o, how, conv, arg);
        }
    }
    return o.TerminateAndCount();
}

CTraceLog::CHeapBuffer::~CHeapBuffer() {
    std::free(pData);
}

bool CTraceLog::CHeapBuffer::Resize(size_t nBytes) {
    if (nBytes == 0) {
        return false;
    }
    if (nBytes <= nCapacity) {
        std::memset(pData, 0, nCapacity);
        nSize = nBytes;
        return true;
    }
    std::free(pData);
    pData = static_cast<char*>(std::calloc(nBytes, 1));
    if (pData == nullptr) {
        nSize = 0;
        nCapacity = 0;
        return false;
    }
    nSize = nBytes;
    nCapacity = nBytes;
    return true;
}

CTraceLog::CTraceLog() {
    const std::string user = UserConfigPath();
    Configure(MACHINE_CONFIG_FILE, user.empty() ? nullptr : user.c_str());
}

CTraceLog::CTraceLog(const char* pszMachineFile, const char* pszUserFile) {
    Configure(pszMachineFile, pszUserFile);
}

CTraceLog::~CTraceLog() {
    m_nLevelMask.store(0);
}

// Constructed before the other static objects of the program (they use the
// default priority) and therefore destroyed after them.
static CTraceLog s_traceLog __attribute__((init_priority(101)));

CTraceLog& CTraceLog::Instance() {
    return s_traceLog;
}

void CTraceLog::Configure(const char* pszMachineFile, const char* pszUserFile) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_nLevelMask.store(0);
    m_strFilePath.clear();

    // The per-user file counts only when the machine-wide one does not exist:
    // a machine file that lacks the values does not lead to the user file.
    KeyValues kv;
    ReadResult result = ReadKeyFile(pszMachineFile, kv);
    if (result == ReadResult::ABSENT) {
        result = ReadKeyFile(pszUserFile, kv);
    }
    if (result != ReadResult::READ) {
        return;
    }
    uint32_t mask = 0;
    if (!kv.bHasLevel || !ParseLevel(kv.strLevel, mask)) {
        return;
    }
    if (!kv.bHasFile || kv.strFile.empty()) {
        return;
    }
    if (!m_bufMessage.Resize(MESSAGE_BUFFER_START)) {
        return;
    }
    m_strFilePath = kv.strFile;
    m_nLevelMask.store(mask);
}

std::string CTraceLog::GetFilePath() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strFilePath;
}

size_t CTraceLog::GetMessageBufferSize() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bufMessage.nSize;
}

void CTraceLog::Write(uint32_t nLevel, const char16_t* pszSource, const char16_t* pszFormat,
                      const TraceArg* pArgs, size_t nArgs) {
    if (!IsEnabled(nLevel) || pszFormat == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (!IsEnabled(nLevel)) {
        return;
    }
    size_t size = m_bufMessage.nSize;
    int length;
    for (;;) {
        std::memset(m_bufMessage.pData, 0, m_bufMessage.nSize);
        char16_t* text = reinterpret_cast<char16_t*>(m_bufMessage.pData);
        length = FormatTraceText(text, size / 2 - 1, pszFormat, pArgs, nArgs);
        if (length >= 0) {
            break;
        }
        size = (size & ~static_cast<size_t>(1)) + MESSAGE_BUFFER_STEP;
        if (!m_bufMessage.Resize(size)) {
            // Out of memory: this message is lost and the log stays off.
            m_nLevelMask.store(0);
            return;
        }
    }
    WriteLine(nLevel, pszSource, reinterpret_cast<const char16_t*>(m_bufMessage.pData),
              static_cast<size_t>(length));
}

bool CTraceLog::LockFileWithinBound() {
    // The file is open to every user, and so is its lock: anyone may hold
    // it, so it is never waited for without a limit.
    constexpr auto LOCK_BOUND = std::chrono::seconds(1);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point tStart = Clock::now();
    const bool bMayWait = tStart >= m_tLockWaitsFrom;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (flock(m_hFile, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        if (!bMayWait || Clock::now() - tStart >= LOCK_BOUND) {
            if (bMayWait) {
                m_tLockWaitsFrom = Clock::now() + LOCK_BOUND;
            }
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

void CTraceLog::WriteLine(uint32_t nLevel, const char16_t* pszSource, const char16_t* pMessage,
                          size_t nMessage) {
    const char* path = m_strFilePath.c_str();
    // No symbolic link is followed, and a FIFO or device never blocks the caller.
    constexpr int FLAGS = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    bool created = false;
    m_hFile = open(path, FLAGS);
    if (m_hFile < 0 && errno == ENOENT) {
        m_hFile = open(path, FLAGS | O_CREAT | O_EXCL, 0666);
        if (m_hFile >= 0) {
            created = true;
        } else if (errno == EEXIST) {
            m_hFile = open(path, FLAGS);
        }
    }
    if (m_hFile < 0) {
        return;  // this line is lost; the next message tries again
    }
    struct stat st;
    if (fstat(m_hFile, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(m_hFile);
        m_hFile = -1;
        return;
    }
    if (created) {
        // Every user's copy of the program shares the file, whatever the umask.
        fchmod(m_hFile, 0666);
    }
    if (!LockFileWithinBound()) {
        close(m_hFile);  // the line is lost, as when the file cannot be opened
        m_hFile = -1;
        return;
    }

    const bool empty = lseek(m_hFile, 0, SEEK_END) == 0;

    tm now = {};
    const time_t t = time(nullptr);
    localtime_r(&t, &now);
    const TraceArg headerArgs[] = {
        trace_detail::MakeArg(now.tm_mday),
        trace_detail::MakeArg(now.tm_mon + 1),
        trace_detail::MakeArg(now.tm_year + 1900),
        trace_detail::MakeArg(now.tm_hour),
        trace_detail::MakeArg(now.tm_min),
        trace_detail::MakeArg(now.tm_sec),
        trace_detail::MakeArg(static_cast<uint32_t>(getpid())),
        trace_detail::MakeArg(static_cast<uint32_t>(gettid())),
    };
    std::memset(m_szHeader, 0, sizeof m_szHeader);
    int header = FormatTraceText(m_szHeader, HEADER_LIMIT,
                                 u"%.2d.%.2d.%.4d %.2d:%.2d:%.2d PID:0x%04X THID:0x%04X: ", headerArgs, 8);
    if (header < 0) {
        header = static_cast<int>(HEADER_LIMIT);
    }

    static const unsigned char BOM[] = {0xFF, 0xFE};
    static const char16_t SEPARATOR[] = u": ";
    static const char16_t ERROR_TAG[] = u"[ERROR] ";
    static const char16_t WARNING_TAG[] = u"[WARN] ";
    static const char16_t LINE_END[] = u"\r\n";
    auto piece = [](const void* p, size_t bytes) { return iovec{const_cast<void*>(p), bytes}; };

    iovec iov[7];
    int n = 0;
    if (empty) {
        iov[n++] = piece(BOM, sizeof BOM);
    }
    iov[n++] = piece(m_szHeader, static_cast<size_t>(header) * 2);
    if (pszSource != nullptr) {
        iov[n++] = piece(pszSource, std::char_traits<char16_t>::length(pszSource) * 2);
        iov[n++] = piece(SEPARATOR, 4);
    }
    if (nLevel == TRACE_ERROR) {
        iov[n++] = piece(ERROR_TAG, 16);
    } else if (nLevel == TRACE_WARNING) {
        iov[n++] = piece(WARNING_TAG, 14);
    }
    iov[n++] = piece(pMessage, nMessage * 2);
    iov[n++] = piece(LINE_END, 4);
    WriteAll(m_hFile, iov, n);  // a failed write loses the line, nothing more

    flock(m_hFile, LOCK_UN);
    close(m_hFile);
    m_hFile = -1;
}
