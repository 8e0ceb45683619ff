#include "network_text.h"

#include <algorithm>
#include <cstdio>

#include "conv_string.h"

namespace {

bool IsLineSeparator(char16_t ch) {
    return ch == 0x2028 || ch == 0x2029;
}

bool IsUnsafeToShow(char16_t ch) {
    return IsControlCharacter(ch) || IsBidiControl(ch) || IsLineSeparator(ch);
}

bool KeptInCsv(std::u16string_view text, size_t i) {
    const char16_t ch = text[i];
    if (ch == u'\n' || ch == u'\t') return true;
    // A lone CR ends the line in some readers and rewrites it on a terminal.
    return ch == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
}

}  // namespace

bool IsControlCharacter(char16_t ch) {
    return ch < 0x20 || (ch >= 0x7F && ch <= 0x9F);
}

bool IsBidiControl(char16_t ch) {
    return ch == 0x061C || ch == 0x200E || ch == 0x200F || (ch >= 0x202A && ch <= 0x202E) ||
           (ch >= 0x2066 && ch <= 0x2069);
}

std::u16string BoundedNetworkText(std::string_view utf8, size_t nMaxUnits) {
    // Decoding never needs more units than bytes: cutting the input first
    // bounds the work for any length.
    std::u16string strText = Utf8ToUtf16(utf8.substr(0, std::min(utf8.size(), nMaxUnits * 3 + 3)));
    for (char16_t& c : strText) {
        if (IsControlCharacter(c) || IsLineSeparator(c)) c = u' ';
    }
    if (strText.size() > nMaxUnits) {
        size_t nCut = nMaxUnits;
        if (nCut > 0 && strText[nCut - 1] >= 0xD800 && strText[nCut - 1] <= 0xDBFF) --nCut;
        strText.resize(nCut);
    }
    return strText;
}

std::u16string TrimmedNetworkText(std::string_view utf8, size_t nMaxUnits) {
    std::u16string strText = BoundedNetworkText(utf8, nMaxUnits);
    TrimRight(strText);
    TrimLeft(strText);
    return strText;
}

std::string PrintableText(std::u16string_view text, PrintTarget target) {
    std::u16string strSafe(text);
    for (size_t i = 0; i < strSafe.size(); ++i) {
        if (!IsUnsafeToShow(strSafe[i])) continue;
        if (target == PrintTarget::CSV && KeptInCsv(text, i)) continue;
        strSafe[i] = u'?';
    }
    return Utf16ToUtf8(strSafe);
}

std::string EscapeUnsafeJsonCharacters(std::string_view json) {
    // C0 controls are left alone: inside strings the writer has escaped them
    // already, outside they are the layout's own line breaks.
    const std::u16string strWide = Utf8ToUtf16(json);
    std::string strOut;
    strOut.reserve(json.size());
    size_t nCopied = 0;
    for (size_t i = 0; i < strWide.size(); ++i) {
        const char16_t ch = strWide[i];
        if (ch < 0x20 || !IsUnsafeToShow(ch)) continue;
        strOut += Utf16ToUtf8(std::u16string_view(strWide).substr(nCopied, i - nCopied));
        char szEscape[8];
        std::snprintf(szEscape, sizeof szEscape, "\\u%04X", static_cast<unsigned>(ch));
        strOut += szEscape;
        nCopied = i + 1;
    }
    strOut += Utf16ToUtf8(std::u16string_view(strWide).substr(nCopied));
    return strOut;
}
