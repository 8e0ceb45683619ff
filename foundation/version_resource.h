// The platform side of version information: the raw version block
// (VS_VERSIONINFO: 16-bit lengths, UTF-16 keys, 32-bit aligned children),
// where to find it in an executable, its path lookup, and the user's
// default language. Every length and offset read from a block or a file is
// checked against the bytes at hand; damaged input only ever means "not found".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The fixed part of a version block, 52 bytes, as stored (little-endian).
struct VS_FIXEDFILEINFO {
    uint32_t dwSignature;  // 0xFEEF04BD
    uint32_t dwStrucVersion;
    uint32_t dwFileVersionMS;
    uint32_t dwFileVersionLS;
    uint32_t dwProductVersionMS;
    uint32_t dwProductVersionLS;
    uint32_t dwFileFlagsMask;
    uint32_t dwFileFlags;
    uint32_t dwFileOS;
    uint32_t dwFileType;
    uint32_t dwFileSubtype;
    uint32_t dwFileDateMS;
    uint32_t dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

// Name of the ELF section that carries our executables' version block.
inline constexpr const char* VERSION_SECTION_NAME = ".hvl_version";

// Files larger than this are not searched for a version block.
inline constexpr std::size_t MAX_VERSION_IMAGE_SIZE = 256u * 1024 * 1024;

// The version block inside a whole file's bytes: the ELF section
// VERSION_SECTION_NAME, or a PE file's first RT_VERSION resource. Empty when
// the image is neither or has no block; the result always lies inside image.
std::span<const uint8_t> FindVersionBlockInImage(std::span<const uint8_t> image);

// Reads a regular file of at most MAX_VERSION_IMAGE_SIZE bytes whole. False
// for anything else (missing, a directory, a device, a FIFO, too large).
bool ReadExecutableImage(const std::string& strPath, std::vector<uint8_t>& image);

// The version block of a file, copied out: the counterpart of asking the
// block's size and reading it. Empty when the file has none or its root is
// not a version block.
std::vector<uint8_t> ReadFileVersionBlock(const std::string& strPath);

// True when block starts with a well-formed "VS_VERSION_INFO" root.
bool IsVersionBlock(std::span<const uint8_t> block);

// Looks up a path in a version block: "\" (the fixed part),
// "\VarFileInfo\Translation", "\StringFileInfo\040904E4\CompanyName"...
// Keys match ignoring case (A-Z). On success *ppValue points into the block
// and *pnLen is the value's length: characters for text values, bytes for
// binary ones, never reaching past the block.
bool VerQueryValue(std::span<const uint8_t> block, std::u16string_view strSubBlock, const uint8_t** ppValue,
                   uint32_t* pnLen);

// A text value found by VerQueryValue, up to its first NUL.
std::u16string VersionText(const uint8_t* pValue, uint32_t nChars);

// The Windows language identifier for a POSIX locale name such as
// "de_DE.UTF-8" (0x0407). "C", "POSIX" and the empty name count as US English;
// a language without a territory gets its default sublanguage; an unknown
// language gives 0 (neutral).
uint16_t LangIdFromLocaleName(std::string_view strLocale);

// The user's default language from the locale that governs messages
// (LC_ALL, else LC_MESSAGES, else LANG).
uint16_t GetUserDefaultLangID();
