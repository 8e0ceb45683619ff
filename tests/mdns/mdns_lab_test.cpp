// The mDNS provider against real announcers in the test lab: python3-zeroconf
// instances and CUPS's ippeveprinter, seen through the lab client's own
// avahi-daemon. One lab and one full scan are shared by the cases; the cases
// that stop avahi-daemon run last.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "lab_helper.h"
#include "mdns_responder_client.h"
#include "trace_capture.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::vector<std::u16string> NAMES = {u"_printer._tcp", u"_pdl-datastream._tcp"};

// p1: python3-zeroconf instances on 192.0.2.10.
const char* const ANNOUNCED = R"({"instances": [
  {"name": "Office Laser", "types": ["_printer._tcp", "_pdl-datastream._tcp"], "host": "office-laser",
   "txt": ["AdminURL= http://office-laser.local.", "rp=auto"]},
  {"name": "Upper Key", "types": ["_printer._tcp"], "host": "upper",
   "txt": ["ADMINURL=http://upper.local:8080/setup"]},
  {"name": "Raw Only", "types": ["_pdl-datastream._tcp"], "host": "raw-only.local."},
  {"name": "Case Printer", "types": ["_printer._tcp"], "host": "case-one"},
  {"name": "case printer", "types": ["_pdl-datastream._tcp"], "host": "case-two"},
  {"name": "Büro Drucker 3", "types": ["_printer._tcp"], "host": "buero-3"},
  {"name": "V6 Only", "types": ["_printer._tcp"], "host": "v6only", "addresses": ["2001:db8::5"]}
]})";

// p3: a printer that says goodbye while the scan browses.
const char* const VANISHING = R"({"instances": [
  {"name": "Vanishing Printer", "types": ["_printer._tcp"], "host": "vanishing"}
]})";

struct TimedLine {
    Clock::duration at;  // since the scan started
    std::string strText;
};

struct ScanResult {
    std::vector<MulticastDataPacket> aPackets;
    std::vector<TimedLine> aLines;  // the provider's trace, as it appeared
    Clock::duration elapsed{};
    int32_t nStatus = 0;
};

CLab* g_pLab = nullptr;
CTraceCapture* g_pTrace = nullptr;
ScanResult* g_pScan = nullptr;
std::string g_strSetupError;

std::vector<MulticastDataPacket> Packets() {
    std::vector<MulticastDataPacket> a;
    for (int32_t i = 0; i < CMulticastDataProvider::GetPacketCount(); ++i) {
        MulticastDataPacket p;
        if (CMulticastDataProvider::GetPacket(i, p)) {
            a.push_back(p);
        }
    }
    return a;
}

// Runs one search as the window would, reading the trace as it grows; calls
// fnDuring once, at the given time into the scan.
ScanResult RunScan(CMDNSResponderClient& provider, Clock::duration atDuring = Clock::duration::max(),
                   const std::function<void()>& fnDuring = {}) {
    ScanResult r;
    g_pTrace->Clear();
    provider.ResetData();
    const auto t0 = Clock::now();
    provider.StartSearch();
    bool bDuringDone = !fnDuring;
    size_t nSeen = 0;
    auto Collect = [&] {
        const auto aNow = g_pTrace->Messages();
        for (; nSeen < aNow.size(); ++nSeen) {
            r.aLines.push_back({Clock::now() - t0, aNow[nSeen]});
        }
    };
    while (provider.IsSearching() && Clock::now() - t0 < 60s) {
        if (!bDuringDone && Clock::now() - t0 >= atDuring) {
            fnDuring();
            bDuringDone = true;
        }
        Collect();
        std::this_thread::sleep_for(25ms);
    }
    r.elapsed = Clock::now() - t0;
    Collect();
    r.aPackets = Packets();
    r.nStatus = provider.GetStatus();
    return r;
}

