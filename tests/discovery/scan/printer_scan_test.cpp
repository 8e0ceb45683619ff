#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "fake_provider.h"
#include "printer_scan.h"

namespace {

using namespace std::chrono_literals;

struct Fakes {
    CFakeProvider* pMdns;
    CFakeProvider* pUpnp;
};

ProviderArray MakeProviders(Fakes& fakes, CFakeProvider::Script fnMdns, CFakeProvider::Script fnUpnp) {
    auto pMdns = std::make_unique<CFakeProvider>(PROVIDER_KIND_MDNS, u"MDNS", std::move(fnMdns));
    auto pUpnp = std::make_unique<CFakeProvider>(PROVIDER_KIND_UPNP, u"UPNP", std::move(fnUpnp));
    fakes = {pMdns.get(), pUpnp.get()};
    ProviderArray a;
    a.push_back(std::move(pMdns));
    a.push_back(std::move(pUpnp));
    return a;
}

// Ticks until `done` holds or two seconds pass.
bool TickUntil(CPrinterScan& scan, const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i) {
        scan.Tick();
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool RunToEnd(CPrinterScan& scan) {
    return TickUntil(scan, [&] { return scan.Tick() == 0; });
}

TEST(PrinterScan, FirstPacketWithAnAddressWinsWhicheverProviderMadeIt) {
    Fakes f{};
    std::atomic<bool> bUpnpDone{false};
    CPrinterScan scan(MakeProviders(
        f,
        [&](CFakeProvider& p) {
            // the UPnP packet for the shared address goes first
            while (!bUpnpDone.load()) std::this_thread::sleep_for(1ms);
            p.Append(u"mdns name", u"192.168.1.5", u"http://mdns/");
            p.Append(u"only mdns", u"192.168.1.6", u"");
        },
        [&](CFakeProvider& p) {
            p.Append(u"upnp name", u"192.168.1.5", u"http://upnp/");
            bUpnpDone = true;
        }));
    std::vector<std::u16string> added;
    scan.SetPrinterAddedCallback([&](const PrinterData& d) { added.push_back(d.strName); });

    const auto started = scan.StartScan(SearchOptions{});
    EXPECT_EQ(started.nStarted, 2);
    ASSERT_TRUE(RunToEnd(scan));

    const CPrinterList& list = scan.GetPrinterList();
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetAt(0).strName, u"upnp name");
    EXPECT_EQ(list.GetAt(0).strUrl, u"http://upnp/");
    EXPECT_EQ(list.GetAt(1).strIpAddress, u"192.168.1.6");
    EXPECT_EQ(added, (std::vector<std::u16string>{u"upnp name", u"only mdns"}));
}

// An mDNS packet is appended when the name is found and completed later,
// without the packet list growing; it must be listed at the first merge after.
class IncompletePacket : public ::testing::TestWithParam<bool> {};

TEST_P(IncompletePacket, IsListedAtTheFirstMergeAfterItsFlagIsSet) {
    const bool bUpnpFailed = GetParam();
    Fakes f{};
    std::atomic<int32_t> nIndex{-1};
    std::atomic<bool> bComplete{false};
    CPrinterScan scan(MakeProviders(
        f,
        [&](CFakeProvider& p) {
            nIndex = p.Append(u"late", u"10.0.0.7", u"", false);
            p.BlockSearch();
            p.Complete(nIndex);
            bComplete = true;
            p.BlockSearch();  // still searching: nothing else changes the list
        },
        [&](CFakeProvider& p) {
            if (bUpnpFailed) p.Fail(0x80004005);
        }));
    scan.StartScan(SearchOptions{});
    ASSERT_TRUE(TickUntil(scan, [&] { return nIndex.load() >= 0; }));
    for (int i = 0; i < 5; ++i) scan.Tick();
    EXPECT_EQ(scan.GetPrinterList().GetCount(), 0);

    f.pMdns->UnblockSearch();
    while (!bComplete.load()) std::this_thread::sleep_for(1ms);
    scan.Tick();
    ASSERT_EQ(scan.GetPrinterList().GetCount(), 1);
    EXPECT_EQ(scan.GetPrinterList().GetAt(0).strName, u"late");
    scan.StopScan();
}

INSTANTIATE_TEST_SUITE_P(UpnpStatus, IncompletePacket, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "UpnpFailed" : "UpnpOk"; });

