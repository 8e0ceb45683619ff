// Replies as printers send them, built with libcups's own ippAdd* calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "conv_string.h"
#include "ipp_status_reply.h"

namespace {

struct ReplyCase {
    const char* pszName;
    std::function<void(ipp_t*)> fnBuild;  // adds the printer attributes
    std::vector<SupplyLevel> aExpected;   // supplies read back
};

void AddPrinterBasics(ipp_t* pReply, int nState, std::vector<const char*> aReasons) {
    ippAddInteger(pReply, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", nState);
    ippAddStrings(pReply, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-state-reasons",
                  static_cast<int>(aReasons.size()), nullptr, aReasons.data());
    ippAddBoolean(pReply, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
}

void AddPwgSupplies(ipp_t* pReply, const std::vector<std::string>& aValues,
                    std::vector<const char*> aDescriptions) {
    ipp_attribute_t* pAttr = nullptr;
    for (const std::string& str : aValues) {
        if (!pAttr) {
            pAttr = ippAddOctetString(pReply, IPP_TAG_PRINTER, "printer-supply", str.data(),
                                      static_cast<int>(str.size()));
        } else {
            ippSetOctetString(pReply, &pAttr, ippGetCount(pAttr), str.data(), static_cast<int>(str.size()));
        }
    }
    if (!aDescriptions.empty())
        ippAddStrings(pReply, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-supply-description",
                      static_cast<int>(aDescriptions.size()), nullptr, aDescriptions.data());
}

// A reply to a Get-Printer-Attributes request, as a printer would make it.
ipp_t* NewReply() {
    ipp_t* pRequest = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ipp_t* pReply = ippNewResponse(pRequest);
    ippDelete(pRequest);
    return pReply;
}

class StatusReply : public testing::TestWithParam<ReplyCase> {};

TEST_P(StatusReply, ReadsEverySupplyForm) {
    ipp_t* pReply = NewReply();
    AddPrinterBasics(pReply, IPP_PSTATE_IDLE, {"none"});
    GetParam().fnBuild(pReply);
    PrinterStatus status;
    ASSERT_TRUE(ReadStatusReply(pReply, status));
    ippDelete(pReply);
    EXPECT_EQ(status.nState, PrinterState::Idle);
    EXPECT_TRUE(status.aReasons.empty());  // "none" is no reason
    const auto& aExpected = GetParam().aExpected;
    ASSERT_EQ(status.aSupplies.size(), aExpected.size());
    for (size_t i = 0; i < aExpected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Utf16ToUtf8(status.aSupplies[i].strName), Utf16ToUtf8(aExpected[i].strName));
        EXPECT_EQ(Utf16ToUtf8(status.aSupplies[i].strType), Utf16ToUtf8(aExpected[i].strType));
        EXPECT_EQ(Utf16ToUtf8(status.aSupplies[i].strColor), Utf16ToUtf8(aExpected[i].strColor));
        EXPECT_EQ(status.aSupplies[i].nLevel, aExpected[i].nLevel);
        EXPECT_EQ(status.aSupplies[i].nLow, aExpected[i].nLow);
        EXPECT_EQ(status.aSupplies[i].bReceptacle, aExpected[i].bReceptacle);
        EXPECT_EQ(Utf16ToUtf8(status.aSupplies[i].strLevelText), Utf16ToUtf8(aExpected[i].strLevelText));
    }
}

const char* const MARKER_NAMES[] = {"Black Toner", "Cyan Toner", "Waste"};
const char* const MARKER_COLORS[] = {"#000000", "#00FFFF", "none"};
const char* const MARKER_TYPES[] = {"toner", "toner", "waste-toner"};
const int MARKER_LEVELS[] = {8, -3, 140};
const int MARKER_LOWS[] = {10, 10, 90};

INSTANTIATE_TEST_SUITE_P(
    Forms, StatusReply,
    testing::Values(
        ReplyCase{
            "MarkerLists",
            [](ipp_t* p) {
                ippAddStrings(p, IPP_TAG_PRINTER, IPP_TAG_NAME, "marker-names", 3, nullptr, MARKER_NAMES);
                ippAddStrings(p, IPP_TAG_PRINTER, IPP_TAG_NAME, "marker-colors", 3, nullptr, MARKER_COLORS);
                ippAddStrings(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "marker-types", 3, nullptr, MARKER_TYPES);
                ippAddIntegers(p, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "marker-levels", 3, MARKER_LEVELS);
                ippAddIntegers(p, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "marker-low-levels", 3, MARKER_LOWS);
            },
            // -3 ("some left") and 140 are no percentages; waste fills up
            {{u"Black Toner", u"toner", u"#000000", 8, 10},
             {u"Cyan Toner", u"toner", u"#00FFFF", -1, 10, false, u"some remaining"},
             {u"Waste", u"waste-toner", u"", -1, 90, true}}},
        ReplyCase{"OneMarkerAsSingleValues",
                  [](ipp_t* p) {
                      ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_NAME, "marker-names", nullptr, "Black Ink");
                      ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_NAME, "marker-colors", nullptr, "#000000");
                      ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "marker-types", nullptr, "ink");
                      ippAddInteger(p, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "marker-levels", 55);
                  },
                  {{u"Black Ink", u"ink", u"#000000", 55, -1}}},
        ReplyCase{"MarkerLevelsWithoutNames",
                  [](ipp_t* p) {
                      ippAddIntegers(p, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "marker-levels", 2, MARKER_LOWS);
                  },
                  {{u"", u"", u"", 10, -1}, {u"", u"", u"", 10, -1}}},
        ReplyCase{"PwgSupplyWithDescriptions",
                  [](ipp_t* p) {
                      AddPwgSupplies(
                          p,
                          {"index=1;class=supplyThatIsConsumed;type=toner;unit=percent;maxcapacity=100;"
                           "level=25;colorantname=black;",
                           "index=2;class=receptacleThatIsFilled;type=wasteToner;unit=percent;maxcapacity="
                           "100;level=-2;"
                           "colorantname=unknown;",
                           "class=receptacleThatIsFilled;type=wasteToner;maxcapacity=200;level=60;",
                           "type=toner;maxcapacity=100;level=-3;", "type=toner;maxcapacity=100;level=-1;"},
                          {"Black Toner", "Waste Toner", "Waste 2", "Cyan", "Magenta"});
                  },
                  // a receptacle's level is the space left in it: 60 of 200 left is 70% full
                  {{u"Black Toner", u"toner", u"black", 25, -1},
                   {u"Waste Toner", u"wasteToner", u"", -1, -1, true, u"unknown"},
                   {u"Waste 2", u"wasteToner", u"", 70, -1, true},
                   {u"Cyan", u"toner", u"", -1, -1, false, u"some remaining"},
                   {u"Magenta", u"toner", u"", -1, -1, false, u"other"}}},
        ReplyCase{"PwgSupplyScaledWithoutDescription",
                  [](ipp_t* p) {
                      AddPwgSupplies(p, {"type=ink;maxcapacity=400;level=100;colorantname=cyan;"}, {});
                  },
                  {{u"cyan ink", u"ink", u"cyan", 25, -1}}},
        ReplyCase{"PwgSupplyAsTextAndUnknownMaximum",
                  [](ipp_t* p) {
                      ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-supply", nullptr,
                                   "type=toner;maxcapacity=-2;unit=percent;level=60");
                      ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-supply-description", nullptr,
                                   "K");
                  },
                  {{u"K", u"toner", u"", 60, -1}}},
        ReplyCase{"BothFormsKeepMarkersOnly",
                  [](ipp_t* p) {
                      ippAddString(p, IPP_TAG_PRINTER, IPP_TAG_NAME, "marker-names", nullptr, "Black");
                      ippAddInteger(p, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "marker-levels", 70);
                      AddPwgSupplies(p, {"type=toner;maxcapacity=100;level=70;colorantname=black;"},
                                     {"Black"});
                  },
                  {{u"Black", u"", u"", 70, -1}}},
        ReplyCase{"GarbageSupplyValuesSkipped",
                  [](ipp_t* p) {
                      AddPwgSupplies(p, {"", ";;;", "no keys here", "level=;type="}, {});
                  },
                  {{u"", u"", u"", -1, -1}}}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.pszName); });