class LabEnvironment : public testing::Environment {
public:
    void SetUp() override {
        g_pTrace = new CTraceCapture();
        g_pLab = new CLab(CLab::UniqueName("mdns"));
        const auto t0 = Clock::now();
        if (!g_pLab->Up({"p1", "p2", "p3"})) {
            return Fail("lab up");
        }
        // Threads started from here on (the providers') are in the client
        // namespace too.
        if (!g_pLab->EnterClient()) {
            return Fail("enter client");
        }
        // The announcers start side by side: each waits for its own probing.
        auto p1 = std::async(std::launch::async, [] { return g_pLab->Announce("p1", ANNOUNCED); });
        auto p3 =
            std::async(std::launch::async, [] { return g_pLab->Announce("p3", VANISHING, "vanishing"); });
        auto p2 = std::async(std::launch::async, [] { return g_pLab->Ippeveprinter("p2", "Lab IPP"); });
        if (p1.get() < 0 || p3.get() < 0 || p2.get() < 0) {
            return Fail("announcers");
        }
        if (!g_pLab->WaitBrowse("_printer._tcp", {"Office Laser", "Vanishing Printer", "Lab IPP"}, 15)) {
            return Fail("announcements not seen");
        }
        std::printf("lab ready in %lld ms\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));

        // The shared scan: the vanishing printer says goodbye after the
        // browse has seen it and before the resolve phase reaches it.
        CMDNSResponderClient provider(NAMES);
        if (!provider.IsAvailable()) {
            return Fail("avahi-daemon in the lab is not available");
        }
        g_pScan = new ScanResult(RunScan(provider, 1s, [] { g_pLab->Kill("vanishing"); }));
        std::printf("scan took %lld ms\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(g_pScan->elapsed).count()));
    }
    void TearDown() override {
        delete g_pScan;
        g_pScan = nullptr;
        if (g_pLab != nullptr) {
            g_pLab->Down();
        }
        delete g_pLab;
        g_pLab = nullptr;
        delete g_pTrace;
        g_pTrace = nullptr;
    }

private:
    void Fail(const std::string& strStep) { g_strSetupError = strStep + ": " + g_pLab->LastError(); }
};

class MdnsLab : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_strSetupError.empty()) << g_strSetupError;
        ASSERT_NE(g_pScan, nullptr);
    }
    static const MulticastDataPacket* Find(const std::string& strName) {
        for (const auto& p : g_pScan->aPackets) {
            if (Utf16ToUtf8(p.strName) == strName) {
                return &p;
            }
        }
        return nullptr;
    }
    static std::vector<std::string> Lines() {
        std::vector<std::string> a;
        for (const auto& l : g_pScan->aLines) {
            a.push_back(l.strText);
        }
        return a;
    }
    static Clock::duration At(const std::string& strLine) {
        for (const auto& l : g_pScan->aLines) {
            if (l.strText == strLine) {
                return l.at;
            }
        }
        return Clock::duration::max();
    }
};

TEST_F(MdnsLab, AnnouncedPrintersArriveWithNameAddressAndUrl) {
    struct Expected {
        const char* pszName;
        const char* pszAddress;
        std::string strUrl;
    };
    const std::string strIppHost = "http://" + g_pLab->Name() + "-p2";
    for (const Expected& e : {
             Expected{"Office Laser", "192.0.2.10", "http://office-laser"},  // case, .local, dot, space
             Expected{"Upper Key", "192.0.2.10", "http://upper:8080/setup"},
             Expected{"Raw Only", "192.0.2.10", "http://raw-only"},  // second pass; fallback URL
             Expected{"Case Printer", "192.0.2.10", "http://case-one"},
             Expected{"case printer", "192.0.2.10", "http://case-two"},
             Expected{"Büro Drucker 3", "192.0.2.10", "http://buero-3"},
             Expected{"Lab IPP", "192.0.2.11", strIppHost},  // ippeveprinter: empty TXT, port 0
         }) {
        SCOPED_TRACE(e.pszName);
        const MulticastDataPacket* p = Find(e.pszName);
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(p->bComplete);
        EXPECT_EQ(Utf16ToUtf8(p->strIpAddress), e.pszAddress);
        EXPECT_EQ(Utf16ToUtf8(p->strUrl), e.strUrl);
    }
    EXPECT_EQ(g_pScan->nStatus, 0);
}

