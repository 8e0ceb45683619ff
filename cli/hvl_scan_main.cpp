// hvl-scan: one scan of the local network without a window. By default the
// live engine lists each printer the moment it answers; --window-scan runs
// the window's own providers, passes and printer list instead.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "conv_string.h"
#include "diagnose.h"
#include "glib_types.h"
#include "ipp_identify.h"
#include "live_scan.h"
#include "methods.h"
#include "printer_list.h"
#include "printer_registry.h"
#include "printer_scan.h"
#include "row_filter.h"
#include "scan_options.h"
#include "scan_output.h"
#include "scan_publish.h"
#include "scan_row.h"
#include "scan_serve.h"
#include "scan_status.h"
#include "scan_watch.h"
#include "search_options.h"

namespace {

std::atomic<bool> g_bStop{false};

extern "C" void OnStopSignal(int) {
    g_bStop.store(true);
}

// After a scan that found nothing: the checks that did not pass, on stderr.
// Only those that ask nothing of the network: the scan is over, and Ctrl+C
// must not wait for a DNS server.
void ExplainEmptyScan() {
    const DiagnoseReport report = RunDiagnose(DiagnoseScope::LOCAL);
    for (const DiagnoseLine& line : report.aLines) {
        if (line.nLevel != DiagnoseLine::Level::OK)
            std::fprintf(stderr, "hvl-scan: %s\n", line.strText.c_str());
    }
}

// After a scan that saw printers over mDNS: whether avahi-daemon's cache
// can hold them all, on stderr when it may not.
void WarnOfAvahiCache(size_t nMdnsInstances) {
    if (nMdnsInstances == 0) return;
    for (const DiagnoseLine& line : DiagnoseAvahiCache(nMdnsInstances).aLines) {
        if (line.nLevel == DiagnoseLine::Level::WARN)
            std::fprintf(stderr, "hvl-scan: %s\n", line.strText.c_str());
    }
}

// The window's providers and the live sources name their method as the list does.
void ReportUnavailable(const std::u16string& strName) {
    const DiscoveryMethod* pMethod = FindMethodByName(strName);
    const std::string strText = pMethod
                                    ? UnavailableText(*pMethod)
                                    : Utf16ToUtf8(strName) + " discovery is not available on this machine.";
    if (!strText.empty()) std::fprintf(stderr, "hvl-scan: %s\n", strText.c_str());
}

// The time limit of --timeout, from now.
std::chrono::steady_clock::time_point DeadlineAfter(double fSeconds) {
    return std::chrono::steady_clock::now() + SecondsAs<std::chrono::steady_clock::duration>(fSeconds);
}

// What a scan engine hands back to main.
struct ScanOutcome {
    bool bNothingCanWork = false;  // methods were switched on, none could run
    bool bStopped = false;         // Ctrl+C or the time limit ended it
    int32_t nEnabled = 0;          // multicast methods only: --domain names its own failures
    size_t nMdnsInstances = 0;     // live scan: the instances mDNS browses reported
};

// The window's scan: its providers, passes and trace lines, driven by the
// same 100 ms tick as the window.
ScanOutcome RunWindowScan(const ScanOptions& args, const SearchOptions& options,
                          const std::function<void(const ScanRow&)>& fnRow) {
    ScanOutcome outcome;
    CPrinterScan scan(CPrinterScan::CreateProviders(args.bIpp));
    scan.SetPrinterAddedCallback(
        [&fnRow](const PrinterData& printer) { fnRow(ScanRowFromPrinter(printer)); });
    const CPrinterScan::StartResult started = scan.StartScan(options);
    for (const std::u16string& strName : started.aUnavailable) ReportUnavailable(strName);
    outcome.nEnabled = started.nEnabled;
    if (started.nEnabled > 0 && started.nAvailable == 0) {
        outcome.bNothingCanWork = true;
        return outcome;
    }
    const auto tEnd = DeadlineAfter(args.fTimeoutSeconds);
    for (;;) {
        if ((g_bStop.load() || std::chrono::steady_clock::now() >= tEnd) && !outcome.bStopped) {
            scan.StopScan();  // what was found stays listed
            outcome.bStopped = true;
        }
        if (scan.Tick() == 0) break;
        std::this_thread::sleep_for(CPrinterScan::TICK_PERIOD);
    }
    scan.Shutdown();
    return outcome;
}

void ReportDomainProblem(const std::string& strLine) {
    std::fprintf(stderr, "hvl-scan: domain %s\n", strLine.c_str());
}

// The live scan's methods, --domain's browse among them, into sink: each
// printer listed the moment it answers.
LiveRunResult RunLiveScan(const LiveScanSettings& settings, CLiveRowSink& sink,
                          std::chrono::steady_clock::time_point tEnd) {
    return RunLiveSources(
        CreateLiveSources(settings), sink, tEnd, [] { return g_bStop.load(); }, ReportUnavailable);
}

// Everything hvl-scan's exit status depends on. ExitStatus holds the rules;
// the manual page's EXIT STATUS table says the same.
struct RunFacts {
    bool bBadArguments = false;
    bool bOutputFailed = false;    // stdout could not be written
    bool bNothingCanWork = false;  // no switched-on method could run (--diagnose: one cannot)
    // --status: a printer shown did not answer, is stopped or reports an
    // error. Printers a filter leaves out do not count; a filter that shows
    // none leaves the status 0.
    bool bUnhealthyPrinter = false;
    // --identify: the printer was not asked to identify itself (no answer,
    // no IPP, no Identify-Printer, refused).
    bool bNotIdentified = false;
    bool bCannotServe = false;    // --serve's address cannot be listened on
    bool bPublishFailed = false;  // --publish: the records could not be written
};

int ExitStatus(const RunFacts& facts) {
    if (facts.bBadArguments) return 2;
    if (facts.bOutputFailed || facts.bNothingCanWork || facts.bCannotServe) return 1;
    if (facts.bPublishFailed) return 4;
    if (facts.bUnhealthyPrinter || facts.bNotIdentified) return 3;
    return 0;
}

// --identify ADDRESS: one printer, at 631 (/ipp/print, then /) or its URI, bounded by
// --status-timeout; a line on stdout when it was asked, on stderr when not.
int Identify(const ScanOptions& args) {
    StatusTarget target;
    IdentifyTargetFor(args.strIdentify, target);  // checked with the options
    const IdentifyOutcome outcome =
        IdentifyPrinter(target, SecondsAs<std::chrono::milliseconds>(args.fStatusTimeoutSeconds), g_bStop);
    const bool bAsked = outcome.nResult == IdentifyResult::ASKED;
    const std::string strLine = Printable(Utf8ToUtf16(IdentifyText(outcome))) + "\n";
    if (bAsked)
        WriteOut(strLine);
    else
        std::fprintf(stderr, "hvl-scan: %s", strLine.c_str());
    return ExitStatus({.bOutputFailed = !OutputWhole(), .bNotIdentified = !bAsked});
}

// Reads the command line; an exit status when there is nothing to scan
// (--help, bad arguments).
std::optional<int> ReadOptions(int argc, char** argv, ScanOptions& args) {
    std::string strText;
    switch (ParseScanOptions(argc, argv, args, strText)) {
        case ParseResult::HELP:
            WriteOut(strText);
            return ExitStatus({.bOutputFailed = !OutputWhole()});
        case ParseResult::BAD:
            std::fputs(strText.c_str(), stderr);
            return ExitStatus({.bBadArguments = true});
        case ParseResult::RUN:
            break;
    }
    return std::nullopt;
}

int Diagnose(const ScanOptions& args) {
    DiagnoseReport report = RunDiagnose();
    if (!args.strPublishDomain.empty()) report.aLines.push_back(DiagnosePublish(args));
    for (const DiagnoseLine& line : report.aLines) std::printf("%s\n", line.strText.c_str());
    return ExitStatus(
        {.bOutputFailed = !OutputWhole(), .bNothingCanWork = !report.bMdnsCanWork || !report.bUpnpCanWork});
}

void InstallStopHandlers(bool bStatus) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A printer that ends a connection mid-request must not end hvl-scan.
    if (bStatus) signal(SIGPIPE, SIG_IGN);
}

