// Wide (UTF-16) text that also yields its UTF-8 form, built on demand and
// cached until the wide text is next assigned.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CConvString : public std::u16string {
public:
    CConvString();
    CConvString(const char16_t* psz);  // absent text gives the empty text
    CConvString(const std::u16string& str);
    CConvString(const CConvString& other);  // copies the wide text only
    virtual ~CConvString();

    CConvString& operator=(const char16_t* psz);
    CConvString& operator=(const std::u16string& str);
    CConvString& operator=(const CConvString& other);
    // Decodes with the C library's multibyte conversion of the current locale.
    // A byte the locale cannot decode stands for itself (U+0080..U+00FF, as
    // in Latin-1): nothing is refused or dropped.
    CConvString& operator=(const char* psz);

    // NUL-terminated UTF-8; null before any text was ever set (and when the
    // buffer cannot be allocated). The buffer is sized 4 bytes per UTF-16
    // unit plus 4 and kept while it is no more than 1024 bytes too large.
    const char* GetNarrow();

    // Size of the narrow cache, for tests and diagnostics.
    uint32_t GetNarrowCapacity() const { return m_nNarrowCapacity; }
    // The narrow form's code page: always 65001 (UTF-8).
    uint32_t GetCodePage() const { return m_nCodePage; }

private:
    uint32_t m_nNarrowCapacity = 0;
    int32_t m_bStale = 0;
    char* m_pNarrow = nullptr;
    uint32_t m_nCodePage = 65001;
};

// The string operations other modules rely on; each works in place.
void PrefixHttp(std::u16string& str);      // inserts "http://" before the text
void RemoveDotLocal(std::u16string& str);  // drops every ".local", left to right
void CommasToPoints(std::u16string& str);  // "," -> "."
void TrimRight(std::u16string& str);       // trailing wide white space
void TrimLeft(std::u16string& str);        // leading wide white space

// UTF-8 <-> UTF-16 without locale: invalid input becomes U+FFFD, never a failure.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
