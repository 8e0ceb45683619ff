#include "printer_metrics.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

#include <glib.h>
#include <nlohmann/json.hpp>

#include "conv_string.h"
#include "methods.h"

namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

std::string Text(const std::u16string& str) {
    return Utf16ToUtf8(str);
}

std::string SourceOf(int32_t nKind) {
    const DiscoveryMethod* pMethod = FindMethodByKind(nKind);
    return pMethod ? Utf16ToUtf8(std::u16string(pMethod->strSource)) : "";
}

// The row's method first, then the others in the order they answered.
std::string SourcesOf(const ScanRow& row) {
    std::string strSources = SourceOf(row.nKind);
    // Appended in steps: GCC 12 at -O3 takes "," + std::string for an overlapping copy.
    for (int32_t nKind : row.aOtherKinds) {
        strSources += ',';
        strSources += SourceOf(nKind);
    }
    return strSources;
}

bool FoundOverSnmp(const ServedPrinter& printer) {
    const ScanRow& row = *printer.pRow;
    return row.nKind == ROW_KIND_SNMP ||
           std::find(row.aOtherKinds.begin(), row.aOtherKinds.end(), ROW_KIND_SNMP) !=
               row.aOtherKinds.end() ||
           (printer.pStatus && printer.pStatus->bFromSnmp && IsAnswer(printer.pStatus->nState));
}

bool AnsweredIpp(const ServedPrinter& printer) {
    return printer.pStatus && !printer.pStatus->bFromSnmp && IsAnswer(printer.pStatus->nState);
}

