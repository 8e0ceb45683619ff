#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "http_serve.h"
#include "methods.h"
#include "printer_metrics.h"

namespace {

using Clock = std::chrono::steady_clock;

SupplyLevel Supply(std::u16string strName, int32_t nLevel, bool bReceptacle = false,
                   std::u16string strText = u"") {
    return {strName, u"toner", u"#000000", nLevel, 10, bReceptacle, strText};
}

// Every kind of supply level, and labels that must be escaped.
ServedList EverySupplyKind() {
    ScanRow row;
    row.strIpAddress = u"192.0.2.10";
    row.strName = u"Hostile \"quoted\" \\ <img src=x onerror=alert(1)>\nline";
    row.nKind = ROW_KIND_SNMP;
    row.tLastSeen = std::chrono::system_clock::now();
    PrinterStatus status;
    status.nState = PrinterState::Stopped;
    status.aReasons = {{u"media-empty-error", ReasonSeverity::Error},
                       {u"toner-low-report", ReasonSeverity::Report}};
    status.aSupplies = {Supply(u"Black", 40),
                        Supply(u"Cyan", -1, false, u"other"),
                        Supply(u"Magenta", -2, false, u"unknown"),
                        Supply(u"Yellow", -3, false, u"some remaining"),
                        Supply(u"Waste", 30, true),
                        Supply(u"Black", 50)};
    ServedList list;
    list.bStatus = true;
    list.aPrinters.push_back({std::make_shared<ScanRow>(row), std::make_shared<PrinterStatus>(status)});
    row.strIpAddress = u"192.0.2.11";
    list.aPrinters.push_back({std::make_shared<ScanRow>(row), nullptr});  // not answered yet
    list.events = {{"add", 2}};
    list.searchSeconds = {{"upnp", 0.25}};
    return list;
}

TEST(PrinterMetrics, PromtoolFindsNothingAndNoLevelIsNegative) {
    const std::string strText = MetricsText(EverySupplyKind(), false);
    char szPath[] = "/tmp/hvl-metrics-XXXXXX";
    const int hFile = mkstemp(szPath);
    ASSERT_GE(hFile, 0);
    ASSERT_EQ(write(hFile, strText.data(), strText.size()), ssize_t(strText.size()));
    close(hFile);
    FILE* pPipe = popen(("promtool check metrics < " + std::string(szPath) + " 2>&1").c_str(), "r");
    std::string strLint;
    for (char sz[256]; fgets(sz, sizeof sz, pPipe);) strLint += sz;
    const int nStatus = pclose(pPipe);
    unlink(szPath);
    EXPECT_EQ(nStatus, 0) << strLint << strText;
    EXPECT_EQ(strLint, "");
    EXPECT_EQ(strText.find("} -"), std::string::npos) << strText;
    for (const char* pszLine : {"hvl_printer_supply_level_ratio{id=\"ip:192.0.2.10\",index=\"0\",supply="
                                "\"Black\",kind=\"toner\",color=\"#000000\"} 0.4",
                                "hvl_printer_supply_unmeasured{id=\"ip:192.0.2.10\",index=\"3\",supply="
                                "\"Yellow\",kind=\"toner\",color=\"#000000\",level=\"some_remaining\"} 1",
                                "hvl_printer_supply_fill_ratio{id=\"ip:192.0.2.10\",index=\"4\",supply="
                                "\"Waste\",kind=\"toner\",color=\"#000000\"} 0.3",
                                "hvl_printer_up{id=\"ip:192.0.2.11\"} 0",
                                "hvl_printer_state{id=\"ip:192.0.2.10\",hvl_printer_state=\"stopped\"} 1"})
        EXPECT_NE(strText.find(pszLine), std::string::npos) << pszLine << "\n" << strText;
    const std::string strOpen = MetricsText(EverySupplyKind(), true);
    EXPECT_TRUE(strOpen.ends_with("\nhvl_watch_last_search_seconds{method=\"upnp\"} 0.25\n# EOF\n"))
        << strOpen;
    EXPECT_NE(strOpen.find("# TYPE hvl_printer info\n"), std::string::npos);
    const std::u16string strOther = u"192.0.2.11";
    EXPECT_EQ(MetricsText(EverySupplyKind(), false, &strOther).find("192.0.2.10"), std::string::npos);
}

// One request on a new connection: what came back before the server closed it.
std::string Exchange(uint16_t nPort, const std::string& strRequest, int nSeconds = 3) {
    const int h = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(nPort), {htonl(INADDR_LOOPBACK)}, {}};
    timeval bound{nSeconds, 0};
    setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    std::string strReply;
    if (connect(h, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        send(h, strRequest.data(), strRequest.size(), MSG_NOSIGNAL);
        char sz[4096];
        for (ssize_t n; (n = recv(h, sz, sizeof sz, 0)) > 0;) strReply.append(sz, size_t(n));
    }
    close(h);
    return strReply;
}

TEST(HttpServe, HostileClientsNeverKeepAScrapeOutNorDelayTheCaller) {
    CHttpServe server;
    std::string strWhy;
    const HttpRoute route = [](const HttpRequest& r) {
        return HttpReply{200, "text/plain", "ok " + (r.params.empty() ? "" : r.params.begin()->second)};
    };
    ASSERT_TRUE(
        server.Start("127.0.0.1:0", {{"/metrics", route}}, strWhy, {.requestBound = std::chrono::seconds(2)}))
        << strWhy;
    const uint16_t nPort = server.GetPort();
    std::atomic<bool> bDone{false};
    Clock::duration longestGap{};
    std::thread ticker([&] {  // the watch's own work, beside the server
        for (Clock::time_point t = Clock::now(); !bDone; t = Clock::now()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            longestGap = std::max(longestGap, Clock::now() - t);
        }
    });
    std::vector<int> aIdle;
    for (int i = 0; i < 200; ++i) {
        aIdle.push_back(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{AF_INET, htons(nPort), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(connect(aIdle.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    const Clock::time_point tLorisStart = Clock::now();
    std::thread loris([&] { Exchange(nPort, "G", 10); });  // one byte, then nothing: ended at the bound
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string strHuge =
        "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n";
    EXPECT_FALSE(Exchange(nPort, strHuge).starts_with("HTTP/1.1 200"));
    const Clock::time_point tScrape = Clock::now();
    EXPECT_TRUE(
        Exchange(nPort, "GET /metrics?target=a%20b HTTP/1.1\r\nHost: x\r\n\r\n").ends_with("\r\n\r\nok a b"));
    EXPECT_LT(Clock::now() - tScrape, std::chrono::seconds(1));
    const struct {
        std::string strRequest, strStatus;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
        {"POST /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405"},
        {"GET /other HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404"},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", ""},  // a body: never read
    };
    for (const auto& c : cases)
        EXPECT_EQ(Exchange(nPort, c.strRequest).substr(0, 12), c.strStatus) << c.strRequest;
    loris.join();
    EXPECT_LT(Clock::now() - tLorisStart, std::chrono::milliseconds(3000));
    bDone = true;
    ticker.join();
    // A caller held up by a client would wait its 5 s bound; under a loaded
    // machine (or TSan) a free one still misses a tick now and then.
    EXPECT_LT(longestGap, std::chrono::milliseconds(1000));
    for (int h : aIdle) close(h);
    server.Stop();
}

}  // namespace
