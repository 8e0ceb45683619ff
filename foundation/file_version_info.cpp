#include "file_version_info.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "conv_string.h"

namespace {

// The running program's own file: the link always opens the executable the
// process was started from, even after that path was replaced or removed.
constexpr const char16_t* OWN_EXECUTABLE = u"/proc/self/exe";

}  // namespace

std::size_t ChooseTranslation(std::span<const LangCodePage> table, uint16_t nUserLangId) {
    auto first = [&](auto match) -> std::size_t {
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (match(table[i].wLanguage)) return i;
        }
        return table.size();
    };
    const uint16_t nUserPrimary = nUserLangId & 0xFF;
    const std::size_t aCandidates[] = {
        first([&](uint16_t n) { return n == nUserLangId; }),
        first([&](uint16_t n) { return (n & 0xFF) == nUserPrimary; }),
        first([](uint16_t n) { return n == 0; }),
        first([](uint16_t n) { return (n & 0xFF) == 0; }),
        first([](uint16_t n) { return n == 9; }),
        first([](uint16_t n) { return (n & 0xFF) == 9; }),
    };
    for (std::size_t nIndex : aCandidates) {
        if (nIndex < table.size()) return nIndex;
    }
    return 0;
}

CFileVersionInfo::CFileVersionInfo() {
    CFileVersionInfo::Reset();
}

CFileVersionInfo::~CFileVersionInfo() = default;

void CFileVersionInfo::Reset() {
    std::memset(&m_fixedInfo, 0, sizeof(m_fixedInfo));
    for (std::u16string* pStr :
         {&m_strCompanyName, &m_strFileDescription, &m_strFileVersion, &m_strInternalName,
          &m_strLegalCopyright, &m_strOriginalFileName, &m_strProductName, &m_strProductVersion,
          &m_strComments, &m_strLegalTrademarks, &m_strPrivateBuild, &m_strSpecialBuild})
        pStr->clear();
}

int CFileVersionInfo::Create() {
    return Create(OWN_EXECUTABLE);
}

int CFileVersionInfo::Create(const std::u16string& strPath) {
    return Create(strPath, GetUserDefaultLangID());
}

int CFileVersionInfo::Create(const std::u16string& strPath, uint16_t nUserLangId) {
    Reset();
    std::vector<uint8_t> image;
    if (!ReadExecutableImage(Utf16ToUtf8(strPath), image)) return 0;
    return ReadBlock(FindVersionBlockInImage(image), nUserLangId);
}

int CFileVersionInfo::CreateFromImage(std::span<const uint8_t> image, uint16_t nUserLangId) {
    Reset();
    return ReadBlock(FindVersionBlockInImage(image), nUserLangId);
}

int CFileVersionInfo::CreateFromBlock(std::span<const uint8_t> block, uint16_t nUserLangId) {
    Reset();
    return ReadBlock(block, nUserLangId);
}

int CFileVersionInfo::ReadBlock(std::span<const uint8_t> block, uint16_t nUserLangId) {
    if (!IsVersionBlock(block)) return 0;

    const uint8_t* pValue = nullptr;
    uint32_t nLen = 0;
    if (VerQueryValue(block, u"\\", &pValue, &nLen) && nLen == sizeof(m_fixedInfo)) {
        // Stored little-endian, field by field.
        uint32_t aWords[sizeof(m_fixedInfo) / 4];
        for (std::size_t i = 0; i < std::size(aWords); ++i) {
            const uint8_t* p = pValue + 4 * i;
            aWords[i] = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
        }
        std::memcpy(&m_fixedInfo, aWords, sizeof(m_fixedInfo));
    }

    // No translation table, or an empty one: the block has no strings we
    // could name, so all of them stay empty.
    if (!VerQueryValue(block, u"\\VarFileInfo\\Translation", &pValue, &nLen) || nLen < sizeof(LangCodePage))
        return 1;
    std::vector<LangCodePage> table(nLen / sizeof(LangCodePage));
    for (std::size_t i = 0; i < table.size(); ++i) {
        const uint8_t* p = pValue + i * 4;
        table[i].wLanguage = static_cast<uint16_t>(p[0] | p[1] << 8);
        table[i].wCodePage = static_cast<uint16_t>(p[2] | p[3] << 8);
    }
    const LangCodePage& chosen = table[ChooseTranslation(table, nUserLangId)];

    char szPrefix[32];
    std::snprintf(szPrefix, sizeof(szPrefix), "\\StringFileInfo\\%04X%04X\\", unsigned{chosen.wLanguage},
                  unsigned{chosen.wCodePage});
    const std::u16string strPrefix = Utf8ToUtf16(szPrefix);

    const struct {
        const char16_t* pszKey;
        std::u16string* pStr;
    } aKeys[] = {
        {u"CompanyName", &m_strCompanyName},
        {u"FileDescription", &m_strFileDescription},
        {u"FileVersion", &m_strFileVersion},
        {u"InternalName", &m_strInternalName},
        {u"LegalCopyright", &m_strLegalCopyright},
        {u"OriginalFileName", &m_strOriginalFileName},
        {u"ProductName", &m_strProductName},
        {u"ProductVersion", &m_strProductVersion},
        {u"Comments", &m_strComments},
        {u"LegalTrademarks", &m_strLegalTrademarks},
        {u"PrivateBuild", &m_strPrivateBuild},
        {u"SpecialBuild", &m_strSpecialBuild},
    };
    for (const auto& key : aKeys) {
        if (VerQueryValue(block, strPrefix + key.pszKey, &pValue, &nLen))
            *key.pStr = VersionText(pValue, nLen);
    }
    return 1;
}
