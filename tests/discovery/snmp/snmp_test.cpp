// recv is replaced below: glibc's fortified inline one would clash.
#undef _FORTIFY_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "conv_string.h"
#include "snmp_finder.h"
#include "snmp_status.h"

namespace {

// The kernel may drop a datagram after poll called the socket readable (a
// bad UDP checksum, select(2)): the next recv swallows the first datagram.
std::atomic<bool> g_bDropNextDatagram{false};

}  // namespace

extern "C" ssize_t recv(int hSocket, void* pBuffer, size_t nSize, int nFlags) {
    static const auto fnRecv =
        reinterpret_cast<ssize_t (*)(int, void*, size_t, int)>(dlsym(RTLD_NEXT, "recv"));
    if (g_bDropNextDatagram.exchange(false)) fnRecv(hSocket, pBuffer, nSize, MSG_DONTWAIT);
    return fnRecv(hSocket, pBuffer, nSize, nFlags);
}

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
    // A value of a type net-snmp does not know: its complaint is no line on stderr.
    strBytes[4] = '\x01';
    strBytes[strBytes.size() - 2] = '\x4f';
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ParseSnmpResponse(strBytes, response));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
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
    // A waste toner box with 5 of 100 free is 95 % full, and no supply running low.
    PrinterStatus status;
    status.aSupplies = {SnmpSupply(4, "Waste", 100, 5), SnmpSupply(3, "Black", 100, 60)};
    EXPECT_TRUE(status.aSupplies[0].bReceptacle);
    EXPECT_EQ(status.aSupplies[0].nLevel, 95);
    EXPECT_EQ(Narrow(LowestSupply(status)->strName), "Black");
}

TEST(SnmpStatus, CancelEndsAQueryWhoseReadableSocketReadsNothing) {
    const int hPeer = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}}, from{};
    socklen_t nSize = sizeof at, nFrom = sizeof from;
    auto* pFrom = reinterpret_cast<sockaddr*>(&from);
    ASSERT_EQ(bind(hPeer, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(getsockname(hPeer, reinterpret_cast<sockaddr*>(&at), &nSize), 0);
    std::atomic<bool> bCancel{false};
    auto query = std::async(std::launch::async, [&] {
        return QuerySnmpStatus("127.0.0.1", {"public"}, std::chrono::seconds(5), bCancel, ntohs(at.sin_port));
    });
    char aRequest[2048];
    ASSERT_GT(recvfrom(hPeer, aRequest, sizeof aRequest, 0, pFrom, &nFrom), 0);
    g_bDropNextDatagram = true;
    sendto(hPeer, "x", 1, 0, pFrom, nFrom);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bCancel = true;
    const bool bEnded = query.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready;
    sendto(hPeer, "x", 1, 0, pFrom, nFrom);  // frees a recv that blocks
    EXPECT_TRUE(bEnded);
    EXPECT_EQ(query.get().nState, PrinterState::NoAnswer);
    close(hPeer);
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
