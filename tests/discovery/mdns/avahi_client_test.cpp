// The avahi D-Bus client against a scripted avahi-daemon on a private bus
// (no root, no network): what the daemon sends and when, a daemon that
// leaves or never answers, and a session that gives back all it made.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "bounded_bus.h"
#include "dnssd_client.h"
#include "fake_avahi_daemon.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using fake_avahi::FoundAt;

namespace {

// A session of the system's client, with the stop descriptor of a search.
class Session {
public:
    explicit Session(bool bStoppedAlready = false) {
        EXPECT_EQ(pipe(m_aStop), 0);
        if (bStoppedAlready) {
            Stop();
        }
        m_pSession = CreateSystemDnsSdClient()->OpenSession(m_aStop[0]);
    }
    ~Session() {
        m_pSession.reset();
        close(m_aStop[0]);
        close(m_aStop[1]);
    }
    void Stop() { EXPECT_EQ(write(m_aStop[1], "x", 1), 1); }
    CDnsSdSession* operator->() { return m_pSession.get(); }

    // Waits until tEnd for replies; what the last Wait said.
    DnsSdWait WaitUntil(Clock::time_point tEnd, const std::function<bool()>& fnEnough, int32_t& nError) {
        DnsSdWait result = DnsSdWait::TIMEOUT;
        while (!fnEnough() && (result = m_pSession->Wait(tEnd, nError)) == DnsSdWait::READY) {
        }
        return result;
    }