std::string LabelText(const Labels& labels) {
    if (labels.empty()) return "";
    std::string str = "{";
    for (const auto& [pszName, strValue] : labels) {
        if (str.size() > 1) str += ',';
        str += pszName;
        str += "=\"";
        for (char c : strValue) {
            if (c == '\\' || c == '"') str += '\\';
            str += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        str += '"';
    }
    return str + "}";
}

std::string ValueText(double fValue) {
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.15g", fValue);
    return sz;
}

// One metric family: its HELP and TYPE, then its samples, written out
// whole (both formats want a family's samples together); nothing when it
// has none.
class CFamily {
public:
    // pszOpenType: its OpenMetrics type ("info", "counter"), whose samples'
    // names carry pszSuffix; the text format names the family as them.
    CFamily(std::string& strOut, bool bOpenMetrics, const char* pszName, const char* pszType,
            const char* pszHelp, const char* pszOpenType = nullptr, const char* pszSuffix = "")
        : m_strOut(strOut), m_strSample(std::string(pszName) + pszSuffix) {
        const std::string strFamily = bOpenMetrics ? std::string(pszName) : m_strSample;
        m_strHead = "# HELP " + strFamily + " " + pszHelp + "\n# TYPE " + strFamily + " " +
                    (bOpenMetrics && pszOpenType ? pszOpenType : pszType) + "\n";
    }
    CFamily(const CFamily&) = delete;
    CFamily& operator=(const CFamily&) = delete;
    void Flush() {
        if (!m_strBody.empty()) m_strOut += m_strHead + m_strBody;
        m_strBody.clear();
    }
    void Add(const Labels& labels, double fValue) {
        m_strBody += m_strSample + LabelText(labels) + " " + ValueText(fValue) + "\n";
    }

private:
    std::string& m_strOut;
    const std::string m_strSample;
    std::string m_strHead;
    std::string m_strBody;
};

constexpr PrinterState STATES[] = {PrinterState::Idle,  PrinterState::Printing, PrinterState::Stopped,
                                   PrinterState::NoIpp, PrinterState::NoAnswer, PrinterState::NeedsAuth};
constexpr const char* STATE_NAMES[] = {"idle", "printing", "stopped", "no_ipp", "no_answer", "needs_auth"};

// The reason as one series whatever its severity: "toner-low-warning" and
// "toner-low-error" are one reason, the severity label tells which.
std::string ReasonName(const std::u16string& strKeyword) {
    std::string str = Text(strKeyword);
    for (const char* pszSuffix : {"-report", "-warning", "-error"}) {
        if (str.size() > strlen(pszSuffix) && str.ends_with(pszSuffix))
            return str.substr(0, str.size() - strlen(pszSuffix));
    }
    return str;
}

const char* SeverityName(ReasonSeverity nSeverity) {
    return nSeverity == ReasonSeverity::Report    ? "report"
           : nSeverity == ReasonSeverity::Warning ? "warning"
                                                  : "error";
}

// -3, -2, -1 as the Printer MIB names them: a level no ratio can say.
std::string UnmeasuredName(const SupplyLevel& supply) {
    if (supply.strLevelText == u"some remaining") return "some_remaining";
    if (supply.strLevelText == u"other") return "other";
    return "unknown";
}

struct PrinterFamilies {
    CFamily info, up, state, reason, level, fill, unmeasured, low, accepting, pages, seen;
    PrinterFamilies(std::string& s, bool b)
        : info(s, b, "hvl_printer", "gauge",
               "A printer the watch lists; its identity and what it says of itself.", "info", "_info"),
          up(s, b, "hvl_printer_up", "gauge",
             "Whether the printer is reachable: it answers the watch's liveness check."),
          state(s, b, "hvl_printer_state", "gauge",
                "The printer's state: 1 for the one it is in, 0 for the others.", "stateset"),
          reason(s, b, "hvl_printer_state_reason", "gauge", "A reason the printer gives for its state."),
          level(s, b, "hvl_printer_supply_level_ratio", "gauge", "How much of a supply is left, 0 to 1."),
          fill(s, b, "hvl_printer_supply_fill_ratio", "gauge",
               "How full a receptacle (waste toner) is, 0 to 1."),
          unmeasured(
              s, b, "hvl_printer_supply_unmeasured", "gauge",
              "A supply whose level the printer gives as no amount: some_remaining, unknown or other."),
          low(s, b, "hvl_printer_supply_low_ratio", "gauge",
              "The level at which the printer itself calls the supply low, 0 to 1."),
          accepting(s, b, "hvl_printer_accepting_jobs", "gauge", "Whether the printer accepts jobs."),
          pages(s, b, "hvl_printer_pages", "counter", "The pages the printer printed in its life.", nullptr,
                "_total"),
          seen(s, b, "hvl_printer_last_seen_timestamp_seconds", "gauge",
               "When the printer last gave a sign of life, in seconds since the epoch.") {}
    ~PrinterFamilies() {
        for (CFamily* pFamily :
             {&info, &up, &state, &reason, &level, &fill, &unmeasured, &low, &accepting, &pages, &seen})
            pFamily->Flush();
    }
};

// The state set: the status' state, or unreachable (pStatus null).
void AddState(PrinterFamilies& f, const std::string& strId, const PrinterStatus* pStatus) {
    for (size_t i = 0; i < std::size(STATES); ++i)
        f.state.Add({{"id", strId}, {"hvl_printer_state", STATE_NAMES[i]}},
                    pStatus && pStatus->nState == STATES[i] ? 1 : 0);
    f.state.Add({{"id", strId}, {"hvl_printer_state", "unreachable"}}, pStatus ? 0 : 1);
}

void AddStatus(PrinterFamilies& f, const std::string& strId, const PrinterStatus& status) {
    AddState(f, strId, &status);
    if (status.nAccepting >= 0) f.accepting.Add({{"id", strId}}, status.nAccepting);
    if (status.nPageCount >= 0) f.pages.Add({{"id", strId}}, double(status.nPageCount));
    for (const StateReason& reason : status.aReasons)
        f.reason.Add({{"id", strId},
                      {"reason", ReasonName(reason.strKeyword)},
                      {"severity", SeverityName(reason.nSeverity)}},
                     1);
    for (size_t i = 0; i < status.aSupplies.size(); ++i) {
        const SupplyLevel& supply = status.aSupplies[i];
        Labels labels{{"id", strId},
                      {"index", std::to_string(supply.nIndex >= 0 ? size_t(supply.nIndex) : i)},
                      {"supply", Text(supply.strName)},
                      {"kind", Text(supply.strType)},
                      {"color", Text(supply.strColor)}};
        if (supply.nLevel < 0) {
            labels.emplace_back("level", UnmeasuredName(supply));
            f.unmeasured.Add(labels, 1);
        } else {
            (supply.bReceptacle ? f.fill : f.level).Add(labels, std::min(supply.nLevel, 100) / 100.0);
        }
        if (supply.nLow >= 0 && !supply.bReceptacle) {
            if (supply.nLevel < 0) labels.pop_back();
            f.low.Add(labels, std::min(supply.nLow, 100) / 100.0);
        }
    }
}

void AddPrinter(PrinterFamilies& f, const ServedPrinter& printer, bool bStatus) {
    const ScanRow& row = *printer.pRow;
    const std::string strId = Text(ScanRowId(row));
    f.info.Add({{"id", strId},
                {"ip", Text(row.strIpAddress)},
                {"name", Text(row.strName)},
                {"model", Text(row.strModel)},
                {"location", Text(row.strLocation)},
                {"url", Text(row.strUrl)},
                {"source", SourceOf(row.nKind)},
                {"sources", SourcesOf(row)}},
               1);
    // Up is the liveness check's word, with or without --status; an
    // unreachable printer's last status is stale and not shown.
    const bool bUp = row.nState == RowState::REACHABLE;
    f.up.Add({{"id", strId}}, bUp ? 1 : 0);
    if (!bUp && bStatus)
        AddState(f, strId, nullptr);
    else if (bUp && printer.pStatus && printer.pStatus->nState != PrinterState::NotAsked)
        AddStatus(f, strId, *printer.pStatus);
    const double fSeen = std::chrono::duration<double>(row.tLastSeen.time_since_epoch()).count();
    if (fSeen > 0) f.seen.Add({{"id", strId}}, fSeen);
}

void AddWatchFigures(std::string& strOut, const ServedList& list, bool bOpenMetrics) {
    CFamily printers(strOut, bOpenMetrics, "hvl_watch_printers", "gauge",
                     "The printers the watch lists, by the method that found them first.");
    std::map<std::string, size_t> bySource;
    for (const DiscoveryMethod* pMethod : DiscoveryMethods()) bySource[SourceOf(pMethod->nKind)] = 0;
    for (const ServedPrinter& printer : list.aPrinters) ++bySource[SourceOf(printer.pRow->nKind)];
    for (const auto& [strSource, nCount] : bySource) printers.Add({{"source", strSource}}, double(nCount));
    printers.Flush();
    CFamily events(strOut, bOpenMetrics, "hvl_watch_events", "counter",
                   "The watch's events: printers listed (add), gone (remove) or changed (change).", nullptr,
                   "_total");
    for (const char* pszKind : {"add", "remove", "change"}) {
        const auto it = list.events.find(pszKind);
        events.Add({{"kind", pszKind}}, it == list.events.end() ? 0 : double(it->second));
    }
    events.Flush();
    CFamily searches(strOut, bOpenMetrics, "hvl_watch_last_search_seconds", "gauge",
                     "How long the method's last search took (mDNS listens and never searches).");
    for (const auto& [strSource, fSeconds] : list.searchSeconds)
        searches.Add({{"method", strSource}}, fSeconds);
    searches.Flush();
}

// The process' own figures from /proc, as Prometheus' client libraries name them.
void AddProcessFigures(std::string& strOut, bool bOpenMetrics) {
    const long nTick = sysconf(_SC_CLK_TCK), nPage = sysconf(_SC_PAGESIZE);
    unsigned long nUser = 0, nSystem = 0, nVirtual = 0;
    unsigned long long nStart = 0;
    long nResident = 0;
    if (FILE* pStat = std::fopen("/proc/self/stat", "r")) {
        // After the command's closing parenthesis: fields 3 on; 14, 15 the CPU ticks, 22 the start, 23, 24
        // memory.
        char sz[1024] = {};
        const size_t nRead = std::fread(sz, 1, sizeof sz - 1, pStat);
        std::fclose(pStat);
        const char* psz = std::strrchr(sz, ')');
        if (nRead && psz)
            std::sscanf(
                psz + 2,
                "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d %*d %*d %llu %lu %ld",
                &nUser, &nSystem, &nStart, &nVirtual, &nResident);
    }
    double fBoot = 0;
    if (FILE* pStat = std::fopen("/proc/stat", "r")) {
        char sz[256];
        while (std::fgets(sz, sizeof sz, pStat))
            if (std::sscanf(sz, "btime %lf", &fBoot) == 1) break;
        std::fclose(pStat);
    }
    size_t nFds = 0;
    if (GDir* pDir = g_dir_open("/proc/self/fd", 0, nullptr)) {
        while (g_dir_read_name(pDir)) ++nFds;
        g_dir_close(pDir);
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const struct {
        const char *pszName, *pszType, *pszHelp, *pszSuffix;
        double fValue;
    } figures[] = {
        {"process_cpu_seconds", "counter", "Total user and system CPU time spent in seconds.", "_total",
         double(nUser + nSystem) / double(nTick)},
        {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", "",
         double(nResident) * double(nPage)},
        {"process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", "", double(nVirtual)},
        {"process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", "",
         fBoot + double(nStart) / double(nTick)},
        {"process_open_fds", "gauge", "Number of open file descriptors.", "",
         double(nFds) - 1},  // less the dir's own
        {"process_max_fds", "gauge", "Maximum number of open file descriptors.", "", double(limit.rlim_cur)},
    };
    for (const auto& figure : figures) {
        CFamily family(strOut, bOpenMetrics, figure.pszName, figure.pszType, figure.pszHelp,
                       *figure.pszSuffix ? figure.pszType : nullptr, figure.pszSuffix);
        family.Add({}, figure.fValue);
        family.Flush();
    }
}

// The id a merge retired, once the watch tells it.
template <typename Event>
std::u16string GoneId(const Event& event) {
    if constexpr (requires { event.strGoneId; })
        return event.strGoneId;
    else
        return {};
}

void EraseId(std::vector<ServedPrinter>& aPrinters, const std::u16string& strId) {
    if (strId.empty()) return;
    std::erase_if(aPrinters, [&](const ServedPrinter& p) { return ScanRowId(*p.pRow) == strId; });
}

}  // namespace

ServedPrinter* FindServedById(ServedList& list, const std::u16string& strId) {
    for (ServedPrinter& printer : list.aPrinters) {
        if (ScanRowId(*printer.pRow) == strId) return &printer;
    }
    return nullptr;
}

void ApplyWatchEvent(ServedList& list, const WatchEvent& event, const PrinterStatus* pStatus) {
    std::vector<ServedPrinter>& aPrinters = list.aPrinters;
    const std::u16string strId = ScanRowId(event.row);
    EraseId(aPrinters, GoneId(event));
    ServedPrinter* pPrinter = FindServedById(list, strId);
    // Listed before its identity was known: its entry went by an address of it.
    for (size_t i = 0; !pPrinter && !event.row.strId.empty() && i < event.row.aAddresses.size(); ++i)
        pPrinter = FindServedById(list, u"ip:" + event.row.aAddresses[i]);
    if (event.nKind == WatchEventKind::REMOVE) {
        if (pPrinter) aPrinters.erase(aPrinters.begin() + (pPrinter - aPrinters.data()));
        return;
    }
    if (!pPrinter) pPrinter = &aPrinters.emplace_back();
    pPrinter->pRow = std::make_shared<const ScanRow>(event.row);
    if (pStatus) pPrinter->pStatus = std::make_shared<const PrinterStatus>(*pStatus);
}

bool IsAnswer(PrinterState nState) {
    return nState == PrinterState::Idle || nState == PrinterState::Printing ||
           nState == PrinterState::Stopped;
}

const ServedPrinter* FindServedPrinter(const ServedList& list, std::u16string strAddress) {
    if (strAddress.size() > 2 && strAddress.front() == u'[' && strAddress.back() == u']')
        strAddress = strAddress.substr(1, strAddress.size() - 2);
    for (const ServedPrinter& printer : list.aPrinters) {
        if (printer.pRow->strIpAddress == strAddress) return &printer;
    }
    return nullptr;
}

std::string PrinterMetricsText(const ServedList& list, bool bOpenMetrics, const std::u16string* pTarget) {
    std::string strOut;
    {
        PrinterFamilies families(strOut, bOpenMetrics);
        const ServedPrinter* pOnly = pTarget ? FindServedPrinter(list, *pTarget) : nullptr;
        for (const ServedPrinter& printer : list.aPrinters) {
            if (!pTarget || &printer == pOnly) AddPrinter(families, printer, list.bStatus);
        }
    }  // the families written out, in their order
    return strOut;
}

std::string WatchMetricsText(const ServedList& list, bool bOpenMetrics, const std::string& strVersion) {
    std::string strOut;
    AddWatchFigures(strOut, list, bOpenMetrics);
    CFamily methods(strOut, bOpenMetrics, "hvl_watch_method_up", "gauge",
                    "Whether the discovery method works now (its daemon there, its sockets open).");
    for (const auto& [strSource, bUp] : list.methodsUp) methods.Add({{"method", strSource}}, bUp ? 1 : 0);
    methods.Flush();
    CFamily build(strOut, bOpenMetrics, "hvl_build", "gauge", "The hvl-scan that serves these figures.",
                  "info", "_info");
    build.Add({{"version", strVersion}}, 1);
    build.Flush();
    AddProcessFigures(strOut, bOpenMetrics);
    return strOut;
}

std::string MetricsText(const ServedList& list, bool bOpenMetrics, const std::u16string* pTarget) {
    std::string strOut = PrinterMetricsText(list, bOpenMetrics, pTarget);
    if (!pTarget) strOut += WatchMetricsText(list, bOpenMetrics, "");
    if (bOpenMetrics) strOut += "# EOF\n";
    return strOut;
}

std::string TargetsJson(const ServedList& list) {
    nlohmann::json groups = nlohmann::json::array();
    for (const ServedPrinter& printer : list.aPrinters) {
        const ScanRow& row = *printer.pRow;
        const std::string strAddress = Text(row.strIpAddress);
        groups.push_back(
            {{"targets", {strAddress.find(':') != std::string::npos ? "[" + strAddress + "]" : strAddress}},
             {"labels",
              {{"__meta_hvl_id", Text(ScanRowId(row))},
               {"__meta_hvl_name", Text(row.strName)},
               {"__meta_hvl_model", Text(row.strModel)},
               {"__meta_hvl_location", Text(row.strLocation)},
               {"__meta_hvl_source", SourceOf(row.nKind)},
               {"__meta_hvl_sources", SourcesOf(row)},
               {"__meta_hvl_snmp", FoundOverSnmp(printer) ? "true" : "false"},
               {"__meta_hvl_ipp", AnsweredIpp(printer) ? "true" : "false"}}}});
    }
    return groups.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
