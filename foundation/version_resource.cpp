#include "version_resource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// ---- bounds-checked little/big-endian reads ---------------------------------

// Every read goes through these: out of range reads give false, never bytes
// from beyond the span.
bool Read16(std::span<const uint8_t> data, uint64_t nOffset, bool bBigEndian, uint16_t& nValue) {
    if (nOffset > data.size() || data.size() - nOffset < 2) return false;
    const uint8_t* p = data.data() + static_cast<std::size_t>(nOffset);
    nValue = bBigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
    return true;
}

bool Read32(std::span<const uint8_t> data, uint64_t nOffset, bool bBigEndian, uint32_t& nValue) {
    uint16_t nA = 0, nB = 0;
    if (!Read16(data, nOffset, bBigEndian, nA) || !Read16(data, nOffset + 2, bBigEndian, nB)) return false;
    nValue = bBigEndian ? (uint32_t{nA} << 16 | nB) : (uint32_t{nB} << 16 | nA);
    return true;
}

bool Read64(std::span<const uint8_t> data, uint64_t nOffset, bool bBigEndian, uint64_t& nValue) {
    uint32_t nA = 0, nB = 0;
    if (!Read32(data, nOffset, bBigEndian, nA) || !Read32(data, nOffset + 4, bBigEndian, nB)) return false;
    nValue = bBigEndian ? (uint64_t{nA} << 32 | nB) : (uint64_t{nB} << 32 | nA);
    return true;
}

uint16_t Le16(std::span<const uint8_t> data, std::size_t nOffset) {
    uint16_t n = 0;
    Read16(data, nOffset, false, n);
    return n;
}

// [nOffset, nOffset + nSize) lies inside data; safe against wrap-around.
bool InRange(std::span<const uint8_t> data, uint64_t nOffset, uint64_t nSize) {
    return nOffset <= data.size() && nSize <= data.size() - nOffset;
}

std::size_t Align4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

// ---- ELF --------------------------------------------------------------------

constexpr uint32_t SHT_NOBITS = 8;
constexpr uint16_t SHN_XINDEX = 0xFFFF;

std::span<const uint8_t> FindElfSection(std::span<const uint8_t> image) {
    // e_ident: class (1 = 32-bit, 2 = 64-bit) and data (1 = LSB, 2 = MSB).
    if (image.size() < 16) return {};
    const uint8_t nClass = image[4];
    const uint8_t nData = image[5];
    if ((nClass != 1 && nClass != 2) || (nData != 1 && nData != 2)) return {};
    const bool b64 = nClass == 2;
    const bool bBig = nData == 2;

    uint64_t nShOff = 0;
    uint16_t nShEntSize = 0, nShNum = 0, nShStrNdx = 0;
    if (b64) {
        if (!Read64(image, 0x28, bBig, nShOff) || !Read16(image, 0x3A, bBig, nShEntSize) ||
            !Read16(image, 0x3C, bBig, nShNum) || !Read16(image, 0x3E, bBig, nShStrNdx))
            return {};
    } else {
        uint32_t nOff32 = 0;
        if (!Read32(image, 0x20, bBig, nOff32) || !Read16(image, 0x2E, bBig, nShEntSize) ||
            !Read16(image, 0x30, bBig, nShNum) || !Read16(image, 0x32, bBig, nShStrNdx))
            return {};
        nShOff = nOff32;
    }
    const std::size_t nMinEntSize = b64 ? 64 : 40;
    if (nShOff == 0 || nShEntSize < nMinEntSize) return {};

    struct Section {
        uint32_t nName = 0, nType = 0, nLink = 0;
        uint64_t nOffset = 0, nSize = 0;
    };
    auto readSection = [&](uint64_t nIndex, Section& s) -> bool {
        // nIndex < 2^32 and nShEntSize < 2^16: the product cannot overflow.
        const uint64_t nAt = nShOff + nIndex * nShEntSize;
        if (nAt < nShOff || !InRange(image, nAt, nShEntSize)) return false;
        const std::size_t n = static_cast<std::size_t>(nAt);
        if (b64) {
            return Read32(image, n, bBig, s.nName) && Read32(image, n + 4, bBig, s.nType) &&
                   Read64(image, n + 0x18, bBig, s.nOffset) && Read64(image, n + 0x20, bBig, s.nSize) &&
                   Read32(image, n + 0x28, bBig, s.nLink);
        }
        uint32_t nOff = 0, nSize = 0;
        if (!Read32(image, n, bBig, s.nName) || !Read32(image, n + 4, bBig, s.nType) ||
            !Read32(image, n + 0x10, bBig, nOff) || !Read32(image, n + 0x14, bBig, nSize) ||
            !Read32(image, n + 0x18, bBig, s.nLink))
            return false;
        s.nOffset = nOff;
        s.nSize = nSize;
        return true;
    };

    // Extended numbering: a count of 0 and an index of SHN_XINDEX move the
    // real values into section 0.
    Section first;
    if (!readSection(0, first)) return {};
    uint64_t nCount = nShNum != 0 ? nShNum : first.nSize;
    const uint64_t nStrIndex = nShStrNdx == SHN_XINDEX ? first.nLink : nShStrNdx;
    // Never more headers than the file can hold.
    nCount =
        std::min<uint64_t>(nCount, (image.size() - std::min<uint64_t>(nShOff, image.size())) / nShEntSize);
    if (nStrIndex >= nCount) return {};

    Section names;
    if (!readSection(nStrIndex, names) || names.nType == SHT_NOBITS ||
        !InRange(image, names.nOffset, names.nSize))
        return {};
    const std::string_view strWanted = VERSION_SECTION_NAME;

    for (uint64_t i = 1; i < nCount; ++i) {
        Section s;
        if (!readSection(i, s)) return {};
        if (s.nName >= names.nSize || names.nSize - s.nName < strWanted.size() + 1) continue;
        const char* pName = reinterpret_cast<const char*>(image.data() + names.nOffset + s.nName);
        if (std::memcmp(pName, strWanted.data(), strWanted.size()) != 0 || pName[strWanted.size()] != '\0')
            continue;
        if (s.nType == SHT_NOBITS || !InRange(image, s.nOffset, s.nSize)) return {};
        return image.subspan(static_cast<std::size_t>(s.nOffset), static_cast<std::size_t>(s.nSize));
    }
    return {};
}