TEST(StatusReplyState, ReadsStatesReasonsAndRefusesWhatIsNoPrinterAnswer) {
    struct Case {
        int nState;
        ipp_status_t nStatus;
        std::vector<const char*> aReasons;
        bool bRead;
        PrinterState nExpected;
        const char* pszWorst;
        bool bHealthy;
    };
    const std::vector<Case> cases = {
        {IPP_PSTATE_IDLE, IPP_STATUS_OK, {"none"}, true, PrinterState::Idle, nullptr, true},
        {IPP_PSTATE_PROCESSING,
         IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED,
         {"toner-low-report", "media-low-warning", "cover-open-report"},
         true,
         PrinterState::Printing,
         "media-low-warning",
         true},
        {IPP_PSTATE_IDLE,
         IPP_STATUS_OK,
         {"toner-low-warning", "media-jam-error", "other-report"},
         true,
         PrinterState::Idle,
         "media-jam-error",
         false},
        // a keyword without a suffix is a report, as CUPS reads it
        {IPP_PSTATE_IDLE,
         IPP_STATUS_OK,
         {"identify-printer-requested", "toner-low-warning"},
         true,
         PrinterState::Idle,
         "toner-low-warning",
         true},
        {IPP_PSTATE_STOPPED, IPP_STATUS_OK, {"paused"}, true, PrinterState::Stopped, "paused", false},
        {IPP_PSTATE_STOPPED, IPP_STATUS_OK, {"none"}, true, PrinterState::Stopped, nullptr, false},
        {7, IPP_STATUS_OK, {"none"}, false, PrinterState::NoIpp, nullptr, false},
        {0, IPP_STATUS_OK, {"none"}, false, PrinterState::NoIpp, nullptr, false},  // 0: no printer-state
        {IPP_PSTATE_IDLE,
         IPP_STATUS_ERROR_NOT_AUTHORIZED,
         {"none"},
         false,
         PrinterState::NoIpp,
         nullptr,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.nState << " status " << c.nStatus);
        ipp_t* pReply = NewReply();
        ippSetStatusCode(pReply, c.nStatus);
        if (c.nState != 0) AddPrinterBasics(pReply, c.nState, c.aReasons);
        ippAddString(pReply, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-state-message", nullptr, "Ready\x1b[2J");
        PrinterStatus status;
        EXPECT_EQ(ReadStatusReply(pReply, status), c.bRead);
        ippDelete(pReply);
        EXPECT_EQ(status.nState, c.nExpected);
        EXPECT_EQ(IsStatusHealthy(status), c.bHealthy);
        if (!c.bRead) continue;
        EXPECT_EQ(status.nAccepting, 1);
        EXPECT_EQ(Utf16ToUtf8(status.strMessage), "Ready [2J");  // no escape sequence gets through
        const StateReason* pWorst = MostSevereReason(status);
        EXPECT_EQ(pWorst ? Utf16ToUtf8(pWorst->strKeyword) : std::string("-"), c.pszWorst ? c.pszWorst : "-");
    }
}

extern "C" ssize_t AppendBytes(void* p, ipp_uchar_t* pBuffer, size_t n) {
    static_cast<std::string*>(p)->append(reinterpret_cast<const char*>(pBuffer), n);
    return static_cast<ssize_t>(n);
}

// A reply of more values than any printer sends is refused before libcups
// reads it; a cut-off one too; a big real one is read.
TEST(StatusReplyBody, RefusedPastItsCapsBeforeItIsRead) {
    for (const int nValues : {20000, 40000, -1}) {
        ipp_t* pReply = NewReply();
        AddPrinterBasics(pReply, IPP_PSTATE_IDLE, {"none"});
        std::vector<std::string> aValues;
        for (int i = 0; i < std::abs(nValues); ++i) aValues.emplace_back("k").append(std::to_string(i));
        std::vector<const char*> apsz;
        for (const std::string& str : aValues) apsz.push_back(str.c_str());
        ippAddStrings(pReply, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "media-supported",
                      static_cast<int>(apsz.size()), nullptr, apsz.data());
        std::string strBody;
        ippWriteIO(&strBody, AppendBytes, 1, nullptr, pReply);
        ippDelete(pReply);
        if (nValues < 0) strBody.resize(strBody.size() / 2);
        PrinterStatus status;
        EXPECT_EQ(ReadStatusReplyBody(strBody, status) == ::StatusReply::ANSWERED, nValues == 20000)
            << nValues;
    }
}

TEST(StatusSummary, StateThenWorstReasonThenLowestKnownSupply) {
    PrinterStatus status;
    status.nState = PrinterState::Idle;
    EXPECT_EQ(Utf16ToUtf8(StatusSummary(status)), "idle");
    status.aSupplies = {{u"Cyan", u"toner", u"", -1, -1},
                        {u"Black", u"toner", u"", 8, 10},
                        {u"Yellow", u"toner", u"", 0, 10},
                        {u"Magenta", u"toner", u"", 40, 10}};
    EXPECT_EQ(Utf16ToUtf8(StatusSummary(status)), "idle  (Yellow 0%)");
    status.aReasons = {{u"toner-low-report", ReasonSeverity::Report},
                       {u"toner-empty-warning", ReasonSeverity::Warning}};
    EXPECT_EQ(Utf16ToUtf8(StatusSummary(status)), "idle  toner-empty-warning (Yellow 0%)");
    status.aSupplies.clear();
    status.nState = PrinterState::NoAnswer;
    EXPECT_EQ(Utf16ToUtf8(StatusSummary(status)), "no answer  toner-empty-warning");
    EXPECT_FALSE(IsStatusHealthy(status));
    status = PrinterStatus{};
    status.nState = PrinterState::Idle;
    status.nAccepting = 0;
    EXPECT_FALSE(IsStatusHealthy(status));  // not accepting jobs
}

}  // namespace