TEST_F(MdnsLab, OnePacketPerInstanceNameResolvedInItsFirstPass) {
    // Office Laser is announced under both types: one packet, one resolve.
    int nOffice = 0;
    for (const auto& p : g_pScan->aPackets) {
        nOffice += Utf16ToUtf8(p.strName) == "Office Laser";
    }
    EXPECT_EQ(nOffice, 1);
    const auto aLines = Lines();
    EXPECT_EQ(
        std::count(aLines.begin(), aLines.end(),
                   "MDNS: Resolving ip-address and admin-url for Office\\032Laser._printer._tcp.local.."),
        1);
    // Raw Only is resolved in the second pass, under its own type.
    const auto tSecondPass = At("MDNS: NameToQuery='_pdl-datastream._tcp'");
    const auto tRaw =
        At("MDNS: Resolving ip-address and admin-url for Raw\\032Only._pdl-datastream._tcp.local..");
    EXPECT_LT(tSecondPass, tRaw);
    EXPECT_NE(tRaw, Clock::duration::max());
}

TEST_F(MdnsLab, SilentPrintersCostTheirBoundOnlyAndStayIncomplete) {
    const MulticastDataPacket* pGone = Find("Vanishing Printer");
    ASSERT_NE(pGone, nullptr);
    EXPECT_FALSE(pGone->bComplete);
    const MulticastDataPacket* pV6 = Find("V6 Only");
    ASSERT_NE(pV6, nullptr);
    EXPECT_FALSE(pV6->bComplete);
    EXPECT_EQ(Utf16ToUtf8(pV6->strUrl), "http://v6only") << "resolved, only its address is missing";

    const auto aLines = Lines();
    auto Has = [&](const std::string& s) {
        return std::find(aLines.begin(), aLines.end(), s) != aLines.end();
    };
    EXPECT_TRUE(Has("[ERROR] MDNS: No reply resolving 'Vanishing Printer' within 3000 ms."));
    EXPECT_TRUE(Has("[ERROR] MDNS: No ip-address for 'V6 Only' within 3000 ms."));

    // The first pass's resolve phase: from its browse's 4-second silence to
    // the second pass. The two silent waits of 3 s each run side by side,
    // the rest takes milliseconds. Unbounded, V6 Only alone would hold it to
    // the time limit; one after the other, they would take 6 s.
    Clock::duration tLastFound{};
    const auto tSecondPass = At("MDNS: NameToQuery='_pdl-datastream._tcp'");
    for (const auto& l : g_pScan->aLines) {
        if (l.at < tSecondPass && l.strText.rfind("MDNS: Printer found: ", 0) == 0) {
            tLastFound = l.at;
        }
    }
    const auto resolvePhase = tSecondPass - (tLastFound + 4s);
    EXPECT_GT(resolvePhase, 2900ms);
    EXPECT_LT(resolvePhase, 4500ms);
    EXPECT_LT(g_pScan->elapsed, 30s);
}