// ---- PE ---------------------------------------------------------------------

constexpr uint32_t RT_VERSION = 16;
constexpr uint32_t RESOURCE_SUBDIRECTORY = 0x80000000u;

struct PeSection {
    uint32_t nVirtualAddress = 0, nVirtualSize = 0, nRawSize = 0, nRawOffset = 0;
};

// File offset of the nSize bytes at virtual address nRva, within one
// section's data as stored in the file.
bool RvaToOffset(std::span<const uint8_t> image, const std::vector<PeSection>& sections, uint32_t nRva,
                 uint32_t nSize, std::size_t& nOffset) {
    for (const PeSection& s : sections) {
        if (nRva < s.nVirtualAddress) continue;
        const uint64_t nDelta = uint64_t{nRva} - s.nVirtualAddress;
        if (nDelta >= s.nRawSize || nSize > s.nRawSize - nDelta) continue;
        const uint64_t nAt = uint64_t{s.nRawOffset} + nDelta;
        if (!InRange(image, nAt, nSize)) return false;
        nOffset = static_cast<std::size_t>(nAt);
        return true;
    }
    return false;
}

// One level of the resource tree: the entry with the given id, or the first
// entry when nId is 0. nDirectory is relative to the resource data rsrc.
bool FindResourceEntry(std::span<const uint8_t> rsrc, uint32_t nDirectory, uint32_t nId,
                       bool bWantSubdirectory, uint32_t& nTarget) {
    uint16_t nNamed = 0, nIds = 0;
    if (!Read16(rsrc, uint64_t{nDirectory} + 12, false, nNamed) ||
        !Read16(rsrc, uint64_t{nDirectory} + 14, false, nIds))
        return false;
    const uint32_t nEntries = uint32_t{nNamed} + nIds;
    for (uint32_t i = 0; i < nEntries; ++i) {
        const uint64_t nAt = uint64_t{nDirectory} + 16 + uint64_t{i} * 8;
        uint32_t nName = 0, nData = 0;
        if (!InRange(rsrc, nAt, 8)) return false;
        Read32(rsrc, static_cast<std::size_t>(nAt), false, nName);
        Read32(rsrc, static_cast<std::size_t>(nAt) + 4, false, nData);
        const bool bNamed = (nName & 0x80000000u) != 0;
        if (nId != 0 && (bNamed || nName != nId)) continue;
        if (((nData & RESOURCE_SUBDIRECTORY) != 0) != bWantSubdirectory) {
            if (nId != 0) return false;
            continue;
        }
        nTarget = nData & ~RESOURCE_SUBDIRECTORY;
        return true;
    }
    return false;
}

