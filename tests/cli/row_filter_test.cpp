#include <glib.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "conv_string.h"
#include "methods.h"
#include "multicast_data_provider.h"
#include "row_filter.h"
#include "scan_options.h"

// Rows and statuses are written with the fields each case needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

ScanRow Row(std::u16string strName, int32_t nKind, std::u16string strModel, std::u16string strLocation,
            std::vector<std::u16string> aAddresses, std::vector<int32_t> aOtherKinds = {}) {
    return {.strName = strName,
            .strIpAddress = aAddresses.front(),
            .nKind = nKind,
            .aOtherKinds = aOtherKinds,
            .strModel = strModel,
            .strLocation = strLocation,
            .aAddresses = aAddresses};
}

// Four printers in the order they were found, with their statuses.
const std::vector<std::pair<ScanRow, PrinterStatus>> PRINTERS = {
    {Row(u"Office Laser", PROVIDER_KIND_MDNS, u"HP LaserJet 4000", u"Floor 3 east", {u"192.0.2.10"}),
     {.nState = PrinterState::Idle, .aSupplies = {{u"Black", u"toner", u"", 8, 10}}}},
    {Row(u"hp stopped", PROVIDER_KIND_UPNP, u"HP OfficeJet", u"", {u"10.20.5.7"}, {ROW_KIND_WSD}),
     {.nState = PrinterState::Stopped, .aReasons = {{u"media-empty-error", ReasonSeverity::Error}}}},
    {Row(u"Lab Inkjet", PROVIDER_KIND_MDNS, u"Epson", u"Floor 2", {u"2001:db8::5", u"fe80::1%eth0"}),
     {.nState = PrinterState::Printing,
      .aSupplies = {{u"Cyan", u"ink", u"", 50, 10}, {u"Black", u"ink", u"", -1, 10}}}},
    // Says where it stands only when asked.
    {Row(u"Remote", ROW_KIND_UNICAST_DNSSD, u"", u"", {u"192.0.2.9"}),
     {.nState = PrinterState::NoAnswer, .strLocation = u"Floor 3 annex"}},
};

struct FilterCase {
    const char* pszName;
    const char* pszOptions;
    std::vector<std::u16string> aShown;  // in the order shown
    const char* pszError = nullptr;      // or the start of the reason for refusing the line
};

class RowFilterLines : public ::testing::TestWithParam<FilterCase> {};

