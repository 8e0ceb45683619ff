// hvl-scan --watch: the live scan's methods kept running, whatever they
// speak, and every listed printer checked for life each interval. What
// changes is told as events: a printer listed, gone (and why) or changed.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "printer_registry.h"

struct LiveWatchSettings {
    // Each printer is checked this often, at every address; two intervals
    // without an answer and it is unreachable. A check is bounded by one
    // interval.
    std::chrono::milliseconds interval{10000};
    size_t nMaxChecks = 32;  // connections in flight at once
    // Unreachable this long, a printer is forgotten (a remove); zero: never.
    std::chrono::milliseconds forgetAfter{std::chrono::minutes(60)};
    // Events waiting for the reader of the output: past this many, the
    // newest are dropped and counted (SetDroppedCallback says how many).
    size_t nMaxQueued = 100000;
    // By row kind: the methods whose rows are checked by a datagram.
    std::unordered_map<int32_t, LivenessDatagram> datagrams = {};
};

class CLiveWatch : private CLiveRowSink {
public:
    using Clock = std::chrono::steady_clock;
    using EventFn = std::function<void(const WatchEvent&)>;

    // Events come one at a time, in order, from a thread of the watch's
    // own, never under the registry's lock: a reader that stalls holds up
    // neither the methods, the liveness check nor the end of the watch.
    CLiveWatch(LiveSourceArray aSources, const LiveWatchSettings& settings, EventFn fnEvent);
    ~CLiveWatch() override;
    CLiveWatch(const CLiveWatch&) = delete;
    CLiveWatch& operator=(const CLiveWatch&) = delete;

    void SetUnavailableCallback(std::function<void(const std::u16string&)> fn) {
        m_fnUnavailable = std::move(fn);
    }
    // A method's daemon went away (bLost) or came back.
    void SetDaemonCallback(std::function<void(const std::u16string&, bool)> fn) {
        m_fnDaemon = std::move(fn);
    }
    // A method that could not start works now (it is tried every interval).
    void SetStartedAgainCallback(std::function<void(const std::u16string&)> fn) {
        m_fnStartedAgain = std::move(fn);
    }
    // Each search of a method that searches again every interval, and how long it took.
    void SetSearchDoneCallback(std::function<void(const std::u16string&, Clock::duration)> fn) {
        m_fnSearchDone = std::move(fn);
    }
    // Events the full queue dropped, counted since the last call (from the event thread).
    void SetDroppedCallback(std::function<void(size_t)> fn) { m_fnDropped = std::move(fn); }
    // Rows it refuses are held but neither listed nor checked; set before Run.
    void SetRowFilter(std::function<bool(const ScanRow&)> fn);

    // Watches until tDeadline or fnStopAsked (polled every 20 ms).
    LiveRunResult Run(Clock::time_point tDeadline, const std::function<bool()>& fnStopAsked);

    // A change seen outside the methods (an IPP status): a CHANGE event of the
    // row of that id, if one is listed.
    void ReportChange(const std::u16string& strId, std::vector<std::string> aChanged);

    // The rows listed now, in the order they were listed.
    std::vector<ScanRow> GetRows() const;

private:
    struct Probe {
        std::vector<int> aSockets;                    // one per address while a check is out
        const LivenessDatagram* pDatagram = nullptr;  // null: a TCP connect
        Clock::time_point tNextCheck;
        Clock::time_point tCheckEnd;
    };
    struct Queue;

    FindingHandle Report(const FindingKey& key, ScanRow row) override;
    void SetAddresses(FindingHandle hFinding, std::vector<std::u16string> aAddresses) override;
    void Heard(FindingHandle hFinding) override;
    void Withdraw(FindingHandle hFinding, LiveRemoveReason reason) override;
    void DaemonLost(const std::u16string& strSource, bool bLost) override;
    void Started(const std::u16string& strSource) override;
    void SearchDone(const std::u16string& strSource, Clock::duration took) override {
        if (m_fnSearchDone) m_fnSearchDone(strSource, took);
    }

    // Every 20 ms: ends the checks that answered or ran out, starts those
    // due, judges the rows' states. These under m_mutex.
    void CheckLiveness();
    // Every SWEEP_EVERY (a quarter interval, if shorter): judges the rows,
    // starts the checks due.
    void Sweep(Clock::time_point tNow, CPrinterRegistry::Events& events);
    static constexpr std::chrono::milliseconds SWEEP_EVERY{200};
    void StartCheck(uint64_t nRow, const ScanRow& row, Probe& probe, Clock::time_point tNow,
                    CPrinterRegistry::Events& events);
    void EndCheck(Probe& probe);
    void Post(CPrinterRegistry::Events& events);  // into the queue
    void Deliver();                               // the event thread

    LiveSourceArray m_aSources;
    const LiveWatchSettings m_settings;
    std::function<void(const std::u16string&)> m_fnUnavailable;
    std::function<void(const std::u16string&, bool)> m_fnDaemon;
    std::function<void(const std::u16string&)> m_fnStartedAgain;
    std::function<void(const std::u16string&, Clock::duration)> m_fnSearchDone;
    std::function<void(size_t)> m_fnDropped;
    std::set<std::u16string> m_unavailable;  // said so, not started since
    mutable std::mutex m_mutex;              // the registry and the probes
    std::unique_ptr<CPrinterRegistry> m_pRegistry;
    std::unordered_map<uint64_t, Probe> m_probes;  // by the registry's row
    // The probes with a check out, and their rows: each tick polls only these.
    std::unordered_map<Probe*, uint64_t> m_out;
    size_t m_nChecking = 0;  // sockets out
    Clock::time_point m_tNextSweep{};
    std::shared_ptr<Queue> m_pQueue;
};
