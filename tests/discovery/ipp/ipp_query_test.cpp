// Queries against loopback peers that fail in the ways printers do, where
// the request is made and how long an answer may take; the runner's limits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "conv_string.h"
#include "ipp_status_runner.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A TCP peer on 127.0.0.1 that counts the connections it takes: silent
// (never answers) or a web server that answers 404 to every request and
// keeps each request's first line, IPP operation and user name.
class CLoopbackPeer {
public:
    enum class Mode { Silent, NotFound };
    // nHttp: the HTTP status of every answer (404 by default)
    explicit CLoopbackPeer(Mode nMode, int nHttp = 404) : m_nMode(nMode), m_nHttp(nHttp) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof addr;
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), nLen);
        listen(m_fd, 8);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CLoopbackPeer() {
        shutdown(m_fd, SHUT_RDWR);
        close(m_fd);
        if (m_thread.joinable()) m_thread.join();
        for (const int fd : m_aHeld) close(fd);
    }
    int Port() const { return m_nPort; }
    std::vector<std::string> Requests() {
        std::lock_guard lock(m_mutex);
        return m_aRequests;
    }
    size_t Connections() const { return m_nConnections.load(); }

private:
    void Serve() {
        for (;;) {
            const int fd = accept(m_fd, nullptr, nullptr);
            if (fd < 0) return;
            ++m_nConnections;
            if (m_nMode == Mode::Silent) {
                m_aHeld.push_back(fd);  // closed with the peer
                continue;
            }
            std::string strIn;
            char buf[4096];
            for (;;) {
                const size_t nHead = strIn.find("\r\n\r\n");
                if (nHead != std::string::npos) {
                    const size_t nAt = strIn.find("Content-Length: ");
                    const size_t nBody = nAt < nHead ? std::stoul(strIn.substr(nAt + 16)) : 0;
                    if (strIn.size() >= nHead + 4 + nBody) {
                        // the operation is the body's third and fourth byte
                        const std::string strOp =
                            nBody >= 4 ? std::to_string(static_cast<unsigned char>(strIn[nHead + 4 + 3]))
                                       : "-";
                        {
                            std::lock_guard lock(m_mutex);
                            const std::string strUser = strIn.find(
                                                            "\x09"
                                                            "anonymous") < nHead + 4 + nBody
                                                            ? " anonymous"
                                                            : "";
                            const std::string strVersion = nBody >= 2
                                                               ? " v" + std::to_string(strIn[nHead + 4]) +
                                                                     std::to_string(strIn[nHead + 5])
                                                               : "";
                            m_aRequests.push_back(strIn.substr(0, strIn.find("\r\n")) + " op " + strOp +
                                                  strUser + strVersion);
                        }
                        strIn.erase(0, nHead + 4 + nBody);
                        const std::string strReply =
                            "HTTP/1.1 " + std::to_string(m_nHttp) + " Status\r\nContent-Length: 0\r\n\r\n";
                        if (write(fd, strReply.data(), strReply.size()) < 0) break;
                        continue;
                    }
                }
                const ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) break;
                strIn.append(buf, static_cast<size_t>(n));
            }
            close(fd);
        }
    }

    Mode m_nMode;
    int m_nHttp;
    int m_fd = -1;
    int m_nPort = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_aRequests;
    std::atomic<size_t> m_nConnections{0};
    std::vector<int> m_aHeld;
};

StatusTarget LoopbackTarget(int nPort, bool bTls, std::vector<std::string> aResources) {
    return StatusTarget{"127.0.0.1", nPort, bTls, std::move(aResources)};
}

struct QueryCase {
    const char* pszName;
    CLoopbackPeer::Mode nMode;
    bool bClosedPort;  // the peer's port after the peer has gone: refused
    bool bTls;
    PrinterState nExpected;
    size_t nRequests;     // requests the peer saw
    size_t nConnections;  // one per path: never a reconnect behind the bound's back
};

class StatusQuery : public testing::TestWithParam<QueryCase> {};

