// The diagnostic trace log: one process-wide object and one call,
// TraceMessage, through which every module reports progress and failures.
//
// Usage:
//   TraceMessage(TRACE_INFO, nullptr, u"%s: reset data.", m_strName);
//   TraceMessage(TRACE_ERROR, nullptr, u"Could not start (0x%08X)", code);
//
// The format is a UTF-16 printf-style literal checked at compile time against
// the arguments: "%s" takes UTF-16 text (std::u16string, CConvString,
// std::u16string_view, const char16_t*), the integer conversions (%d %i %u
// %x %X %c, with flags, width and precision) take integers. Text from outside
// is only ever an argument, never the format.
//
// Integers are formatted at their own width, as printf sees them after the
// usual promotions: %d/%i read the value as signed, %u/%x/%X as unsigned, so
// an int of -1 with %X gives "FFFFFFFF" and an int64_t of -1 gives sixteen Fs.
// %c writes the value as one UTF-16 code unit.
//
// The log is configured from key files: /etc/xdg/Ostrel/PrinterLocator.conf,
// and only when that file does not exist, ~/.config/Ostrel/Client.conf, each
// with the lines "DebugLevel=<mask>" and "DebugFile=<path>". Anything wrong
// with them leaves the log off; the log never reports its own failures.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

constexpr uint32_t TRACE_ERROR = 1;
constexpr uint32_t TRACE_WARNING = 2;
constexpr uint32_t TRACE_INFO = 4;

namespace trace_detail {

enum class ArgKind : uint8_t { NONE, TEXT, INTEGER };

// One formatted argument, type-erased after the compile-time check.
struct TraceArg {
    ArgKind nKind = ArgKind::NONE;
    uint8_t nBits = 32;               // width of the integer as printf would see it
    bool bSigned = false;             // whether the integer's own type is signed
    uint64_t nValue = 0;              // integer, sign- or zero-extended
    const char16_t* pText = nullptr;  // text; null prints "(null)"
    size_t nLength = 0;
};

template <class T>
consteval ArgKind KindOf() {
    using D = std::remove_cvref_t<T>;
    using P = std::decay_t<D>;
    if constexpr (std::is_base_of_v<std::u16string, D> || std::is_same_v<D, std::u16string_view> ||
                  std::is_same_v<P, const char16_t*> || std::is_same_v<P, char16_t*>) {
        return ArgKind::TEXT;
    } else if constexpr (std::is_integral_v<D> || std::is_enum_v<D>) {
        return ArgKind::INTEGER;
    } else {
        return ArgKind::NONE;
    }
}

template <class T>
TraceArg MakeArg(const T& value) {
    using D = std::remove_cvref_t<T>;
    TraceArg arg;
    if constexpr (KindOf<T>() == ArgKind::TEXT) {
        arg.nKind = ArgKind::TEXT;
        if constexpr (std::is_base_of_v<std::u16string, D> || std::is_same_v<D, std::u16string_view>) {
            arg.pText = value.data();
            arg.nLength = value.size();
        } else {
            const char16_t* pszText = value;
            arg.pText = pszText;
            arg.nLength = pszText ? std::char_traits<char16_t>::length(pszText) : 0;
        }
    } else {
        static_assert(KindOf<T>() == ArgKind::INTEGER, "trace argument must be text or an integer");
        using I = typename std::conditional_t<std::is_enum_v<D>, std::underlying_type<D>,
                                              std::type_identity<D>>::type;
        arg.nKind = ArgKind::INTEGER;
        arg.nBits = sizeof(I) < 4 ? 32 : static_cast<uint8_t>(sizeof(I) * 8);
        arg.bSigned = std::is_signed_v<I>;
        arg.nValue = arg.bSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<I>(value)))
                                 : static_cast<uint64_t>(static_cast<I>(value));
    }
    return arg;
}

// Called only during constant evaluation of a bad format: it is not
// constexpr, so reaching it makes the call fail to compile. Its name is what
// the compiler shows.
void TraceFormatError_BadConversionOrArgumentType(const char* why);

}  // namespace trace_detail

// A format string checked at compile time against the argument types.
template <class... A>
class CTraceFormat {
public:
    template <class S>
    requires std::is_convertible_v<const S&, const char16_t*>
    consteval CTraceFormat(const S& s) : m_pszFormat(s) { Check(m_pszFormat); }