// The methods of hvl.cfg, less those the command line leaves out.
SearchOptions MethodsFor(const ScanOptions& args) {
    SearchOptions options;
    options.Load();  // a missing file leaves both methods on
    if (!args.Uses(PROVIDER_KIND_MDNS)) options.bMdnsEnabled = 0;
    if (!args.Uses(PROVIDER_KIND_UPNP)) options.bUpnpEnabled = 0;
    return options;
}

// The live engine's settings: the command line's methods, less the window's
// two where hvl.cfg switches them off.
LiveScanSettings LiveSettingsFor(const ScanOptions& args) {
    const SearchOptions methods = MethodsFor(args);
    LiveScanSettings settings;
    for (int32_t nKind : args.aMethodKinds) {
        if ((nKind == PROVIDER_KIND_MDNS && !methods.bMdnsEnabled) ||
            (nKind == PROVIDER_KIND_UPNP && !methods.bUpnpEnabled))
            continue;
        settings.aKinds.push_back(nKind);
    }
    settings.bIpp = args.bIpp;
    settings.bMdnsDirect = args.bMdnsDirect;
    settings.aSnmpCommunities = args.aSnmpCommunities;
    settings.aSnmpAddresses = args.aSnmpAddresses;
    settings.aDomains = args.aDomains;
    settings.fnDomainProblem = ReportDomainProblem;
    if (!args.aDomains.empty()) settings.aKinds.push_back(ROW_KIND_UNICAST_DNSSD);
    return settings;
}