TEST_P(StatusQuery, EndsWithinItsBoundAndSaysWhy) {
    const QueryCase& c = GetParam();
    auto pPeer = std::make_unique<CLoopbackPeer>(c.nMode);
    const int nPort = pPeer->Port();
    if (c.bClosedPort) pPeer.reset();
    const std::atomic<bool> bCancel{false};
    const auto start = Clock::now();
    const PrinterStatus status =
        QueryPrinterStatus(LoopbackTarget(nPort, c.bTls, {"/ipp/print", "/"}), 700ms, bCancel);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(Utf16ToUtf8(PrinterStateText(status.nState)), Utf16ToUtf8(PrinterStateText(c.nExpected)));
    EXPECT_LT(elapsed, 700ms + 400ms);  // the bound and one wait slice, at most
    if (c.nExpected == PrinterState::NoAnswer) {
        EXPECT_GE(elapsed, 650ms);
    }
    if (pPeer) {
        // Get-Printer-Attributes (0x000B) at each path, nothing else
        const std::vector<std::string> aAll = {"POST /ipp/print HTTP/1.1 op 11 anonymous v20",
                                               "POST / HTTP/1.1 op 11 anonymous v20"};
        EXPECT_EQ(pPeer->Requests(), std::vector<std::string>(aAll.begin(), aAll.begin() + c.nRequests));
        EXPECT_EQ(pPeer->Connections(), c.nConnections);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, StatusQuery,
    testing::Values(
        QueryCase{"Refused", CLoopbackPeer::Mode::Silent, true, false, PrinterState::NoIpp, 0, 0},
        QueryCase{"Silent", CLoopbackPeer::Mode::Silent, false, false, PrinterState::NoAnswer, 0, 1},
        QueryCase{"SilentTls", CLoopbackPeer::Mode::Silent, false, true, PrinterState::NoAnswer, 0, 1},
        QueryCase{"WebServerBothPaths", CLoopbackPeer::Mode::NotFound, false, false, PrinterState::NoIpp, 2,
                  2}),
    [](const testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.pszName); });

// As CUPS reads them: 401/403 want credentials, 505 is asked again in
// IPP/1.1, 426 goes on over TLS (to which this peer never answers).
TEST(StatusQuery, HttpRefusalsReadAsCupsReadsThem) {
    const std::atomic<bool> bCancel{false};
    for (const auto& [nHttp, pszState, pszRequests] :
         std::vector<std::tuple<int, const char*, const char*>>{{401, "needs authentication", " v20"},
                                                                {403, "needs authentication", " v20"},
                                                                {505, "no IPP", " v20 v11"},
                                                                {400, "no IPP", " v20 v11"},
                                                                {426, "no answer", " v20"}}) {
        CLoopbackPeer peer(CLoopbackPeer::Mode::NotFound, nHttp);
        const PrinterStatus status =
            QueryPrinterStatus(LoopbackTarget(peer.Port(), false, {"/ipp/print"}), 700ms, bCancel);
        std::string strVersions;
        for (const std::string& str : peer.Requests()) strVersions += str.substr(str.rfind(' '));
        EXPECT_EQ(Utf16ToUtf8(PrinterStateText(status.nState)) + strVersions,
                  std::string(pszState) + pszRequests)
            << nHttp;
        EXPECT_EQ(Utf16ToUtf8(status.strUri).substr(0, 5), nHttp == 426 ? "ipps:" : "ipp:/") << nHttp;
    }
}

TEST(StatusQuery, CancelEndsAWaitEarly) {
    CLoopbackPeer peer(CLoopbackPeer::Mode::Silent);
    std::atomic<bool> bCancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        bCancel.store(true);
    });
    const auto start = Clock::now();
    const PrinterStatus status = QueryPrinterStatus(LoopbackTarget(peer.Port(), false, {"/"}), 5s, bCancel);
    canceller.join();
    EXPECT_EQ(status.nState, PrinterState::NoAnswer);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(StatusTarget, IppInstancesUseTheirPortAndPathOthersTryTheUsualTwo) {
    struct Case {
        std::u16string strType;
        std::u16string strAddress;
        int nPort;
        const char16_t* pszRp;
        std::vector<std::string> aUris;
    };
    const std::vector<Case> cases = {
        {u"_ipp._tcp", u"192.0.2.10", 8631, nullptr, {"ipp://192.0.2.10:8631/ipp/print"}},
        {u"_ipps._tcp", u"192.0.2.10", 443, u"ipp/print/color", {"ipps://192.0.2.10:443/ipp/print/color"}},
        {u"_ipp._tcp", u"192.0.2.10", 631, u"", {"ipp://192.0.2.10:631/"}},
        // a path from the network cannot break out of the request line
        {u"_ipp._tcp", u"192.0.2.10", 631, u"/a b\r\nX: y%", {"ipp://192.0.2.10:631/a%20b%0D%0AX:%20y%25"}},
        {u"_printer._tcp",
         u"192.0.2.11",
         515,
         nullptr,
         {"ipp://192.0.2.11:631/ipp/print", "ipp://192.0.2.11:631/"}},
        {u"", u"2001:db8::5", 0, nullptr, {"ipp://[2001:db8::5]:631/ipp/print", "ipp://[2001:db8::5]:631/"}},
        {u"_ipp._tcp", u"fe80::5678%eth0", 631, nullptr, {"ipp://[fe80::5678%25eth0]:631/ipp/print"}},
        // the window's scan knows no port
        {u"_ipps._tcp", u"192.0.2.12", 0, nullptr, {"ipps://192.0.2.12:631/ipp/print"}},
    };
    for (const Case& c : cases) {
        const std::u16string strRp = c.pszRp ? c.pszRp : u"";
        const StatusTarget target =
            StatusTargetFor(c.strType, c.strAddress, c.nPort, c.pszRp ? &strRp : nullptr);
        std::vector<std::string> aUris;
        for (size_t i = 0; i < target.aResources.size(); ++i) aUris.push_back(StatusUri(target, i));
        EXPECT_EQ(aUris, c.aUris) << Utf16ToUtf8(c.strType);
    }
}

