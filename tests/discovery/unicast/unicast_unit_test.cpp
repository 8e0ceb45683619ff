#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dns_names.h"
#include "dns_queries.h"
#include "dnssd_client.h"

namespace {

struct SplitCase {
    const char* pszTest;
    std::string strName;
    std::vector<std::string> aLabels;
    bool bMalformed;
};

class SplitDnsNameTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitDnsNameTest, Labels) {
    bool bMalformed = !GetParam().bMalformed;
    EXPECT_EQ(SplitDnsName(GetParam().strName, &bMalformed), GetParam().aLabels);
    EXPECT_EQ(bMalformed, GetParam().bMalformed);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SplitDnsNameTest,
    testing::Values(
        SplitCase{
            "Plain", "Office Laser._ipp._tcp.example", {"Office Laser", "_ipp", "_tcp", "example"}, false},
        SplitCase{"TrailingDot", "a.example.", {"a", "example"}, false}, SplitCase{"Root", ".", {}, false},
        SplitCase{"EscapedDotStaysInLabel", "Room 2\\.14._ipp", {"Room 2.14", "_ipp"}, false},
        SplitCase{"EscapedBackslash", "a\\\\b.c", {"a\\b", "c"}, false},
        SplitCase{"DecimalEscapes",
                  "K\\195\\188che\\032x",
                  {"K\xC3\xBC"
                   "che x"},
                  false},
        SplitCase{"RawUtf8",
                  "K\xC3\xBC"
                  "che.example",
                  {"K\xC3\xBC"
                   "che",
                   "example"},
                  false},
        SplitCase{"EmptyLabel", "a..b", {}, true}, SplitCase{"LeadingDot", ".a", {}, true},
        SplitCase{"CutEscape", "a\\", {}, true}, SplitCase{"CutDecimalEscape", "a\\12", {}, true},
        SplitCase{"DecimalOver255", "a\\256", {}, true},
        SplitCase{"LabelOver63Bytes", std::string(64, 'x') + ".example", {}, true}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.pszTest; });

TEST(DnsNames, EscapedLabelSplitsBackToItself) {
    for (const std::string strLabel : {"Room 2.14", "back\\slash", "plain",
                                       "K\xC3\xBC"
                                       "che.."}) {
        const std::vector<std::string> aLabels =
            SplitDnsName(EscapeDnsLabel(strLabel) + "._ipp._tcp.example");
        ASSERT_EQ(aLabels.size(), 4u) << strLabel;
        EXPECT_EQ(aLabels.front(), strLabel);
    }
}

TEST(DnsNames, CleanDomainAndComparison) {
    EXPECT_EQ(CleanDomain(" printers.example.. "), "printers.example");
    EXPECT_EQ(CleanDomain("a..b"), "");
    EXPECT_EQ(CleanDomain("."), "");
    EXPECT_EQ(CleanDomain(""), "");
    EXPECT_TRUE(SameDomain("Printers.EXAMPLE", "printers.example"));
    EXPECT_FALSE(SameDomain("printers.example", "printers.exampl"));
    EXPECT_EQ(BrowseDomainQueries("corp.example."),
              (std::vector<std::string>{"b._dns-sd._udp.corp.example", "lb._dns-sd._udp.corp.example"}));
    EXPECT_TRUE(BrowseDomainQueries(" . ").empty());
}

struct SubnetCase {
    const char* pszTest;
    const char* pszAddress;
    int nPrefix;
    const char* pszName;
};

class SubnetReverseNameTest : public testing::TestWithParam<SubnetCase> {};

TEST_P(SubnetReverseNameTest, Name) {
    in_addr address{};
    ASSERT_EQ(inet_pton(AF_INET, GetParam().pszAddress, &address), 1);
    EXPECT_EQ(SubnetReverseName(ntohl(address.s_addr), GetParam().nPrefix), GetParam().pszName);
}

INSTANTIATE_TEST_SUITE_P(Subnets, SubnetReverseNameTest,
                         testing::Values(SubnetCase{"Slash24", "192.168.1.100", 24,
                                                    "0.1.168.192.in-addr.arpa"},
                                         SubnetCase{"Slash20", "10.1.47.9", 20, "0.32.1.10.in-addr.arpa"},
                                         SubnetCase{"Slash16", "172.16.5.4", 16, "0.0.16.172.in-addr.arpa"},
                                         SubnetCase{"Slash32", "192.0.2.1", 32, "1.2.0.192.in-addr.arpa"},
                                         SubnetCase{"Slash0", "192.0.2.1", 0, "0.0.0.0.in-addr.arpa"}),
                         [](const testing::TestParamInfo<SubnetCase>& info) { return info.param.pszTest; });

