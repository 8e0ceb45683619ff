// CFileVersionInfo: the program's own block, the choice of the string table,
// files with and without a block, PE files made by a resource compiler.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "conv_string.h"
#include "file_version_info.h"
#include "version_block_writer.h"

namespace {

std::u16string U16(const std::string& str) {
    return Utf8ToUtf16(str);
}

std::vector<uint8_t> ReadAll(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A block whose string tables each name their own language in CompanyName,
// so a test can see which table was read.
std::vector<uint8_t> BlockWithTables(const std::vector<std::pair<uint16_t, uint16_t>>& aTranslations) {
    VersionBlockDefinition def;
    def.aTranslations = aTranslations;
    for (const auto& [nLanguage, nCodePage] : aTranslations) {
        char szKey[9];
        std::snprintf(szKey, sizeof(szKey), "%04x%04x", unsigned{nLanguage}, unsigned{nCodePage});
        def.aTables.push_back({U16(szKey), {{u"CompanyName", U16(szKey)}}});
    }
    return BuildVersionBlock(def);
}

std::string OwnExecutableName() {
    char szPath[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    std::string strPath(szPath, n > 0 ? static_cast<std::size_t>(n) : 0);
    return strPath.substr(strPath.rfind('/') + 1);
}

}  // namespace

// The test executable carries the block the way hvl and hvl-scan do.
TEST(FileVersionInfoOwnBlock, ReadsBackTheEmbeddedBlock) {
    CFileVersionInfo info;
    ASSERT_EQ(info.Create(), 1);

    EXPECT_EQ(info.GetProductName(), u"Halvet Printer Locator");
    EXPECT_EQ(info.GetFileDescription(), u"Halvet Printer Locator");
    EXPECT_EQ(info.GetFileVersion(), u"1,0,14,1");
    EXPECT_EQ(info.GetProductVersion(), u"1,0,14,1");
    EXPECT_EQ(info.GetCompanyName(), u"Ostrel");
    EXPECT_EQ(info.GetLegalCopyright(), u"Copyright (C) 2026 Ostrel");
    EXPECT_EQ(info.GetInternalName(), U16(OwnExecutableName()));
    EXPECT_EQ(info.GetOriginalFileName(), U16(OwnExecutableName()));
    EXPECT_EQ(info.GetComments(), u"");

    const VS_FIXEDFILEINFO& fixed = info.GetFixedInfo();
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x000E0001u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x000E0001u);
    EXPECT_EQ(fixed.dwFileOS, 4u);
    EXPECT_EQ(fixed.dwFileType, 1u);
}

TEST(FileVersionInfoOwnBlock, EveryUserLanguageFindsTheOnlyTable) {
    // One table, 0x0409/1252: steps 1, 2, 4 and 5 all lead to it.
    for (uint16_t nLanguage : {0x0409, 0x0809, 0x0407, 0x0411, 0x0000}) {
        CFileVersionInfo info;
        ASSERT_EQ(info.Create(u"/proc/self/exe", nLanguage), 1);
        EXPECT_EQ(info.GetProductName(), u"Halvet Printer Locator") << std::hex << nLanguage;
    }
}

struct ChoiceCase {
    const char* pszName;
    std::vector<std::pair<uint16_t, uint16_t>> aTable;
    uint16_t nUser;
    std::size_t nExpected;
};

TEST(FileVersionInfoChoice, FollowsTheFiveSteps) {
    const ChoiceCase aCases[] = {
        {"step 1: exact language", {{0x0409, 1252}}, 0x0409, 0},
        {"step 2: same primary language", {{0x0409, 1252}}, 0x0809, 0},
        {"step 4: English for a German user", {{0x0409, 1252}}, 0x0407, 0},
        {"step 4 picks the English entry", {{0x0407, 1200}, {0x0409, 1252}}, 0x040C, 1},
        {"step 5: the first entry", {{0x0407, 1200}}, 0x040C, 0},
        {"step 1 beats an earlier step 2 match", {{0x0C07, 1252}, {0x0407, 1200}}, 0x0407, 1},
        {"step 2 beats neutral", {{0x0000, 1200}, {0x0807, 1252}}, 0x0407, 1},
        {"step 3: exact neutral before other sublanguages", {{0x0400, 1200}, {0x0000, 1252}}, 0x040C, 1},
        {"step 3: any neutral sublanguage", {{0x0409, 1200}, {0x0400, 1252}}, 0x040C, 1},
        {"step 3 beats English", {{0x0409, 1252}, {0x0000, 1200}}, 0x040C, 1},
        {"step 4: plain English before a sublanguage", {{0x0809, 1200}, {0x0009, 1252}}, 0x040C, 1},
        {"first of equal matches", {{0x0409, 1200}, {0x0409, 1252}}, 0x0409, 0},
    };
    for (const ChoiceCase& c : aCases) {
        std::vector<LangCodePage> table;
        for (const auto& [nLanguage, nCodePage] : c.aTable) table.push_back({nLanguage, nCodePage});
        EXPECT_EQ(ChooseTranslation(table, c.nUser), c.nExpected) << c.pszName;

        // The same through a whole block: the chosen table's strings are read.
        const std::vector<uint8_t> block = BlockWithTables(c.aTable);
        CFileVersionInfo info;
        ASSERT_EQ(info.CreateFromBlock(block, c.nUser), 1) << c.pszName;
        char szKey[9];
        std::snprintf(szKey, sizeof(szKey), "%04x%04x", unsigned{c.aTable[c.nExpected].first},
                      unsigned{c.aTable[c.nExpected].second});
        EXPECT_EQ(info.GetCompanyName(), U16(szKey)) << c.pszName;
    }
}

TEST(FileVersionInfoStrings, KeysMatchIgnoringCase) {
    // The table is named in lower case, the reader asks in upper case; the
    // block stores "OriginalFilename", the reader asks for "OriginalFileName".
    VersionBlockDefinition def;
    def.aTranslations = {{0x0409, 0x04E4}};
    def.aTables = {{u"040904e4", {{u"OriginalFilename", u"hvl"}, {u"COMPANYNAME", u"Upper"}}}};
    CFileVersionInfo info;
    ASSERT_EQ(info.CreateFromBlock(BuildVersionBlock(def), 0x0409), 1);
    EXPECT_EQ(info.GetOriginalFileName(), u"hvl");
    EXPECT_EQ(info.GetCompanyName(), u"Upper");
}

TEST(FileVersionInfoStrings, NoOrEmptyTranslationTableMeansNoStrings) {
    VersionBlockDefinition def;
    def.aFileVersion[0] = 3;
    def.aTables = {{u"040904e4", {{u"CompanyName", u"Hidden"}}}};
    for (bool bHasTable : {false, true}) {
        def.bHasTranslation = bHasTable;  // absent, or present with no entries
        CFileVersionInfo info;
        EXPECT_EQ(info.CreateFromBlock(BuildVersionBlock(def), 0x0409), 1);
        EXPECT_EQ(info.GetCompanyName(), u"");
        EXPECT_EQ(info.GetFixedInfo().dwFileVersionMS, 0x00030000u);
    }
}

TEST(FileVersionInfoStrings, ChosenTableWithoutTheStringsLeavesThemEmpty) {
    // The translation names a table the block does not have.
    VersionBlockDefinition def;
    def.aTranslations = {{0x0407, 1200}};
    def.aTables = {{u"040904e4", {{u"CompanyName", u"Elsewhere"}}}};
    CFileVersionInfo info;
    EXPECT_EQ(info.CreateFromBlock(BuildVersionBlock(def), 0x0407), 1);
    EXPECT_EQ(info.GetCompanyName(), u"");
}

TEST(FileVersionInfoFiles, FileWithoutBlockAfterSuccessLeavesEverythingEmpty) {
    const std::string strDir = ::testing::TempDir();
    const std::string strText = strDir + "version_plain.txt";
    std::ofstream(strText) << "no version block here\n";
    const std::string strFifo = strDir + "version_fifo";
    ::unlink(strFifo.c_str());
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);

