// The provider framework with test bodies: how searches end, what the trace
// shows for each way, what stays in the shared packet list.
#include <gtest/gtest.h>
#include <poll.h>

#include <condition_variable>
#include <mutex>

#include "test_provider.h"

using namespace std::chrono_literals;

namespace {

// "T: Searchthread (tid=0x....) successfully started." with at least four
// upper-case hex digits.
bool IsStartedLine(const std::string& text) {
    const std::string strHead = "T: Searchthread (tid=0x";
    const std::string strTail = ") successfully started.";
    if (text.rfind(strHead, 0) != 0 || text.size() < strHead.size() + 4 + strTail.size() ||
        text.compare(text.size() - strTail.size(), strTail.size(), strTail) != 0) {
        return false;
    }
    const std::string hex = text.substr(strHead.size(), text.size() - strHead.size() - strTail.size());
    return hex.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        CTestProvider reset(u"R", nullptr);
        reset.ResetData();
    }
    CTraceCapture m_trace;
};

// Every search writes the same two start lines first.
void ExpectStartLines(const std::vector<std::string>& texts) {
    ASSERT_GE(texts.size(), 2u);
    EXPECT_TRUE(IsStartedLine(texts[0])) << texts[0];
    EXPECT_EQ(texts[1], "T: Controlhread successfully started.");
}

std::vector<std::string> After(const std::vector<std::string>& texts, size_t n) {
    return std::vector<std::string>(texts.begin() + std::min(n, texts.size()), texts.end());
}

// ---------------------------------------------------------------------------
// A body that returns by itself: one "finished" line, the status it left,
// its packets, and no waiting out the limit.

struct ReturnCase {
    const char* pszName;
    int32_t nStatus;  // stored by the body
    int nPackets;     // appended by the body
};

class BodyReturnsTest : public ProviderTest, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(BodyReturnsTest, EndsWithFinishedOnlyAndKeepsStatusAndPackets) {
    const ReturnCase& c = GetParam();
    CTestProvider provider(
        u"T",
        [&c](CTestProvider& p) {
            for (int i = 0; i < c.nPackets; ++i) {
                EXPECT_EQ(AppendLocked(p, MakePacket(u"n", u"10.0.0.1", u"", true)), i);
            }
            if (c.nStatus != 0) {
                p.SetStatus(c.nStatus);
            }
        },
        5s);
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(provider.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !provider.IsSearching(); }, 2s));
    provider.StopAndJoin();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, 1s) << "waited out the limit";

    EXPECT_EQ(provider.GetStatus(), c.nStatus);
    EXPECT_EQ(CMulticastDataProvider::GetPacketCount(), c.nPackets);
    const auto texts = m_trace.Texts("T: ");
    ExpectStartLines(texts);
    EXPECT_EQ(After(texts, 2), std::vector<std::string>{"T: Searchthread finished."});
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodyReturnsTest,
                         ::testing::Values(ReturnCase{"AtOnce", 0, 0}, ReturnCase{"WithFailure", 0x1234, 0},
                                           ReturnCase{"WithPackets", 0, 3},
                                           ReturnCase{"WithPacketsAndFailure", -65537, 2}),
                         [](const auto& info) { return std::string(info.param.pszName); });

// ---------------------------------------------------------------------------
// Searches that end by the limit or by the window's stop.

// A body that appends one packet, then only waits on the stop request, and
// afterwards tries to add and complete more: all of that must be dropped.
struct BlockingBody {
    std::atomic<int32_t> nLateAppend{0};
    std::atomic<bool> bLateUpdate{true};
    std::atomic<bool> bReturned{false};
    int32_t nStatusBefore = 0;

    CTestProvider::Body Make() {
        return [this](CTestProvider& p) {
            AppendLocked(p, MakePacket(u"early", u"10.0.0.1", u"", true));
            AppendLocked(p, MakePacket(u"half", u"", u"", false));
            if (nStatusBefore != 0) {
                p.SetStatus(nStatusBefore);
            }
            while (!p.WaitForStop(1h)) {
            }
            p.LockPackets();
            nLateAppend = p.AppendPacket(MakePacket(u"late", u"10.0.0.2", u"", true));
            bLateUpdate = p.UpdatePacket(1, [](MulticastDataPacket& packet) {
                packet.strIpAddress = u"10.0.0.3";
                packet.bComplete = 1;
            });
            p.UnlockPackets();
            p.SetStatus(99);
            bReturned = true;
        };
    }

