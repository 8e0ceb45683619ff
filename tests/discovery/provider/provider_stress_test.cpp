// Many short scans of two providers while a reader polls the list every
// millisecond, as the window's tick does. Meant to run under ThreadSanitizer;
// it also checks that every packet the reader sees is whole and that nothing
// reaches the list once both searches were stopped.
#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>

#include "test_provider.h"

using namespace std::chrono_literals;

namespace {

std::u16string Text(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// A packet's three texts all carry the same tag, so a torn read shows.
MulticastDataPacket Tagged(const std::string& strTag, bool bComplete) {
    return MakePacket(Text(strTag), bComplete ? Text("ip-" + strTag) : u"",
                      bComplete ? Text("http://" + strTag + "/") : u"", bComplete);
}

bool IsWhole(const MulticastDataPacket& packet) {
    const std::u16string& tag = packet.strName;
    if (tag.empty()) {
        return false;
    }
    if (packet.bComplete == 0) {
        return packet.strIpAddress.empty() && packet.strUrl.empty();
    }
    return packet.strIpAddress == u"ip-" + tag && packet.strUrl == u"http://" + tag + u"/";
}

// "m1.2.3": appended piece by piece, as GCC 12 at -O3 takes "m" + std::string
// for an overlapping copy (-Werror=restrict).
std::string TagText(char cKind, std::initializer_list<int> aNumbers) {
    std::string strTag(1, cKind);
    for (int n : aNumbers) {
        if (strTag.size() > 1) strTag += '.';
        strTag += std::to_string(n);
    }
    return strTag;
}

// Like an mDNS pass: under one hold of the packet lock, append incomplete
// packets, then complete them one by one, pausing in between.
void PassBody(CTestProvider& p, int nScan) {
    for (int nPass = 0; nPass < 2 && !p.IsStopRequested(); ++nPass) {
        p.LockPackets();
        std::vector<int32_t> aIndexes;
        for (int i = 0; i < 4; ++i) {
            int32_t nIndex = p.AppendPacket(Tagged(TagText('m', {nScan, nPass, i}), false));
            if (nIndex >= 0) {
                aIndexes.push_back(nIndex);
            }
        }
        for (int32_t nIndex : aIndexes) {
            if (p.WaitForStop(1ms)) {
                break;
            }
            p.UpdatePacket(nIndex, [](MulticastDataPacket& packet) {
                const std::u16string tag = packet.strName;
                packet.strIpAddress = u"ip-" + tag;
                packet.strUrl = u"http://" + tag + u"/";
                packet.bComplete = 1;
            });
        }
        if (nScan % 5 == 0) {
            // A query that never answers: only the limit ends this pass, and
            // the other provider's appends wait for the lock until then.
            p.WaitForStop(1h);
        }
        p.UnlockPackets();
    }
}

// Like the UPnP search: complete packets, the lock taken for each append.
void AppendBody(CTestProvider& p, int nScan) {
    for (int i = 0; i < 8 && !p.WaitForStop(1ms); ++i) {
        AppendLocked(p, Tagged(TagText('u', {nScan, i}), true));
    }
}

std::vector<MulticastDataPacket> Snapshot() {
    std::vector<MulticastDataPacket> aPackets;
    const int32_t n = CMulticastDataProvider::GetPacketCount();
    for (int32_t i = 0; i < n; ++i) {
        MulticastDataPacket packet;
        if (CMulticastDataProvider::GetPacket(i, packet)) {
            aPackets.push_back(packet);
        }
    }
    return aPackets;
}

bool SameList(const std::vector<MulticastDataPacket>& a, const std::vector<MulticastDataPacket>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].strName != b[i].strName || a[i].strIpAddress != b[i].strIpAddress ||
            a[i].strUrl != b[i].strUrl || a[i].bComplete != b[i].bComplete) {
            return false;
        }
    }
    return true;
}

TEST(ProviderStressTest, ShortScansWithAPollingReader) {
    CTraceCapture trace;  // the trace log's lock takes part too
    std::atomic<int> nScan{0};
    CTestProvider mdns(
        u"M", [&](CTestProvider& p) { PassBody(p, nScan.load()); }, 40ms, PROVIDER_KIND_MDNS);
    CTestProvider upnp(
        u"U", [&](CTestProvider& p) { AppendBody(p, nScan.load()); }, 40ms, PROVIDER_KIND_UPNP);

    std::atomic<bool> bDone{false};
    std::atomic<long> nReads{0};
    std::atomic<long> nTorn{0};
    std::thread reader([&] {
        while (!bDone.load()) {
            for (const MulticastDataPacket& packet : Snapshot()) {
                nReads.fetch_add(1);
                if (!IsWhole(packet)) {
                    nTorn.fetch_add(1);
                }
            }
            (void)mdns.IsSearching();
            (void)upnp.GetStatus();
            std::this_thread::sleep_for(1ms);
        }
    });

    std::mt19937 rng(12345);
    const auto tEnd = std::chrono::steady_clock::now() + 3s;
    int nStopped = 0;
    int nLateChanges = 0;
    int nTimedOut = 0;
    while (std::chrono::steady_clock::now() < tEnd) {
        nScan.fetch_add(1);
        mdns.ResetData();
        upnp.ResetData();
        ASSERT_EQ(mdns.StartSearch(), 1);
        ASSERT_EQ(upnp.StartSearch(), 1);
        const int nHow = static_cast<int>(rng() % 3);
        if (nHow == 0) {
            // The window stops the scan part-way.
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 15));
            mdns.StopSearch();
            upnp.StopSearch();
            ASSERT_FALSE(mdns.IsSearching());
            ASSERT_FALSE(upnp.IsSearching());
            ++nStopped;
            const auto aAtStop = Snapshot();
            mdns.StopAndJoin();
            upnp.StopAndJoin();
            if (!SameList(aAtStop, Snapshot())) {
                ++nLateChanges;
            }
        } else {
            // The scan ends by itself or at the limit.
            ASSERT_TRUE(WaitUntil([&] { return !mdns.IsSearching() && !upnp.IsSearching(); }, 2s));
            const auto aAtEnd = Snapshot();
            mdns.StopAndJoin();
            upnp.StopAndJoin();
            if (!SameList(aAtEnd, Snapshot())) {
                ++nLateChanges;
            }
            nTimedOut += mdns.GetStatus() == 258 ? 1 : 0;
        }
    }
    mdns.StopAndJoin();
    upnp.StopAndJoin();
    bDone = true;
    reader.join();

    EXPECT_GT(nScan.load(), 20);
    EXPECT_GT(nStopped, 0);
    EXPECT_GT(nTimedOut, 0);
    EXPECT_GT(nReads.load(), 0);
    EXPECT_EQ(nTorn.load(), 0);
    EXPECT_EQ(nLateChanges, 0);
}

}  // namespace
