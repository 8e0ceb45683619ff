#include "conv_string.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Encodes one code point; returns the bytes written (at most 4).
size_t EncodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Decodes the code point at text[i] and advances i; a lone surrogate gives
// U+FFFD. Never yields more than 4 UTF-8 bytes per UTF-16 unit consumed.
char32_t NextCodePoint(std::u16string_view text, size_t& i) {
    const char16_t c = text[i++];
    if (IsHighSurrogate(c)) {
        if (i < text.size() && IsLowSurrogate(text[i])) {
            const char16_t low = text[i++];
            return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00);
        }
        return REPLACEMENT;
    }
    if (IsLowSurrogate(c)) {
        return REPLACEMENT;
    }
    return c;
}

// Writes the UTF-8 form of text into out (which holds 4 bytes per unit);
// returns the number of bytes written, without a terminator.
size_t EncodeText(std::u16string_view text, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        n += EncodeUtf8(NextCodePoint(text, i), out + n);
    }
    return n;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = REPLACEMENT;
    }
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

bool IsWideSpace(char16_t c) {
    // The Unicode White_Space characters, independent of any locale.
    switch (c) {
        case 0x0009:
        case 0x000A:
        case 0x000B:
        case 0x000C:
        case 0x000D:
        case 0x0020:
        case 0x0085:
        case 0x00A0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace

CConvString::CConvString() = default;

CConvString::CConvString(const char16_t* psz) {
    *this = psz;
}

CConvString::CConvString(const std::u16string& str) {
    *this = str;
}

CConvString::CConvString(const CConvString& other) : std::u16string() {
    *this = other;
}

CConvString::~CConvString() {
    std::free(m_pNarrow);
}

CConvString& CConvString::operator=(const char16_t* psz) {
    m_bStale = 1;
    if (psz == nullptr) {
        clear();
    } else {
        std::u16string::operator=(psz);
    }
    return *this;
}

CConvString& CConvString::operator=(const std::u16string& str) {
    m_bStale = 1;
    std::u16string::operator=(str);
    return *this;
}

CConvString& CConvString::operator=(const CConvString& other) {
    m_bStale = 1;
    if (this != &other) {
        std::u16string::operator=(static_cast<const std::u16string&>(other));
    }
    return *this;
}

CConvString& CConvString::operator=(const char* psz) {
    m_bStale = 1;
    std::u16string wide;
    if (psz != nullptr) {
        // The current locale's multibyte conversion; a byte it cannot decode
        // stands for itself (as in Latin-1), so nothing is lost or refused.
        const size_t length = std::strlen(psz);
        std::mbstate_t state{};
        size_t i = 0;
        while (i < length) {
            wchar_t wc = 0;
            const size_t n = std::mbrtowc(&wc, psz + i, length - i, &state);
            if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
                AppendUtf16(wide, static_cast<unsigned char>(psz[i]));
                ++i;
                state = std::mbstate_t{};
                continue;
            }
            AppendUtf16(wide, static_cast<char32_t>(wc));
            i += n == 0 ? 1 : n;
        }
    }
    std::u16string::operator=(std::move(wide));
    return *this;
}

const char* CConvString::GetNarrow() {
    if (!m_bStale) {
        return m_pNarrow;
    }
    const uint64_t needed = static_cast<uint64_t>(size()) * 4 + 4;
    if (needed > UINT32_MAX) {
        return nullptr;  // larger than the cache can describe; the text stays wide only
    }
    // Reuse the buffer while it is large enough and less than 1024 bytes too large.
    if (m_pNarrow == nullptr || m_nNarrowCapacity < needed || m_nNarrowCapacity > needed + 1024) {
        std::free(m_pNarrow);
        m_pNarrow = static_cast<char*>(std::malloc(needed));
        m_nNarrowCapacity = m_pNarrow ? static_cast<uint32_t>(needed) : 0;
        if (m_pNarrow == nullptr) {
            return nullptr;  // no memory: no narrow form, tried again next time
        }
    }
    const size_t written = EncodeText(*this, m_pNarrow);
    m_pNarrow[written] = 0;
    m_bStale = 0;
    return m_pNarrow;
}

void PrefixHttp(std::u16string& str) {
    str.insert(0, u"http://");
}

void RemoveDotLocal(std::u16string& str) {
    // Matches are found in the original text, so removing one never creates
    // another from its neighbours.
    static constexpr std::u16string_view DOT_LOCAL = u".local";
    std::u16string result;
    result.reserve(str.size());
    size_t pos = 0;
    for (;;) {
        const size_t hit = str.find(DOT_LOCAL, pos);
        if (hit == std::u16string::npos) {
            break;
        }
        result.append(str, pos, hit - pos);
        pos = hit + DOT_LOCAL.size();
    }
    if (pos == 0) {
        return;
    }
    result.append(str, pos, std::u16string::npos);
    str = std::move(result);
}

void CommasToPoints(std::u16string& str) {
    for (char16_t& c : str) {
        if (c == u',') {
            c = u'.';
        }
    }
}

void TrimRight(std::u16string& str) {
    size_t end = str.size();
    while (end > 0 && IsWideSpace(str[end - 1])) {
        --end;
    }
    str.erase(end);
}

void TrimLeft(std::u16string& str) {
    size_t begin = 0;
    while (begin < str.size() && IsWideSpace(str[begin])) {
        ++begin;
    }
    str.erase(0, begin);
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        size_t extra;
        char32_t cp;
        char32_t min;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            cp = b & 0x1F;
            min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            cp = b & 0x0F;
            min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            cp = b & 0x07;
            min = 0x10000;
        } else {
            out.push_back(static_cast<char16_t>(REPLACEMENT));
            ++i;
            continue;
        }
        // A broken sequence is replaced as one unit up to the first byte that
        // does not continue it; that byte starts afresh.
        size_t j = 1;
        bool ok = true;
        for (; j <= extra; ++j) {
            if (i + j >= n || (p[i + j] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (p[i + j] & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(static_cast<char16_t>(REPLACEMENT));
            i += j;
            continue;
        }
        AppendUtf16(out, cp);
        i += j;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out(utf16.size() * 3, '\0');  // a unit never needs more than 3 bytes on its own
    size_t n = 0;
    for (size_t i = 0; i < utf16.size();) {
        n += EncodeUtf8(NextCodePoint(utf16, i), out.data() + n);
    }
    out.resize(n);
    return out;
}
