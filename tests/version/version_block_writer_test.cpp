// The build-time writer: its bytes follow the standard layout, and its
// definition file is read strictly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "version_block_writer.h"

namespace {

class Bytes {
public:
    Bytes& W(uint16_t n) {
        m_a.push_back(static_cast<uint8_t>(n));
        m_a.push_back(static_cast<uint8_t>(n >> 8));
        return *this;
    }
    Bytes& D(uint32_t n) { return W(static_cast<uint16_t>(n)).W(static_cast<uint16_t>(n >> 16)); }
    Bytes& Key(const char* psz) {
        while (*psz != '\0') W(static_cast<uint16_t>(*psz++));
        return W(0);
    }
    Bytes& Pad() {
        while (m_a.size() % 4 != 0) m_a.push_back(0);
        return *this;
    }
    std::vector<uint8_t> m_a;
};

}  // namespace

TEST(VersionBlockWriter, LaysOutTheStandardBinaryForm) {
    VersionBlockDefinition def;
    def.aFileVersion[0] = 1;
    def.aFileVersion[1] = 2;
    def.aFileVersion[2] = 3;
    def.aFileVersion[3] = 4;
    def.dwFileOS = 4;
    def.dwFileType = 1;
    def.aTranslations = {{0x0409, 1252}};
    def.aTables = {{u"040904e4", {{u"Name", u"Ab"}}}};

    // Offsets on the right; every node starts on a 32-bit boundary, lengths
    // leave out the padding after a node's last child.
    Bytes expected;
    expected.W(244).W(52).W(0).Key("VS_VERSION_INFO").Pad();                     // 0
    expected.D(0xFEEF04BD).D(0x00010000).D(0x00010002).D(0x00030004).D(0).D(0);  // 40
    expected.D(0x3F).D(0).D(4).D(1).D(0).D(0).D(0);
    expected.W(82).W(0).W(1).Key("StringFileInfo").Pad();             // 92
    expected.W(46).W(0).W(1).Key("040904e4").Pad();                   // 128
    expected.W(22).W(3).W(1).Key("Name").Pad().Key("Ab").Pad();       // 152
    expected.W(68).W(0).W(1).Key("VarFileInfo").Pad();                // 176
    expected.W(36).W(4).W(0).Key("Translation").Pad().D(0x04E40409);  // 208, ends at 244
    EXPECT_EQ(BuildVersionBlock(def), expected.m_a);
}

TEST(VersionBlockWriter, RefusesBlocksBeyond64KiB) {
    VersionBlockDefinition def;
    def.aTables = {{u"040904e4", {{u"Comments", std::u16string(40000, u'x')}}}};
    EXPECT_TRUE(BuildVersionBlock(def).empty());
}

TEST(VersionBlockDefinitionText, ReadsAllParts) {
    VersionBlockDefinition def;
    std::string strError;
    ASSERT_TRUE(
        ParseVersionBlockDefinition("# comment\n"
                                    "[FixedFileInfo]\n"
                                    "FileVersion = 1.0.14.1\r\n"
                                    "ProductVersion=65535.0.0.2\n"
                                    "FileOS = 0x40004\n"
                                    "FileType = 2\n"
                                    "\n"
                                    "[StringFileInfo 040904e4]\n"
                                    "CompanyName = Ostrel  \n"
                                    "Comments = a = b, \xC3\xA4\n"
                                    "Empty =\n"
                                    "[VarFileInfo]\n"
                                    "Translation = 0x0409 1252 0x0407 0x04B0\n",
                                    def, strError))
        << strError;
    EXPECT_EQ(def.aFileVersion[2], 14);
    EXPECT_EQ(def.aProductVersion[0], 65535);
    EXPECT_EQ(def.aProductVersion[3], 2);
    EXPECT_EQ(def.dwFileOS, 0x40004u);
    EXPECT_EQ(def.dwFileType, 2u);
    ASSERT_EQ(def.aTables.size(), 1u);
    EXPECT_EQ(def.aTables[0].strKey, u"040904e4");
    ASSERT_EQ(def.aTables[0].aStrings.size(), 3u);
    EXPECT_EQ(def.aTables[0].aStrings[0].second, u"Ostrel");
    EXPECT_EQ(def.aTables[0].aStrings[1].second, u"a = b, \u00E4");
    EXPECT_EQ(def.aTables[0].aStrings[2].second, u"");
    ASSERT_TRUE(def.bHasTranslation);
    EXPECT_EQ(def.aTranslations,
              (std::vector<std::pair<uint16_t, uint16_t>>{{0x0409, 1252}, {0x0407, 1200}}));
}

TEST(VersionBlockDefinitionText, NamesTheLineOfAnError) {
    const struct {
        const char* pszText;
        const char* pszLine;
    } aCases[] = {
        {"[FixedFileInfo]\nFileVersion = 1.0.14\n", "line 2"},
        {"[FixedFileInfo]\nFileVersion = 1.0.14.1.5\n", "line 2"},
        {"[FixedFileInfo]\nFileVersion = 1.0.65536.1\n", "line 2"},
        {"[FixedFileInfo]\n\nFileOS = four\n", "line 3"},
        {"[FixedFileInfo]\nColour = 1\n", "line 2"},
        {"CompanyName = Ostrel\n", "line 1"},
        {"[Strings]\n", "line 1"},
        {"[StringFileInfo 0409]\n", "line 1"},
        {"[StringFileInfo 040904e4\n", "line 1"},
        {"[StringFileInfo 040904e4]\nCompanyName\n", "line 2"},
        {"[StringFileInfo 040904e4]\nA = \xC3\n", "line 2"},
        {"[VarFileInfo]\nTranslation = 0x0409\n", "line 2"},
        {"[VarFileInfo]\nTranslation = 0x10000 1252\n", "line 2"},
        {"[VarFileInfo]\nLanguages = 0x0409 1252\n", "line 2"},
    };
    for (const auto& c : aCases) {
        VersionBlockDefinition def;
        std::string strError;
        EXPECT_FALSE(ParseVersionBlockDefinition(c.pszText, def, strError)) << c.pszText;
        EXPECT_EQ(strError.rfind(c.pszLine, 0), 0u) << c.pszText << " -> " << strError;
    }
}