// One run's rows and the work that follows them: the status queries, when
// asked for.
struct ScanRun : CLiveRowSink {
    explicit ScanRun(const ScanOptions& options)
        : args(options),
          bLiveTable(!options.bJson && !options.bCsv && options.nSort == SortKey::None && !options.bDryRun),
          tEnd(DeadlineAfter(options.fTimeoutSeconds)) {}

    // The findings of every method and engine arrive on threads of their
    // own: one registry, one row per printer, whichever methods found it.
    FindingHandle Report(const FindingKey& key, ScanRow row) override {
        std::unique_lock<std::mutex> lock(rowsLock);
        CPrinterRegistry::Events events;
        const FindingHandle hFinding =
            rows.Report(key, std::move(row), std::chrono::steady_clock::now(), events);
        std::vector<ScanRow> aToAsk = Told(events);
        lock.unlock();
        Ask(aToAsk);
        return hFinding;
    }
    void SetAddresses(FindingHandle hFinding, std::vector<std::u16string> aAddresses) override {
        std::unique_lock<std::mutex> lock(rowsLock);
        CPrinterRegistry::Events events;
        rows.SetAddresses(hFinding, std::move(aAddresses), std::chrono::steady_clock::now(), events);
        std::vector<ScanRow> aToAsk = Told(events);
        lock.unlock();
        Ask(aToAsk);
    }
    // Under rowsLock: the lines in the order the registry told them. What is
    // to be asked is returned, to be asked once the lock is let go (an answer
    // takes it to show its line).
    std::vector<ScanRow> Told(const CPrinterRegistry::Events& events) {
        std::vector<ScanRow> aToAsk;
        for (const WatchEvent& event : events) {
            if (event.nKind == WatchEventKind::ADD && pStatus) {
                aToAsk.push_back(event.row);  // its line follows its answer
            } else if (!pStatus) {
                // Also when one more method found a listed printer: --source may take it now.
                ShowLive(event.row, nullptr, event.strGoneId);
            }
        }
        return aToAsk;
    }
    void Ask(const std::vector<ScanRow>& aRows) {
        for (const ScanRow& row : aRows) pStatus->Ask(row);
    }
    // A row's table line, once, as soon as what the filter asks is known.
    void ShowLive(const ScanRow& row, const PrinterStatus* pRowStatus, const std::u16string& strGoneId = {}) {
        if (!bLiveTable) return;
        const std::lock_guard<std::mutex> lock(linesLock);
        // Once per printer, by its id: a row that took another's id in (or
        // gained its identity) was shown if either was.
        const std::u16string strId = ScanRowId(row);
        if (!strGoneId.empty() && liveShown.count(strGoneId) != 0) liveShown.insert(strId);
        if (liveShown.count(strId) != 0 || !args.filter.Matches(row, pRowStatus)) return;
        liveShown.insert(strId);
        WriteOut(pRowStatus ? StatusTableLine(row, *pRowStatus, args.bDriverless) : TableLine(row));
        std::fflush(stdout);
    }
    std::function<void(const ScanRow&)> RowFn() {
        return [this](const ScanRow& row) { Report({row.nKind, row.strIpAddress}, row); };
    }