TEST(DnsNames, TxtStringsReadBackAsItems) {
    const std::string strLong(300, 'v');
    const std::vector<DnsSdTxtItem> aItems =
        ReadTxtItems(RawTxtRecord({"ty=Halvet L1", "flag", "", "x=" + strLong}));
    ASSERT_EQ(aItems.size(), 3u);  // the empty string is no item
    EXPECT_EQ(aItems[0].strKey, "ty");
    EXPECT_EQ(aItems[0].strValue, "Halvet L1");
    EXPECT_FALSE(aItems[1].bHasValue);
    EXPECT_EQ(aItems[2].strValue.size(), 253u);  // cut at 255 bytes with "x="
}

// --- Reading PTR answers ---

void PutName(std::string& msg, const std::vector<std::string>& aLabels) {
    for (const std::string& s : aLabels) {
        msg += static_cast<char>(s.size());
        msg += s;
    }
    msg += '\0';
}

void PutU16(std::string& msg, int n) {
    msg += static_cast<char>(n >> 8);
    msg += static_cast<char>(n & 0xFF);
}

// A reply to "_ipp._tcp.example PTR": a CNAME first, then PTRs whose
// targets point back into the question (compression).
std::string PtrReply(const std::vector<std::string>& aInstances) {
    std::string msg;
    PutU16(msg, 0x1234);
    PutU16(msg, 0x8180);
    PutU16(msg, 1);
    PutU16(msg, static_cast<int>(aInstances.size()) + 1);
    PutU16(msg, 0);
    PutU16(msg, 0);
    PutName(msg, {"_ipp", "_tcp", "example"});
    PutU16(msg, 12);  // PTR
    PutU16(msg, 1);
    auto putRecordHead = [&msg](int nType) {
        PutU16(msg, 0xC00C);  // the question's name
        PutU16(msg, nType);
        PutU16(msg, 1);
        PutU16(msg, 0);
        PutU16(msg, 300);
    };
    putRecordHead(5);  // CNAME, passed over
    PutU16(msg, 4);
    msg += std::string("\x01x\xC0\x0C", 4);
    for (const std::string& strInstance : aInstances) {
        putRecordHead(12);
        PutU16(msg, static_cast<int>(strInstance.size()) + 3);
        msg += static_cast<char>(strInstance.size());
        msg += strInstance;
        PutU16(msg, 0xC00C);
    }
    return msg;
}

TEST(ReadPtrTargets, InstancesComeBackWhole) {
    const std::string msg = PtrReply({"Office Laser", "Room 2.14"});
    std::vector<std::string> aTargets;
    ASSERT_TRUE(ReadPtrTargets(reinterpret_cast<const unsigned char*>(msg.data()),
                               static_cast<int>(msg.size()), aTargets));
    ASSERT_EQ(aTargets.size(), 2u);
    EXPECT_EQ(SplitDnsName(aTargets[0]).front(), "Office Laser");
    EXPECT_EQ(SplitDnsName(aTargets[1]).front(), "Room 2.14");
    EXPECT_EQ(SplitDnsName(aTargets[1]).size(), 4u);
}

TEST(ReadPtrTargets, EveryCutMessageIsRefusedOrShorter) {
    const std::string msg = PtrReply({"A", "B"});
    for (size_t n = 0; n < msg.size(); ++n) {
        std::vector<std::string> aTargets;
        const bool bRead =
            ReadPtrTargets(reinterpret_cast<const unsigned char*>(msg.data()), static_cast<int>(n), aTargets);
        EXPECT_FALSE(bRead) << "cut at " << n;
    }
}

// A printer's AAAA records: a link-local one reads as no address of its own.
TEST(ReadAddressRecords, LinkLocalIpv6IsNoAddress) {
    std::string msg;
    for (int n : {0x1234, 0x8180, 1, 2, 0, 0}) PutU16(msg, n);
    PutName(msg, {"prn", "example"});
    PutU16(msg, 28);
    PutU16(msg, 1);
    for (const char* pszAddress : {"fe80::1", "2001:db8::5"}) {
        for (int n : {0xC00C, 28, 1, 0, 300, 16}) PutU16(msg, n);
        in6_addr address{};
        inet_pton(AF_INET6, pszAddress, &address);
        msg.append(reinterpret_cast<const char*>(&address), sizeof(address));
    }
    std::vector<std::string> aAddresses;
    int nLinkLocal = 0;
    EXPECT_EQ(ReadAddressRecords(28, reinterpret_cast<const unsigned char*>(msg.data()),
                                 static_cast<int>(msg.size()), aAddresses, nLinkLocal),
              ARES_SUCCESS);
    EXPECT_EQ(aAddresses, std::vector<std::string>{"2001:db8::5"});
    EXPECT_EQ(nLinkLocal, 1);
}

// --- Bounds, against a server that never answers (loopback only) ---

