#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include "web_config.h"

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
    status.nPageCount = 1234;
    status.aReasons = {{u"media-empty-error", ReasonSeverity::Error},
                       {u"toner-low-report", ReasonSeverity::Report}};
    status.aSupplies = {Supply(u"Black", 40),
                        Supply(u"Cyan", -1, false, u"other"),
                        Supply(u"Magenta", -2, false, u"unknown"),
                        Supply(u"Yellow", -3, false, u"some remaining"),
                        Supply(u"Waste", 30, true),
                        Supply(u"Black", 50)};
    status.aSupplies.back().nIndex = 7;  // the printer's own number, not its place
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
    for (const char* pszLine :
         {"hvl_printer_supply_level_ratio{id=\"ip:192.0.2.10\",index=\"0\",supply="
          "\"Black\",kind=\"toner\",color=\"#000000\"} 0.4",
          "hvl_printer_supply_unmeasured{id=\"ip:192.0.2.10\",index=\"3\",supply="
          "\"Yellow\",kind=\"toner\",color=\"#000000\",level=\"some_remaining\"} 1",
          "hvl_printer_supply_fill_ratio{id=\"ip:192.0.2.10\",index=\"4\",supply="
          "\"Waste\",kind=\"toner\",color=\"#000000\"} 0.3",
          "hvl_printer_up{id=\"ip:192.0.2.11\"} 1",
          "hvl_printer_supply_level_ratio{id=\"ip:192.0.2.10\",index=\"7\",supply=\"Black\"",
          "hvl_printer_supply_low_ratio{id=\"ip:192.0.2.10\",index=\"3\",supply="
          "\"Yellow\",kind=\"toner\",color=\"#000000\"} 0.1",
          "hvl_printer_state_reason{id=\"ip:192.0.2.10\",reason=\"toner-low\","
          "severity=\"report\"} 1",
          "hvl_printer_pages_total{id=\"ip:192.0.2.10\"} 1234",
          "hvl_printer_state{id=\"ip:192.0.2.10\",hvl_printer_state=\"stopped\"} 1",
          "hvl_printer_state{id=\"ip:192.0.2.10\",hvl_printer_state=\"needs_auth\"} 0"})
        EXPECT_NE(strText.find(pszLine), std::string::npos) << pszLine << "\n" << strText;
    const std::string strOpen = MetricsText(EverySupplyKind(), true);
    for (const char* pszLine :
         {"\nhvl_watch_last_search_seconds{method=\"upnp\"} 0.25\n", "\n# TYPE process_cpu_seconds counter\n",
          "\nhvl_build_info{version=\"\"} 1\n"})
        EXPECT_NE(strOpen.find(pszLine), std::string::npos) << pszLine << strOpen;
    EXPECT_TRUE(strOpen.ends_with("\n# EOF\n"));
    EXPECT_NE(strOpen.find("# TYPE hvl_printer info\n"), std::string::npos);
    const std::u16string strOther = u"192.0.2.11";
    EXPECT_EQ(MetricsText(EverySupplyKind(), false, &strOther).find("192.0.2.10"), std::string::npos);
}