    const ScanOptions& args;
    const bool bLiveTable;  // no --json, --csv or --sort: a line per row as it arrives
    const std::chrono::steady_clock::time_point tEnd;
    std::mutex rowsLock;
    CPrinterRegistry rows{{}};
    std::mutex linesLock;
    std::unordered_set<std::u16string> liveShown;  // ScanRowIds, under linesLock
    std::unique_ptr<CScanStatus> pStatus;
};

void StartStatus(ScanRun& run) {
    if (!run.args.bStatus) return;
    const auto bound = SecondsAs<std::chrono::milliseconds>(run.args.fStatusTimeoutSeconds);
    CScanStatus::AnswerFn fnAnswer;
    if (run.bLiveTable)
        fnAnswer = [&run](const ScanRow& asked, const PrinterStatus& status) {
            // The row as it stands by now: the printer's other types, heard
            // while it was asked, are in it.
            std::unique_lock<std::mutex> lock(run.rowsLock);
            const ScanRow* pNow = run.rows.FindById(ScanRowId(asked));
            const ScanRow row = pNow ? *pNow : asked;
            lock.unlock();
            run.ShowLive(row, &status);
        };
    // Without --snmp no SNMP packet leaves, not even to a printer without IPP.
    run.pStatus = std::make_unique<CScanStatus>(
        bound, std::move(fnAnswer),
        run.args.Uses(ROW_KIND_SNMP) ? run.args.aSnmpCommunities : std::vector<std::string>{},
        run.args.bDriverless);
}

// --window-scan: the window's providers on this thread and --domain's browse
// beside them, through the live engine.
ScanOutcome RunWindowScanWithDomains(ScanRun& run, const SearchOptions& methods) {
    LiveScanSettings settings;
    settings.aKinds = {ROW_KIND_UNICAST_DNSSD};
    settings.bIpp = run.args.bIpp;
    settings.aDomains = run.args.aDomains;
    settings.fnDomainProblem = ReportDomainProblem;
    LiveRunResult domains;
    std::thread browse([&] { domains = RunLiveScan(settings, run, run.tEnd); });
    ScanOutcome outcome = RunWindowScan(run.args, methods, run.RowFn());
    browse.join();
    const bool bWindowScanned = outcome.nEnabled > 0 && !outcome.bNothingCanWork;
    if (domains.nEnabled > 0) outcome.bNothingCanWork = !bWindowScanned && domains.nAvailable == 0;
    return outcome;
}

// The scan engine chosen, every method's rows into the run's one list.
ScanOutcome RunScan(ScanRun& run) {
    if (run.args.bWindowScan) return RunWindowScanWithDomains(run, MethodsFor(run.args));
    const LiveRunResult result = RunLiveScan(LiveSettingsFor(run.args), run, run.tEnd);
    ScanOutcome outcome;
    outcome.nEnabled = result.nEnabled - (run.args.aDomains.empty() ? 0 : 1);
    outcome.bNothingCanWork = result.nEnabled > 0 && result.nAvailable == 0;
    outcome.bStopped = result.bStopped;
    outcome.nMdnsInstances = result.nMdnsInstances;
    return outcome;
}

// Each answer is bounded, and --timeout bounds them all: then, or at Ctrl+C,
// those still out are given up and those still queued are never asked.
void WaitForStatuses(ScanRun& run) {
    if (!run.pStatus) return;
    while (!run.pStatus->WaitFor(std::chrono::milliseconds(100))) {
        if (g_bStop.load() || std::chrono::steady_clock::now() >= run.tEnd) run.pStatus->Cancel();
    }
    // A printer that says where it stands only over IPP.
    // Its printer-uuid names a printer that no method identified, unless its
    // table line is out already (a line shown cannot be taken back).
    CPrinterRegistry::Events events;
    for (const auto& [strId, status] : run.pStatus->GetStatuses()) {
        run.rows.SetLocationIfUnknown(strId, status.strLocation);
        if (!run.bLiveTable)
            run.rows.SetIdentity(strId, UuidIdentity(status.strUuid), std::chrono::steady_clock::now(),
                                 events);
    }
}