    std::unique_ptr<CDnsSdOperation> Resolve(const char* pszName, std::vector<DnsSdResolveReply>& aReplies) {
        std::unique_ptr<CDnsSdOperation> pOperation;
        EXPECT_EQ(m_pSession->Resolve(
                      pszName, "_printer._tcp", "local",
                      [&aReplies](const DnsSdResolveReply& r) { aReplies.push_back(r); }, pOperation),
                  0);
        return pOperation;
    }

private:
    int m_aStop[2] = {-1, -1};
    std::unique_ptr<CDnsSdSession> m_pSession;
};

struct FoundCase {
    const char* pszName;
    FoundAt foundAt;
    int nStrangers;  // Found signals for paths nobody asked for, sent before it
    bool bDelivered;
};

class AvahiFound : public testing::TestWithParam<FoundCase> {};

// avahi 0.8 may send Found before Start is answered, even before the
// Prepare reply names the object; a flood for unknown paths is held only up
// to a cap, so past it an early Found is lost, never memory.
TEST_P(AvahiFound, DeliveredOnceWhateverItsTimingUpToTheCap) {
    const FoundCase& c = GetParam();
    fake_avahi::Script script;
    script.foundAt = c.foundAt;
    script.nStrangersBeforeFound = c.nStrangers;
    fake_avahi::Daemon daemon(script);
    Session session;
    std::vector<DnsSdResolveReply> aReplies;
    auto pResolve = session.Resolve("Office Laser", aReplies);
    int32_t nError = 0;
    session.WaitUntil(
        Clock::now() + (c.bDelivered ? 5s : 500ms), [&] { return !aReplies.empty(); }, nError);
    session->Wait(Clock::now() + 50ms, nError);  // nothing more comes
    if (!c.bDelivered) {
        EXPECT_TRUE(aReplies.empty());
        return;
    }
    ASSERT_EQ(aReplies.size(), 1u);
    EXPECT_EQ(aReplies[0].nError, 0);
    EXPECT_EQ(aReplies[0].strFullName, "Office\\032Laser._printer._tcp.local.");
    EXPECT_EQ(aReplies[0].strHostTarget, "printer.local.");
    EXPECT_EQ(aReplies[0].nPortNetOrder, htons(631));
}

INSTANTIATE_TEST_SUITE_P(
    Timings, AvahiFound,
    testing::Values(
        FoundCase{"AfterStart", FoundAt::AFTER_START_REPLY, 0, true},
        FoundCase{"BeforeStart", FoundAt::BEFORE_START_REPLY, 0, true},
        FoundCase{"BeforePrepareReply", FoundAt::BEFORE_PREPARE_REPLY, 0, true},
        FoundCase{"BeforePrepareReplyAfterStrangersBelowCap", FoundAt::BEFORE_PREPARE_REPLY, 4000, true},
        FoundCase{"BeforePrepareReplyAfterStrangersPastCap", FoundAt::BEFORE_PREPARE_REPLY, 4200, false},
        FoundCase{"AfterStartAfterStrangersPastCap", FoundAt::AFTER_START_REPLY, 4200, true}),
    [](const testing::TestParamInfo<FoundCase>& info) { return std::string(info.param.pszName); });

TEST(AvahiClient, SignalFromAnotherBusMemberIsIgnored) {
    fake_avahi::Script script;
    script.bForeignFoundFirst = true;
    fake_avahi::Daemon daemon(script);
    Session session;
    std::vector<DnsSdResolveReply> aReplies;
    auto pResolve = session.Resolve("Office Laser", aReplies);
    int32_t nError = 0;
    session.WaitUntil(
        Clock::now() + 5s, [&] { return !aReplies.empty(); }, nError);
    session->Wait(Clock::now() + 50ms, nError);
    ASSERT_EQ(aReplies.size(), 1u);
    EXPECT_EQ(aReplies[0].strHostTarget, "printer.local.");
}

// A resolve the daemon refuses is under way all the same: its failure comes
// as a reply with its error, inside Wait, and the other resolve goes on.
TEST(AvahiClient, RefusedResolveRepliesWithItsError) {
    fake_avahi::Daemon daemon({});
    Session session;
    std::vector<DnsSdResolveReply> aRefused;
    std::vector<DnsSdResolveReply> aReplies;
    auto pRefused = session.Resolve("Refused", aRefused);
    auto pResolve = session.Resolve("Office Laser", aReplies);
    EXPECT_TRUE(aRefused.empty());
    int32_t nError = 0;
    session.WaitUntil(
        Clock::now() + 5s, [&] { return !aRefused.empty() && !aReplies.empty(); }, nError);
    ASSERT_EQ(aRefused.size(), 1u);
    EXPECT_EQ(aRefused[0].nError, DNSSD_ERR_UNKNOWN);
    ASSERT_EQ(aReplies.size(), 1u);
    EXPECT_EQ(aReplies[0].nError, 0);
}

TEST(AvahiClient, DaemonLeavingMidResolveEndsTheWaitAtOnce) {
    fake_avahi::Script script;
    script.bLeaveBusOnResolve = true;
    fake_avahi::Daemon daemon(script);
    Session session;
    std::vector<DnsSdResolveReply> aReplies;
    auto pResolve = session.Resolve("Office Laser", aReplies);
    const auto t0 = Clock::now();
    int32_t nError = 0;
    EXPECT_EQ(session.WaitUntil(
                  Clock::now() + 5s, [] { return false; }, nError),
              DnsSdWait::LOST);
    EXPECT_EQ(nError, DNSSD_ERR_SERVICE_NOT_RUNNING);
    EXPECT_LT(Clock::now() - t0, 2s);
    // Nothing new starts on a daemon that has gone.
    std::unique_ptr<CDnsSdOperation> pAnother;
    EXPECT_EQ(session->Resolve(
                  "Other", "_printer._tcp", "local", [](const DnsSdResolveReply&) {}, pAnother),
              DNSSD_ERR_SERVICE_NOT_RUNNING);
}

TEST(AvahiClient, ReplyThatNeverComesCostsTheWaitsBoundOnly) {
    fake_avahi::Daemon daemon({});
    const auto t0 = Clock::now();
    {
        Session session;
        std::vector<DnsSdResolveReply> aReplies;
        auto pResolve = session.Resolve("Silent", aReplies);
        int32_t nError = 0;
        EXPECT_EQ(session.WaitUntil(
                      Clock::now() + 300ms, [] { return false; }, nError),
                  DnsSdWait::TIMEOUT);
        EXPECT_TRUE(aReplies.empty());
    }
    EXPECT_LT(Clock::now() - t0, 1s) << "the teardown waited for the unanswered call";
}

// A stop while Browse waits for avahi's answer to Start ends the search: it
// is no failure to browse, and the next Wait says STOPPED.
TEST(AvahiClient, StopWhileBrowseWaitsForStartIsNoError) {
    fake_avahi::Script script;
    script.nBrowseStartDelayMs = -1;
    fake_avahi::Daemon daemon(script);
    Session session;
    std::thread stopper([&session] {
        std::this_thread::sleep_for(100ms);
        session.Stop();
    });
    const auto t0 = Clock::now();
    std::unique_ptr<CDnsSdOperation> pBrowse;
    EXPECT_EQ(session->Browse(
                  "_printer._tcp", "local", [](const DnsSdBrowseReply&) {}, pBrowse),
              0);
    EXPECT_LT(Clock::now() - t0, 1s);
    stopper.join();
    int32_t nError = 0;
    EXPECT_EQ(session->Wait(Clock::now() + 1s, nError), DnsSdWait::STOPPED);
}

// The client promises every callback runs inside Wait: not inside a Browse
// that waits for its Start while other operations are answered.
TEST(AvahiClient, CallbacksRunOnlyInsideWait) {
    fake_avahi::Script script;
    script.nBrowseStartDelayMs = 300;
    fake_avahi::Daemon daemon(script);
    Session session;
    bool bInsideWait = false;
    int nOutsideWait = 0;
    std::vector<std::string> aSeen;
    std::unique_ptr<CDnsSdOperation> pResolve;
    ASSERT_EQ(session->Resolve(
                  "Office Laser", "_printer._tcp", "local",
                  [&](const DnsSdResolveReply& r) {
                      nOutsideWait += bInsideWait ? 0 : 1;
                      aSeen.push_back(r.strHostTarget);
                  },
                  pResolve),
              0);
    std::unique_ptr<CDnsSdOperation> pRecord;
    ASSERT_EQ(session->QueryRecord(
                  "printer.local", 1, 1,
                  [&](const DnsSdRecordReply& r) {
                      nOutsideWait += bInsideWait ? 0 : 1;
                      aSeen.push_back(r.strData);
                  },
                  pRecord),
              0);
    std::unique_ptr<CDnsSdOperation> pBrowse;
    ASSERT_EQ(session->Browse(
                  "_printer._tcp", "local",
                  [&](const DnsSdBrowseReply& r) {
                      nOutsideWait += bInsideWait ? 0 : 1;
                      aSeen.push_back(r.strName);
                  },
                  pBrowse),
              0);
    int32_t nError = 0;
    bInsideWait = true;
    session.WaitUntil(
        Clock::now() + 5s, [&] { return aSeen.size() >= 3; }, nError);
    EXPECT_EQ(nOutsideWait, 0);
    EXPECT_EQ(aSeen.size(), 3u);
}

struct ServiceCase {
    const char* pszName;
    bool bDaemon;
    int32_t nExpected;
};

class AvahiService : public testing::TestWithParam<ServiceCase> {};

TEST_P(AvahiService, CheckServiceAnswersWithinItsBound) {
    std::unique_ptr<fake_avahi::Daemon> pDaemon;
    if (GetParam().bDaemon) {
        pDaemon = std::make_unique<fake_avahi::Daemon>(fake_avahi::Script{});
    } else {
        fake_avahi::PrivateBus::Address();  // a bus without the daemon
    }
    const auto t0 = Clock::now();
    EXPECT_EQ(CreateSystemDnsSdClient()->CheckService(), GetParam().nExpected);
    EXPECT_LT(Clock::now() - t0, 2500ms);  // 500 ms; ThreadSanitizer's builds wait longer
}

INSTANTIATE_TEST_SUITE_P(Daemon, AvahiService,
                         testing::Values(ServiceCase{"Running", true, 0},
                                         ServiceCase{"NotOnTheBus", false, DNSSD_ERR_SERVICE_NOT_RUNNING}),
                         [](const testing::TestParamInfo<ServiceCase>& info) {
                             return std::string(info.param.pszName);
                         });

// Off the window's thread a slow daemon (450 ms a call) is reachable, and
// a stop ends the check at once.
TEST(AvahiService, SlowDaemonAnswersAndAStopEndsTheCheck) {
    fake_avahi::Script script;
    script.nGetStateDelayMs = 450;
    fake_avahi::Daemon daemon(script);
    int aStop[2];
    ASSERT_EQ(pipe(aStop), 0);
    EXPECT_EQ(CreateSystemDnsSdClient()->CheckServiceUntilStop(aStop[0], 2s), 0);
    std::thread stopper([&aStop] {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(write(aStop[1], "x", 1), 1);
    });
    const auto t0 = Clock::now();
    EXPECT_NE(CreateSystemDnsSdClient()->CheckServiceUntilStop(aStop[0], 2s), 0);
    EXPECT_LT(Clock::now() - t0, 300ms);
    stopper.join();
    std::this_thread::sleep_for(500ms);  // the daemon's last answer, before it goes
    close(aStop[0]);
    close(aStop[1]);
}

// 110 resolves at once: the last ten, held back behind the bus's limit, are
// let go of before their turn and never made; one made after the call's 3 s
// bound is freed all the same. No resolver is left in the daemon.
TEST(AvahiClient, EveryResolverMadeIsFreedAndNoneForADroppedResolve) {
    fake_avahi::Script script;
    std::vector<std::string> aNames{"Late"};
    script.resolverNewDelayMs["Late"] = 3300;
    for (int i = 0; i < 109; ++i) {
        aNames.push_back("Slow " + std::to_string(i));
        script.resolverNewDelayMs[aNames.back()] = 300;
    }
    fake_avahi::Daemon daemon(script);
    {
        Session session;
        std::vector<std::unique_ptr<CDnsSdOperation>> aResolves(aNames.size());
        for (size_t i = 0; i < aNames.size(); ++i) {
            EXPECT_EQ(session->ResolveWithAddress(
                          aNames[i].c_str(), "_printer._tcp", "local", -1, -1,
                          [](const DnsSdResolveReply&) {}, aResolves[i]),
                      0);
        }
        aResolves.resize(100);
        int32_t nError = 0;
        session.WaitUntil(
            Clock::now() + 3600ms, [] { return false; }, nError);
        aResolves.clear();  // (a teardown leaves the rest to the daemon, which frees what a client left)
        const auto tEnd = Clock::now() + 2s;
        while (daemon.nFrees < daemon.nResolverNews && Clock::now() < tEnd) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(daemon.nResolverNews, 100);
    EXPECT_EQ(daemon.nFrees, daemon.nResolverNews);
}

// Where a session of the soak below stops.
enum class StopAt {
    BEFORE_CONNECT,
    AFTER_BROWSE,
    RESOLVES_UNDER_WAY,
    ANSWERED,
    UNANSWERED_RESOLVE,
    MID_WAIT
};
constexpr int STOP_POINTS = 6;

void OneSession(StopAt stopAt) {
    Session session(stopAt == StopAt::BEFORE_CONNECT);
    std::vector<std::string> aFound;
    std::unique_ptr<CDnsSdOperation> pBrowse;
    session->Browse(
        "_printer._tcp", "local", [&](const DnsSdBrowseReply& r) { aFound.push_back(r.strName); }, pBrowse);
    if (stopAt == StopAt::BEFORE_CONNECT || stopAt == StopAt::AFTER_BROWSE) {
        return;
    }
    std::vector<DnsSdResolveReply> aReplies;
    auto pFirst = session.Resolve("Office Laser", aReplies);
    auto pSecond = session.Resolve(stopAt == StopAt::UNANSWERED_RESOLVE ? "Silent" : "Other", aReplies);
    if (stopAt == StopAt::RESOLVES_UNDER_WAY) {
        return;
    }
    std::thread stopper;
    if (stopAt == StopAt::MID_WAIT) {
        stopper = std::thread([&session] {
            std::this_thread::sleep_for(1ms);
            session.Stop();
        });
    }
    int32_t nError = 0;
    const size_t nWanted = stopAt == StopAt::UNANSWERED_RESOLVE ? 1 : 2;
    session.WaitUntil(
        Clock::now() + 2s, [&] { return aReplies.size() >= nWanted; }, nError);
    if (stopper.joinable()) {
        stopper.join();
    }
}

// 200 sessions in one process, each stopping at another point: the
// process's descriptors and main contexts (one eventfd each) do not grow.
TEST(AvahiClient, TwoHundredSessionsGiveBackEverything) {
    fake_avahi::Daemon daemon({});
    OneSession(StopAt::ANSWERED);  // GLib's own threads and contexts start once per process
    const fake_avahi::Descriptors before = fake_avahi::CountDescriptors();
    for (int i = 0; i < 200; ++i) {
        OneSession(static_cast<StopAt>(i % STOP_POINTS));
    }
    const auto tEnd = Clock::now() + 10s;
    while (CBoundedBus::LateTeardownsPending() != 0 && Clock::now() < tEnd) {
        std::this_thread::sleep_for(5ms);
    }
    const fake_avahi::Descriptors after = fake_avahi::CountDescriptors();
    EXPECT_LE(after.nEventFds, before.nEventFds) << "main contexts left behind";
    EXPECT_LE(after.nAll, before.nAll);
    EXPECT_GT(daemon.nFrees.load(), 0);
}

}  // namespace