// The served list follows the printer's id: an address that changes, an
// identity learnt late and a printer gone quiet never leave a ghost behind.
TEST(PrinterMetrics, EntriesFollowTheIdAndADownPrinterStaysATarget) {
    ServedList list;
    list.bStatus = true;
    WatchEvent event;
    event.row.strIpAddress = u"192.0.2.20";
    event.row.aAddresses = {u"192.0.2.20"};
    event.row.nKind = ROW_KIND_SNMP;
    ApplyWatchEvent(list, event, nullptr);
    event.nKind = WatchEventKind::CHANGE;
    event.row.strId = u"uuid-1";  // told its identity
    PrinterStatus status;
    status.nState = PrinterState::Idle;
    ApplyWatchEvent(list, event, &status);
    event.row.strIpAddress = u"192.0.2.21";  // moved
    event.row.aAddresses = {u"192.0.2.21"};
    ApplyWatchEvent(list, event, nullptr);
    ASSERT_EQ(list.aPrinters.size(), 1u);
    EXPECT_EQ(list.aPrinters[0].pRow->strIpAddress, u"192.0.2.21");
    ASSERT_TRUE(list.aPrinters[0].pStatus);  // kept by id
    EXPECT_NE(MetricsText(list, false).find("hvl_printer_state{id=\"uuid-1\",hvl_printer_state=\"idle\"} 1"),
              std::string::npos);
    event.row.nState = RowState::UNREACHABLE;
    event.aChanged = {"state"};
    ApplyWatchEvent(list, event, nullptr);
    const std::string strText = MetricsText(list, false);
    for (const char* pszLine : {"hvl_printer_up{id=\"uuid-1\"} 0\n",
                                "hvl_printer_state{id=\"uuid-1\",hvl_printer_state=\"unreachable\"} 1\n",
                                "hvl_printer_state{id=\"uuid-1\",hvl_printer_state=\"idle\"} 0\n"})
        EXPECT_NE(strText.find(pszLine), std::string::npos) << pszLine << strText;
    EXPECT_NE(TargetsJson(list).find("\"192.0.2.21\""), std::string::npos);
    event.nKind = WatchEventKind::REMOVE;
    ApplyWatchEvent(list, event, nullptr);
    EXPECT_TRUE(list.aPrinters.empty());
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
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n";
    EXPECT_FALSE(Exchange(nPort, strHuge).starts_with("HTTP/1.1 200"));
    const Clock::time_point tScrape = Clock::now();
    EXPECT_TRUE(Exchange(nPort, "GET /metrics?target=a%20b HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                    .ends_with("\r\n\r\nok a b"));
    EXPECT_LT(Clock::now() - tScrape, std::chrono::seconds(1));
    const struct {
        std::string strRequest, strStatus;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431"},
        {"POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 405"},
        {"GET /other HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 404"},
        {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc",
         ""},  // a body: never read
        {"GET /metrics HTTP/1.1\r\nHost: rebound.example:80\r\n\r\n", "HTTP/1.1 421"},
        {"GET /metrics?target=%zz HTTP/1.1\r\nHost: localhost\r\n\r\n", "HTTP/1.1 400"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Exchange(nPort, c.strRequest).substr(0, 12), c.strStatus) << c.strRequest;
    EXPECT_NE(Exchange(nPort, "GET /other HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").find("nosniff"),
              std::string::npos);
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

// Clients that ask and never read, all from one address, cannot hold
// every slot: a scrape from the same address gets through.
TEST(HttpServe, SlowReadersFromOneAddressDoNotKeepAScrapeOut) {
    CHttpServe server;
    std::string strWhy;
    const std::string strBig(4 << 20, 'x');  // beyond the socket buffers
    const HttpRoute route = [&](const HttpRequest& r) {
        return HttpReply{200, "text/plain", r.params.contains("small") ? std::string("ok") : strBig};
    };
    ASSERT_TRUE(server.Start("127.0.0.1:0", {{"/metrics", route}}, strWhy,
                             {.requestBound = std::chrono::seconds(30)}))
        << strWhy;
    std::vector<int> aSlow;
    for (int i = 0; i < 64; ++i) {
        aSlow.push_back(socket(AF_INET, SOCK_STREAM, 0));
        const int nBuffer = 4096;
        setsockopt(aSlow.back(), SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
        sockaddr_in address{AF_INET, htons(server.GetPort()), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(connect(aSlow.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::string strRequest = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(aSlow.back(), strRequest.data(), strRequest.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Kept out, it would wait for the slow readers' 30 s bound; under TSan
    // the server takes seconds to accept the 64 and start their bodies.
    const Clock::time_point tScrape = Clock::now();
    EXPECT_TRUE(Exchange(server.GetPort(), "GET /metrics?small=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 20)
                    .ends_with("\r\n\r\nok"));
    EXPECT_LT(Clock::now() - tScrape, std::chrono::seconds(15));
    for (int h : aSlow) close(h);
    server.Stop();
}

// A wrong password costs a bcrypt like a right one and gets 401 with the
// challenge; the right one gets in. Accept's q=0 refuses a type.
TEST(HttpServe, BasicAuthAgainstBcryptAndAcceptWeights) {
    crypt_data data{};
    const char* pszSalt = crypt_gensalt_rn("$2b$", 5, nullptr, 0, data.setting, sizeof data.setting);
    ASSERT_TRUE(pszSalt);
    const std::string strHash = crypt_rn("right", pszSalt, &data, sizeof data);
    HttpServeAccess access;
    access.users = {{"prom", strHash}};
    access.aHeaders = {{"X-Frame-Options", "DENY"}};
    CHttpServe server;
    std::string strWhy;
    const HttpRoute route = [](const HttpRequest&) { return HttpReply{200, "text/plain", "ok"}; };
    ASSERT_TRUE(server.Start("127.0.0.1:0", {{"/metrics", route}}, strWhy, {}, access)) << strWhy;
    const auto Ask = [&](const std::string& strBase64) {  // of NAME:PASSWORD
        return Exchange(
            server.GetPort(),
            "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " + strBase64 + "\r\n\r\n");
    };
    for (const char* pszWrong :
         {"cHJvbTp3cm9uZw==", "b3RoZXI6cmlnaHQ=", "cHJvbQ=="}) {  // wrong, other, no colon
        const std::string strReply = Ask(pszWrong);
        EXPECT_TRUE(strReply.starts_with("HTTP/1.1 401")) << pszWrong << strReply;
        EXPECT_NE(strReply.find("WWW-Authenticate: Basic realm=\"hvl-scan\""), std::string::npos) << strReply;
    }
    const std::string strRight = Ask("cHJvbTpyaWdodA==");
    EXPECT_TRUE(strRight.starts_with("HTTP/1.1 200")) << strRight;
    EXPECT_NE(strRight.find("X-Frame-Options: DENY"), std::string::npos) << strRight;
    server.Stop();
    EXPECT_TRUE(AcceptsType("text/plain;q=0.5, Application/OpenMetrics-Text ;version=1.0.0",
                            "application/openmetrics-text"));
    EXPECT_FALSE(AcceptsType("application/openmetrics-text;q=0,text/plain", "application/openmetrics-text"));
}

// A configuration is refused whole, with why, when it would serve less
// safely than it says.
TEST(WebConfig, RefusesWhatItCannotHonour) {
    const std::string strHash = "\"$2b$05$QKlvHE0pajH/bxIUlEppJehSeKDBBB9XIoN5AX3vRjvhOPltwFytu\"";
    const struct {
        std::string strText;
        mode_t nMode;
        const char* pszWhy;  // null: read
    } cases[] = {
        {"basic_auth_users:\n  prom: " + strHash + "\n", 0600, nullptr},
        {"basic_auth_users:\n  prom: " + strHash + "\n", 0644, "others can read it"},
        {"tls_server_config:\n  cert_file: /nonexistent\n  bogus: 1\n", 0600,
         "unknown key tls_server_config.bogus"},
        {"tls_server_config:\n  min_version: TLS9\n", 0600, "TLS10 to TLS13"},
        {"basic_auth_users:\n  prom: plain\n", 0600, "bcrypt"},
        {"http_server_config:\n  headers:\n    Set-Cookie: x\n", 0600, "cannot set"},
        {"tls_server_config: [\n", 0600, "line"},
    };
    for (const auto& c : cases) {
        char szPath[] = "/tmp/hvl-web-XXXXXX";
        const int hFile = mkstemp(szPath);
        ASSERT_EQ(write(hFile, c.strText.data(), c.strText.size()), ssize_t(c.strText.size()));
        fchmod(hFile, c.nMode);
        close(hFile);
        HttpServeAccess access;
        std::string strWhy;
        EXPECT_EQ(ReadWebConfig(szPath, access, strWhy), !c.pszWhy) << c.strText << strWhy;
        EXPECT_NE(strWhy.find(c.pszWhy ? c.pszWhy : ""), std::string::npos) << c.strText << strWhy;
        unlink(szPath);
    }
}

}  // namespace