TEST_P(RowFilterLines, ShowTheMatchingRowsInOrderOrRefuseTheLine) {
    gchar** ppArgs = nullptr;
    const std::string strLine = std::string("hvl-scan ") + GetParam().pszOptions;
    ASSERT_TRUE(g_shell_parse_argv(strLine.c_str(), nullptr, &ppArgs, nullptr));
    ScanOptions options;
    std::string strText;
    const ParseResult nResult =
        ParseScanOptions(static_cast<int>(g_strv_length(ppArgs)), ppArgs, options, strText);
    g_strfreev(ppArgs);
    if (GetParam().pszError) {
        EXPECT_EQ(nResult, ParseResult::BAD);
        EXPECT_EQ(strText.rfind(std::string("hvl-scan: ") + GetParam().pszError, 0), 0u) << strText;
        return;
    }
    ASSERT_EQ(nResult, ParseResult::RUN) << strText;
    std::vector<ScanRow> aRows;
    StatusByAddress statuses;
    for (const auto& [row, status] : PRINTERS) {
        aRows.push_back(row);
        statuses[row.strIpAddress] = status;
    }
    std::vector<std::u16string> aShown;
    for (const ScanRow& row : ShownRows(aRows, options.filter, &statuses, options.nSort))
        aShown.push_back(row.strName);
    EXPECT_EQ(aShown, GetParam().aShown);
    // What can only be told from the printer's answer asks for it.
    const std::string strOptions = GetParam().pszOptions;
    EXPECT_EQ(options.bStatus, strOptions.find("--state") != std::string::npos ||
                                   strOptions.find("--supply-below") != std::string::npos ||
                                   strOptions.find("--reason") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RowFilterLines,
    ::testing::Values(
        FilterCase{"NameInAnyCase", "--name LASER", {u"Office Laser"}},
        FilterCase{"RepeatedOptionsAllMatch", "--name o --name '^hp' --model officejet", {u"hp stopped"}},
        FilterCase{"AnySourceOfTheRow", "--source wsd,dns-sd", {u"hp stopped", u"Remote"}},
        FilterCase{"PrefixNotOnAByte", "--address 10.16.0.0/12", {u"hp stopped"}},
        FilterCase{
            "AnyAddressIPv6AndLinkLocal", "--address 192.0.2.8/31,fe80::/10", {u"Lab Inkjet", u"Remote"}},
        FilterCase{"StateList", "--state stopped,printing", {u"hp stopped", u"Lab Inkjet"}},
        FilterCase{"SupplyAtTheMarkUnknownLevelsNot", "--supply-below 8%", {u"Office Laser"}},
        FilterCase{"Reason", "--reason empty", {u"hp stopped"}},
        FilterCase{
            "FloorThreeLowOnToner", "--location 'floor 3' --state idle --supply-below 10", {u"Office Laser"}},
        FilterCase{"SortByNameIgnoresCase",
                   "--sort name",
                   {u"hp stopped", u"Lab Inkjet", u"Office Laser", u"Remote"}},
        FilterCase{"SortByAddressNumericIPv4First",
                   "--sort address",
                   {u"hp stopped", u"Remote", u"Office Laser", u"Lab Inkjet"}},
        FilterCase{"SortByLocationEmptyLast",
                   "--sort location",
                   {u"Lab Inkjet", u"Office Laser", u"hp stopped", u"Remote"}},
        FilterCase{"BadRegex", "--name '('", {}, "--name needs a regular expression"},
        FilterCase{"PrefixTooLong", "--address 10.0.0.0/33", {}, "--address needs an IPv4 or IPv6 network"},
        FilterCase{"UnknownState", "--state idle,busy", {}, "--state takes idle, printing"},
        FilterCase{"PercentAbove100", "--supply-below 101", {}, "--supply-below needs a percentage"},
        FilterCase{"UnknownSortKey", "--sort size", {}, "--sort takes name"}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.pszName); });

// Every name, switch and kind of the methods is one method's only, and the
// lookups find the method it came from.
TEST(DiscoveryMethodList, EachNameSwitchAndKindIsOneMethodsOnly) {
    std::set<std::u16string_view> sources, names;
    std::set<std::string_view> options;
    std::set<int32_t> kinds;
    for (const DiscoveryMethod* p : DiscoveryMethods()) {
        SCOPED_TRACE(Utf16ToUtf8(std::u16string(p->strSource)));
        EXPECT_TRUE(sources.insert(p->strSource).second && names.insert(p->strName).second);
        EXPECT_TRUE(kinds.insert(p->nKind).second);
        // A method on by default has only a switch that leaves it out.
        if (p->pszOption) {
            EXPECT_EQ(std::string_view(p->pszOption).starts_with("no-"), p->bOnByDefault);
            EXPECT_TRUE(options.insert(p->pszOption).second);
        }
        EXPECT_EQ(FindMethodBySource(p->strSource), p);
        EXPECT_EQ(FindMethodByKind(p->nKind), p);
        EXPECT_EQ(FindMethodByName(p->strName), p);
    }
}

// Each switch takes its method out or adds it; the others keep their default.
TEST(DiscoveryMethodList, SwitchesTurnTheirMethodsOnOrOff) {
    for (const auto& [pszLine, aKinds] : std::vector<std::pair<const char*, std::vector<int32_t>>>{
             {"hvl-scan", {PROVIDER_KIND_MDNS, PROVIDER_KIND_UPNP, ROW_KIND_WSD}},
             {"hvl-scan --no-wsd --snmp", {PROVIDER_KIND_MDNS, PROVIDER_KIND_UPNP, ROW_KIND_SNMP}},
             {"hvl-scan --no-mdns --no-upnp", {ROW_KIND_WSD}}}) {
        gchar** ppArgs = nullptr;
        ASSERT_TRUE(g_shell_parse_argv(pszLine, nullptr, &ppArgs, nullptr));
        ScanOptions options;
        std::string strText;
        EXPECT_EQ(ParseScanOptions(static_cast<int>(g_strv_length(ppArgs)), ppArgs, options, strText),
                  ParseResult::RUN);
        g_strfreev(ppArgs);
        EXPECT_EQ(options.aMethodKinds, aKinds) << pszLine;
    }
}

}  // namespace