    void ExpectNothingLate() const {
        EXPECT_EQ(nLateAppend.load(), -1);
        EXPECT_FALSE(bLateUpdate.load());
        ASSERT_EQ(CMulticastDataProvider::GetPacketCount(), 2);
        MulticastDataPacket packet;
        ASSERT_TRUE(CMulticastDataProvider::GetPacket(1, packet));
        EXPECT_EQ(packet.strName, u"half");
        EXPECT_EQ(packet.strIpAddress, u"");
        EXPECT_EQ(packet.bComplete, 0);
    }
};

TEST_F(ProviderTest, BodyThatNeverReturnsIsEndedAtTheLimitWithStatus258) {
    BlockingBody body;
    CTestProvider provider(u"T", body.Make(), 300ms);
    const auto tStart = std::chrono::steady_clock::now();
    ASSERT_EQ(provider.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !provider.IsSearching(); }, 3s));
    const auto elapsed = std::chrono::steady_clock::now() - tStart;
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 1500ms);
    EXPECT_EQ(provider.GetStatus(), 258);

    // The body sees the stop and returns; what it did afterwards is dropped.
    ASSERT_TRUE(WaitUntil([&] { return body.bReturned.load(); }, 1s));
    provider.StopAndJoin();
    EXPECT_EQ(provider.GetStatus(), 258);
    body.ExpectNothingLate();

    const auto texts = m_trace.Texts("T: ");
    ExpectStartLines(texts);
    EXPECT_EQ(After(texts, 2),
              (std::vector<std::string>{"[ERROR] T: Timeout occured. Searchthread will be stopped.",
                                        "T: Searchthread finished.", "T: Searchthread terminated."}));
}

TEST_F(ProviderTest, StopFromTheWindowIsImmediateAndKeepsTheStatus) {
    BlockingBody body;
    body.nStatusBefore = 7;
    CTestProvider provider(u"T", body.Make(), 30s);
    ASSERT_EQ(provider.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([] { return CMulticastDataProvider::GetPacketCount() == 2; }, 2s));
    ASSERT_TRUE(WaitUntil([&] { return provider.GetStatus() == 7; }, 2s));

    const auto tStop = std::chrono::steady_clock::now();
    provider.StopSearch();
    EXPECT_LT(std::chrono::steady_clock::now() - tStop, 100ms);
    EXPECT_FALSE(provider.IsSearching());

    ASSERT_TRUE(WaitUntil([&] { return body.bReturned.load(); }, 1s));
    provider.StopAndJoin();
    EXPECT_EQ(provider.GetStatus(), 7);
    body.ExpectNothingLate();

    const auto lines = m_trace.Lines("T: ");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].strText, "T: Searchthread terminated.");
    EXPECT_EQ(lines[2].nThreadId, static_cast<unsigned>(gettid())) << "written by the stopping thread";
    EXPECT_EQ(lines[3].strText, "T: Searchthread finished.");
    EXPECT_NE(lines[3].nThreadId, static_cast<unsigned>(gettid()));
}

// Each way a body can wait: the stop must end the wait within 100 ms.
struct WaitCase {
    const char* pszName;
    CTestProvider::Body fnWait;
};

class StopWakesTest : public ProviderTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(StopWakesTest, StopEndsTheLongestWaitWithin100ms) {
    std::atomic<bool> bWaiting{false};
    std::atomic<bool> bReturned{false};
    CTestProvider provider(
        u"T",
        [&](CTestProvider& p) {
            bWaiting = true;
            GetParam().fnWait(p);
            bReturned = true;
        },
        30s);
    ASSERT_EQ(provider.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([&] { return bWaiting.load(); }, 2s));
    std::this_thread::sleep_for(20ms);  // well inside the wait