std::span<const uint8_t> FindPeVersionResource(std::span<const uint8_t> image) {
    uint32_t nPeOffset = 0;
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z' || !Read32(image, 0x3C, false, nPeOffset))
        return {};
    if (!InRange(image, nPeOffset, 24) || std::memcmp(image.data() + nPeOffset, "PE\0\0", 4) != 0) return {};
    const std::size_t nCoff = nPeOffset + 4;
    const uint16_t nSections = Le16(image, nCoff + 2);
    const uint16_t nOptionalSize = Le16(image, nCoff + 16);
    const std::size_t nOptional = nCoff + 20;

    uint16_t nMagic = 0;
    if (!Read16(image, nOptional, false, nMagic)) return {};
    std::size_t nDirectoriesAt = 0;
    if (nMagic == 0x10B)
        nDirectoriesAt = 96;  // PE32
    else if (nMagic == 0x20B)
        nDirectoriesAt = 112;  // PE32+
    else
        return {};
    uint32_t nDirectoryCount = 0;
    if (!Read32(image, nOptional + nDirectoriesAt - 4, false, nDirectoryCount) || nDirectoryCount < 3)
        return {};
    const std::size_t nResourceDirectory = nOptional + nDirectoriesAt + 2 * 8;
    if (nResourceDirectory + 8 > nOptional + nOptionalSize) return {};
    uint32_t nRsrcRva = 0, nRsrcSize = 0;
    if (!Read32(image, nResourceDirectory, false, nRsrcRva) ||
        !Read32(image, nResourceDirectory + 4, false, nRsrcSize) || nRsrcRva == 0)
        return {};

    std::vector<PeSection> sections;
    const std::size_t nTable = nOptional + nOptionalSize;
    for (uint16_t i = 0; i < nSections; ++i) {
        const std::size_t nAt = nTable + std::size_t{i} * 40;
        if (!InRange(image, nAt, 40)) return {};
        PeSection s;
        Read32(image, nAt + 8, false, s.nVirtualSize);
        Read32(image, nAt + 12, false, s.nVirtualAddress);
        Read32(image, nAt + 16, false, s.nRawSize);
        Read32(image, nAt + 20, false, s.nRawOffset);
        sections.push_back(s);
    }

    // The resource data as stored: as much of the declared size as one
    // section holds from the directory's start.
    std::size_t nRsrcOffset = 0;
    std::span<const uint8_t> rsrc;
    for (const PeSection& s : sections) {
        if (nRsrcRva < s.nVirtualAddress || nRsrcRva - s.nVirtualAddress >= s.nRawSize) continue;
        const uint32_t nAvailable = s.nRawSize - (nRsrcRva - s.nVirtualAddress);
        const uint32_t nSize = std::min(nRsrcSize == 0 ? nAvailable : nRsrcSize, nAvailable);
        if (!RvaToOffset(image, sections, nRsrcRva, nSize, nRsrcOffset)) return {};
        rsrc = image.subspan(nRsrcOffset, nSize);
        break;
    }
    if (rsrc.empty()) return {};

    // Three levels, fixed: type RT_VERSION, then the first name, then the
    // first language; the walk cannot loop whatever the offsets say.
    uint32_t nNames = 0, nLanguages = 0, nLeaf = 0;
    if (!FindResourceEntry(rsrc, 0, RT_VERSION, true, nNames) ||
        !FindResourceEntry(rsrc, nNames, 0, true, nLanguages) ||
        !FindResourceEntry(rsrc, nLanguages, 0, false, nLeaf))
        return {};
    uint32_t nDataRva = 0, nDataSize = 0;
    if (!Read32(rsrc, nLeaf, false, nDataRva) || !Read32(rsrc, uint64_t{nLeaf} + 4, false, nDataSize))
        return {};
    std::size_t nDataOffset = 0;
    if (nDataSize == 0 || !RvaToOffset(image, sections, nDataRva, nDataSize, nDataOffset)) return {};
    return image.subspan(nDataOffset, nDataSize);
}

// ---- the version block's tree ------------------------------------------------

// One node: WORD wLength, WORD wValueLength, WORD wType, the key (UTF-16,
// NUL-terminated), padding to 32 bits, the value, padding, the children.
struct Node {
    std::size_t nEnd = 0;
    std::size_t nKeyStart = 0, nKeyChars = 0;
    std::size_t nValueStart = 0, nValueBytes = 0;
    uint16_t wType = 0;
    std::size_t nChildrenStart = 0;
};

