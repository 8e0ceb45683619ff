// The raw block lookup, the ELF section search and the user's language.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "conv_string.h"
#include "version_block_writer.h"
#include "version_resource.h"

namespace {

std::vector<uint8_t> SampleBlock() {
    VersionBlockDefinition def;
    def.aFileVersion[0] = 1;
    def.aTranslations = {{0x0409, 1252}};
    def.aTables = {{u"040904e4", {{u"CompanyName", u"Ostrel"}, {u"Comments", u""}}}};
    return BuildVersionBlock(def);
}

void Put16(std::vector<uint8_t>& block, std::size_t nAt, uint16_t n) {
    block[nAt] = static_cast<uint8_t>(n);
    block[nAt + 1] = static_cast<uint8_t>(n >> 8);
}

std::u16string Query(const std::vector<uint8_t>& block, std::u16string_view strPath,
                     bool* pbFound = nullptr) {
    const uint8_t* pValue = nullptr;
    uint32_t nLen = 0;
    const bool bFound = VerQueryValue(block, strPath, &pValue, &nLen);
    if (pbFound != nullptr) *pbFound = bFound;
    return bFound ? VersionText(pValue, nLen) : u"<none>";
}

}  // namespace

TEST(VerQueryValue, FindsRootTranslationAndStrings) {
    const std::vector<uint8_t> block = SampleBlock();
    const uint8_t* pValue = nullptr;
    uint32_t nLen = 0;
    ASSERT_TRUE(VerQueryValue(block, u"\\", &pValue, &nLen));
    EXPECT_EQ(nLen, 52u);
    EXPECT_EQ(pValue, block.data() + 40);  // after the header and "VS_VERSION_INFO"

    ASSERT_TRUE(VerQueryValue(block, u"\\VarFileInfo\\Translation", &pValue, &nLen));
    ASSERT_EQ(nLen, 4u);
    EXPECT_EQ(std::memcmp(pValue, "\x09\x04\xE4\x04", 4), 0);

    EXPECT_EQ(Query(block, u"\\StringFileInfo\\040904E4\\CompanyName"), u"Ostrel");
    EXPECT_EQ(Query(block, u"\\stringfileinfo\\040904e4\\companyname"), u"Ostrel");
    EXPECT_EQ(Query(block, u"\\\\StringFileInfo\\040904E4\\\\CompanyName\\"), u"Ostrel");
    EXPECT_EQ(Query(block, u"\\StringFileInfo\\040904E4\\Comments"), u"");
}

TEST(VerQueryValue, MissingPathsAreNotFound) {
    const std::vector<uint8_t> block = SampleBlock();
    for (const char16_t* pszPath :
         {u"\\StringFileInfo\\040904E4\\ProductName", u"\\StringFileInfo\\040704B0\\CompanyName",
          u"\\StringFileInfo\\040904E4\\Company", u"\\StringFileInfo\\040904E4\\CompanyNameX",
          u"\\VarFileInfo\\Translation\\More", u"\\Nothing"}) {
        bool bFound = true;
        Query(block, pszPath, &bFound);
        EXPECT_FALSE(bFound) << Utf16ToUtf8(pszPath);
    }
    EXPECT_FALSE(VerQueryValue({}, u"\\", nullptr, nullptr));
}

TEST(VerQueryValue, DamagedLengthsStayInsideTheBlock) {
    const std::vector<uint8_t> good = SampleBlock();
    const std::size_t nStringFileInfo = 92;  // the root's first child
    ASSERT_EQ(good[nStringFileInfo + 6], 'S');

    struct Damage {
        const char* pszName;
        std::size_t nAt;
        uint16_t nValue;
        bool bRootReadable;
    };
    const Damage aDamages[] = {
        {"root longer than the block", 0, 0xFFFF, false},
        {"root shorter than its header", 0, 4, false},
        {"root ends inside its key", 0, 20, false},
        {"fixed part claims more than the root holds", 2, 0xFFF0, true},
        {"child longer than its parent", nStringFileInfo, 0xFFF0, true},
        {"child of length zero", nStringFileInfo, 0, true},
    };
    for (const Damage& d : aDamages) {
        std::vector<uint8_t> block = good;
        Put16(block, d.nAt, d.nValue);
        block.shrink_to_fit();
        EXPECT_EQ(IsVersionBlock(block), d.bRootReadable) << d.pszName;
        bool bFound = true;
        Query(block, u"\\StringFileInfo\\040904E4\\CompanyName", &bFound);
        EXPECT_FALSE(bFound && d.nAt == nStringFileInfo) << d.pszName;
        const uint8_t* pValue = nullptr;
        uint32_t nLen = 0;
        if (VerQueryValue(block, u"\\", &pValue, &nLen)) {
            EXPECT_LE(pValue + nLen, block.data() + block.size());
        }
    }

    // A string whose declared length runs past its node gives what is there.
    std::vector<uint8_t> block = good;
    const uint8_t* pValue = nullptr;
    uint32_t nLen = 0;
    ASSERT_TRUE(VerQueryValue(block, u"\\StringFileInfo\\040904E4\\CompanyName", &pValue, &nLen));
    const std::size_t nValueAt = static_cast<std::size_t>(pValue - block.data());
    // The node's header lies before its key "CompanyName" and the padding.
    const std::size_t nNode = nValueAt - 32;
    ASSERT_EQ(block[nNode + 6], 'C');
    Put16(block, nNode + 2, 0x7FFF);
    ASSERT_TRUE(VerQueryValue(block, u"\\StringFileInfo\\040904E4\\CompanyName", &pValue, &nLen));
    EXPECT_EQ(VersionText(pValue, nLen), u"Ostrel");
    EXPECT_LE(nValueAt + 2 * std::size_t{nLen}, nNode + (block[nNode] | block[nNode + 1] << 8));
}