const StatusByAddress* StatusesOf(const ScanRun& run) {
    return run.pStatus ? &run.pStatus->GetStatuses() : nullptr;
}

const PrinterStatus* StatusOf(const ScanRun& run, const ScanRow& row) {
    return run.pStatus ? FindRowStatus(run.pStatus->GetStatuses(), row) : nullptr;
}

// The document, or the sorted table and the count line; false when stdout
// could not take it.
bool WriteOutput(ScanRun& run, const std::vector<ScanRow>& aShown) {
    std::vector<OutputColumn> aColumns = BaseColumns();
    for (OutputColumn& column : SeenColumns(false)) aColumns.push_back(std::move(column));
    if (!run.args.aDomains.empty()) aColumns.push_back(DomainColumn());
    aColumns.push_back(UuidColumn());
    for (OutputColumn& column : StatusColumns(StatusesOf(run))) aColumns.push_back(std::move(column));
    const StatusByAddress* pJudged = run.args.bDriverless ? StatusesOf(run) : nullptr;
    for (OutputColumn& column : DriverlessColumns(pJudged)) aColumns.push_back(std::move(column));
    if (run.args.bJson) {
        WriteOut(JsonDocument(aShown, aColumns));
    } else if (run.args.bCsv) {
        WriteOut(CsvDocument(aShown, aColumns));
    } else {
        // --sort: the table once every row is in.
        for (size_t i = 0; !run.bLiveTable && i < aShown.size(); ++i) {
            const PrinterStatus* pRowStatus = StatusOf(run, aShown[i]);
            WriteOut(pRowStatus ? StatusTableLine(aShown[i], *pRowStatus, run.args.bDriverless)
                                : TableLine(aShown[i]));
        }
        std::unique_lock<std::mutex> lock(run.linesLock);
        const size_t nShown = run.bLiveTable ? run.liveShown.size() : aShown.size();
        lock.unlock();
        WriteOut((run.args.filter.IsEmpty() ? CountText(run.rows.GetCount())
                                            : CountText(run.rows.GetCount(), nShown)) +
                 "\n");
    }
    return OutputWhole();
}

// A scan's one round of --publish: tried three times, 1 s and 2 s apart,
// while the server does not answer;
// false when the records could not be written (stderr says why).
bool PublishScan(CScanPublisher& publisher, const std::vector<ScanRow>& aShown) {
    const auto fnStop = [] { return g_bStop.load(); };
    PublishResult result;
    for (int nTry = 0; nTry < 3 && !g_bStop.load(); ++nTry) {
        if (nTry > 0) std::this_thread::sleep_for(std::chrono::seconds(nTry));
        result = publisher.Publish(aShown, fnStop);
        if (result.bOk) return true;
        if (result.bRefused) break;
    }
    std::fprintf(stderr, "hvl-scan: publish: %s; nothing more was written into %s.\n", result.strWhy.c_str(),
                 publisher.Domain().c_str());
    return false;
}

// --unpublish: exit 0 when what this publisher wrote is gone, 4 when not.
int Unpublish(CScanPublisher& publisher) {
    const PublishResult result = publisher.Unpublish([] { return g_bStop.load(); });
    if (result.bOk) {
        std::fprintf(stderr, "hvl-scan: deleted %zu records of this publisher from %s.\n", result.nDeleted,
                     publisher.Domain().c_str());
        return 0;
    }
    std::fprintf(stderr, "hvl-scan: unpublish: %s\n", result.strWhy.c_str());
    return ExitStatus({.bPublishFailed = true});
}

bool AnyUnhealthy(const ScanRun& run, const std::vector<ScanRow>& aShown) {
    return std::any_of(aShown.begin(), aShown.end(), [&run](const ScanRow& row) {
        const PrinterStatus* pRowStatus = StatusOf(run, row);
        return pRowStatus && !IsStatusHealthy(*pRowStatus);
    });
}

