// The driverless verdict over attribute sets as printers send them; each
// blocking rule is one CUPS 2.4 applies when it makes a queue.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "conv_string.h"
#include "driverless.h"

namespace {

struct DriverlessCase {
    const char* pszName;
    int nVersion;
    const char* pszFormats;   // document-format-supported, space-separated
    const char* pszHas;       // urf-rs urf-bad pwg-res pwg-type media-db media two-sided v11
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
        if (w == "media-db") {
            ipp_t* pCol = ippNew();
            AddKeyword(pCol, "media-source", "main");
            ippAddCollection(p, IPP_TAG_PRINTER, "media-col-database", pCol);
            ippDelete(pCol);
        }
    }
    return p;
}

class Driverless : public testing::TestWithParam<DriverlessCase> {};

TEST_P(Driverless, FollowsCupsRulesAndNamesEveryReason) {
    ipp_t* p = Reply(GetParam());
    const DriverlessVerdict verdict = JudgeDriverless(p, GetParam().nVersion);
    ippDelete(p);
    std::string strBlocking, strNotes, strKinds;
    for (const DriverlessReason& r : verdict.aReasons) {
        (r.bBlocksCups ? strBlocking : strNotes) += " " + Utf16ToUtf8(r.pszCode);
        EXPECT_FALSE(r.strText.empty());
    }
    for (const std::u16string& k : verdict.aKinds) strKinds += " " + Utf16ToUtf8(k);
    EXPECT_EQ(
        Utf16ToUtf8(DriverlessVerdictText(verdict)) + ":" + strBlocking + ";" + strNotes + ";" + strKinds,
        GetParam().pszExpected);
}

INSTANTIATE_TEST_SUITE_P(
    AttributeSets, Driverless,
    testing::Values(
        DriverlessCase{"Everywhere", 20, "image/pwg-raster image/urf", "urf-rs pwg-res pwg-type media-db",
                       "ready:;; ipp-everywhere airprint"},
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
        DriverlessCase{"PclmOnly", 20, "application/PCLm", "media-db",
                       "not ready: no-driverless-format;; pclm"}),
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

TEST(CupsSetupLine, SafeQueueNameAndQuotedUri) {
    EXPECT_EQ(CupsSetupLine(u"Lab Default", "ipp://192.0.2.10:631/ipp/print"),
              "lpadmin -p Lab_Default -E -v ipp://192.0.2.10:631/ipp/print -m everywhere");
    EXPECT_EQ(CupsQueueName(u"-rf $(reboot) ;"), "rf_reboot");
    EXPECT_EQ(CupsQueueName(u"B\u00fcro 3.OG"), "B_ro_3.OG");
    EXPECT_EQ(CupsQueueName(u"\u2603"), "printer");
    EXPECT_EQ(CupsQueueName(std::u16string(300, u'a')).size(), 127u);
    EXPECT_EQ(CupsSetupLine(u"x", "ipp://[fe80::1%25eth0]:631/it's"),
              "lpadmin -p x -E -v 'ipp://[fe80::1%25eth0]:631/it'\\''s' -m everywhere");
}

}  // namespace
