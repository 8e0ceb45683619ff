// The bounded D-Bus connection against a scripted avahi-daemon on a private
// bus: every wait ends at its bound, and a teardown gives back everything,
// whatever was still under way.
#include "bounded_bus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "fake_avahi_daemon.h"

using namespace std::chrono_literals;
using Clock = CBoundedBus::Clock;

namespace {

// What is still under way when the bus is torn down.
enum class Pending { NOTHING, SUBSCRIPTIONS, UNANSWERED_CALL, UNANSWERED_CONNECT };

struct TeardownCase {
    const char* pszName;
    Pending pending;
    bool bNoTimeToDrain;  // the teardown's bound has passed already: the reaper does it all
};

class BoundedBusTeardown : public testing::TestWithParam<TeardownCase> {
protected:
    void UseOnce(const fake_avahi::SilentListener& silent) {
        const TeardownCase& c = GetParam();
        CBoundedBus bus;
        if (c.pending == Pending::UNANSWERED_CONNECT) {
            EXPECT_FALSE(bus.Connect(silent.Address(), Clock::now() + 20ms, nullptr));
        } else {
            ASSERT_TRUE(bus.Connect(fake_avahi::PrivateBus::Address(), Clock::now() + 5s, nullptr));
            CBusReply state;
            bus.Call("org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server", "GetState", nullptr,
                     G_VARIANT_TYPE("(i)"), Clock::now() + 5s, state);
            EXPECT_NE(state.pReply, nullptr);
        }
        if (c.pending == Pending::SUBSCRIPTIONS || c.pending == Pending::UNANSWERED_CALL) {
            for (const char* pszInterface :
                 {"org.freedesktop.DBus", "org.freedesktop.Avahi.ServiceResolver"}) {
                bus.Subscribe(nullptr, pszInterface, nullptr, nullptr, nullptr,
                              [](const char*, const char*, const char*, GVariant*) {});
            }
        }
        if (c.pending == Pending::UNANSWERED_CALL) {
            bus.CallAsync(
                "org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server2", "ServiceResolverPrepare",
                g_variant_new("(iisssiu)", -1, 0, "Silent", "_printer._tcp", "local", 0, 0u), nullptr, 60000,
                [](GVariant*, const GError*) { ADD_FAILURE() << "a call's reply after teardown"; });
            bus.RunUntil([] { return false; }, Clock::now() + 20ms);
        }
        if (c.bNoTimeToDrain) {
            bus.LimitTeardown(Clock::now());
        }
    }
};

TEST_P(BoundedBusTeardown, GivesBackContextConnectionAndSubscriptions) {
    fake_avahi::Daemon daemon({});
    fake_avahi::SilentListener silent;
    UseOnce(silent);  // GLib's own threads and contexts start once per process
    const auto tLateEnd = Clock::now() + 5s;
    while (CBoundedBus::LateTeardownsPending() != 0 && Clock::now() < tLateEnd) {
        std::this_thread::sleep_for(5ms);
    }
    const fake_avahi::Descriptors before = fake_avahi::CountDescriptors();
    for (int i = 0; i < 20; ++i) {
        UseOnce(silent);
    }
    while (CBoundedBus::LateTeardownsPending() != 0 && Clock::now() < tLateEnd + 5s) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(CBoundedBus::LateTeardownsPending(), 0u);
    const fake_avahi::Descriptors after = fake_avahi::CountDescriptors();
    EXPECT_LE(after.nEventFds, before.nEventFds) << "main contexts left behind";
    EXPECT_LE(after.nAll, before.nAll);
}

INSTANTIATE_TEST_SUITE_P(
    WhatIsUnderWay, BoundedBusTeardown,
    testing::Values(TeardownCase{"Nothing", Pending::NOTHING, false},
                    TeardownCase{"Subscriptions", Pending::SUBSCRIPTIONS, false},
                    TeardownCase{"UnansweredCall", Pending::UNANSWERED_CALL, false},
                    TeardownCase{"UnansweredCallNoTimeToDrain", Pending::UNANSWERED_CALL, true},
                    TeardownCase{"UnansweredConnect", Pending::UNANSWERED_CONNECT, false},
                    TeardownCase{"LateConnectNoTimeToDrain", Pending::UNANSWERED_CONNECT, true}),
    [](const testing::TestParamInfo<TeardownCase>& info) { return std::string(info.param.pszName); });

TEST(BoundedBus, EveryWaitEndsAtItsBound) {
    fake_avahi::Daemon daemon({});
    int aPipe[2];
    ASSERT_EQ(pipe(aPipe), 0);
    {
        CBoundedBus bus(aPipe[0]);
        ASSERT_TRUE(bus.Connect(fake_avahi::PrivateBus::Address(), Clock::now() + 5s, nullptr));
        GVariant* pArgs = g_variant_new("(iisssiu)", -1, 0, "Silent", "_printer._tcp", "local", 0, 0u);
        // A call's own timeout.
        auto t0 = Clock::now();
        CBusReply own;
        bus.CallAsync("org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server2", "ServiceResolverPrepare",
                      g_variant_ref_sink(pArgs), nullptr, 150, [&own](GVariant*, const GError* pError) {
                          own.bAnswered = true;
                          own.pError = g_error_copy(pError);
                      });
        EXPECT_EQ(bus.RunUntil([&own] { return own.bAnswered; }, Clock::now() + 5s),
                  CBoundedBus::Outcome::DONE);
        EXPECT_TRUE(own.TimedOut());
        EXPECT_LT(Clock::now() - t0, 1s);
        // A waited-for call's deadline.
        t0 = Clock::now();
        CBusReply waited;
        bus.Call("org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server2", "ServiceResolverPrepare",
                 pArgs, nullptr, Clock::now() + 150ms, waited);
        EXPECT_TRUE(waited.TimedOut());
        EXPECT_GE(Clock::now() - t0, 140ms);
        EXPECT_LT(Clock::now() - t0, 1s);
        // A stop ends any wait at once.
        std::thread stopper([&aPipe] {
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(write(aPipe[1], "x", 1), 1);
        });
        t0 = Clock::now();
        EXPECT_EQ(bus.RunUntil([] { return false; }, Clock::now() + 5s), CBoundedBus::Outcome::STOPPED);
        EXPECT_LT(Clock::now() - t0, 1s);
        stopper.join();
    }
    close(aPipe[0]);
    close(aPipe[1]);
}

// Calls past what the bus takes awaiting a reply (128) wait their turn:
// none refused, and one held back gets its whole bound from its sending
// (after the first answers, 300 ms on).
TEST(BoundedBus, CallsPastTheBusLimitWaitTheirTurnWithinTheirBound) {
    fake_avahi::Script script;
    script.aInstances = {};
    script.nBrowseStartDelayMs = 300;
    fake_avahi::Daemon daemon(script);
    CBoundedBus bus;
    ASSERT_TRUE(bus.Connect(fake_avahi::PrivateBus::Address(), Clock::now() + 5s, nullptr));
    CBusReply browser;
    bus.Call("org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server2", "ServiceBrowserPrepare",
             g_variant_new("(iissu)", -1, 0, "_printer._tcp", "local", 0u), G_VARIANT_TYPE("(o)"),
             Clock::now() + 5s, browser);
    ASSERT_NE(browser.pReply, nullptr);
    const char* pszPath = nullptr;
    g_variant_get(browser.pReply, "(&o)", &pszPath);
    std::vector<int> aBounds(140, 5000);
    aBounds.push_back(100);
    std::map<std::string, int> outcomes;
    const auto t0 = Clock::now();
    for (int nTimeoutMs : aBounds) {
        bus.CallAsync("org.freedesktop.Avahi", pszPath, "org.freedesktop.Avahi.ServiceBrowser", "Start",
                      nullptr, nullptr, nTimeoutMs, [&outcomes, t0](GVariant* pReply, const GError* pError) {
                          const auto elapsed = Clock::now() - t0;
                          const bool bAtBound = g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) &&
                                                elapsed >= 390ms && elapsed < 700ms;
                          ++outcomes[pReply != nullptr ? "answered"
                                     : bAtBound        ? "timed out at its bound from sending"
                                                       : pError->message];
                      });
    }
    bus.RunUntil([&] { return outcomes.size() > 2 || outcomes["answered"] == 140; }, Clock::now() + 5s);
    EXPECT_EQ(outcomes,
              (std::map<std::string, int>{{"answered", 140}, {"timed out at its bound from sending", 1}}));
}

}  // namespace