// Fake queries that take their time: how many run at once, and whether a
// slow one holds back the others' results.
TEST(StatusRunner, RunsAtMostItsLimitAtOnceAndASlowPrinterDelaysNoOther) {
    std::atomic<int> nRunning{0};
    std::atomic<int> nPeak{0};
    auto fnQuery = [&](const StatusTarget& target, std::chrono::milliseconds bound,
                       const std::atomic<bool>&) {
        const int n = ++nRunning;
        int nSeen = nPeak.load();
        while (n > nSeen && !nPeak.compare_exchange_weak(nSeen, n)) {
        }
        std::this_thread::sleep_for(target.nPort == 1 ? bound : 100ms);
        --nRunning;
        PrinterStatus status;
        status.nState = target.nPort == 1 ? PrinterState::NoAnswer : PrinterState::Idle;
        return status;
    };
    std::mutex mutex;
    std::vector<std::pair<size_t, Clock::duration>> aResults;
    const auto start = Clock::now();
    CIppStatusRunner runner(
        [&](size_t nId, const PrinterStatus&) {
            std::lock_guard lock(mutex);
            aResults.emplace_back(nId, Clock::now() - start);
        },
        1500ms, 8, fnQuery);
    runner.Add(0, StatusTarget{"192.0.2.1", 1, false, {"/"}});  // never answers
    for (size_t i = 1; i <= 40; ++i) runner.Add(i, StatusTarget{"192.0.2.2", 631, false, {"/"}});
    runner.WaitAll();
    EXPECT_EQ(nPeak.load(), 8);
    ASSERT_EQ(aResults.size(), 41u);
    // 40 quick ones on the 7 workers the slow one leaves: 6 rounds of 100 ms
    const auto itSlow = std::find_if(aResults.begin(), aResults.end(), [](auto& r) { return r.first == 0; });
    EXPECT_EQ(itSlow, aResults.end() - 1);
    for (const auto& [nId, at] : aResults) {
        if (nId != 0) {
            EXPECT_LT(at, 1200ms) << nId;
        }
    }
}

// Added in a burst, each after the one before has finished: the workers
// it left idle must not swallow the burst one after another.
TEST(StatusRunner, ABurstAfterAQuietSpellStillRunsSideBySide) {
    auto fnQuery = [](const StatusTarget& target, std::chrono::milliseconds, const std::atomic<bool>&) {
        if (target.nPort != 1) std::this_thread::sleep_for(500ms);
        return PrinterStatus{};
    };
    CIppStatusRunner runner([](size_t, const PrinterStatus&) {}, 5s, 8, fnQuery);
    for (size_t i = 0; i < 4; ++i) runner.Add(i, StatusTarget{"192.0.2.4", 1, false, {"/"}});
    runner.WaitAll();  // idle workers now
    const auto start = Clock::now();
    for (size_t i = 0; i < 8; ++i) runner.Add(i, StatusTarget{"192.0.2.4", 631, false, {"/"}});
    runner.WaitAll();
    EXPECT_LT(Clock::now() - start, 800ms);
}

// Those asked did not answer; those still queued were never asked, which
// counts against no printer.
TEST(StatusRunner, CancelReportsQueuedPrintersAsNotAskedAtOnce) {
    std::atomic<int> nAsked{0};
    auto fnQuery = [&](const StatusTarget&, std::chrono::milliseconds, const std::atomic<bool>& bCancel) {
        ++nAsked;
        while (!bCancel.load()) std::this_thread::sleep_for(5ms);
        return PrinterStatus{};
    };
    std::atomic<int> nUnanswered{0};
    std::atomic<int> nNotAsked{0};
    CIppStatusRunner runner(
        [&](size_t, const PrinterStatus& s) {
            nUnanswered += s.nState == PrinterState::NoAnswer;
            nNotAsked += s.nState == PrinterState::NotAsked && IsStatusHealthy(s);
        },
        10s, 2, fnQuery);
    for (size_t i = 0; i < 10; ++i) runner.Add(i, StatusTarget{"192.0.2.3", 631, false, {"/"}});
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    runner.Cancel();
    runner.WaitAll();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(nAsked.load(), 2);
    EXPECT_EQ(nUnanswered.load(), 2);
    EXPECT_EQ(nNotAsked.load(), 8);
}

}  // namespace
