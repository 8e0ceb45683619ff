// The driverless verdict over attribute sets as printers send them; each
// blocking rule is one CUPS 2.4 applies when it makes a queue.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "conv_string.h"
#include "driverless.h"

namespace {

struct DriverlessCase {
    const char* pszName;
    int nVersion;
    const char* pszFormats;  // document-format-supported, space-separated
    // urf-rs urf-bad pwg-res pwg-type media-db media two-sided v11 feature, and media sources CUPS
    // cannot use: media-legacy (keywords), media-range (a database of a range), media-size
    const char* pszHas;
    const char* pszExpected;  // "ready|not ready: blocking codes; notes; kinds"
};

// One more value of the attribute, which is added when missing.
void AddKeyword(ipp_t* p, const char* pszName, const char* pszValue, ipp_tag_t nTag = IPP_TAG_KEYWORD) {
    ipp_attribute_t* pAttr = ippFindAttribute(p, pszName, IPP_TAG_ZERO);
    if (pAttr)
        ippSetString(p, &pAttr, ippGetCount(pAttr), pszValue);
    else
        ippAddString(p, IPP_TAG_PRINTER, nTag, pszName, nullptr, pszValue);
}

ipp_t* Reply(const DriverlessCase& c) {
    ipp_t* p = ippNew();
    std::istringstream formats(c.pszFormats), has(c.pszHas);
    for (std::string f; formats >> f;)
        AddKeyword(p, "document-format-supported", f.c_str(), IPP_TAG_MIMETYPE);
    for (std::string w; has >> w;) {
        if (w == "urf-rs" || w == "urf-bad")
            AddKeyword(p, "urf-supported", w == "urf-rs" ? "RS300-600" : "W8");
        if (w == "pwg-res")
            ippAddResolution(p, IPP_TAG_PRINTER, "pwg-raster-document-resolution-supported", IPP_RES_PER_INCH,
                             300, 300);
        if (w == "pwg-type") AddKeyword(p, "pwg-raster-document-type-supported", "sgray_8");
        if (w == "media") AddKeyword(p, "media-supported", "iso_a4_210x297mm");
        if (w == "two-sided") {
            AddKeyword(p, "sides-supported", "one-sided");
            AddKeyword(p, "sides-supported", "two-sided-long-edge");
        }
        if (w == "v11") AddKeyword(p, "ipp-versions-supported", "1.1");
        if (w == "media-legacy") AddKeyword(p, "media-supported", "iso-a4");
        if (w == "feature") AddKeyword(p, "ipp-features-supported", "ipp-everywhere");
        if (w == "invalid") ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "bad name", nullptr, "x");
        if (w == "media-db" || w == "media-range" || w == "media-size") {
            ipp_t* pSize = ippNew();
            ipp_t* pCol = ippNew();
            if (w == "media-range") {
                ippAddRange(pSize, IPP_TAG_ZERO, "x-dimension", 7620, 21590);
                ippAddRange(pSize, IPP_TAG_ZERO, "y-dimension", 12700, 35560);
            } else {
                ippAddInteger(pSize, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", 21000);
                ippAddInteger(pSize, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", 29700);
            }
            ippAddCollection(pCol, IPP_TAG_ZERO, "media-size", pSize);
            ippAddCollection(p, IPP_TAG_PRINTER,
                             w == "media-size" ? "media-size-supported" : "media-col-database",
                             w == "media-size" ? pSize : pCol);
            ippDelete(pCol);
            ippDelete(pSize);
        }
    }
    return p;
}

class Driverless : public testing::TestWithParam<DriverlessCase> {};

TEST_P(Driverless, FollowsCupsRulesAndNamesEveryReason) {
    ipp_t* p = Reply(GetParam());
    const DriverlessVerdict verdict = JudgeDriverless(p, GetParam().nVersion, GetParam().nVersion == 21);
    ippDelete(p);
    std::string strBlocking, strNotes, strKinds;
    // Appended in steps: GCC 12 at -O3 takes " " + std::string for an overlapping copy.
    for (const DriverlessReason& r : verdict.aReasons) {
        std::string& strList = r.bBlocksCups ? strBlocking : strNotes;
        strList += ' ';
        strList += Utf16ToUtf8(r.pszCode);
        EXPECT_FALSE(r.strText.empty());
    }
    for (const std::u16string& k : verdict.aKinds) {
        strKinds += ' ';
        strKinds += Utf16ToUtf8(k);
    }
    EXPECT_EQ(
        Utf16ToUtf8(DriverlessVerdictText(verdict)) + ":" + strBlocking + ";" + strNotes + ";" + strKinds,
        GetParam().pszExpected);
}

INSTANTIATE_TEST_SUITE_P(
    AttributeSets, Driverless,
    testing::Values(
        DriverlessCase{"Everywhere", 20, "image/pwg-raster image/urf",
                       "urf-rs pwg-res pwg-type media-db feature", "ready:;; ipp-everywhere airprint"},
        // Without ipp-features-supported saying so, no IPP Everywhere printer
        DriverlessCase{"EverywhereUnclaimed", 20, "image/pwg-raster", "pwg-res pwg-type media-db",
                       "ready:;;"},
        // CUPS reads one source of sizes only, the first there, and only sizes libcups knows
        DriverlessCase{"LegacyMediaKeywords", 20, "application/pdf", "media-legacy",
                       "not ready: no-usable-media-size;; pdf"},
        DriverlessCase{"SizeRangeOnly", 20, "application/pdf", "media-range media",
                       "not ready: no-usable-media-size;; pdf"},
        DriverlessCase{"MediaSizeSupportedOnly", 20, "application/pdf", "media-size media-legacy",
                       "ready:;; pdf"},
        DriverlessCase{"InvalidReply", 20, "application/pdf", "media invalid",
                       "not ready: invalid-reply;; pdf"},
        // CUPS takes the raster format, and wants its resolutions, even with PDF beside it
        DriverlessCase{"UrfWithoutUrfSupported", 20, "application/pdf image/urf", "media-db",
                       "not ready: no-urf-supported;; pdf"},
        DriverlessCase{"PwgWithoutResolution", 20, "image/pwg-raster", "pwg-type media-db",
                       "not ready: no-raster-resolution;;"},
        // Apple raster's resolutions serve: PWG raster's missing ones stop only IPP Everywhere
        DriverlessCase{"PwgResolutionFromUrf", 20, "image/pwg-raster image/urf", "urf-rs pwg-type media",
                       "ready:; no-raster-resolution; airprint"},
        DriverlessCase{"UrfSupportedWithoutResolution", 20, "image/urf", "urf-bad media-db",
                       "not ready: bad-urf-supported;;"},
        DriverlessCase{"NoPaperSizes", 20, "application/pdf", "", "not ready: no-media-database;; pdf"},
        DriverlessCase{"AnsweredOnlyIpp11", 11, "image/pwg-raster", "pwg-res pwg-type media-db",
                       "ready:; ipp-1.1-only;"},
        DriverlessCase{"ListsOnlyIpp11", 20, "application/pdf", "media v11", "ready:; ipp-1.1-only; pdf"},
        DriverlessCase{"DuplexWithoutBackSide", 20, "image/pwg-raster", "pwg-res pwg-type media-db two-sided",
                       "ready:; no-raster-back-side;"},
        DriverlessCase{"PclmOnly", 20, "application/PCLm", "media-db", "not ready: pclm-only;; pclm"},
        // 21: cups-filters' driverless is there
        DriverlessCase{"PclmWithCupsFilters", 21, "application/PCLm", "media-db", "ready:;; pclm"}),
    [](const testing::TestParamInfo<DriverlessCase>& info) { return std::string(info.param.pszName); });

// What a printer found without mDNS is published with: whole formats only.
TEST(AnnouncedTxt, KeysAnIppPrinterAnnounces) {
    ipp_t* p = Reply({"Duplex", 20, "application/pdf image/urf", "urf-rs two-sided", ""});
    for (int i = 0; i < 40; ++i)
        AddKeyword(p, "document-format-supported", "application/vnd.x", IPP_TAG_MIMETYPE);
    ippAddBoolean(p, IPP_TAG_PRINTER, "color-supported", 1);
    const std::vector<std::string> aTxt = AnnouncedTxt(p);
    ippDelete(p);
    ASSERT_EQ(aTxt.size(), 4u);
    EXPECT_EQ(aTxt[0].substr(0, 30), "pdl=application/pdf,image/urf,");
    EXPECT_LE(aTxt[0].size(), 255u);
    EXPECT_EQ(aTxt[0].back(), 'x');
    EXPECT_EQ(std::vector<std::string>(aTxt.begin() + 1, aTxt.end()),
              (std::vector<std::string>{"Color=T", "Duplex=T", "URF=RS300-600"}));
}

TEST(CupsSetupLine, SafeUniqueQueueNames) {
    EXPECT_EQ(CupsQueueName(u"-rf $(reboot) ;"), "rf_reboot");
    EXPECT_EQ(CupsQueueName(u"B\u00fcro 3.OG"), "B_ro_3.OG");
    EXPECT_EQ(CupsQueueName(u"\u2603"), "printer");
    EXPECT_EQ(CupsQueueName(std::u16string(300, u'a')).size(), 127u);
    std::vector<std::string> aTaken;
    std::string strNames;
    for (const char16_t* psz : {u"HP LaserJet (1)", u"HP LaserJet [1]", u"hp laserjet 1", u"Other"})
        strNames += UniqueCupsQueueName(psz, aTaken) + " ";
    EXPECT_EQ(strNames, "HP_LaserJet_1 HP_LaserJet_1_2 hp_laserjet_1_3 Other ");
}

// The line as printed, run by dash and bash: the URI arrives as one word, unchanged.
TEST(CupsSetupLine, UriNeedsNoQuotingInAnyShell) {
    const std::string strDnssd = DnssdUri(u"Caf\u00e9 $(x) 'q'; *?", u"_ipp._tcp", u"4e0c-aa");
    EXPECT_EQ(strDnssd,
              "dnssd://Caf%C3%A9%20%24%28x%29%20%27q%27%3B%20%2A%3F._ipp._tcp.local/%3Fuuid=4e0c-aa");
    const std::string strLine = CupsSetupLine({"q", strDnssd, u"Floor 3 'east'!", u"Acme \\ 9", false});
    EXPECT_EQ(strLine,
              "lpadmin -p q -E -v " + strDnssd + " -L 'Floor 3  east  ' -D 'Acme   9' -m everywhere");
    EXPECT_EQ(CupsSetupLine({"q", "ipp://[fe80::1%25eth0]:631/it's", u"", u"", true}),
              "lpadmin -p q -E -v 'ipp://[fe80::1%25eth0]:631/it%27s' -m "
              "'driverless:ipp://[fe80::1%25eth0]:631/it%27s'");
    for (const char* pszShell : {"dash", "bash"}) {
        const std::string strCommand =
            std::string(pszShell) + " -c 'printf \"%s|\" " + ShellSafeUri(strDnssd) + "'";
        FILE* pPipe = popen(strCommand.c_str(), "r");
        ASSERT_NE(pPipe, nullptr);
        char szOut[512] = {};
        const size_t n = fread(szOut, 1, sizeof szOut - 1, pPipe);
        pclose(pPipe);
        EXPECT_EQ(std::string(szOut, n), strDnssd + "|") << pszShell;
    }
}

}  // namespace