    const auto tStop = std::chrono::steady_clock::now();
    provider.StopSearch();
    EXPECT_FALSE(provider.IsSearching());
    EXPECT_TRUE(WaitUntil([&] { return bReturned.load(); }, 100ms));
    provider.StopAndJoin();
    EXPECT_LT(std::chrono::steady_clock::now() - tStop, 150ms);
}

INSTANTIATE_TEST_SUITE_P(Waits, StopWakesTest,
                         ::testing::Values(WaitCase{"WaitForStop",
                                                    [](CTestProvider& p) { p.WaitForStop(1h); }},
                                           WaitCase{"PollOnStopFd",
                                                    [](CTestProvider& p) {
                                                        pollfd pfd{p.GetStopFd(), POLLIN, 0};
                                                        ASSERT_GE(pfd.fd, 0);
                                                        while (poll(&pfd, 1, 3600 * 1000) == 0) {
                                                        }
                                                    }},
                                           WaitCase{"ForeignLoopWithWaker",
                                                    [](CTestProvider& p) {
                                                        // Stands for a library loop that knows nothing of the
                                                        // stop.
                                                        std::mutex mtx;
                                                        std::condition_variable cv;
                                                        bool bWoken = false;
                                                        p.SetStopWaker([&] {
                                                            std::lock_guard<std::mutex> lock(mtx);
                                                            bWoken = true;
                                                            cv.notify_all();
                                                        });
                                                        {
                                                            std::unique_lock<std::mutex> lock(mtx);
                                                            cv.wait_for(lock, 1h, [&] { return bWoken; });
                                                        }
                                                        p.SetStopWaker(nullptr);
                                                    }},
                                           WaitCase{"WhileHoldingThePacketLock",
                                                    [](CTestProvider& p) {
                                                        p.LockPackets();
                                                        p.WaitForStop(1h);
                                                        p.UnlockPackets();
                                                    }}),
                         [](const auto& info) { return std::string(info.param.pszName); });

TEST_F(ProviderTest, WakerSetAfterTheStopIsCalledAtOnce) {
    std::atomic<int> nWakes{0};
    CTestProvider provider(
        u"T",
        [&](CTestProvider& p) {
            while (!p.IsStopRequested()) {
                std::this_thread::sleep_for(1ms);
            }
            p.SetStopWaker([&] { ++nWakes; });
            p.SetStopWaker(nullptr);
        },
        30s);
    ASSERT_EQ(provider.StartSearch(), 1);
    provider.StopSearch();
    provider.StopAndJoin();
    EXPECT_EQ(nWakes.load(), 1);
}

// ---------------------------------------------------------------------------
// The shared list and the lifecycle around it.

TEST_F(ProviderTest, ResetDataOnEitherProviderEmptiesThePacketsOfBoth) {
    auto fnAppend = [](const char16_t* pszName) {
        return [pszName](CTestProvider& p) { AppendLocked(p, MakePacket(pszName, u"10.0.0.9", u"", true)); };
    };
    CTestProvider mdns(u"M", fnAppend(u"from-m"), 5s, PROVIDER_KIND_MDNS);
    CTestProvider upnp(u"U", fnAppend(u"from-u"), 5s, PROVIDER_KIND_UPNP);
    for (CTestProvider* pReset : {&mdns, &upnp}) {
        ASSERT_EQ(mdns.StartSearch(), 1);
        ASSERT_EQ(upnp.StartSearch(), 1);
        ASSERT_TRUE(WaitUntil([&] { return !mdns.IsSearching() && !upnp.IsSearching(); }, 2s));
        mdns.StopAndJoin();
        upnp.StopAndJoin();
        ASSERT_EQ(CMulticastDataProvider::GetPacketCount(), 2);
        pReset->ResetData();
        EXPECT_EQ(CMulticastDataProvider::GetPacketCount(), 0);
        MulticastDataPacket packet;
        EXPECT_FALSE(CMulticastDataProvider::GetPacket(0, packet));
    }
    EXPECT_EQ(m_trace.Texts("M: reset data."), std::vector<std::string>{"M: reset data."});
    EXPECT_EQ(m_trace.Texts("U: reset data."), std::vector<std::string>{"U: reset data."});
}

