#include "scan_watch.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "conv_string.h"
#include "ipp_status_runner.h"
#include "methods.h"
#include "network_text.h"
#include "row_filter.h"
#include "scan_status.h"

namespace {

const char* EventSymbol(WatchEventKind nKind) {
    return nKind == WatchEventKind::ADD ? "+" : nKind == WatchEventKind::REMOVE ? "-" : "=";
}

const char* EventName(WatchEventKind nKind) {
    return nKind == WatchEventKind::ADD ? "add" : nKind == WatchEventKind::REMOVE ? "remove" : "change";
}

// The first of the most severe reasons; empty when there is none.
std::u16string WorstReason(const PrinterStatus& status) {
    const StateReason* pWorst = nullptr;
    for (const StateReason& reason : status.aReasons) {
        if (!pWorst || reason.nSeverity > pWorst->nSeverity) pWorst = &reason;
    }
    return pWorst ? pWorst->strKeyword : std::u16string();
}

std::vector<std::u16string> LowSupplies(const PrinterStatus& status) {
    std::vector<std::u16string> aNames;
    for (const SupplyLevel& supply : status.aSupplies) {
        if (supply.nLevel >= 0 && supply.nLow >= 0 && supply.nLevel <= supply.nLow)
            aNames.push_back(supply.strName);
    }
    return aNames;
}

// --watch --status: each listed printer asked as the scan's --status asks it
// (IPP, SNMP for a printer found over SNMP) when listed and again every
// interval, never twice at once; a change in what it answers is a CHANGE
// event of the watch.
class CWatchStatus {
public:
    CWatchStatus(std::chrono::milliseconds bound, std::chrono::milliseconds interval, CLiveWatch& watch,
                 std::vector<std::string> aSnmpCommunities, CServedWatch* pServed)
        : m_watch(watch),
          m_pServed(pServed),
          m_query(std::move(aSnmpCommunities)),
          m_runner([this](size_t nId, const PrinterStatus& status) { OnResult(nId, status); }, bound,
                   CIppStatusRunner::MAX_PARALLEL,
                   [this](const StatusTarget& target, std::chrono::milliseconds queryBound,
                          const std::atomic<bool>& bCancel) { return m_query(target, queryBound, bCancel); }),
          m_asker([this, interval] { AskEveryInterval(interval); }) {}
    ~CWatchStatus() { Close(); }

    // No more questions and no more events: those still out are given up.
    void Close() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bClosed) return;
            m_bClosed = true;
        }
        m_cvClosed.notify_all();
        m_asker.join();
        m_runner.Cancel();
        m_runner.WaitAll();
    }

    void Ask(const ScanRow& row) {
        std::lock_guard<std::mutex> lock(m_mutex);
        // By id: twins at one address are asked, and answer, apart.
        if (m_bClosed || !m_asked.emplace(ScanRowId(row), m_nNextId).second) return;
        m_ids.emplace(m_nNextId, std::pair(ScanRowId(row), row.strIpAddress));
        m_query.Remember(row);
        m_runner.Add(m_nNextId++, StatusTargetForRow(row));
    }
    void Forget(const ScanRow& row) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_statuses.erase(ScanRowId(row));
        m_query.Forget(row.strIpAddress);
    }
    // For the output, which reads the statuses while it holds the lock.
    std::mutex& GetMutex() { return m_mutex; }
    const std::unordered_map<std::u16string, PrinterStatus>& GetStatuses() const { return m_statuses; }

private:
    void OnResult(size_t nId, const PrinterStatus& status) {
        std::u16string strId;
        std::vector<std::string> aChanged;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto [strRowId, strAddress] = m_ids[nId];
            strId = strRowId;
            m_ids.erase(nId);
            m_asked.erase(strId);
            if (m_bClosed) return;
            auto it = m_statuses.find(strId);
            aChanged = it == m_statuses.end() ? std::vector<std::string>{"state"}
                                              : ChangedStatus(it->second, status);
            m_statuses[strId] = status;
            if (m_pServed) m_pServed->OnStatus(strId, status);
        }
        m_watch.ReportChange(strId, std::move(aChanged));
    }
    void AskEveryInterval(std::chrono::milliseconds interval) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_cvClosed.wait_for(lock, interval, [this] { return m_bClosed; })) {
            lock.unlock();
            for (const ScanRow& row : m_watch.GetRows()) Ask(row);
            lock.lock();
        }
    }

    CLiveWatch& m_watch;
    CServedWatch* const m_pServed;
    CRowStatusQuery m_query;  // before the runner, whose workers use it
    std::mutex m_mutex;       // everything below; taken after the watch's own lock, never before
    std::condition_variable m_cvClosed;
    bool m_bClosed = false;
    size_t m_nNextId = 0;
    std::unordered_map<size_t, std::pair<std::u16string, std::u16string>>
        m_ids;                                           // the queries out: id, address
    std::unordered_map<std::u16string, size_t> m_asked;  // the printers they ask, by id
    std::unordered_map<std::u16string, PrinterStatus> m_statuses;
    CIppStatusRunner m_runner;
    std::thread m_asker;  // last: it uses the rest
};