    const char* aPaths[] = {
        HVL_NO_BLOCK_PROBE,           // an ELF executable without the section
        "/nonexistent/version/file",  // missing
        "/proc/self",                 // a directory
        "/dev/zero",                  // endless device
        strFifo.c_str(),              // must not wait for a writer
        strText.c_str(),              // neither ELF nor PE
        "",
    };
    for (const char* pszPath : aPaths) {
        CFileVersionInfo info;
        ASSERT_EQ(info.Create(), 1);
        ASSERT_NE(info.GetProductName(), u"");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(info.Create(U16(pszPath), 0x0409), 0) << pszPath;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << pszPath;

        const CFileVersionInfo empty;
        EXPECT_EQ(std::memcmp(&info.GetFixedInfo(), &empty.GetFixedInfo(), sizeof(VS_FIXEDFILEINFO)), 0)
            << pszPath;
        for (const std::u16string& str :
             {info.GetCompanyName(), info.GetFileDescription(), info.GetFileVersion(), info.GetInternalName(),
              info.GetLegalCopyright(), info.GetOriginalFileName(), info.GetProductName(),
              info.GetProductVersion(), info.GetComments(), info.GetLegalTrademarks(), info.GetPrivateBuild(),
              info.GetSpecialBuild()})
            EXPECT_EQ(str, u"") << pszPath;
    }
    ::unlink(strFifo.c_str());
}