// --watch: the live engine kept running until Ctrl+C or --timeout, with
// every switched-on method; the filters choose the printers watched.
int Watch(const ScanOptions& args, CScanPublisher* pPublisher) {
    LiveScanSettings settings = LiveSettingsFor(args);
    settings.bWatch = true;
    settings.watchInterval = SecondsAs<std::chrono::milliseconds>(args.fWatchIntervalSeconds);
    const auto fnFilter = [&args](const ScanRow& row) {
        return args.filter.Matches(row, static_cast<const PrinterStatus*>(nullptr));
    };
    // --serve: the server ends with the watch.
    CServedWatch served(args.bStatus);
    std::unique_ptr<CHttpServe> pServer;
    if (!args.strServe.empty() && !(pServer = StartServe(args, served)))
        return ExitStatus({.bCannotServe = true});
    WatchHooks hooks{
        [] { return g_bStop.load(); }, ReportUnavailable, fnFilter, pServer ? &served : nullptr, {}, {}, {}};
    // Set before the watch runs; the watch's threads only read it.
    std::weak_ptr<CWatchPublisher> pWatchPublisher;
    if (pPublisher) {
        hooks.fnBeside = [pPublisher, &settings,
                          &pWatchPublisher](std::function<std::vector<ScanRow>()> fnRows) {
            auto pBeside = std::make_shared<CWatchPublisher>(
                *pPublisher, settings.watchInterval, std::move(fnRows), [] { return g_bStop.load(); });
            pWatchPublisher = pBeside;
            return std::shared_ptr<void>(pBeside);
        };
        hooks.fnRowsChanged = [&pWatchPublisher] {
            if (const auto p = pWatchPublisher.lock()) p->RowsChanged();
        };
        hooks.fnMethodWorks = [&pWatchPublisher](const std::u16string& strSource, bool bWorks) {
            if (const auto p = pWatchPublisher.lock()) p->MethodWorks(strSource, bWorks);
        };
    }
    const WatchOutcome outcome = RunWatch(args, settings, hooks);
    return ExitStatus({.bOutputFailed = outcome.bOutputFailed, .bNothingCanWork = outcome.bNothingCanWork});
}

}  // namespace

int main(int argc, char** argv) {
    ScanOptions args;
    if (const std::optional<int> nExit = ReadOptions(argc, argv, args)) return *nExit;
    SetUpGLibTypes();  // before any thread: status, unicast, diagnosis and live scan
    if (args.bDiagnose) return Diagnose(args);
    std::string strWhy;
    std::unique_ptr<CScanPublisher> pPublisher;
    if (!args.strPublishDomain.empty() && !(pPublisher = CScanPublisher::Create(args, strWhy))) {
        std::fprintf(stderr, "hvl-scan: %s\n", strWhy.c_str());
        return ExitStatus({.bBadArguments = true});
    }
    InstallStopHandlers(args.bStatus || !args.strIdentify.empty());
    if (!args.strIdentify.empty()) return Identify(args);
    if (pPublisher && args.bUnpublish) return Unpublish(*pPublisher);
    if (args.bWatch) return Watch(args, pPublisher.get());

    ScanRun run(args);
    StartStatus(run);
    const ScanOutcome outcome = RunScan(run);
    if (outcome.bNothingCanWork) {
        std::fprintf(
            stderr, "hvl-scan: error: no switched-on discovery method can work here; nothing was scanned.\n");
        ExplainEmptyScan();
        return ExitStatus({.bNothingCanWork = true});
    }
    WaitForStatuses(run);
    const std::vector<ScanRow> aShown =
        ShownRows(run.rows.GetRows(), args.filter, StatusesOf(run), args.nSort);
    if (pPublisher && args.bDryRun) {
        WriteOut(pPublisher->ZoneText(aShown, [] { return g_bStop.load(); }));
        return ExitStatus({.bOutputFailed = !OutputWhole()});
    }
    const bool bWritten = WriteOutput(run, aShown);
    const bool bPublished = !pPublisher || PublishScan(*pPublisher, aShown);
    // Nothing found by a scan that ran to its end: say what may be missing.
    if (run.rows.GetCount() == 0 && !outcome.bStopped && outcome.nEnabled > 0) ExplainEmptyScan();
    WarnOfAvahiCache(outcome.nMdnsInstances);
    return ExitStatus({.bOutputFailed = !bWritten,
                       .bUnhealthyPrinter = AnyUnhealthy(run, aShown),
                       .bPublishFailed = !bPublished});
}