TEST_F(MdnsLab, TraceShowsTheLinesOfEachPassInOrder) {
    // Pass structure: NameToQuery, then every "Printer found", then each
    // resolve with its outcome right after it.
    std::vector<std::string> aPass;
    int nPasses = 0;
    auto Check = [&](const std::vector<std::string>& a) {
        if (a.empty()) {
            return;
        }
        ++nPasses;
        size_t i = 1;
        while (i < a.size() && a[i].rfind("MDNS: Printer found: ", 0) == 0) {
            ++i;
        }
        EXPECT_GT(i, 1u) << "no browse reply in pass " << a[0];
        for (; i < a.size(); ++i) {
            const std::string& s = a[i];
            if (s.rfind("MDNS: Resolving ip-address and admin-url for ", 0) == 0) {
                ASSERT_LT(i + 1, a.size());
                const std::string& next = a[i + 1];
                EXPECT_TRUE(next.rfind("MDNS: Resolved ip-address '", 0) == 0 ||
                            next.rfind("[ERROR] MDNS: No ip-address for '", 0) == 0)
                    << s << " followed by " << next;
            } else {
                EXPECT_TRUE(s.rfind("MDNS: Resolved ip-address '", 0) == 0 ||
                            s.rfind("[ERROR] MDNS: ", 0) == 0)
                    << "unexpected in resolve phase: " << s;
            }
        }
    };
    for (const std::string& s : Lines()) {
        if (s.find("MDNS: ") == std::string::npos || s.find("hread") != std::string::npos ||
            s.find("reset data") != std::string::npos) {
            continue;  // the framework's own lines
        }
        if (s.rfind("MDNS: NameToQuery=", 0) == 0) {
            Check(aPass);
            aPass.clear();
        }
        aPass.push_back(s);
    }
    Check(aPass);
    EXPECT_EQ(nPasses, 2);
    const auto aLines = Lines();
    EXPECT_NE(std::find(aLines.begin(), aLines.end(), "MDNS: Printer found: Büro Drucker 3"), aLines.end());
    EXPECT_NE(std::find(aLines.begin(), aLines.end(), "MDNS: Resolved ip-address '192.0.2.11'"),
              aLines.end());
}

// Runs after the shared scan: these stop avahi-daemon.
class MdnsLabLast : public MdnsLab {};

TEST_F(MdnsLabLast, StopEndsTheSearchAtOnce) {
    auto pProvider = std::make_unique<CMDNSResponderClient>(NAMES);
    pProvider->ResetData();
    ASSERT_TRUE(pProvider->StartSearch());
    std::this_thread::sleep_for(1s);  // inside the browse phase
    const auto t0 = Clock::now();
    pProvider->StopSearch();
    EXPECT_FALSE(pProvider->IsSearching());
    pProvider.reset();  // joins the search thread: it must have left its wait
    EXPECT_LT(Clock::now() - t0, 200ms);
}

TEST_F(MdnsLabLast, DaemonGoneDuringAndBeforeASearch) {
    // avahi-daemon stops while a search browses: the search ends, soon.
    CMDNSResponderClient running(NAMES);
    ASSERT_TRUE(running.IsAvailable());
    const auto tDuring =
        RunScan(running, 500ms, [] { ASSERT_TRUE(g_pLab->StopAvahi("client")) << g_pLab->LastError(); });
    EXPECT_LT(tDuring.elapsed, 3s);
    EXPECT_NE(tDuring.nStatus, 0);

    // A provider asked afterwards: not available, said once, quickly.
    g_pTrace->Clear();
    CMDNSResponderClient provider(NAMES);
    const auto t0 = Clock::now();
    EXPECT_EQ(provider.IsAvailable(), 0);
    EXPECT_EQ(provider.IsAvailable(), 0);
    EXPECT_LT(Clock::now() - t0, 500ms);
    EXPECT_EQ(g_pTrace->With("MDNS: "),
              std::vector<std::string>{"[ERROR] MDNS: Printer Locator Service is not available."});

    // And a search started anyway fails at once for both types.
    const auto tAfter = RunScan(provider);
    EXPECT_LT(tAfter.elapsed, 1s);
    EXPECT_TRUE(tAfter.aPackets.empty());
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const std::string strSkip = CLab::SkipReason();
    if (!strSkip.empty()) {
        std::printf("skipped: %s\n", strSkip.c_str());
        return 77;  // CTest's skip
    }
    testing::AddGlobalTestEnvironment(new LabEnvironment());
    return RUN_ALL_TESTS();
}
