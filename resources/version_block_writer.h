// Builds a version block (VS_VERSIONINFO with its fixed part, string tables
// and translation table) in the standard binary layout, from a small text
// definition. Used at build time by the generator, and by tests to make
// blocks of their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct VersionStringTable {
    std::u16string strKey;  // language and code page in hex, e.g. "040904e4"
    std::vector<std::pair<std::u16string, std::u16string>> aStrings;  // key, value
};

struct VersionBlockDefinition {
    uint16_t aFileVersion[4] = {0, 0, 0, 0};
    uint16_t aProductVersion[4] = {0, 0, 0, 0};
    uint32_t dwFileFlagsMask = 0x3F;
    uint32_t dwFileFlags = 0;
    uint32_t dwFileOS = 0;
    uint32_t dwFileType = 0;
    uint32_t dwFileSubtype = 0;
    std::vector<VersionStringTable> aTables;
    bool bHasTranslation = true;                               // false: no VarFileInfo at all
    std::vector<std::pair<uint16_t, uint16_t>> aTranslations;  // language, code page
};

// The block; empty when a part would not fit its 16-bit length.
std::vector<uint8_t> BuildVersionBlock(const VersionBlockDefinition& def);

// Reads a definition (UTF-8):
//   [FixedFileInfo]                 FileVersion = 1.0.14.1, ProductVersion,
//                                   FileFlagsMask, FileFlags, FileOS,
//                                   FileType, FileSubtype (numbers: decimal or 0x)
//   [StringFileInfo 040904e4]       Key = Value   (one table per section)
//   [VarFileInfo]                   Translation = 0x0409 1252 [0x0407 1200 ...]
// Blank lines and lines starting with '#' are skipped; blanks around the
// '=' are trimmed. False with a message naming the line on any error.
bool ParseVersionBlockDefinition(std::string_view strText, VersionBlockDefinition& def,
                                 std::string& strError);
