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

#include "live_scan.h"

enum class WatchEventKind { ADD, REMOVE, CHANGE };

struct WatchEvent {
    WatchEventKind nKind = WatchEventKind::ADD;
    LiveRemoveReason reason = LiveRemoveReason::NO_ANSWER;  // REMOVE only
    std::vector<std::string> aChanged;                      // CHANGE only, e.g. {"url", "model"}
    ScanRow row;                                            // as listed now (REMOVE: as it was last)
    std::chrono::system_clock::time_point tTime;
};

// What differs between two rows of one printer: "name", "url", "model",
// "location", "addresses", "sources", "id" (in that order).
std::vector<std::string> ChangedFields(const ScanRow& before, const ScanRow& after);

// "goodbye", "expired", "no answer".
const char* RemoveReasonText(LiveRemoveReason reason);

struct LiveWatchSettings {
    // Each printer is checked this often; two intervals without an answer
    // and it is gone. A check is bounded by one interval.
    std::chrono::milliseconds interval{10000};
    size_t nMaxChecks = 32;  // in flight at once
};

class CLiveWatch : private CLiveRowSink {
public:
    using Clock = std::chrono::steady_clock;
    using EventFn = std::function<void(const WatchEvent&)>;

    // Events come one at a time, from any thread.
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
    // Rows it refuses are neither listed nor checked.
    void SetRowFilter(std::function<bool(const ScanRow&)> fn) { m_fnFilter = std::move(fn); }

    // Watches until tDeadline or fnStopAsked (polled every 20 ms).
    LiveRunResult Run(Clock::time_point tDeadline, const std::function<bool()>& fnStopAsked);

    // A change seen outside the methods (an IPP status): a CHANGE event of the
    // row listed under strAddress, if one is.
    void ReportChange(const std::u16string& strAddress, std::vector<std::string> aChanged);

    // The rows listed now, in the order they were listed.
    std::vector<ScanRow> GetRows() const;

private:
    // What one method (and mDNS type) found of an entry's printer: the row's
    // addresses are theirs together. An address it stops reporting goes after
    // two intervals (a printer that moved): an answer that came late to one
    // search is no change.
    struct Finding {
        int32_t nKind = -1;
        std::u16string strType;
        std::vector<std::pair<std::u16string, Clock::time_point>> aAddresses;  // each when last reported
        void Report(const std::u16string& strAddress, Clock::time_point tNow);
        bool Has(std::u16string_view strAddress) const;
    };
    struct Entry {
        ScanRow row;
        std::vector<Finding> aFindings;
        Clock::time_point tLastAnswer;  // listed, or the last sign of life
        Clock::time_point tNextCheck;
        Clock::time_point tCheckEnd;  // while a check is out
        int hSocket = -1;             // the check's connection; -1 when none is out
        bool bAsked = false;          // checked since its last sign of life
    };
    using EntryMap = std::map<uint64_t, Entry>;  // in the order listed

    // The entry a row joins (MatchRow), or the one listed under strAddress
    // (of the identity strId, when both know one).
    EntryMap::iterator FindEntry(const ScanRow& row);
    EntryMap::iterator FindEntry(std::u16string_view strAddress, std::u16string_view strId = {});
    // The row's addresses again, from its findings, in the order they had.
    static void GatherAddresses(Entry& entry);

    bool Emit(ScanRow row) override;
    void AddAddress(const std::u16string& strRowAddress, const std::u16string& strAddress,
                    const std::u16string& strId) override;
    void Remove(const std::u16string& strAddress, int32_t nKind, LiveRemoveReason reason) override;
    void DaemonLost(const std::u16string& strSource, bool bLost) override;
    void Started(const std::u16string& strSource) override;
    void SearchDone(const std::u16string& strSource, Clock::duration took) override {
        if (m_fnSearchDone) m_fnSearchDone(strSource, took);
    }
    bool IsListed(const std::u16string& strAddress, int32_t nKind) override;

    // Every 20 ms: ends the checks that answered or ran out, starts those due.
    void CheckLiveness();
    // These under m_mutex.
    void StartCheck(Entry& entry, Clock::time_point tNow);
    void EndCheck(Entry& entry, bool bAnswered, Clock::time_point tNow);
    void Tell(WatchEventKind nKind, const ScanRow& row, std::vector<std::string> aChanged = {},
              LiveRemoveReason reason = LiveRemoveReason::NO_ANSWER);
    EntryMap::iterator Drop(EntryMap::iterator it, LiveRemoveReason reason);

    LiveSourceArray m_aSources;
    const LiveWatchSettings m_settings;
    const EventFn m_fnEvent;
    std::function<void(const std::u16string&)> m_fnUnavailable;
    std::function<void(const std::u16string&, bool)> m_fnDaemon;
    std::function<bool(const ScanRow&)> m_fnFilter;
    std::function<void(const std::u16string&)> m_fnStartedAgain;
    std::function<void(const std::u16string&, Clock::duration)> m_fnSearchDone;
    std::set<std::u16string> m_unavailable;  // said so, not started since
    mutable std::mutex m_mutex;  // the entries, and the calls of m_fnEvent
    EntryMap m_entries;
    uint64_t m_nNextOrder = 0;
    size_t m_nChecking = 0;
};