TEST_F(ProviderTest, StopOnAProviderThatNeverSearchedWritesNothing) {
    CTestProvider provider(u"T", nullptr);
    provider.StopSearch();
    provider.StopSearch();
    EXPECT_FALSE(provider.IsSearching());
    EXPECT_EQ(provider.GetStatus(), 0);
    EXPECT_TRUE(m_trace.Texts("T: ").empty());
    EXPECT_EQ(provider.m_nRuns.load(), 0);
}

TEST_F(ProviderTest, StartedLineNamesTheSearchThread) {
    std::atomic<pid_t> nTid{0};
    CTestProvider provider(
        u"T", [&](CTestProvider&) { nTid = gettid(); }, 5s);
    ASSERT_EQ(provider.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !provider.IsSearching(); }, 2s));
    provider.StopAndJoin();
    const auto lines = m_trace.Lines("T: ");
    ASSERT_FALSE(lines.empty());
    char szExpected[80];
    snprintf(szExpected, sizeof szExpected, "T: Searchthread (tid=0x%04X) successfully started.",
             static_cast<unsigned>(nTid.load()));
    EXPECT_EQ(lines[0].strText, szExpected);
    EXPECT_EQ(lines[0].nThreadId, static_cast<unsigned>(gettid()));
}

TEST_F(ProviderTest, SearchThreadThatCannotStartLeavesTheProviderIdle) {
    CTestProvider provider(
        u"T", [](CTestProvider& p) { p.WaitForStop(1h); }, 100ms);
    provider.m_nFailSearchStart = 11;
    EXPECT_EQ(provider.StartSearch(), 0);
    EXPECT_FALSE(provider.IsSearching());
    provider.StopSearch();  // nothing to end
    EXPECT_EQ(m_trace.Texts("T: "),
              std::vector<std::string>{"[ERROR] T: Could not start search thread. (0x0000000B)"});

    // The next start works normally.
    provider.m_nFailSearchStart = 0;
    EXPECT_EQ(provider.StartSearch(), 1);
    EXPECT_TRUE(WaitUntil([&] { return !provider.IsSearching(); }, 2s));
    EXPECT_EQ(provider.GetStatus(), 258);
    EXPECT_EQ(provider.m_nRuns.load(), 1);
}

