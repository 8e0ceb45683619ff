#include "version_block_writer.h"

#include <charconv>
#include <sstream>

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t n) {
    out.push_back(static_cast<uint8_t>(n));
    out.push_back(static_cast<uint8_t>(n >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t n) {
    Put16(out, static_cast<uint16_t>(n));
    Put16(out, static_cast<uint16_t>(n >> 16));
}

void PutText(std::vector<uint8_t>& out, const std::u16string& str) {
    for (char16_t c : str) Put16(out, c);
    Put16(out, 0);
}

void Pad4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

// One node of the tree. Its value is raw bytes; text values count their
// length in characters (NUL included), binary ones in bytes.
struct Node {
    std::u16string strKey;
    bool bText = false;
    std::vector<uint8_t> value;
    std::vector<Node> aChildren;
};

// Appends the node at a 32-bit boundary of the block; false when its length
// does not fit 16 bits.
bool Emit(std::vector<uint8_t>& out, const Node& node) {
    Pad4(out);
    const std::size_t nStart = out.size();
    Put16(out, 0);  // wLength, set below
    Put16(out, static_cast<uint16_t>(node.bText ? node.value.size() / 2 : node.value.size()));
    Put16(out, node.bText ? 1 : 0);
    PutText(out, node.strKey);
    Pad4(out);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const Node& child : node.aChildren) {
        if (!Emit(out, child)) return false;
    }
    const std::size_t nLength = out.size() - nStart;
    if (nLength > 0xFFFF) return false;
    out[nStart] = static_cast<uint8_t>(nLength);
    out[nStart + 1] = static_cast<uint8_t>(nLength >> 8);
    return true;
}

// ---- definition text ----------------------------------------------------------

std::string_view Trim(std::string_view str) {
    while (!str.empty() && (str.front() == ' ' || str.front() == '\t')) str.remove_prefix(1);
    while (!str.empty() && (str.back() == ' ' || str.back() == '\t' || str.back() == '\r'))
        str.remove_suffix(1);
    return str;
}

bool ParseNumber(std::string_view str, uint32_t& n) {
    int nBase = 10;
    if (str.size() > 2 && str[0] == '0' && (str[1] == 'x' || str[1] == 'X')) {
        str.remove_prefix(2);
        nBase = 16;
    }
    const auto result = std::from_chars(str.data(), str.data() + str.size(), n, nBase);
    return !str.empty() && result.ec == std::errc() && result.ptr == str.data() + str.size();
}

bool ParseVersion(std::string_view str, uint16_t (&aParts)[4]) {
    for (int i = 0; i < 4; ++i) {
        const std::size_t nDot = str.find('.');
        if ((i < 3) == (nDot == std::string_view::npos)) return false;
        uint32_t n = 0;
        if (!ParseNumber(str.substr(0, nDot), n) || n > 0xFFFF) return false;
        aParts[i] = static_cast<uint16_t>(n);
        str = nDot == std::string_view::npos ? std::string_view() : str.substr(nDot + 1);
    }
    return true;
}

// Strict UTF-8 to UTF-16; false on any malformed sequence.
bool Utf8ToUtf16Strict(std::string_view str, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < str.size();) {
        const auto c = static_cast<unsigned char>(str[i]);
        uint32_t nCode = 0;
        std::size_t nMore = 0;
        if (c < 0x80) {
            nCode = c;
        } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
            nCode = c & 0x1F;
            nMore = 1;
        } else if ((c & 0xF0) == 0xE0) {
            nCode = c & 0x0F;
            nMore = 2;
        } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
            nCode = c & 0x07;
            nMore = 3;
        } else {
            return false;
        }
        if (str.size() - i - 1 < nMore) return false;
        for (std::size_t k = 1; k <= nMore; ++k) {
            const auto d = static_cast<unsigned char>(str[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            nCode = nCode << 6 | (d & 0x3F);
        }
        static constexpr uint32_t aMin[] = {0, 0x80, 0x800, 0x10000};
        if (nCode < aMin[nMore] || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF)) return false;
        if (nCode >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((nCode - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((nCode - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(nCode));
        }
        i += nMore + 1;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> BuildVersionBlock(const VersionBlockDefinition& def) {
    Node root;
    root.strKey = u"VS_VERSION_INFO";
    const uint32_t aFixed[13] = {
        0xFEEF04BD,
        0x00010000,
        uint32_t{def.aFileVersion[0]} << 16 | def.aFileVersion[1],
        uint32_t{def.aFileVersion[2]} << 16 | def.aFileVersion[3],
        uint32_t{def.aProductVersion[0]} << 16 | def.aProductVersion[1],
        uint32_t{def.aProductVersion[2]} << 16 | def.aProductVersion[3],
        def.dwFileFlagsMask,
        def.dwFileFlags,
        def.dwFileOS,
        def.dwFileType,
        def.dwFileSubtype,
        0,
        0,
    };
    for (uint32_t n : aFixed) Put32(root.value, n);

    if (!def.aTables.empty()) {
        Node fileInfo{u"StringFileInfo", true, {}, {}};
        for (const VersionStringTable& table : def.aTables) {
            Node tableNode{table.strKey, true, {}, {}};
            for (const auto& [strKey, strValue] : table.aStrings) {
                Node str{strKey, true, {}, {}};
                PutText(str.value, strValue);
                tableNode.aChildren.push_back(std::move(str));
            }
            fileInfo.aChildren.push_back(std::move(tableNode));
        }
        root.aChildren.push_back(std::move(fileInfo));
    }
    if (def.bHasTranslation) {
        Node varInfo{u"VarFileInfo", true, {}, {}};
        Node translation{u"Translation", false, {}, {}};
        for (const auto& [nLanguage, nCodePage] : def.aTranslations) {
            Put16(translation.value, nLanguage);
            Put16(translation.value, nCodePage);
        }
        varInfo.aChildren.push_back(std::move(translation));
        root.aChildren.push_back(std::move(varInfo));
    }

    std::vector<uint8_t> block;
    if (!Emit(block, root)) return {};
    return block;
}

bool ParseVersionBlockDefinition(std::string_view strText, VersionBlockDefinition& def,
                                 std::string& strError) {
    def = VersionBlockDefinition();
    def.bHasTranslation = false;
    enum class Section { None, Fixed, Strings, Var } section = Section::None;
    int nLine = 0;
    auto fail = [&](const char* pszWhat) {
        std::ostringstream msg;
        msg << "line " << nLine << ": " << pszWhat;
        strError = msg.str();
        return false;
    };

    while (!strText.empty()) {
        ++nLine;
        const std::size_t nEol = strText.find('\n');
        const std::string_view strLine = Trim(strText.substr(0, nEol));
        strText = nEol == std::string_view::npos ? std::string_view() : strText.substr(nEol + 1);
        if (strLine.empty() || strLine.front() == '#') continue;

        if (strLine.front() == '[') {
            if (strLine.back() != ']') return fail("unterminated section name");
            const std::string_view strName = Trim(strLine.substr(1, strLine.size() - 2));
            if (strName == "FixedFileInfo") {
                section = Section::Fixed;
            } else if (strName == "VarFileInfo") {
                section = Section::Var;
                def.bHasTranslation = true;
            } else if (strName.starts_with("StringFileInfo ")) {
                section = Section::Strings;
                VersionStringTable table;
                if (!Utf8ToUtf16Strict(Trim(strName.substr(15)), table.strKey) || table.strKey.size() != 8)
                    return fail("a string table is named by 8 hex digits");
                def.aTables.push_back(std::move(table));
            } else {
                return fail("unknown section");
            }
            continue;
        }

        const std::size_t nEq = strLine.find('=');
        if (nEq == std::string_view::npos) return fail("expected Key = Value");
        const std::string_view strKey = Trim(strLine.substr(0, nEq));
        const std::string_view strValue = Trim(strLine.substr(nEq + 1));
        if (strKey.empty()) return fail("empty key");

        switch (section) {
            case Section::None:
                return fail("entry outside a section");
            case Section::Fixed: {
                uint32_t n = 0;
                if (strKey == "FileVersion" || strKey == "ProductVersion") {
                    if (!ParseVersion(strValue,
                                      strKey == "FileVersion" ? def.aFileVersion : def.aProductVersion))
                        return fail("a version has four numbers a.b.c.d, each up to 65535");
                    break;
                }
                if (!ParseNumber(strValue, n)) return fail("not a number");
                if (strKey == "FileFlagsMask")
                    def.dwFileFlagsMask = n;
                else if (strKey == "FileFlags")
                    def.dwFileFlags = n;
                else if (strKey == "FileOS")
                    def.dwFileOS = n;
                else if (strKey == "FileType")
                    def.dwFileType = n;
                else if (strKey == "FileSubtype")
                    def.dwFileSubtype = n;
                else
                    return fail("unknown fixed field");
                break;
            }
            case Section::Strings: {
                std::u16string strKey16, strValue16;
                if (!Utf8ToUtf16Strict(strKey, strKey16) || !Utf8ToUtf16Strict(strValue, strValue16))
                    return fail("not UTF-8");
                def.aTables.back().aStrings.emplace_back(std::move(strKey16), std::move(strValue16));
                break;
            }
            case Section::Var: {
                if (strKey != "Translation") return fail("only Translation belongs to VarFileInfo");
                std::istringstream words{std::string(strValue)};
                std::string strLanguage, strCodePage;
                while (words >> strLanguage) {
                    uint32_t nLanguage = 0, nCodePage = 0;
                    if (!(words >> strCodePage) || !ParseNumber(strLanguage, nLanguage) ||
                        !ParseNumber(strCodePage, nCodePage) || nLanguage > 0xFFFF || nCodePage > 0xFFFF)
                        return fail("Translation takes pairs of language and code page");
                    def.aTranslations.emplace_back(static_cast<uint16_t>(nLanguage),
                                                   static_cast<uint16_t>(nCodePage));
                }
                break;
            }
        }
    }
    return true;
}
