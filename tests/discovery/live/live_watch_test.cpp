#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "live_watch.h"
#include "multicast_data_provider.h"

namespace {

using namespace std::chrono_literals;

// Hands the sink what the test scripts, then runs until stopped.
class CScriptedSource : public CLiveSource {
public:
    explicit CScriptedSource(std::function<void(CLiveRowSink&)> fnScript) : m_fnScript(std::move(fnScript)) {}
    std::u16string GetName() const override { return u"SCRIPT"; }
    int32_t Run(CLiveRowSink& sink) override {
        m_fnScript(sink);
        while (!m_bStop) std::this_thread::sleep_for(5ms);
        return 0;
    }
    void Stop() override { m_bStop = true; }

private:
    std::function<void(CLiveRowSink&)> m_fnScript;
    std::atomic<bool> m_bStop{false};
};

ScanRow Row(std::u16string strIp, uint16_t nPort, std::u16string strUrl = u"http://a/",
            int32_t nKind = PROVIDER_KIND_MDNS) {
    ScanRow row;
    row.strName = u"Printer";
    row.strIpAddress = strIp;
    row.aAddresses = {strIp};
    row.strUrl = std::move(strUrl);
    row.nKind = nKind;
    row.nPort = nPort;
    return row;
}

std::vector<WatchEvent> Watch(std::function<void(CLiveRowSink&)> fnScript, std::chrono::milliseconds interval,
                              std::chrono::milliseconds runFor) {
    std::vector<WatchEvent> aEvents;
    LiveSourceArray aSources;
    aSources.push_back(std::make_unique<CScriptedSource>(std::move(fnScript)));
    CLiveWatch watch(std::move(aSources), {interval, 32},
                     [&aEvents](const WatchEvent& e) { aEvents.push_back(e); });
    watch.Run(std::chrono::steady_clock::now() + runFor, nullptr);
    return aEvents;
}

TEST(LiveWatch, TellsEachChangeOnceAndAPrinterThatComesBackAsNew) {
    // No liveness check within the run: its interval is far longer.
    const std::vector<WatchEvent> aEvents = Watch(
        [](CLiveRowSink& sink) {
            sink.Emit(Row(u"127.0.0.1", 515));
            sink.Emit(Row(u"127.0.0.1", 515));                // the same again: nothing
            sink.Emit(Row(u"127.0.0.1", 515, u"http://b/"));  // its web address changed
            sink.Emit(
                Row(u"127.0.0.1", 80, u"http://c/", PROVIDER_KIND_UPNP));  // another method: its first stays
            sink.Remove(u"127.0.0.1", LiveRemoveReason::GOODBYE);
            sink.Remove(u"127.0.0.1", LiveRemoveReason::GOODBYE);
            sink.Emit(Row(u"127.0.0.1", 515));
        },
        10s, 300ms);
    ASSERT_EQ(aEvents.size(), 4u);
    EXPECT_EQ(aEvents[0].nKind, WatchEventKind::ADD);
    EXPECT_EQ(aEvents[1].nKind, WatchEventKind::CHANGE);
    EXPECT_EQ(aEvents[1].aChanged, std::vector<std::string>{"url"});
    EXPECT_EQ(aEvents[1].row.strUrl, u"http://b/");
    EXPECT_EQ(aEvents[1].row.tFirstSeen, aEvents[0].row.tFirstSeen);
    EXPECT_EQ(aEvents[2].nKind, WatchEventKind::REMOVE);
    EXPECT_EQ(aEvents[2].reason, LiveRemoveReason::GOODBYE);
    EXPECT_EQ(aEvents[2].row.aOtherKinds, std::vector<int32_t>{PROVIDER_KIND_UPNP});
    EXPECT_EQ(aEvents[3].nKind, WatchEventKind::ADD);
}

}  // namespace