// Never answers; or, bLateTruncated, answers the first query late and
// truncated, then takes its TCP retry and stays silent: c-ares's own timeout
// for that retry falls after the query's bound.
class SilentServer {
public:
    explicit SilentServer(bool bLateTruncated = false) {
        m_hSocket = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t nLength = sizeof(address);
        getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &nLength);
        m_nPort = ntohs(address.sin_port);
        if (!bLateTruncated) return;
        m_hTcp = socket(AF_INET, SOCK_STREAM, 0);
        bind(m_hTcp, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(m_hTcp, 4);  // connections wait in the backlog, never read
        m_thread = std::thread([this] {
            unsigned char query[512];
            sockaddr_in from{};
            socklen_t nFrom = sizeof(from);
            const ssize_t n =
                recvfrom(m_hSocket, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n < 12) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            query[2] |= 0x82;  // QR, TC
            sendto(m_hSocket, query, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), nFrom);
        });
    }
    ~SilentServer() {
        shutdown(m_hSocket, SHUT_RDWR);  // ends a wait in recvfrom
        if (m_thread.joinable()) m_thread.join();
        close(m_hSocket);
        if (m_hTcp >= 0) close(m_hTcp);
    }
    std::string Servers() const { return "127.0.0.1:" + std::to_string(m_nPort); }

private:
    int m_hSocket = -1;
    int m_hTcp = -1;
    int m_nPort = 0;
    std::thread m_thread;
};

TEST(DnsQueries, EveryQueryEndsAtItsBoundInBatchesOfTheInFlightLimit) {
    SilentServer server;
    using namespace std::chrono;
    CDnsQueries queries(milliseconds(200), 8, server.Servers());
    ASSERT_EQ(queries.InitError(), "");
    std::vector<int> aStatus;
    for (int i = 0; i < 20; ++i) {
        // Appended: GCC 12 at -O3 takes "p" + std::string for an overlapping copy.
        const std::string strName = std::string("p").append(std::to_string(i)).append(".example");
        queries.Query(strName, 12,
                      [&aStatus](int nStatus, const unsigned char*, int) { aStatus.push_back(nStatus); });
    }
    const auto tStart = steady_clock::now();
    EXPECT_TRUE(queries.Run(-1));
    const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - tStart);
    EXPECT_EQ(aStatus, std::vector<int>(20, ARES_ETIMEOUT));
    // 20 queries, 8 at a time: three rounds of 200 ms.
    EXPECT_GE(elapsed.count(), 550);
    EXPECT_LT(elapsed.count(), 1500);
}

// The wait for the bound is spent in poll, not spinning.
TEST(DnsQueries, WaitingForTheBoundTakesNoCpuTime) {
    SilentServer server(true);
    CDnsQueries queries(std::chrono::milliseconds(600), 4, server.Servers());
    int nStatus = 0;
    queries.Query("a.example", 12, [&nStatus](int n, const unsigned char*, int) { nStatus = n; });
    timespec cpuStart{};
    timespec cpuEnd{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    EXPECT_TRUE(queries.Run(-1));
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    EXPECT_EQ(nStatus, ARES_ETIMEOUT);
    const double fCpu = static_cast<double>(cpuEnd.tv_sec - cpuStart.tv_sec) +
                        static_cast<double>(cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e9;
    EXPECT_LT(fCpu, 0.05);
}

TEST(DnsQueries, StopEndsTheRunAtOnceWithoutAnswers) {
    SilentServer server;
    CDnsQueries queries(std::chrono::milliseconds(5000), 4, server.Servers());
    int nAnswers = 0;
    queries.Query("a.example", 12, [&nAnswers](int, const unsigned char*, int) { ++nAnswers; });
    const int hStop = eventfd(0, EFD_CLOEXEC);
    std::thread stopper([hStop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t n = 1;
        EXPECT_EQ(write(hStop, &n, sizeof(n)), static_cast<ssize_t>(sizeof(n)));
    });
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(queries.Run(hStop));
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::milliseconds(1000));
    stopper.join();
    close(hStop);
    EXPECT_EQ(nAnswers, 0);
}

TEST(DnsQueries, UnusableServerListFailsEveryQueryAlike) {
    CDnsQueries queries(std::chrono::milliseconds(200), 4, "not a server list");
    EXPECT_NE(queries.InitError(), "");
    std::vector<int> aStatus;
    for (int i = 0; i < 3; ++i) {
        queries.Query("a.example", 12,
                      [&aStatus](int nStatus, const unsigned char*, int) { aStatus.push_back(nStatus); });
    }
    EXPECT_TRUE(queries.Run(-1));
    EXPECT_EQ(aStatus.size(), 3u);
    for (int nStatus : aStatus) EXPECT_NE(nStatus, ARES_SUCCESS);
}

}  // namespace