bool ParseNode(std::span<const uint8_t> block, std::size_t nOffset, std::size_t nLimit, Node& node) {
    if (nOffset > nLimit || nLimit - nOffset < 6) return false;
    const uint16_t wLength = Le16(block, nOffset);
    const uint16_t wValueLength = Le16(block, nOffset + 2);
    node.wType = Le16(block, nOffset + 4);
    if (wLength < 6 || wLength > nLimit - nOffset) return false;
    node.nEnd = nOffset + wLength;

    node.nKeyStart = nOffset + 6;
    std::size_t nAt = node.nKeyStart;
    for (;;) {
        if (node.nEnd - nAt < 2) return false;  // key without its NUL
        if (Le16(block, nAt) == 0) break;
        nAt += 2;
    }
    node.nKeyChars = (nAt - node.nKeyStart) / 2;

    node.nValueStart = std::min(Align4(nAt + 2), node.nEnd);
    const std::size_t nDeclared = node.wType == 1 ? std::size_t{wValueLength} * 2 : wValueLength;
    node.nValueBytes = std::min(nDeclared, node.nEnd - node.nValueStart);
    node.nChildrenStart = std::min(Align4(node.nValueStart + node.nValueBytes), node.nEnd);
    return true;
}

bool KeyEquals(std::span<const uint8_t> block, const Node& node, std::u16string_view strKey) {
    if (node.nKeyChars != strKey.size()) return false;
    for (std::size_t i = 0; i < strKey.size(); ++i) {
        if (FoldAscii(static_cast<char16_t>(Le16(block, node.nKeyStart + 2 * i))) != FoldAscii(strKey[i]))
            return false;
    }
    return true;
}

bool FindChild(std::span<const uint8_t> block, const Node& parent, std::u16string_view strKey, Node& child) {
    // Every child is at least 6 bytes long, so the walk always moves on.
    std::size_t nAt = parent.nChildrenStart;
    while (nAt < parent.nEnd) {
        if (!ParseNode(block, nAt, parent.nEnd, child)) return false;
        if (KeyEquals(block, child, strKey)) return true;
        nAt = Align4(child.nEnd);
    }
    return false;
}

}  // namespace

std::span<const uint8_t> FindVersionBlockInImage(std::span<const uint8_t> image) {
    if (image.size() >= 4 && image[0] == 0x7F && image[1] == 'E' && image[2] == 'L' && image[3] == 'F')
        return FindElfSection(image);
    if (image.size() >= 2 && image[0] == 'M' && image[1] == 'Z') return FindPeVersionResource(image);
    return {};
}

bool ReadExecutableImage(const std::string& strPath, std::vector<uint8_t>& image) {
    image.clear();
    // Non-blocking open: a FIFO must not stall the caller; it is refused below.
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
               static_cast<uint64_t>(st.st_size) <= MAX_VERSION_IMAGE_SIZE;
    if (bOk) {
        image.resize(static_cast<std::size_t>(st.st_size));
        std::size_t nDone = 0;
        while (nDone < image.size()) {
            const ssize_t n = ::read(fd, image.data() + nDone, image.size() - nDone);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the file shrank: keep what is there
            nDone += static_cast<std::size_t>(n);
        }
        image.resize(nDone);
    }
    ::close(fd);
    if (!bOk) image.clear();
    return bOk;
}

std::vector<uint8_t> ReadFileVersionBlock(const std::string& strPath) {
    std::vector<uint8_t> image;
    if (!ReadExecutableImage(strPath, image)) return {};
    const std::span<const uint8_t> block = FindVersionBlockInImage(image);
    if (!IsVersionBlock(block)) return {};
    return {block.begin(), block.end()};
}

bool IsVersionBlock(std::span<const uint8_t> block) {
    Node root;
    return ParseNode(block, 0, block.size(), root) && KeyEquals(block, root, u"VS_VERSION_INFO");
}

bool VerQueryValue(std::span<const uint8_t> block, std::u16string_view strSubBlock, const uint8_t** ppValue,
                   uint32_t* pnLen) {
    Node node;
    if (!ParseNode(block, 0, block.size(), node)) return false;
    std::size_t nPos = 0;
    while (nPos < strSubBlock.size()) {
        if (strSubBlock[nPos] == u'\\') {
            ++nPos;
            continue;
        }
        std::size_t nEnd = strSubBlock.find(u'\\', nPos);
        if (nEnd == std::u16string_view::npos) nEnd = strSubBlock.size();
        Node child;
        if (!FindChild(block, node, strSubBlock.substr(nPos, nEnd - nPos), child)) return false;
        node = child;
        nPos = nEnd;
    }
    if (ppValue != nullptr) *ppValue = block.data() + node.nValueStart;
    if (pnLen != nullptr)
        *pnLen = static_cast<uint32_t>(node.wType == 1 ? node.nValueBytes / 2 : node.nValueBytes);
    return true;
}

std::u16string VersionText(const uint8_t* pValue, uint32_t nChars) {
    std::u16string str;
    for (uint32_t i = 0; i < nChars; ++i) {
        const char16_t c = static_cast<char16_t>(pValue[2 * i] | pValue[2 * i + 1] << 8);
        if (c == 0) break;
        str.push_back(c);
    }
    return str;
}