TEST_F(ProviderTest, ControlThreadThatCannotStartLeavesASearchWithoutLimit) {
    CTestProvider provider(
        u"T", [](CTestProvider& p) { p.WaitForStop(1h); }, 50ms);
    provider.m_nFailControlStart = 12;
    EXPECT_EQ(provider.StartSearch(), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(provider.IsSearching()) << "no limit without the control thread";
    provider.StopSearch();
    EXPECT_FALSE(provider.IsSearching());
    provider.StopAndJoin();
    const auto texts = m_trace.Texts("T: ");
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_TRUE(IsStartedLine(texts[0])) << texts[0];
    EXPECT_EQ(texts[1], "[ERROR] T: Could not start check thread. (0x0000000C)");
    EXPECT_EQ(texts[2], "T: Searchthread terminated.");
}

TEST_F(ProviderTest, DestroyingASearchingProviderStopsAndJoinsIt) {
    std::atomic<bool> bReturned{false};
    {
        CTestProvider provider(
            u"T",
            [&](CTestProvider& p) {
                p.WaitForStop(1h);
                bReturned = true;
            },
            30s);
        ASSERT_EQ(provider.StartSearch(), 1);
    }
    EXPECT_TRUE(bReturned.load());
    const auto texts = m_trace.Texts("T: ");
    EXPECT_EQ(After(texts, 2),
              (std::vector<std::string>{"T: Searchthread terminated.", "T: Searchthread finished."}));
}

TEST_F(ProviderTest, ProgramEndingDuringASearchStopsAndJoinsIt) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child writes to this test's trace file
    EXPECT_EXIT(
        {
            // Never destroyed, as the window's providers need not be.
            auto* pProvider = new CTestProvider(
                u"T",
                [](CTestProvider& p) {
                    p.WaitForStop(1h);
                    std::this_thread::sleep_for(50ms);  // the exit must wait for this
                    TraceMessage(TRACE_INFO, nullptr, u"T: body saw the stop.");
                },
                30s);
            pProvider->StartSearch();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const auto texts = m_trace.Texts("T: ");
    EXPECT_EQ(After(texts, 2),
              (std::vector<std::string>{"T: Searchthread terminated.", "T: Searchthread finished.",
                                        "T: body saw the stop."}));
}

TEST_F(ProviderTest, RestartAfterAStopGivesTheNewScanAFreshStopRequest) {
    std::atomic<int> nStopsSeenAtStart{0};
    CTestProvider provider(
        u"T",
        [&](CTestProvider& p) {
            nStopsSeenAtStart += p.IsStopRequested() ? 1 : 0;
            AppendLocked(p, MakePacket(u"x", u"10.0.0.1", u"", true));
            p.WaitForStop(1h);
        },
        30s);
    for (int i = 0; i < 3; ++i) {
        provider.ResetData();
        ASSERT_EQ(provider.StartSearch(), 1);
        ASSERT_TRUE(WaitUntil([] { return CMulticastDataProvider::GetPacketCount() == 1; }, 2s));
        provider.StopSearch();
    }
    provider.StopAndJoin();
    EXPECT_EQ(nStopsSeenAtStart.load(), 0);
    EXPECT_EQ(provider.m_nRuns.load(), 3);
    EXPECT_EQ(CMulticastDataProvider::GetPacketCount(), 1);
}

TEST_F(ProviderTest, PacketLockLeftHeldByABodyIsReleased) {
    CTestProvider careless(
        u"A", [](CTestProvider& p) { p.LockPackets(); }, 5s);
    ASSERT_EQ(careless.StartSearch(), 1);
    careless.StopAndJoin();
    CTestProvider next(
        u"B", [](CTestProvider& p) { AppendLocked(p, MakePacket(u"b", u"", u"", true)); }, 5s);
    ASSERT_EQ(next.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !next.IsSearching(); }, 2s));
    EXPECT_EQ(next.GetStatus(), 0);
    EXPECT_EQ(CMulticastDataProvider::GetPacketCount(), 1);
}

TEST_F(ProviderTest, WindowReadsWhileAPassHoldsThePacketLock) {
    std::atomic<bool> bHolding{false};
    CTestProvider provider(
        u"T",
        [&](CTestProvider& p) {
            p.LockPackets();
            int32_t nIndex = p.AppendPacket(MakePacket(u"printer", u"", u"", false));
            p.UpdatePacket(nIndex, [](MulticastDataPacket& packet) {
                packet.strIpAddress = u"10.0.0.5";
                packet.strUrl = u"http://10.0.0.5/";
                packet.bComplete = 1;
            });
            bHolding = true;
            p.WaitForStop(1h);
            p.UnlockPackets();
        },
        30s);
    ASSERT_EQ(provider.StartSearch(), 1);
    ASSERT_TRUE(WaitUntil([&] { return bHolding.load(); }, 2s));
    MulticastDataPacket packet;
    const auto tRead = std::chrono::steady_clock::now();
    ASSERT_EQ(CMulticastDataProvider::GetPacketCount(), 1);
    ASSERT_TRUE(CMulticastDataProvider::GetPacket(0, packet));
    EXPECT_LT(std::chrono::steady_clock::now() - tRead, 50ms);
    EXPECT_EQ(packet.strIpAddress, u"10.0.0.5");
    EXPECT_EQ(packet.strUrl, u"http://10.0.0.5/");
    EXPECT_EQ(packet.bComplete, 1);
    // The copy is the caller's: building its UTF-8 form leaves the list alone.
    EXPECT_STREQ(packet.strName.GetNarrow(), "printer");
    packet.strName = u"changed";
    MulticastDataPacket again;
    ASSERT_TRUE(CMulticastDataProvider::GetPacket(0, again));
    EXPECT_EQ(again.strName, u"printer");
    EXPECT_FALSE(CMulticastDataProvider::GetPacket(1, again));
    EXPECT_FALSE(CMulticastDataProvider::GetPacket(-1, again));
}

}  // namespace