const PrinterStatus* FindStatus(const std::unordered_map<std::u16string, PrinterStatus>* pStatuses,
                                const std::u16string& strAddress) {
    if (!pStatuses) return nullptr;
    const auto it = pStatuses->find(strAddress);
    return it == pStatuses->end() ? nullptr : &it->second;
}

// Said once when it goes and once when it is back.
void ReportDaemon(const std::u16string& strSource, bool bLost) {
    const DiscoveryMethod* pMethod = FindMethodByName(strSource);
    const std::string strDaemon = pMethod && !pMethod->strDaemon.empty()
                                      ? Utf16ToUtf8(std::u16string(pMethod->strDaemon))
                                      : Utf16ToUtf8(strSource) + "'s daemon";
    if (bLost) {
        std::fprintf(stderr,
                     "hvl-scan: %s went away; its printers stay listed, watching goes on when it is back.\n",
                     strDaemon.c_str());
    } else {
        std::fprintf(stderr, "hvl-scan: %s is back.\n", strDaemon.c_str());
    }
}

// At the end of the table: the printers still listed, with when each was last seen.
void WriteListed(std::vector<ScanRow> aRows, SortKey nSort) {
    SortRows(aRows, nSort);
    for (const ScanRow& row : aRows) {
        std::string strLine = TableLine(row);
        strLine.insert(strLine.size() - 1, "  last seen " + TimeText(row.tLastSeen, true));
        WriteOut(strLine, true);
    }
    WriteOut(CountText(aRows.size()) + "\n", true);
}

}  // namespace

std::vector<std::string> ChangedStatus(const PrinterStatus& before, const PrinterStatus& after) {
    std::vector<std::string> aChanged;
    if (before.nState != after.nState) aChanged.push_back("state");
    if (WorstReason(before) != WorstReason(after)) aChanged.push_back("reasons");
    if (LowSupplies(before) != LowSupplies(after)) aChanged.push_back("supplies");
    return aChanged;
}

std::string WatchEventLine(const WatchEvent& event) {
    std::string strLine = TableLine(event.row);
    strLine.pop_back();
    strLine = TimeText(event.tTime, true) + "  " + EventSymbol(event.nKind) + "  " + strLine;
    if (event.nKind == WatchEventKind::REMOVE)
        strLine += std::string("  (") + RemoveReasonText(event.reason) + ")";
    if (event.nKind == WatchEventKind::CHANGE) {
        strLine += "  (changed:";
        for (size_t i = 0; i < event.aChanged.size(); ++i)
            strLine += (i == 0 ? " " : ", ") + event.aChanged[i];
        strLine += ")";
    }
    // Listed but not answering: said on each of its lines until it answers.
    if (event.nKind != WatchEventKind::REMOVE && event.row.nState == RowState::UNREACHABLE)
        strLine += "  unreachable";
    return strLine + "\n";
}

std::string WatchEventJson(const WatchEvent& event, const std::vector<OutputColumn>& aColumns) {
    nlohmann::json row = nlohmann::json::object();
    for (const OutputColumn& column : aColumns) {
        if (column.fnJson) row[column.strName] = column.fnJson(event.row);
    }
    const nlohmann::json line = {
        {"event", EventName(event.nKind)},
        {"time", TimeText(event.tTime)},
        {"reason", event.nKind == WatchEventKind::REMOVE ? nlohmann::json(RemoveReasonText(event.reason))
                                                         : nlohmann::json()},
        {"changed", event.aChanged},
        {"gone", event.strGoneId.empty() ? nlohmann::json() : nlohmann::json(Utf16ToUtf8(event.strGoneId))},
        {"state", event.row.nState == RowState::REACHABLE ? "reachable" : "unreachable"},
        {"row", std::move(row)}};
    return EscapeUnsafeJsonCharacters(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) +
           "\n";
}

