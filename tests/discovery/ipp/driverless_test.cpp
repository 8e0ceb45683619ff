// The driverless verdict over attribute sets as printers send them; each
// blocking rule is one CUPS 2.4 applies when it makes a queue.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "conv_string.h"
#include "driverless.h"

namespace {

struct DriverlessCase {
    const char* pszName;
    int nVersion;
    std::vector<const char*> aFormats;
    std::string strHas;  // words: urf-rs urf-bad pwg-res pwg-type back media-db media two-sided v11
    bool bReady;
    std::string strBlocking, strNotes, strKinds;  // codes, space-separated
};

ipp_t* Reply(const DriverlessCase& c) {
    ipp_t* p = ippNew();
    ippAddStrings(p, IPP_TAG_PRINTER, IPP_TAG_MIMETYPE, "document-format-supported",
                  static_cast<int>(c.aFormats.size()), nullptr, c.aFormats.data());
    std::istringstream words(c.strHas);
    for (std::string w; words >> w;) {
        if (w == "urf-rs" || w == "urf-bad")
            ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "urf-supported", nullptr, w == "urf-rs" ? "RS300-600" : "W8");
        if (w == "pwg-res")
            ippAddResolution(p, IPP_TAG_PRINTER, "pwg-raster-document-resolution-supported", IPP_RES_PER_INCH, 300, 300);
        if (w == "pwg-type")
            ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-type-supported", nullptr, "sgray_8");
        if (w == "back")
            ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "rotated");
        if (w == "media-db") {
            ipp_t* pCol = ippNew();
            ippAddString(pCol, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-source", nullptr, "main");
            ippAddCollection(p, IPP_TAG_PRINTER, "media-col-database", pCol);
            ippDelete(pCol);
        }
        if (w == "media") ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-supported", nullptr, "iso_a4_210x297mm");
        if (w == "two-sided") {
            const char* apsz[] = {"one-sided", "two-sided-long-edge"};
            ippAddStrings(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "sides-supported", 2, nullptr, apsz);
        }
        if (w == "v11") ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "ipp-versions-supported", nullptr, "1.1");
    }
    return p;
}

class Driverless : public testing::TestWithParam<DriverlessCase> {};

TEST_P(Driverless, FollowsCupsRulesAndNamesEveryReason) {
    const DriverlessCase& c = GetParam();
    ipp_t* p = Reply(c);
    const DriverlessVerdict verdict = JudgeDriverless(p, c.nVersion);
    ippDelete(p);
    std::string strBlocking, strNotes, strKinds;
    for (const DriverlessReason& r : verdict.aReasons) {
        (r.bBlocksCups ? strBlocking : strNotes) += (r.bBlocksCups ? strBlocking : strNotes).empty() ? "" : " ";
        (r.bBlocksCups ? strBlocking : strNotes) += Utf16ToUtf8(r.pszCode);
        EXPECT_FALSE(r.strText.empty());
    }
    for (const std::u16string& k : verdict.aKinds) strKinds += (strKinds.empty() ? "" : " ") + Utf16ToUtf8(k);
    EXPECT_EQ(verdict.bReady, c.bReady);
    EXPECT_EQ(strBlocking, c.strBlocking);
    EXPECT_EQ(strNotes, c.strNotes);
    EXPECT_EQ(strKinds, c.strKinds);
}

const char* URF = "image/urf";
const char* PWG = "image/pwg-raster";
const char* PDF = "application/pdf";

INSTANTIATE_TEST_SUITE_P(
    AttributeSets, Driverless,
    testing::Values(
        DriverlessCase{"Everywhere", 20, {PWG, URF}, "urf-rs pwg-res pwg-type media-db", true, "", "", "ipp-everywhere airprint"},
        DriverlessCase{"PdfWithPaperList", 20, {PDF}, "media", true, "", "", "pdf"},
        DriverlessCase{"PostScriptOnly", 20, {"application/postscript"}, "media-db", false, "no-driverless-format", "", ""},
        // CUPS takes the raster format, and wants its resolutions, even with PDF beside it
        DriverlessCase{"UrfWithoutUrfSupported", 20, {PDF, URF}, "media-db", false, "no-urf-supported", "", "pdf"},
        DriverlessCase{"PwgWithoutResolution", 20, {PWG}, "pwg-type media-db", false, "no-raster-resolution", "", ""},
        // Apple raster's resolutions serve: PWG raster's missing ones stop only IPP Everywhere
        DriverlessCase{"PwgResolutionFromUrf", 20, {PWG, URF}, "urf-rs pwg-type media", true, "",
                       "no-raster-resolution", "airprint"},
        DriverlessCase{"UrfSupportedWithoutResolution", 20, {URF}, "urf-bad media-db", false, "bad-urf-supported", "", ""},
        DriverlessCase{"NoPaperSizes", 20, {PDF}, "", false, "no-media-database", "", "pdf"},
        DriverlessCase{"AnsweredOnlyIpp11", 11, {PWG}, "pwg-res pwg-type media-db", true, "", "ipp-1.1-only", ""},
        DriverlessCase{"ListsOnlyIpp11", 20, {PDF}, "media v11", true, "", "ipp-1.1-only", "pdf"},
        DriverlessCase{"DuplexWithoutBackSide", 20, {PWG}, "pwg-res pwg-type media-db two-sided", true, "",
                       "no-raster-back-side", ""},
        DriverlessCase{"PclmOnly", 20, {"application/PCLm"}, "media-db", false, "no-driverless-format", "", "pclm"}),
    [](const testing::TestParamInfo<DriverlessCase>& info) { return std::string(info.param.pszName); });

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