TEST(PrinterScan, StartsOnlyAvailableAndSwitchedOnProviders) {
    struct Row {
        int32_t bMdns, bUpnp;
        bool bMdnsAvailable;
        int nEnabled, nAvailable;
        bool bMdnsSearched, bUpnpSearched;
    };
    const Row rows[] = {
        {1, 1, true, 2, 2, true, true},   {0, 1, true, 1, 1, false, true},
        {2, 0, true, 1, 1, true, false},  // any non-zero value switches a method on
        {0, 0, true, 0, 0, false, false}, {1, 1, false, 2, 1, false, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.bMdns << r.bUpnp << r.bMdnsAvailable);
        Fakes f{};
        CPrinterScan scan(MakeProviders(f, {}, {}));
        f.pMdns->m_bAvailable = r.bMdnsAvailable;
        SearchOptions options;
        options.bMdnsEnabled = r.bMdns;
        options.bUpnpEnabled = r.bUpnp;
        const auto result = scan.StartScan(options);
        EXPECT_EQ(result.nEnabled, r.nEnabled);
        EXPECT_EQ(result.nAvailable, r.nAvailable);
        EXPECT_EQ(result.nStarted, r.nAvailable);
        ASSERT_TRUE(RunToEnd(scan));
        // availability is asked whatever the options say
        EXPECT_EQ(f.pMdns->m_nAvailableCalls.load(), 1);
        EXPECT_EQ(f.pUpnp->m_nAvailableCalls.load(), 1);
        EXPECT_EQ(f.pMdns->m_nSearches.load() == 1, r.bMdnsSearched);
        EXPECT_EQ(f.pUpnp->m_nSearches.load() == 1, r.bUpnpSearched);
    }
}

// Tick merges per kind: a provider of a kind it does not know is refused at
// once, not left to search and list nothing.
TEST(PrinterScan, RefusesAProviderOfAnUnknownKind) {
    Fakes f{};
    ProviderArray a = MakeProviders(f, {}, {});
    a.push_back(std::make_unique<CFakeProvider>(7, u"OTHER"));
    CPrinterScan scan(std::move(a));
    SearchOptions options;
    options.bMdnsEnabled = options.bUpnpEnabled = 1;
    EXPECT_EQ(scan.StartScan(options).nEnabled, 2);
    ASSERT_TRUE(RunToEnd(scan));
}

TEST(PrinterScan, StopKeepsWhatWasFoundAndEndsTheScan) {
    Fakes f{};
    std::atomic<bool> bAppended{false};
    CPrinterScan scan(MakeProviders(
        f,
        [&](CFakeProvider& p) {
            p.Append(u"kept", u"10.0.0.1", u"");
            bAppended = true;
            p.BlockSearch();
            p.Append(u"after stop", u"10.0.0.2", u"");
        },
        [&](CFakeProvider& p) { p.BlockSearch(); }));
    scan.StartScan(SearchOptions{});
    ASSERT_TRUE(TickUntil(scan, [&] { return scan.GetPrinterList().GetCount() == 1; }));
    EXPECT_EQ(scan.Tick(), 2);
    scan.StopScan();
    EXPECT_EQ(scan.Tick(), 0);
    std::this_thread::sleep_for(50ms);
    scan.Tick();
    ASSERT_EQ(scan.GetPrinterList().GetCount(), 1);
    EXPECT_EQ(scan.GetPrinterList().GetAt(0).strName, u"kept");
}

TEST(PrinterScan, NewScanEmptiesTheList) {
    Fakes f{};
    std::atomic<int> nRun{0};
    CPrinterScan scan(MakeProviders(f,
                                    [&](CFakeProvider& p) {
                                        if (nRun++ == 0)
                                            p.Append(u"first", u"10.0.0.1", u"");
                                        else
                                            p.Append(u"second", u"10.0.0.2", u"");
                                    },
                                    {}));
    scan.StartScan(SearchOptions{});
    ASSERT_TRUE(RunToEnd(scan));
    ASSERT_EQ(scan.GetPrinterList().GetCount(), 1);

    scan.StartScan(SearchOptions{});
    EXPECT_EQ(scan.GetPrinterList().GetCount(), 0);
    ASSERT_TRUE(RunToEnd(scan));
    ASSERT_EQ(scan.GetPrinterList().GetCount(), 1);
    EXPECT_EQ(scan.GetPrinterList().GetAt(0).strName, u"second");
}

TEST(PrinterScan, FailedProvidersMergeNothingNew) {
    // Both searches failed: what they appended after the last merge stays out.
    Fakes f{};
    std::atomic<bool> bUpnpFailed{false};
    CPrinterScan scan(MakeProviders(
        f,
        [&](CFakeProvider& p) {
            p.Fail(1);
            while (!bUpnpFailed.load()) std::this_thread::sleep_for(1ms);
            p.Append(u"x", u"10.0.0.1", u"");
        },
        [&](CFakeProvider& p) {
            p.Fail(1);
            bUpnpFailed = true;
        }));
    scan.StartScan(SearchOptions{});
    ASSERT_TRUE(RunToEnd(scan));
    EXPECT_EQ(scan.GetPrinterList().GetCount(), 0);
}

TEST(PrinterScan, ShutdownStopsAndReleasesTheProviders) {
    Fakes f{};
    CPrinterScan scan(MakeProviders(
        f, [](CFakeProvider& p) { p.BlockSearch(); }, [](CFakeProvider& p) { p.BlockSearch(); }));
    scan.StartScan(SearchOptions{});
    const auto t0 = std::chrono::steady_clock::now();
    scan.Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_TRUE(scan.GetProviders().empty());
    EXPECT_EQ(scan.Tick(), 0);
}

}  // namespace
