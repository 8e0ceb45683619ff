// The printer registry of the live scan and the watch: what every method
// found (its findings, each under the method's own key and a handle), and
// the rows they make, one per printer, by id and by address. Which findings
// make one row is a function of the findings alone, whatever order they
// came in: the same identity joins; different identities never; findings
// without an identity join the one row of an identity at their addresses,
// when exactly one is there. Each change of the findings regroups only
// those that share an address or identity with it, and says what changed
// as events. Not locked: its owner holds one lock around it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "live_scan.h"

enum class WatchEventKind { ADD, REMOVE, CHANGE };

struct WatchEvent {
    WatchEventKind nKind = WatchEventKind::ADD;
    LiveRemoveReason reason = LiveRemoveReason::NO_ANSWER;  // REMOVE only
    // CHANGE only: "name", "url", "model", "location", "addresses",
    // "sources", "id", "txt", "types", "state" (ChangedFields), or what a
    // status query saw.
    std::vector<std::string> aChanged;
    // CHANGE only: the id that went away (two rows found to be one printer,
    // or the row's id became its identity); empty otherwise.
    std::u16string strGoneId;
    ScanRow row;  // as listed now (REMOVE: as it was last)
    std::chrono::system_clock::time_point tTime;
};

// What differs between two rows of one printer, in the order listed above.
std::vector<std::string> ChangedFields(const ScanRow& before, const ScanRow& after);

// "goodbye", "expired", "no answer", "forgotten".
const char* RemoveReasonText(LiveRemoveReason reason);

class CPrinterRegistry {
public:
    using Clock = std::chrono::steady_clock;
    using Events = std::vector<WatchEvent>;

    struct Settings {
        // Two intervals without a sign of life make a row unreachable.
        std::chrono::milliseconds interval{10000};
        // Unreachable this long, a row is forgotten (REMOVE); zero: never.
        std::chrono::milliseconds forgetAfter{std::chrono::minutes(60)};
        // A row refused is held, not listed, until a change makes it pass.
        std::function<bool(const ScanRow&)> fnFilter;
    };
    explicit CPrinterRegistry(Settings settings) : m_settings(std::move(settings)) {}

    // The sink's calls (CLiveRowSink), at tNow; their events appended to out.
    FindingHandle Report(const FindingKey& key, ScanRow row, Clock::time_point tNow, Events& out);
    void SetAddresses(FindingHandle hFinding, std::vector<std::u16string> aAddresses, Clock::time_point tNow,
                      Events& out);
    void Heard(FindingHandle hFinding, Clock::time_point tNow, Events& out);
    void Withdraw(FindingHandle hFinding, LiveRemoveReason reason, Clock::time_point tNow, Events& out);

    // The liveness check's answer for the row nRow (ForEachWatched); and,
    // each tick, the rows whose state or time to be forgotten came.
    void Answered(uint64_t nRow, Clock::time_point tNow, Events& out);
    void Judge(Clock::time_point tNow, Events& out);
    // A change seen outside the methods (an IPP status) of the row of that id.
    void ReportChange(const std::u16string& strId, std::vector<std::string> aChanged, Events& out) const;

    // What a status query told of the row of that id: its identity (IPP's
    // printer-uuid) for those of its findings that knew none, which may
    // make it one with a row of that identity; its location, unless known.
    void SetIdentity(const std::u16string& strId, const std::u16string& strUuid, Clock::time_point tNow,
                     Events& out);
    void SetLocationIfUnknown(const std::u16string& strId, const std::u16string& strLocation);

    // The rows listed now, in the order they were listed; by id.
    std::vector<ScanRow> GetRows() const;
    const ScanRow* FindById(const std::u16string& strId) const;
    std::vector<const ScanRow*> FindByAddress(const std::u16string& strAddress) const;
    size_t GetCount() const;
    // The listed rows and those forgotten that wait for a sign of life (the
    // liveness check asks both), with their ids.
    void ForEachWatched(const std::function<void(uint64_t nRow, const ScanRow&)>& fn) const;

private:
    struct Finding {
        FindingKey key;
        ScanRow row;  // what it says; its addresses are its own
        uint64_t nRow = 0;
    };
    struct Entry {
        ScanRow row;  // as composed from its findings
        std::vector<FindingHandle> aFindings;
        Clock::time_point tLastAnswer;
        bool bListed = false;     // told (ADD), and not forgotten since
        bool bForgotten = false;  // forgotten; listed again at its next sign of life
    };

    // Regroups the findings connected to these (by address, identity or
    // row) and tells what changed; reason for rows left without findings.
    void Regroup(std::vector<FindingHandle> aSeeds, std::vector<uint64_t> aOldRows, LiveRemoveReason reason,
                 Clock::time_point tNow, Events& out);
    void Connected(std::vector<FindingHandle>& aFindings, std::vector<uint64_t>& aRows) const;
    std::vector<std::vector<FindingHandle>> Partition(const std::vector<FindingHandle>& aFindings) const;
    ScanRow Compose(std::vector<FindingHandle>& aGroup) const;
    void Place(uint64_t nRow, std::vector<FindingHandle> aGroup, const std::vector<uint64_t>& aRetired,
               Clock::time_point tNow, Events& out);
    void Drop(uint64_t nRow, LiveRemoveReason reason, Events& out);
    void Index(uint64_t nRow, bool bAdd);
    void IndexFinding(FindingHandle hFinding, bool bAdd);
    FindingHandle Replace(FindingHandle hFinding, ScanRow row, Clock::time_point tNow, Events& out);
    void Tell(Events& out, WatchEventKind nKind, const ScanRow& row, std::vector<std::string> aChanged = {},
              LiveRemoveReason reason = LiveRemoveReason::NO_ANSWER, std::u16string strGoneId = {}) const;
    void SignOfLife(uint64_t nRow, Clock::time_point tNow, Events& out);

    const Settings m_settings;
    std::unordered_map<FindingHandle, Finding> m_findings;
    std::unordered_map<std::u16string, FindingHandle> m_byKey;  // kind and key
    std::unordered_multimap<std::u16string, FindingHandle, CNoCaseHash, CNoCaseEqual> m_findingsAt;
    std::unordered_multimap<std::u16string, FindingHandle> m_findingsOf;  // by identity
    std::map<uint64_t, Entry> m_rows;                                     // in the order listed
    std::unordered_map<std::u16string, uint64_t> m_byId;                  // the listed rows' ids
    std::unordered_multimap<std::u16string, uint64_t, CNoCaseHash, CNoCaseEqual> m_rowsAt;
    size_t m_nListed = 0;
    FindingHandle m_hNext = 1;
    uint64_t m_nNextRow = 1;
};
