#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "conv_string.h"
#include "live_watch.h"
#include "multicast_data_provider.h"
#include "printer_registry.h"
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

// A registry fed as the methods feed it, each row a finding of its method
// under its name, on a clock the test moves.
struct Fed {
    CPrinterRegistry registry{{std::chrono::seconds(10), std::chrono::minutes(1), nullptr}};
    CPrinterRegistry::Clock::time_point tNow{};
    CPrinterRegistry::Events events;
    FindingHandle Report(const ScanRow& row, std::u16string strKey = {}) {
        return registry.Report({row.nKind, strKey.empty() ? row.strName + u'|' + row.strId : strKey, true},
                               row, tNow, events);
    }
    // Time passing, judged each second as the watch's tick judges it.
    void Pass(int nSeconds) {
        for (int i = 0; i < nSeconds; ++i) registry.Judge(tNow += std::chrono::seconds(1), events);
    }
    void Answer(const std::u16string& strId) {
        registry.ForEachWatched([&](uint64_t nRow, const ScanRow& row) {
            if (ScanRowId(row) == strId) registry.Answered(nRow, tNow, events);
        });
    }
    std::vector<std::u16string> Names() const {
        std::vector<std::u16string> aNames;
        for (const ScanRow& row : registry.GetRows()) aNames.push_back(row.strName);
        return aNames;
    }
};

struct MergeCase {
    const char* pszName;
    std::vector<ScanRow> aArriving;
    std::vector<std::u16string> aExpectedNames;  // the rows kept, in order
};

void PrintTo(const MergeCase& c, std::ostream* os) {
    *os << c.pszName;
}

class ScanRowMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(ScanRowMerge, KeepsOneRowPerAddressLedByMdns) {
    Fed fed;
    for (const ScanRow& row : GetParam().aArriving) fed.Report(row);
    for (const ScanRow& row : fed.registry.GetRows()) {
        EXPECT_EQ(fed.registry.FindByAddress(row.strIpAddress),
                  std::vector<const ScanRow*>{fed.registry.FindById(ScanRowId(row))});
    }
    EXPECT_EQ(fed.Names(), GetParam().aExpectedNames);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScanRowMerge,
    ::testing::Values(
        MergeCase{"DistinctAddressesAllKept",
                  {Row(u"192.0.2.1", u"A"), Row(u"192.0.2.2", u"B"), Row(u"fe80::1%eth0", u"C")},
                  {u"A", u"B", u"C"}},
        MergeCase{"MdnsLeadsWhicheverCameFirst",
                  {Row(u"192.0.2.1", u"By UPnP", PROVIDER_KIND_UPNP), Row(u"192.0.2.1", u"By mDNS")},
                  {u"By mDNS"}},
        // IPv6 text may come in either case; an address is one row.
        MergeCase{"AddressesCompareWithoutCase",
                  {Row(u"fe80::ab%eth0", u"Lower"), Row(u"FE80::AB%eth0", u"Upper", ROW_KIND_SNMP)},
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

// The same, as DNS-SD resolved it on a host.
ScanRow OnHost(ScanRow row, std::u16string strHost) {
    row.strHostTarget = std::move(strHost);
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
    Fed fed;
    for (const ScanRow& row : GetParam().aArriving) fed.Report(row);
    // IPP's printer-uuid, later, of a row no method identified.
    fed.registry.SetIdentity(u"ip:192.0.2.9", UuidIdentity(u"URN:UUID:6F1E7A2C-0B3D-4C5E-8F90-A1B2C3D4E5F6"),
                             fed.tNow, fed.events);
    std::vector<std::u16string> aRows;
    for (const ScanRow& row : fed.registry.GetRows()) {
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
            {std::u16string(UUID_A), u"192.0.2.1", u"2001:db8::1", u"169.254.0.1", u"fe80::1%eth0"}},
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
        // A type resolved only to the link-local address its host also
        // announces is that host's printer; two queues of one host keep it apart.
        IdentityCase{
            "OneMdnsHostIsOneDevice",
            {OnHost(Row(u"", {u"fe80::1%eth0"}, u"Printer", PROVIDER_KIND_MDNS), u"P1.local"),
             OnHost(Row(UUID_A, {u"192.0.2.1"}, u"Ipp", PROVIDER_KIND_MDNS), u"p1.local"),
             OnHost(Row(u"5a0e3c1b-7d2f-4b6a-8e9d-1c2b3a4d5e6f", {u"192.0.2.5"}, u"Q1", PROVIDER_KIND_MDNS),
                    u"srv.local"),
             OnHost(Row(UUID_B, {u"192.0.2.5"}, u"Q2", PROVIDER_KIND_MDNS), u"srv.local"),
             OnHost(Row(u"", {u"fe80::5%eth0"}, u"Srv", PROVIDER_KIND_MDNS), u"srv.local")},
            {std::u16string(UUID_A), u"192.0.2.1", u"fe80::1%eth0", u"5a0e3c1b-7d2f-4b6a-8e9d-1c2b3a4d5e6f",
             u"192.0.2.5", u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c", u"192.0.2.5", u"ip:fe80::5%eth0",
             u"fe80::5%eth0"}},
        IdentityCase{"AddressChangeKeepsTheRowNotTheAddress",
                     {Row(UUID_B, {u"192.0.2.1"}, u"W", ROW_KIND_WSD),
                      Row(UUID_B, {u"192.0.2.7"}, u"W", ROW_KIND_WSD)},
                     {u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c", u"192.0.2.7"}}),
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

// A finding's addresses are its latest answer, IPv4 first, each once.
TEST_P(ScanRowAddresses, ListsIpv4FirstEachOnce) {
    Fed fed;
    const FindingHandle h = fed.Report(Row(GetParam().aArriving.front(), u"P"));
    fed.registry.SetAddresses(h, GetParam().aArriving, fed.tNow, fed.events);
    EXPECT_EQ(fed.registry.GetRows().front().aAddresses, GetParam().aExpected);
    EXPECT_EQ(ScanRowId(fed.registry.GetRows().front()), u"ip:" + GetParam().aArriving.front());
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

// Every method is named on the row once, mDNS leading, the others in the
// order of their kinds.
TEST(ScanRowOneList, EveryMethodIsNamedOnce) {
    Fed fed;
    fed.Report(Row(u"192.0.2.1", u"A", ROW_KIND_WSD));
    for (int32_t nKind : {ROW_KIND_UNICAST_DNSSD, PROVIDER_KIND_MDNS, PROVIDER_KIND_UPNP, ROW_KIND_WSD})
        fed.Report(Row(u"192.0.2.1", u"Again " + std::u16string(1, u'0' + nKind), nKind));
    ASSERT_EQ(fed.registry.GetCount(), 1u);
    EXPECT_EQ(fed.registry.GetRows()[0].nKind, PROVIDER_KIND_MDNS);
    EXPECT_EQ(fed.registry.GetRows()[0].aOtherKinds,
              (std::vector<int32_t>{PROVIDER_KIND_UPNP, ROW_KIND_UNICAST_DNSSD, ROW_KIND_WSD}));
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
    Fed fed;
    for (const auto& [pszType, nPort] :
         {std::pair{u"_ipp._tcp", 631}, {u"_ipps._tcp", 443}, {u"_ipp._tcp", 8631}}) {
        ScanRow row = Row(UUID_A, {u"192.0.2.1"}, std::u16string(pszType), PROVIDER_KIND_MDNS);
        row.aServices = {{pszType, u"P", u"p.local", static_cast<uint16_t>(nPort), {}}};
        fed.Report(row);
    }
    ASSERT_EQ(fed.registry.GetCount(), 1u);
    std::vector<std::pair<std::u16string, uint16_t>> aServices;
    const std::vector<ScanRow> aRows = fed.registry.GetRows();
    for (const MdnsService& service : aRows[0].aServices)
        aServices.emplace_back(service.strType, service.nPort);
    EXPECT_EQ(aServices,
              (std::vector<std::pair<std::u16string, uint16_t>>{{u"_ipp._tcp", 8631}, {u"_ipps._tcp", 443}}));
}

constexpr std::u16string_view UUID_C = u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c";

// The events as short lines: "+ id", "- id reason", "= id fields (gone id)",
// UUID_A and UUID_C written as A and B.
std::vector<std::string> Told(const CPrinterRegistry::Events& events) {
    auto fnId = [](const std::u16string& str) {
        return str == UUID_A ? std::string("A") : str == UUID_C ? std::string("B") : Utf16ToUtf8(str);
    };
    std::vector<std::string> aTold;
    for (const WatchEvent& event : events) {
        std::string str = (event.nKind == WatchEventKind::ADD      ? "+ "
                           : event.nKind == WatchEventKind::REMOVE ? "- "
                                                                   : "= ") +
                          fnId(ScanRowId(event.row));
        if (event.nKind == WatchEventKind::REMOVE) str += std::string(" ") + RemoveReasonText(event.reason);
        for (const std::string& strField : event.aChanged) str += " " + strField;
        if (!event.strGoneId.empty()) str += " (gone " + fnId(event.strGoneId) + ")";
        aTold.push_back(str);
    }
    return aTold;
}

// An mDNS instance as its resolve answers: its finding's key is type and name.
ScanRow Mdns(std::u16string_view strId, std::vector<std::u16string> aAddresses, std::u16string strType,
             std::u16string strName) {
    ScanRow row = Row(strId, std::move(aAddresses), strName, PROVIDER_KIND_MDNS);
    row.strType = strType;
    row.aServices = {{strType, strName, u"p.local", 631, {}}};
    return row;
}
FindingHandle ReportMdns(Fed& fed, const ScanRow& row) {
    return fed.Report(row, row.strType + u'\n' + row.strName);
}

struct ContractCase {
    const char* pszName;
    std::function<void(Fed&)> fnSteps;
    std::vector<std::string> aExpected;
};

void PrintTo(const ContractCase& c, std::ostream* os) {
    *os << c.pszName;
}

class RegistryContract : public ::testing::TestWithParam<ContractCase> {};

TEST_P(RegistryContract, TellsWhatHappenedUnderStableIds) {
    Fed fed;
    GetParam().fnSteps(fed);
    EXPECT_EQ(Told(fed.events), GetParam().aExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, RegistryContract,
    ::testing::Values(
        // avahi-daemon restarted: everything is listed again, under the same finding.
        ContractCase{"RelistAfterDaemonRestartThenGoodbye",
                     [](Fed& fed) {
                         const ScanRow row = Mdns(UUID_A, {u"192.0.2.13"}, u"_ipp._tcp", u"P");
                         const FindingHandle h = ReportMdns(fed, row);
                         EXPECT_EQ(ReportMdns(fed, row), h);
                         fed.registry.Withdraw(h, LiveRemoveReason::GOODBYE, fed.tNow, fed.events);
                     },
                     {"+ A", "- A goodbye"}},
        ContractCase{"OneTypesGoodbyeEndsThatTypeOnly",
                     [](Fed& fed) {
                         const FindingHandle h =
                             ReportMdns(fed, Mdns(UUID_A, {u"192.0.2.1"}, u"_ipp._tcp", u"P"));
                         ReportMdns(fed, Mdns(UUID_A, {u"192.0.2.1"}, u"_ipps._tcp", u"P"));
                         fed.registry.Withdraw(h, LiveRemoveReason::GOODBYE, fed.tNow, fed.events);
                     },
                     {"+ A", "= A types", "= A types"}},
        // Two queues of a print server, and its SNMP agent that no queue can claim.
        ContractCase{"TwinsOnOneAddressOneWithdrawn",
                     [](Fed& fed) {
                         ReportMdns(fed, Mdns(UUID_A, {u"192.0.2.1"}, u"_ipp._tcp", u"Q1"));
                         const FindingHandle h =
                             ReportMdns(fed, Mdns(UUID_C, {u"192.0.2.1"}, u"_ipp._tcp", u"Q2"));
                         fed.Report(Row(u"", {u"192.0.2.1"}, u"S", ROW_KIND_SNMP));
                         fed.registry.Withdraw(h, LiveRemoveReason::GOODBYE, fed.tNow, fed.events);
                     },
                     {"+ A", "+ B", "+ ip:192.0.2.1", "- B goodbye", "= A sources id (gone ip:192.0.2.1)"}},
        ContractCase{"MoveKeepsTheId",
                     [](Fed& fed) {
                         const FindingHandle h =
                             ReportMdns(fed, Mdns(u"", {u"192.0.2.13"}, u"_ipp._tcp", u"P"));
                         fed.registry.SetAddresses(h, {u"192.0.2.23"}, fed.tNow, fed.events);
                     },
                     {"+ ip:192.0.2.13", "= ip:192.0.2.13 addresses"}},
        ContractCase{"Ipv4AfterIpv6",
                     [](Fed& fed) {
                         const FindingHandle h =
                             ReportMdns(fed, Mdns(u"", {u"fe80::1%eth0"}, u"_ipp._tcp", u"P"));
                         fed.registry.SetAddresses(h, {u"fe80::1%eth0", u"192.0.2.5"}, fed.tNow, fed.events);
                     },
                     {"+ ip:fe80::1%eth0", "= ip:fe80::1%eth0 addresses"}},
        ContractCase{"RenameWithTheSameUuid",
                     [](Fed& fed) {
                         const FindingHandle h =
                             ReportMdns(fed, Mdns(UUID_A, {u"192.0.2.1"}, u"_ipp._tcp", u"Old"));
                         ReportMdns(fed, Mdns(UUID_A, {u"192.0.2.1"}, u"_ipp._tcp", u"New"));
                         fed.registry.Withdraw(h, LiveRemoveReason::GOODBYE, fed.tNow, fed.events);
                     },
                     {"+ A", "= A name"}},
        // 25 s without an answer, then back; then silent until forgotten,
        // and listed again under its id at its next announcement.
        ContractCase{"SilentThenBackThenForgotten",
                     [](Fed& fed) {
                         const FindingHandle h =
                             ReportMdns(fed, Mdns(UUID_A, {u"192.0.2.1"}, u"_ipp._tcp", u"P"));
                         fed.Pass(25);
                         fed.Answer(std::u16string(UUID_A));
                         fed.Pass(81);
                         fed.registry.Heard(h, fed.tNow, fed.events);
                     },
                     {"+ A", "= A state", "= A state", "= A state", "- A forgotten", "+ A"}},
        ContractCase{"LateIdentityMergesTwoRows",
                     [](Fed& fed) {
                         fed.Report(Row(u"", {u"192.0.2.1"}, u"S", ROW_KIND_SNMP));
                         fed.Report(Row(UUID_A, {u"fe80::1%eth0"}, u"W", ROW_KIND_WSD));
                         ReportMdns(fed, Mdns(UUID_A, {u"fe80::1%eth0", u"192.0.2.1"}, u"_ipp._tcp", u"M"));
                     },
                     {"+ ip:192.0.2.1", "+ A", "= A name addresses sources id types (gone ip:192.0.2.1)"}}),
    [](const ::testing::TestParamInfo<ContractCase>& info) { return std::string(info.param.pszName); });

// Whatever order the same findings arrive in, the rows and their ids are the same.
TEST(RegistryContract, EveryArrivalOrderGivesTheSameRows) {
    std::vector<ScanRow> aFindings{Row(u"", {u"192.0.2.1"}, u"S", ROW_KIND_SNMP),
                                   Row(UUID_A, {u"fe80::1%eth0", u"192.0.2.1"}, u"W", ROW_KIND_WSD),
                                   Row(UUID_C, {u"192.0.2.2"}, u"M", PROVIDER_KIND_MDNS),
                                   Row(u"", {u"192.0.2.2"}, u"U", PROVIDER_KIND_UPNP),
                                   Row(u"", {u"192.0.2.3"}, u"D", ROW_KIND_UNICAST_DNSSD)};
    auto fnRows = [&aFindings](const std::vector<size_t>& aOrder) {
        Fed fed;
        for (size_t i : aOrder) fed.Report(aFindings[i]);
        std::vector<std::u16string> aRows;
        for (const ScanRow& row : fed.registry.GetRows()) {
            aRows.push_back(ScanRowId(row) + u" " + row.strName + u" " + row.strIpAddress + u" " +
                            std::u16string(1, u'0' + row.nKind) +
                            std::u16string(row.aOtherKinds.size(), u'+'));
        }
        std::sort(aRows.begin(), aRows.end());
        return aRows;
    };
    std::vector<size_t> aOrder{0, 1, 2, 3, 4};
    const std::vector<std::u16string> aFirst = fnRows(aOrder);
    EXPECT_EQ(aFirst, (std::vector<std::u16string>{u"0c4f9a6e-2d1b-4e3a-9c8d-7b6a5f4e3d2c M 192.0.2.2 1+",
                                                   std::u16string(UUID_A) + u" W 192.0.2.1 3+",
                                                   u"ip:192.0.2.3 D 192.0.2.3 2"}));
    while (std::next_permutation(aOrder.begin(), aOrder.end())) EXPECT_EQ(fnRows(aOrder), aFirst);
}

// A method that cannot start nFailures times, then hands in its rows.
struct CFakeSource : CLiveSource {
    CFakeSource(std::vector<ScanRow> a, int n) : aRows(std::move(a)), nFailures(n) {}
    std::u16string GetName() const override { return u"FAKE"; }
    bool CanRunAgain() const override { return true; }
    int32_t Run(CLiveRowSink& sink) override {
        if (nFailures-- > 0) return 1;
        sink.Started(GetName());
        // Each printer its method's finding by its identity, else its address.
        for (const ScanRow& row : aRows)
            sink.Report({row.nKind, row.strId.empty() ? row.strIpAddress : row.strId}, row);
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

// Under watch an identity that comes late and a second method change the
// printer's one row; a move (DHCP) takes the row with the identity along,
// and leaves the SNMP answer of the old address a row of its own.
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
    EXPECT_EQ(aSeen, (std::vector<std::string>{"+", "= addresses sources id", "+", "= addresses sources"}));
    ASSERT_EQ(aEvents.size(), 4u);
    EXPECT_EQ(aEvents[1].strGoneId, u"ip:192.0.2.1");
    EXPECT_EQ(ScanRowId(aEvents[2].row), u"ip:192.0.2.1");
    EXPECT_EQ(ScanRowId(aEvents[3].row), UUID_A);
    EXPECT_EQ(aEvents[3].row.aAddresses, std::vector<std::u16string>{u"192.0.2.7"});
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
