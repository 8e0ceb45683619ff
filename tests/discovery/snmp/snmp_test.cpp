#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conv_string.h"
#include "snmp_finder.h"
#include "snmp_status.h"

namespace {

std::string Narrow(const std::u16string& str) {
    return Utf16ToUtf8(str);
}

TEST(SnmpText, DecodesWhatIsTextAndRefusesWhatIsNot) {
    const std::pair<std::string, std::string> aCases[] = {
        {"B\xc3\xbcro 3", "B\xc3\xbcro 3"},            // UTF-8
        {"B\xfcro 3", "B\xc3\xbcro 3"},                // not UTF-8: Latin-1
        {"\x1b[2JRed\x1b]0;x\x07!", "[2JRed ]0;x !"},  // escape sequences neutralised
        {std::string("Lab\0\0", 5), "Lab"},            // NUL padding
        {std::string("\0\xff\x10\x02", 4), ""},        // binary: never a name
        {"\x01\x02\x03z", ""},
    };
    for (const auto& [strIn, strOut] : aCases) EXPECT_EQ(Narrow(SnmpText(strIn)), strOut) << strIn;
}

TEST(SnmpText, DeviceIdGivesMakeAndModelOnce) {
    EXPECT_EQ(Narrow(SnmpDeviceIdModel("MFG:HP;MDL:HP LaserJet 4000;CMD:PCL;")), "HP LaserJet 4000");
    EXPECT_EQ(Narrow(SnmpDeviceIdModel("manufacturer: Brother ;model:HL-L2350DW")), "Brother HL-L2350DW");
    EXPECT_EQ(Narrow(SnmpDeviceIdModel("MFG:Acme;CMD:PS;")), "");
}

TEST(SnmpSubnet, HostsOfEachPrefixAndNothingWiderThanASlash22) {
    const std::pair<const char*, size_t> aCases[] = {
        {"192.0.2.0/30", 2}, {"192.0.2.4/31", 2}, {"192.0.2.9/32", 1}, {"10.1.2.3/22", 1022},
        {"10.0.0.0/21", 0},  {"10.0.0.0", 0},     {"10.0.0.0/2x", 0},  {"fe80::/120", 0},
    };
    for (const auto& [pszCidr, nHosts] : aCases) {
        std::vector<uint32_t> a;
        EXPECT_EQ(ExpandSubnet(pszCidr, a), nHosts > 0) << pszCidr;
        EXPECT_EQ(a.size(), nHosts) << pszCidr;
    }
    std::vector<uint32_t> a;
    ExpandSubnet("10.1.2.3/22", a);
    EXPECT_EQ(a.front(), 0x0A010001u);  // the network's own address left out
    EXPECT_EQ(a.back(), 0x0A0103FEu);   // and its broadcast
}

TEST(SnmpMessage, ReplyReadBackAndEveryTruncationRefused) {
    const SnmpOid oid = snmp_oids::HR_DEVICE_TYPE_1;
    std::string strBytes = BuildSnmpRequest({SNMP_V2C, "lab", 4242, SnmpRequestKind::Get, {oid}});
    ASSERT_FALSE(strBytes.empty());
    SnmpResponse response;
    EXPECT_FALSE(ParseSnmpResponse(strBytes, response));  // a request is no reply
    const size_t nPdu = strBytes.find('\xa0');
    ASSERT_NE(nPdu, std::string::npos);
    strBytes[nPdu] = '\xa2';  // GetResponse, the same values
    ASSERT_TRUE(ParseSnmpResponse(strBytes, response));
    EXPECT_EQ(response.strCommunity, "lab");
    EXPECT_EQ(response.nRequestId, 4242);
    ASSERT_EQ(response.aValues.size(), 1u);
    EXPECT_EQ(response.aValues[0].oid, oid);
    EXPECT_EQ(response.aValues[0].nType, SnmpValue::Type::Missing);
    for (size_t n = 0; n < strBytes.size(); ++n)
        EXPECT_FALSE(ParseSnmpResponse(strBytes.substr(0, n), response));
    strBytes[4] = '\x03';  // version 3 (0x02 0x01 0x03): left to nobody
    EXPECT_FALSE(ParseSnmpResponse(strBytes, response));
}

TEST(SnmpStatus, LevelsThatAreNoPercentageStaySo) {
    EXPECT_EQ(SnmpSupply(3, "Black", 1000, 250).nLevel, 25);
    EXPECT_EQ(SnmpSupply(3, "Black", 1000, 5000).nLevel, 100);
    const std::pair<SupplyLevel, const char*> aSpecial[] = {{SnmpSupply(3, "B", 1000, -3), "some remaining"},
                                                            {SnmpSupply(3, "B", 1000, -2), "unknown"},
                                                            {SnmpSupply(3, "B", 1000, -1), "other"},
                                                            {SnmpSupply(3, "B", -2, 40), "unknown"}};
    for (const auto& [supply, pszText] : aSpecial) {
        EXPECT_EQ(supply.nLevel, -1) << pszText;
        EXPECT_EQ(Narrow(supply.strLevelText), pszText);
    }
    // A full waste toner box is no supply running low.
    PrinterStatus status;
    status.aSupplies = {SnmpSupply(4, "Waste", 100, 95), SnmpSupply(3, "Black", 100, 60)};
    EXPECT_TRUE(status.aSupplies[0].bReceptacle);
    EXPECT_EQ(Narrow(LowestSupply(status)->strName), "Black");
}

TEST(SnmpStatus, ErrorBitsBecomeReasonsAndOfflineStops) {
    PrinterStatus status;
    ReadSnmpPrinterState(4, "\x42", status);  // noPaper, offline
    EXPECT_EQ(status.nState, PrinterState::Stopped);
    ASSERT_EQ(status.aReasons.size(), 2u);
    EXPECT_EQ(Narrow(status.aReasons[0].strKeyword), "media-empty-error");
    EXPECT_EQ(Narrow(status.aReasons[1].strKeyword), "offline-report");
    EXPECT_FALSE(IsStatusHealthy(status));
    PrinterStatus printing;
    ReadSnmpPrinterState(4, "", printing);
    EXPECT_EQ(printing.nState, PrinterState::Printing);
    EXPECT_TRUE(IsStatusHealthy(printing));
}

}  // namespace