WatchOutcome RunWatch(const ScanOptions& args, const LiveScanSettings& settings, const WatchHooks& hooks) {
    LiveWatchSettings watchSettings;
    watchSettings.interval = settings.watchInterval;
    for (const DiscoveryMethod* pMethod : DiscoveryMethods()) {
        if (pMethod->pLiveness) watchSettings.datagrams.emplace(pMethod->nKind, *pMethod->pLiveness);
    }
    watchSettings.forgetAfter = SecondsAs<std::chrono::milliseconds>(args.fForgetAfterMinutes * 60);
    std::unique_ptr<CWatchStatus> pStatus;
    std::vector<OutputColumn> aColumns = BaseColumns();
    for (OutputColumn& column : SeenColumns(true)) aColumns.push_back(std::move(column));
    if (!args.aDomains.empty()) aColumns.push_back(DomainColumn());
    const std::unordered_map<std::u16string, PrinterStatus>* pStatuses = nullptr;
    // A watch whose output is gone ends rather than watch for no one.
    std::atomic<bool> bOutputFailed{false};
    auto fnEvent = [&](const WatchEvent& event) {
        if (pStatus && event.nKind == WatchEventKind::ADD) pStatus->Ask(event.row);
        if (pStatus && event.nKind == WatchEventKind::REMOVE) pStatus->Forget(event.row);
        if (hooks.fnRowsChanged) hooks.fnRowsChanged();
        std::unique_lock<std::mutex> lock;
        if (pStatus) lock = std::unique_lock<std::mutex>(pStatus->GetMutex());
        if (hooks.pServed) hooks.pServed->OnEvent(event, FindStatus(pStatuses, ScanRowId(event.row)));
        if (args.bJson) {
            if (!WriteOut(WatchEventJson(event, aColumns), true)) bOutputFailed = true;
            return;
        }
        std::string strLine = WatchEventLine(event);
        if (pStatuses && event.nKind == WatchEventKind::CHANGE) {
            const auto it = pStatuses->find(ScanRowId(event.row));
            if (it != pStatuses->end())
                strLine.insert(strLine.size() - 1, "  " + Printable(StatusSummary(it->second)));
        }
        if (!WriteOut(strLine, true)) bOutputFailed = true;
    };
    CLiveWatch watch(CreateLiveSources(settings), watchSettings, fnEvent);
    if (args.bStatus) {
        const auto bound = SecondsAs<std::chrono::milliseconds>(args.fStatusTimeoutSeconds);
        // Without --snmp no SNMP packet leaves.
        pStatus = std::make_unique<CWatchStatus>(
            bound, settings.watchInterval, watch,
            args.Uses(ROW_KIND_SNMP) ? args.aSnmpCommunities : std::vector<std::string>{}, hooks.pServed);
        pStatuses = &pStatus->GetStatuses();
    }
    for (OutputColumn& column : StatusColumns(pStatuses)) aColumns.push_back(std::move(column));
    aColumns.push_back(UuidColumn());
    watch.SetUnavailableCallback([&hooks](const std::u16string& strSource) {
        if (hooks.pServed) hooks.pServed->OnMethod(strSource, false);
        if (hooks.fnUnavailable) hooks.fnUnavailable(strSource);
        if (hooks.fnMethodWorks) hooks.fnMethodWorks(strSource, false);
    });
    if (hooks.pServed) {
        for (int32_t nKind : args.aMethodKinds) {
            if (const DiscoveryMethod* pMethod = FindMethodByKind(nKind))
                hooks.pServed->OnMethod(std::u16string(pMethod->strSource), true);
        }
    }
    watch.SetRowFilter(hooks.fnFilter);
    if (hooks.pServed) {
        watch.SetSearchDoneCallback(
            [&hooks](const std::u16string& strName, CLiveWatch::Clock::duration took) {
                const DiscoveryMethod* pMethod = FindMethodByName(strName);
                if (pMethod) hooks.pServed->OnSearch(Utf16ToUtf8(std::u16string(pMethod->strSource)), took);
            });
    }
    watch.SetDaemonCallback([&hooks](const std::u16string& strSource, bool bLost) {
        if (hooks.pServed) hooks.pServed->OnMethod(strSource, !bLost);
        ReportDaemon(strSource, bLost);
        if (hooks.fnMethodWorks) hooks.fnMethodWorks(strSource, !bLost);
    });
    watch.SetDroppedCallback([](size_t nDropped) {
        std::fprintf(stderr, "hvl-scan: %zu events were dropped: the output was not read for too long.\n",
                     nDropped);
    });
    watch.SetStartedAgainCallback([&hooks](const std::u16string& strSource) {
        if (hooks.pServed) hooks.pServed->OnMethod(strSource, true);
        std::fprintf(stderr, "hvl-scan: %s discovery works now.\n", Utf16ToUtf8(strSource).c_str());
        if (hooks.fnMethodWorks) hooks.fnMethodWorks(strSource, true);
    });
    const auto tEnd = args.bTimeoutGiven
                          ? std::chrono::steady_clock::now() +
                                SecondsAs<std::chrono::steady_clock::duration>(args.fTimeoutSeconds)
                          : std::chrono::steady_clock::time_point::max();
    std::shared_ptr<void> pBeside;
    if (hooks.fnBeside) pBeside = hooks.fnBeside([&watch] { return watch.GetRows(); });
    // --serve: the rows' last signs of life, once an interval.
    auto tNextRows = std::chrono::steady_clock::now();
    const LiveRunResult result = watch.Run(tEnd, [&] {
        if (hooks.pServed && std::chrono::steady_clock::now() >= tNextRows) {
            hooks.pServed->OnRows(watch.GetRows());
            tNextRows += settings.watchInterval;
        }
        return bOutputFailed || (hooks.fnStopAsked && hooks.fnStopAsked());
    });
    pBeside.reset();
    if (pStatus) pStatus->Close();
    if (result.nEnabled > 0 && result.nAvailable == 0) {
        std::fprintf(
            stderr, "hvl-scan: error: no switched-on discovery method can work here; nothing was watched.\n");
        return {.bNothingCanWork = true};
    }
    if (!args.bJson) WriteListed(watch.GetRows(), args.nSort);
    return {.bOutputFailed = bOutputFailed || std::ferror(stdout) != 0};
}
