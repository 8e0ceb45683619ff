// --diagnose's bus checks against a scripted avahi-daemon on a private bus:
// what each situation reports, within its bound, and that repeated checks
// leave no descriptor or main context behind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "bounded_bus.h"
#include "diagnose.h"
#include "fake_avahi_daemon.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum class Bus { WITH_DAEMON, WITHOUT_DAEMON, SILENT };

struct BusCase {
    const char* pszName;
    Bus bus;
    bool bAvahiOk;
    const char* pszAvahiLine;  // the start of the second line
};

class DiagnoseBus : public testing::TestWithParam<BusCase> {};

TEST_P(DiagnoseBus, ReportsWithinItsBoundAndLeavesNothingBehind) {
    const BusCase& c = GetParam();
    const std::string strBus = fake_avahi::PrivateBus::Address();
    std::unique_ptr<fake_avahi::Daemon> pDaemon;
    if (c.bus == Bus::WITH_DAEMON) {
        pDaemon = std::make_unique<fake_avahi::Daemon>(fake_avahi::Script{});
    }
    fake_avahi::SilentListener silent;
    if (c.bus == Bus::SILENT) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", silent.Address().c_str(), 1);
    }
    auto fnCheck = [&c] {
        DiagnoseReport report;
        const auto t0 = Clock::now();
        EXPECT_EQ(DiagnoseBusAndAvahi(report), c.bAvahiOk);
        EXPECT_LT(Clock::now() - t0, 2500ms);  // one bound of 1 s, and ThreadSanitizer's slowness
        ASSERT_EQ(report.aLines.size(), 2u);
        EXPECT_EQ(report.aLines[1].strText.rfind(c.pszAvahiLine, 0), 0u) << report.aLines[1].strText;
    };
    fnCheck();  // GLib's own threads and contexts start once per process
    const auto tEnd = Clock::now() + 5s;
    while (CBoundedBus::LateTeardownsPending() != 0 && Clock::now() < tEnd) {
        std::this_thread::sleep_for(5ms);
    }
    const fake_avahi::Descriptors before = fake_avahi::CountDescriptors();
    for (int i = 0; i < 3; ++i) {
        fnCheck();
    }
    while (CBoundedBus::LateTeardownsPending() != 0 && Clock::now() < tEnd + 5s) {
        std::this_thread::sleep_for(5ms);
    }
    const fake_avahi::Descriptors after = fake_avahi::CountDescriptors();
    EXPECT_LE(after.nEventFds, before.nEventFds) << "main contexts left behind";
    EXPECT_LE(after.nAll, before.nAll);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", strBus.c_str(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Buses, DiagnoseBus,
    testing::Values(
        BusCase{"DaemonAnswers", Bus::WITH_DAEMON, true,
                "OK   avahi-daemon answers on the system bus (avahi 0.8, host name \"fakehost\")"},
        BusCase{"DaemonNotOnTheBus", Bus::WITHOUT_DAEMON, false, "FAIL avahi-daemon is not running"},
        BusCase{"BusNeverAnswers", Bus::SILENT, false, "FAIL avahi-daemon not asked"}),
    [](const testing::TestParamInfo<BusCase>& info) { return std::string(info.param.pszName); });

}  // namespace