TEST(VerQueryValue, EveryTruncationAndByteChangeIsSafe) {
    const std::vector<uint8_t> good = SampleBlock();
    for (std::size_t n = 0; n <= good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        cut.shrink_to_fit();
        Query(cut, u"\\StringFileInfo\\040904E4\\CompanyName");
        const uint8_t* pValue = nullptr;
        uint32_t nLen = 0;
        if (VerQueryValue(cut, u"\\VarFileInfo\\Translation", &pValue, &nLen)) {
            EXPECT_LE(pValue + nLen, cut.data() + cut.size());
        }
    }
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (uint8_t nValue : {uint8_t{0}, uint8_t{1}, uint8_t{0xFF}}) {
            std::vector<uint8_t> block = good;
            block[i] = nValue;
            Query(block, u"\\StringFileInfo\\040904E4\\CompanyName");
            const uint8_t* pValue = nullptr;
            uint32_t nLen = 0;
            if (VerQueryValue(block, u"\\", &pValue, &nLen)) {
                EXPECT_LE(pValue + nLen, block.data() + block.size());
            }
        }
    }
}

TEST(VersionImage, FindsTheSectionOfOurExecutables) {
    std::vector<uint8_t> image;
    ASSERT_TRUE(ReadExecutableImage("/proc/self/exe", image));
    const std::span<const uint8_t> block = FindVersionBlockInImage(image);
    ASSERT_TRUE(IsVersionBlock(block));
    EXPECT_EQ(block.size() % 4, 0u);
    EXPECT_EQ(ReadFileVersionBlock("/proc/self/exe"), std::vector<uint8_t>(block.begin(), block.end()));

    // Cut inside the section headers, or with the section moved past the
    // end: nothing is found, nothing outside is read.
    for (std::size_t nSize : {std::size_t{16}, std::size_t{64}, image.size() - 1, image.size() - 64}) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(nSize));
        cut.shrink_to_fit();
        const std::span<const uint8_t> found = FindVersionBlockInImage(cut);
        EXPECT_TRUE(found.empty() || found.data() + found.size() <= cut.data() + cut.size());
    }
}

TEST(UserLanguage, LocaleNamesGiveWindowsLanguages) {
    const struct {
        const char* pszLocale;
        uint16_t nLangId;
    } aCases[] = {
        {"de_DE", 0x0407},      {"de_DE.UTF-8", 0x0407}, {"de_AT.UTF-8@euro", 0x0C07},
        {"de", 0x0407},         {"en_US.UTF-8", 0x0409}, {"en_GB", 0x0809},
        {"en_IE@euro", 0x1809}, {"en_XX", 0x0409},       {"fr_FR", 0x040C},
        {"fr_CA", 0x0C0C},      {"es_ES", 0x0C0A},       {"es_MX", 0x080A},
        {"pt_BR", 0x0416},      {"pt_PT", 0x0816},       {"zh_CN.GB2312", 0x0804},
        {"zh_TW", 0x0404},      {"ja_JP.eucJP", 0x0411}, {"nb_NO", 0x0414},
        {"nn_NO", 0x0814},      {"fil_PH", 0x0464},      {"DE_de", 0x0407},
        {"C", 0x0409},          {"C.UTF-8", 0x0409},     {"POSIX", 0x0409},
        {"", 0x0409},           {"xx_YY", 0x0000},       {"_", 0x0000},
        {"@", 0x0409},
    };
    for (const auto& c : aCases) EXPECT_EQ(LangIdFromLocaleName(c.pszLocale), c.nLangId) << c.pszLocale;
}

TEST(UserLanguage, TakesTheLocaleThatGovernsMessages) {
    // Saved and restored: the rest of the run keeps its environment.
    const char* aNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::vector<std::pair<std::string, std::string>> aSaved;
    for (const char* pszName : aNames) {
        const char* pszValue = std::getenv(pszName);
        if (pszValue != nullptr) aSaved.emplace_back(pszName, pszValue);
        ::unsetenv(pszName);
    }

    EXPECT_EQ(GetUserDefaultLangID(), 0x0409);  // nothing set: the C locale
    ::setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0407);
    ::setenv("LC_MESSAGES", "fr_CA.UTF-8", 1);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0C0C);
    ::setenv("LC_ALL", "", 1);  // empty counts as unset
    EXPECT_EQ(GetUserDefaultLangID(), 0x0C0C);
    ::setenv("LC_ALL", "en_GB", 1);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0809);

    for (const char* pszName : aNames) ::unsetenv(pszName);
    for (const auto& [strName, strValue] : aSaved) ::setenv(strName.c_str(), strValue.c_str(), 1);
}
