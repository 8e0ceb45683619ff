#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "live_watch.h"
#include "multicast_data_provider.h"
#include "scan_row.h"
#include "snmp_finder.h"
#include "snmp_method.h"
#include "wsd_method.h"

namespace {

ScanRow Row(std::u16string strIp, std::u16string strName, int32_t nKind = PROVIDER_KIND_MDNS) {
    ScanRow row;
    row.strIpAddress = std::move(strIp);
    row.strName = std::move(strName);
    row.nKind = nKind;
    row.aAddresses = {row.strIpAddress};
    return row;
}

struct MergeCase {
    const char* pszName;
    std::vector<ScanRow> aArriving;
    std::vector<std::u16string> aExpectedNames;  // the rows kept, in order
};

void PrintTo(const MergeCase& c, std::ostream* os) {
    *os << c.pszName;
}

class ScanRowMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(ScanRowMerge, KeepsTheFirstRowPerAddressInArrivalOrder) {
    CScanRowList list;
    std::vector<std::u16string> aAdded, aKept;
    for (const ScanRow& row : GetParam().aArriving) {
        if (list.Add(row)) aAdded.push_back(row.strName);
    }
    for (const ScanRow& row : list.GetRows()) {
        aKept.push_back(row.strName);
        EXPECT_EQ(list.FindByAddress(row.strIpAddress), &row);
    }
    EXPECT_EQ(aAdded, aKept);
    EXPECT_EQ(aKept, GetParam().aExpectedNames);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScanRowMerge,
    ::testing::Values(
        MergeCase{"DistinctAddressesAllKept",
                  {Row(u"192.0.2.1", u"A"), Row(u"192.0.2.2", u"B"), Row(u"fe80::1%eth0", u"C")},
                  {u"A", u"B", u"C"}},
        MergeCase{"SecondMethodLosesToTheFirst",
                  {Row(u"192.0.2.1", u"By mDNS"), Row(u"192.0.2.1", u"By UPnP", PROVIDER_KIND_UPNP)},
                  {u"By mDNS"}},
        // IPv6 text may come in either case; an address is one row.
        MergeCase{"AddressesCompareWithoutCase",
                  {Row(u"fe80::ab%eth0", u"Lower"), Row(u"FE80::AB%eth0", u"Upper")},
                  {u"Lower"}},
        MergeCase{"SameAddressOnAnotherInterfaceIsAnotherRow",
                  {Row(u"fe80::ab%eth0", u"On eth0"), Row(u"fe80::ab%eth1", u"On eth1")},
                  {u"On eth0", u"On eth1"}},
        MergeCase{"RowWithoutAddressRefused", {Row(u"", u"Nowhere"), Row(u"192.0.2.9", u"Here")}, {u"Here"}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.pszName); });

// A row of a method that told an identity (as it spelled it) and addresses.
ScanRow Row(std::u16string_view strId, std::vector<std::u16string> aAddresses, std::u16string strName,
            int32_t nKind) {
    ScanRow row = Row(aAddresses.front(), std::move(strName), nKind);
    row.strId = UuidIdentity(strId);
    row.aAddresses = std::move(aAddresses);
    return row;
}

constexpr std::u16string_view UUID_A = u"6f1e7a2c-0b3d-4c5e-8f90-a1b2c3d4e5f6";
constexpr std::u16string_view UUID_B = u"urn:uuid:0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c";

struct IdentityCase {
    const char* pszName;
    std::vector<ScanRow> aArriving;
    std::vector<std::u16string> aExpected;  // per row kept: its id, then its addresses (ip first)
};

void PrintTo(const IdentityCase& c, std::ostream* os) {
    *os << c.pszName;
}

class ScanRowIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(ScanRowIdentity, OneRowPerPrinterListedByItsPreferredAddress) {
    CScanRowList list;
    for (const ScanRow& row : GetParam().aArriving) list.Add(row);
    // IPP's printer-uuid, later, of a row no method identified.
    list.SetIdIfUnknown(u"192.0.2.9", UuidIdentity(u"URN:UUID:6F1E7A2C-0B3D-4C5E-8F90-A1B2C3D4E5F6"));
    std::vector<std::u16string> aRows;
    for (const ScanRow& row : list.GetRows()) {
        EXPECT_EQ(row.strIpAddress, row.aAddresses.front());
        aRows.push_back(ScanRowId(row));
        aRows.insert(aRows.end(), row.aAddresses.begin(), row.aAddresses.end());
    }
    EXPECT_EQ(aRows, GetParam().aExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScanRowIdentity,
    ::testing::Values(
        IdentityCase{
            "SameUuidSpelledThreeWays",
            {Row(u"urn:uuid:6F1E7A2C-0B3D-4C5E-8F90-A1B2C3D4E5F6", {u"fe80::1%eth0"}, u"W", ROW_KIND_WSD),
             Row(u"uuid:6f1e7a2c-0b3d-4c5e-8f90-a1b2c3d4e5f6", {u"2001:db8::1"}, u"U", PROVIDER_KIND_UPNP),
             Row(u"6F1E7A2C0B3D4C5E8F90A1B2C3D4E5F6", {u"192.0.2.1", u"169.254.0.1"}, u"M",
                 PROVIDER_KIND_MDNS)},
            {std::u16string(UUID_A), u"192.0.2.1", u"2001:db8::1", u"fe80::1%eth0", u"169.254.0.1"}},
        // Twins on one desk, and two queues of one print server: never one row.
        IdentityCase{"DifferentUuidsNeverJoin",
                     {Row(UUID_A, {u"192.0.2.1"}, u"Twin", PROVIDER_KIND_MDNS),
                      Row(UUID_B, {u"192.0.2.2"}, u"Twin", PROVIDER_KIND_MDNS),
                      Row(u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2d", {u"192.0.2.1"}, u"Queue", ROW_KIND_WSD)},
                     {std::u16string(UUID_A), u"192.0.2.1", u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c",
                      u"192.0.2.2", u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2d", u"192.0.2.1"}},
        // Nil or malformed: no identity, so the address decides.
        IdentityCase{
            "AddressOnly",
            {Row(u"00000000-0000-0000-0000-000000000000", {u"192.0.2.1"}, u"Nil", PROVIDER_KIND_MDNS),
             Row(u"uuid:lab-printer", {u"192.0.2.2"}, u"Odd", PROVIDER_KIND_UPNP),
             Row(u"", {u"192.0.2.1"}, u"Snmp", ROW_KIND_SNMP)},
            {u"ip:192.0.2.1", u"192.0.2.1", u"ip:192.0.2.2", u"192.0.2.2"}},
        IdentityCase{"IdentityArrivingLate",
                     {Row(u"", {u"fe80::1%eth0"}, u"Snmp", ROW_KIND_SNMP),
                      Row(UUID_A, {u"fe80::1%eth0", u"192.0.2.1"}, u"M", PROVIDER_KIND_MDNS),
                      Row(UUID_A, {u"2001:db8::1"}, u"W", ROW_KIND_WSD),
                      // Listed apart, then its printer-uuid says it is the same.
                      Row(u"", {u"192.0.2.9"}, u"Upnp", PROVIDER_KIND_UPNP)},
                     {std::u16string(UUID_A), u"192.0.2.1", u"192.0.2.9", u"2001:db8::1", u"fe80::1%eth0"}},
        IdentityCase{"AddressChangeKeepsTheRow",
                     {Row(UUID_B, {u"192.0.2.1"}, u"W", ROW_KIND_WSD),
                      Row(UUID_B, {u"192.0.2.7"}, u"W", ROW_KIND_WSD)},
                     {u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c", u"192.0.2.1", u"192.0.2.7"}}),
    [](const ::testing::TestParamInfo<IdentityCase>& info) { return std::string(info.param.pszName); });

struct AddressCase {
    const char* pszName;
    std::vector<std::u16string> aArriving;
    std::vector<std::u16string> aExpected;
};

void PrintTo(const AddressCase& c, std::ostream* os) {
    *os << c.pszName;
}

class ScanRowAddresses : public ::testing::TestWithParam<AddressCase> {};

// A listed row gathers the addresses its printer's later answers bring.
TEST_P(ScanRowAddresses, ListsIpv4FirstEachOnce) {
    CScanRowList list;
    ASSERT_TRUE(list.Add(Row(GetParam().aArriving.front(), u"P")));
    for (size_t i = 1; i < GetParam().aArriving.size(); ++i) {
        EXPECT_TRUE(list.AddAddress(GetParam().aArriving.front(), GetParam().aArriving[i]));
    }
    EXPECT_EQ(list.GetRows().front().aAddresses, GetParam().aExpected);
    EXPECT_FALSE(list.AddAddress(u"192.0.2.250", u"192.0.2.251"));  // no such row
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScanRowAddresses,
    ::testing::Values(
        AddressCase{"Ipv6AfterIpv4", {u"192.0.2.1", u"fe80::1%eth0"}, {u"192.0.2.1", u"fe80::1%eth0"}},
        // Listed by IPv6 (no IPv4 yet): a later IPv4 address still goes first.
        AddressCase{"LateIpv4GoesBeforeIpv6",
                    {u"2001:db8::1", u"fe80::1%eth0", u"192.0.2.1", u"192.0.2.2"},
                    {u"192.0.2.1", u"192.0.2.2", u"2001:db8::1", u"fe80::1%eth0"}},
        AddressCase{"RepeatsDroppedWithoutCase",
                    {u"192.0.2.1", u"FE80::A%eth0", u"192.0.2.1", u"fe80::a%eth0"},
                    {u"192.0.2.1", u"FE80::A%eth0"}}),
    [](const ::testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.pszName); });

// Every method and engine of hvl-scan hands its rows to one list: the
// addresses gathered after listing reach only the row listed under them.
TEST(ScanRowOneList, AddressesGoToTheSamePrintersRowOnly) {
    CScanRowList list;
    ASSERT_TRUE(list.Add(Row(u"192.0.2.1", u"A")));
    ASSERT_TRUE(list.Add(Row(u"192.0.2.2", u"B by UPnP", PROVIDER_KIND_UPNP)));
    ASSERT_TRUE(list.AddAddress(u"192.0.2.1", u"fe80::1%eth0"));
    EXPECT_EQ(list.GetRows()[0].aAddresses, (std::vector<std::u16string>{u"192.0.2.1", u"fe80::1%eth0"}));
    EXPECT_EQ(list.GetRows()[1].aAddresses, std::vector<std::u16string>{u"192.0.2.2"});
}

// The first method to answer keeps the row; every later one is named on it
// once, in the order they answered, unicast DNS-SD among them.
TEST(ScanRowOneList, LaterMethodsAreNamedOnTheFirstRow) {
    CScanRowList live;
    ASSERT_TRUE(live.Add(Row(u"192.0.2.1", u"A")));
    for (int32_t nKind : {ROW_KIND_WSD, PROVIDER_KIND_MDNS, PROVIDER_KIND_UPNP, ROW_KIND_WSD})
        EXPECT_FALSE(live.Add(Row(u"192.0.2.1", u"Again", nKind)));
    EXPECT_EQ(live.GetRows()[0].aOtherKinds, (std::vector<int32_t>{ROW_KIND_WSD, PROVIDER_KIND_UPNP}));
    CScanRowList merged;
    ASSERT_TRUE(merged.Add(Row(u"192.0.2.1", u"A")));
    for (int32_t nKind : {ROW_KIND_UNICAST_DNSSD, ROW_KIND_WSD, PROVIDER_KIND_MDNS, PROVIDER_KIND_UPNP})
        EXPECT_FALSE(merged.Add(Row(u"192.0.2.1", u"Again", nKind)));
    EXPECT_EQ(merged.GetRows()[0].aOtherKinds,
              (std::vector<int32_t>{ROW_KIND_UNICAST_DNSSD, ROW_KIND_WSD, PROVIDER_KIND_UPNP}));
}

TEST(ScanRow, WindowRowCarriesItsAddressAsItsOnlyOne) {
    PrinterData printer;
    printer.strName = u"Office";
    printer.strIpAddress = u"192.0.2.5";
    printer.strUrl = u"http://office/";
    printer.nKind = PROVIDER_KIND_UPNP;
    printer.strModel = u"Lab L1";
    const ScanRow row = ScanRowFromPrinter(printer);
    EXPECT_EQ(row.aAddresses, std::vector<std::u16string>{u"192.0.2.5"});
    EXPECT_EQ(row.strModel, u"Lab L1");
    EXPECT_EQ(row.nKind, PROVIDER_KIND_UPNP);
}

TEST(ScanRow, TxtKeysMatchWithoutCase) {
    ScanRow row;
    row.aTxtItems = {{"txtvers", "1", true}, {"RP", "printers/lab", true}, {"Color", "", false}};
    ASSERT_NE(FindTxtItem(row, "rp"), nullptr);
    EXPECT_EQ(FindTxtItem(row, "rp")->strValue, "printers/lab");
    EXPECT_FALSE(FindTxtItem(row, "color")->bHasValue);
    EXPECT_EQ(FindTxtItem(row, "r"), nullptr);
}

// A printer announced under several types is one row that keeps each
// service (the publisher writes every one), the latest of each type.
TEST(ScanRowOneList, KeepsEveryMdnsServiceOfThePrinter) {
    CScanRowList list;
    for (const auto& [pszType, nPort] :
         {std::pair{u"_ipp._tcp", 631}, {u"_ipps._tcp", 443}, {u"_ipp._tcp", 8631}}) {
        ScanRow row = Row(UUID_A, {u"192.0.2.1"}, u"P", PROVIDER_KIND_MDNS);
        row.aServices = {{pszType, u"P", u"p.local", static_cast<uint16_t>(nPort), {}}};
        list.Add(row);
    }
    ASSERT_EQ(list.GetCount(), 1u);
    std::vector<std::pair<std::u16string, uint16_t>> aServices;
    for (const MdnsService& service : list.GetRows()[0].aServices)
        aServices.emplace_back(service.strType, service.nPort);
    EXPECT_EQ(aServices,
              (std::vector<std::pair<std::u16string, uint16_t>>{{u"_ipp._tcp", 8631}, {u"_ipps._tcp", 443}}));
}

// A method that cannot start nFailures times, then hands in its rows.
struct CFakeSource : CLiveSource {
    CFakeSource(std::vector<ScanRow> a, int n) : aRows(std::move(a)), nFailures(n) {}
    std::u16string GetName() const override { return u"FAKE"; }
    bool CanRunAgain() const override { return true; }
    int32_t Run(CLiveRowSink& sink) override {
        if (nFailures-- > 0) return 1;
        sink.Started(GetName());
        for (const ScanRow& row : aRows) sink.Emit(row);
        return 0;
    }
    void Stop() override {}
    std::vector<ScanRow> aRows;
    int nFailures;
};

// A watch of one source per entry of aFailures, the first handing in aRows:
// its events, and what it said of the methods.
std::pair<std::vector<WatchEvent>, std::vector<std::u16string>> Watch(std::vector<int> aFailures,
                                                                      std::vector<ScanRow> aRows) {
    std::pair<std::vector<WatchEvent>, std::vector<std::u16string>> out;
    LiveSourceArray aSources;
    for (int n : aFailures) aSources.push_back(std::make_unique<CFakeSource>(std::move(aRows), n));
    CLiveWatch watch(std::move(aSources), {.interval = std::chrono::milliseconds(30)},
                     [&out](const WatchEvent& event) { out.first.push_back(event); });
    watch.SetUnavailableCallback([&out](const std::u16string& str) { out.second.push_back(u"off " + str); });
    watch.SetStartedAgainCallback([&out](const std::u16string& str) { out.second.push_back(u"on " + str); });
    const auto tStart = std::chrono::steady_clock::now();
    const LiveRunResult result = watch.Run(tStart + std::chrono::seconds(5), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(1));
    EXPECT_EQ(result.nAvailable,
              std::count_if(aFailures.begin(), aFailures.end(), [](int n) { return n < 9; }));
    return out;
}

// A printer's row as WSD (its metadata) or SNMP (its identity) reads it, or
// as either lists it when the read failed.
ScanRow ReadRow(bool bWsd, bool bRead) {
    WsdDevice device{"urn:uuid:1", {"192.0.2.5"}, {}, {"Laser", "Halvet", "W1", "http://w1/", {}}, bRead};
    SnmpPrinter printer{"192.0.2.5", "public", "Laser", "Hall", "", "", "", "", "MDL:S1;"};
    if (!bRead) device.metadata = {}, printer = {"192.0.2.5", "public", "", "", "", "", "", "", ""};
    return bWsd ? ScanRowFromWsdDevice(device) : ScanRowFromSnmp(printer);
}

class WatchOfAFailedRead : public ::testing::TestWithParam<bool> {};

// A read that missed its bound between two good ones is no change at all.
TEST_P(WatchOfAFailedRead, KeepsWhatWasKnown) {
    const auto [aEvents, aSaid] =
        Watch({0}, {ReadRow(GetParam(), true), ReadRow(GetParam(), false), ReadRow(GetParam(), true)});
    ASSERT_EQ(aEvents.size(), 1u);
    EXPECT_EQ(aEvents[0].nKind, WatchEventKind::ADD);
    EXPECT_EQ(aEvents[0].row.strName, u"Laser");
}

INSTANTIATE_TEST_SUITE_P(WsdAndSnmp, WatchOfAFailedRead, ::testing::Bool());

// Under watch an identity that comes late, a second method and a new
// address (DHCP) change the printer's one row: never a remove and an add.
TEST(WatchOfOnePrinter, ChangesItsRowWhenItsIdentityComesLateOrItMoves) {
    const auto [aEvents, aSaid] =
        Watch({0}, {Row(u"", {u"192.0.2.1"}, u"P", ROW_KIND_SNMP),
                    Row(UUID_A, {u"fe80::1%eth0", u"192.0.2.1"}, u"P", ROW_KIND_WSD),
                    Row(UUID_A, {u"fe80::1%eth0", u"192.0.2.1"}, u"P", ROW_KIND_WSD),
                    Row(UUID_A, {u"192.0.2.7"}, u"P", ROW_KIND_WSD)});
    std::vector<std::string> aSeen;
    for (const WatchEvent& event : aEvents) {
        std::string str = event.nKind == WatchEventKind::ADD      ? "+"
                          : event.nKind == WatchEventKind::CHANGE ? "="
                                                                  : "-";
        for (const std::string& strField : event.aChanged) str += " " + strField;
        aSeen.push_back(str);
    }
    EXPECT_EQ(aSeen, (std::vector<std::string>{"+", "= addresses sources id", "= addresses"}));
    ASSERT_EQ(aEvents.size(), 3u);
    // (Its old addresses stay for two intervals: an answer late to one search is no move.)
    EXPECT_EQ(aEvents[2].row.aAddresses,
              (std::vector<std::u16string>{u"192.0.2.1", u"192.0.2.7", u"fe80::1%eth0"}));
}

TEST(WatchOfAMethodThatCannotStart, TriesAgainEachIntervalAndSaysOnceWhenItWorks) {
    const auto [aEvents, aSaid] = Watch({3, 0}, {ReadRow(true, true)});
    EXPECT_EQ(aEvents.size(), 1u);
    EXPECT_EQ(aSaid, (std::vector<std::u16string>{u"off FAKE", u"on FAKE"}));
    // Nothing can work at all: the watch ends rather than wait for ever.
    const auto [aNone, aSaidOnce] = Watch({1000}, {});
    EXPECT_TRUE(aNone.empty());
    EXPECT_EQ(aSaidOnce, std::vector<std::u16string>{u"off FAKE"});
}

}  // namespace