    const char16_t* Get() const { return m_pszFormat; }

private:
    static consteval void Check(const char16_t* p) {
        using trace_detail::ArgKind;
        constexpr ArgKind kinds[] = {trace_detail::KindOf<A>()..., ArgKind::NONE};
        constexpr size_t count = sizeof...(A);
        if (p == nullptr) {
            trace_detail::TraceFormatError_BadConversionOrArgumentType("format is null");
        }
        size_t used = 0;
        while (*p) {
            if (*p++ != u'%') {
                continue;
            }
            if (*p == u'%') {
                ++p;
                continue;
            }
            while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
                ++p;
            }
            while (*p >= u'0' && *p <= u'9') {
                ++p;
            }
            if (*p == u'.') {
                ++p;
                while (*p >= u'0' && *p <= u'9') {
                    ++p;
                }
            }
            ArgKind want = ArgKind::NONE;
            switch (*p) {
                case u's':
                    want = ArgKind::TEXT;
                    break;
                case u'd':
                case u'i':
                case u'u':
                case u'x':
                case u'X':
                case u'c':
                    want = ArgKind::INTEGER;
                    break;
                default:
                    trace_detail::TraceFormatError_BadConversionOrArgumentType("unsupported conversion");
            }
            ++p;
            if (used >= count) {
                trace_detail::TraceFormatError_BadConversionOrArgumentType("too few arguments");
            }
            if (kinds[used] != want) {
                trace_detail::TraceFormatError_BadConversionOrArgumentType("argument type does not match");
            }
            ++used;
        }
        if (used != count) {
            trace_detail::TraceFormatError_BadConversionOrArgumentType("too many arguments");
        }
    }

    const char16_t* m_pszFormat;
};

// The arguments decide the format's type; the format itself takes no part in
// deduction (as with std::format_string).
template <class... A>
using TraceFormat = CTraceFormat<std::type_identity_t<A>...>;

// Formats a checked format into out, at most limit characters plus a NUL.
// Returns the number of characters written, or -1 when the text did not fit.
int FormatTraceText(char16_t* out, size_t limit, const char16_t* format, const trace_detail::TraceArg* args,
                    size_t count);

class CTraceLog {
public:
    // Reads the standard key files.
    CTraceLog();
    // Reads the given key files instead (either may be null: absent).
    CTraceLog(const char* pszMachineFile, const char* pszUserFile);
    ~CTraceLog();
    CTraceLog(const CTraceLog&) = delete;
    CTraceLog& operator=(const CTraceLog&) = delete;

    // The process-wide log: configured before other static objects are
    // constructed and destroyed after them.
    static CTraceLog& Instance();

    // Reconfigures from the given key files; the message buffer starts over.
    void Configure(const char* pszMachineFile, const char* pszUserFile);

    bool IsEnabled(uint32_t nLevel) const {
        return (nLevel & m_nLevelMask.load(std::memory_order_relaxed)) != 0;
    }
    uint32_t GetLevelMask() const { return m_nLevelMask.load(std::memory_order_relaxed); }
    std::string GetFilePath() const;
    // Size in bytes of the buffer messages are formatted into.
    size_t GetMessageBufferSize() const;

    template <class... A>
    void Trace(uint32_t nLevel, const char16_t* pszSource, TraceFormat<A...> fmt, A&&... args) {
        if (!IsEnabled(nLevel)) {
            return;
        }
        const trace_detail::TraceArg aArgs[] = {trace_detail::MakeArg(args)..., trace_detail::TraceArg{}};
        Write(nLevel, pszSource, fmt.Get(), aArgs, sizeof...(A));
    }

    // Unchecked entry for callers that already hold erased arguments.
    void Write(uint32_t nLevel, const char16_t* pszSource, const char16_t* pszFormat,
               const trace_detail::TraceArg* pArgs, size_t nArgs);

private:
    struct CHeapBuffer {
        char* pData = nullptr;
        size_t nSize = 0;
        size_t nCapacity = 0;
        ~CHeapBuffer();
        bool Resize(size_t nBytes);  // zero-filled; old contents are not kept
    };

    void WriteLine(uint32_t nLevel, const char16_t* pszSource, const char16_t* pMessage, size_t nMessage);
    // Takes the file's lock within LOCK_BOUND; after one wait ran out, the
    // messages of the next LOCK_BOUND try once only, so a lock that another
    // user holds never queues the threads up one bound after another.
    bool LockFileWithinBound();

    std::atomic<uint32_t> m_nLevelMask{0};
    std::string m_strFilePath;
    CHeapBuffer m_bufMessage;
    char16_t m_szHeader[120] = {};
    int m_hFile = -1;
    std::chrono::steady_clock::time_point m_tLockWaitsFrom{};
    mutable std::mutex m_lock;
};

// The one logging call of the system.
template <class... A>
void TraceMessage(uint32_t nLevel, const char16_t* pszSource, TraceFormat<A...> fmt, A&&... args) {
    CTraceLog::Instance().Trace(nLevel, pszSource, fmt, std::forward<A>(args)...);
}