class FileVersionInfoPe : public ::testing::TestWithParam<const char*> {
protected:
    std::string Path() const { return std::string(HVL_VERSION_FIXTURES) + "/" + GetParam(); }
};

TEST_P(FileVersionInfoPe, ReadsTheVersionResource) {
    CFileVersionInfo info;
    ASSERT_EQ(info.Create(U16(Path()), 0x0409), 1);
    EXPECT_EQ(info.GetCompanyName(), u"Sample Ltd");
    EXPECT_EQ(info.GetProductName(), u"Probe");
    EXPECT_EQ(info.GetFileVersion(), u"2, 3, 4, 5");
    EXPECT_EQ(info.GetOriginalFileName(), u"probe.dll");
    EXPECT_EQ(info.GetComments(), u"Test fixture");
    const VS_FIXEDFILEINFO& fixed = info.GetFixedInfo();
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00020003u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00040005u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00060007u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00080009u);
    EXPECT_EQ(fixed.dwFileOS, 0x40004u);
    EXPECT_EQ(fixed.dwFileType, 2u);

    // A German user gets the German table, which comes first in the file.
    ASSERT_EQ(info.Create(U16(Path()), 0x0407), 1);
    EXPECT_EQ(info.GetCompanyName(), u"Beispiel GmbH");
    EXPECT_EQ(info.GetComments(), u"");
}

TEST_P(FileVersionInfoPe, DamagedCopiesNeverReadOutside) {
    // Every truncation and every single-byte change of a real file: each
    // copy lives in a buffer of its exact size, so a read past it is caught
    // under AddressSanitizer.
    const std::vector<uint8_t> file = ReadAll(Path());
    ASSERT_GT(file.size(), 512u);
    CFileVersionInfo info;
    for (std::size_t n = 0; n < file.size(); ++n) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        cut.shrink_to_fit();
        info.CreateFromImage(cut, 0x0409);
    }
    for (std::size_t i = 0; i < file.size(); ++i) {
        for (uint8_t nValue : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(file[i] ^ 0x80)}) {
            std::vector<uint8_t> changed = file;
            changed[i] = nValue;
            info.CreateFromImage(changed, 0x0407);
        }
    }
    // The undamaged file still reads after all that.
    EXPECT_EQ(info.CreateFromImage(file, 0x0409), 1);
    EXPECT_EQ(info.GetCompanyName(), u"Sample Ltd");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FileVersionInfoPe, ::testing::Values("probe64.dll", "probe32.dll"),
                         [](const auto& info) { return std::string(info.param).substr(0, 7); });
