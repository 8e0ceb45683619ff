// Reads the version block of an executable (by default the program's own):
// its fixed part and twelve standard strings, taken from the string table
// whose language suits the user best. Writes no trace and shows nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "version_resource.h"

class CFileVersionInfo {
public:
    CFileVersionInfo();
    virtual ~CFileVersionInfo();

    // Zero fixed part, all strings empty.
    virtual void Reset();

    // The running program's own block. 1 on success, 0 when there is none.
    int Create();
    // The block of an ELF executable (section ".hvl_version") or of a PE file
    // (version resource), chosen for the user's default language. 1 on
    // success, 0 when the file has no readable block; always starts with Reset.
    int Create(const std::u16string& strPath);
    // The same for a given user language (a Windows language identifier).
    int Create(const std::u16string& strPath, uint16_t nUserLangId);
    // The same over a whole file's bytes already in memory.
    int CreateFromImage(std::span<const uint8_t> image, uint16_t nUserLangId);
    // The same over a bare version block (VS_VERSIONINFO and its children).
    int CreateFromBlock(std::span<const uint8_t> block, uint16_t nUserLangId);

    const VS_FIXEDFILEINFO& GetFixedInfo() const { return m_fixedInfo; }
    std::u16string GetCompanyName() const { return m_strCompanyName; }
    std::u16string GetFileDescription() const { return m_strFileDescription; }
    std::u16string GetFileVersion() const { return m_strFileVersion; }
    std::u16string GetInternalName() const { return m_strInternalName; }
    std::u16string GetLegalCopyright() const { return m_strLegalCopyright; }
    std::u16string GetOriginalFileName() const { return m_strOriginalFileName; }
    std::u16string GetProductName() const { return m_strProductName; }
    std::u16string GetProductVersion() const { return m_strProductVersion; }
    std::u16string GetComments() const { return m_strComments; }
    std::u16string GetLegalTrademarks() const { return m_strLegalTrademarks; }
    std::u16string GetPrivateBuild() const { return m_strPrivateBuild; }
    std::u16string GetSpecialBuild() const { return m_strSpecialBuild; }

protected:
    // Fills the members from a block; the caller has called Reset.
    int ReadBlock(std::span<const uint8_t> block, uint16_t nUserLangId);

    VS_FIXEDFILEINFO m_fixedInfo;
    std::u16string m_strCompanyName;
    std::u16string m_strFileDescription;
    std::u16string m_strFileVersion;
    std::u16string m_strInternalName;
    std::u16string m_strLegalCopyright;
    std::u16string m_strOriginalFileName;
    std::u16string m_strProductName;
    std::u16string m_strProductVersion;
    std::u16string m_strComments;
    std::u16string m_strLegalTrademarks;
    std::u16string m_strPrivateBuild;
    std::u16string m_strSpecialBuild;
};

// One entry of a block's translation table.
struct LangCodePage {
    uint16_t wLanguage;
    uint16_t wCodePage;
};

// The entry whose string table suits a user with the given language best:
// the exact language, then the same primary language, then neutral, then
// English, then the first entry. The table must not be empty.
std::size_t ChooseTranslation(std::span<const LangCodePage> table, uint16_t nUserLangId);
