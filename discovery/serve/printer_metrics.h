// The watch's printers as Prometheus sees them: metrics in the text format
// (0.0.4) or OpenMetrics, and the targets of its HTTP service discovery.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ipp_status.h"
#include "live_watch.h"
#include "scan_row.h"

struct ServedPrinter {
    std::shared_ptr<const ScanRow> pRow;
    std::shared_ptr<const PrinterStatus> pStatus;  // null until it answered, and without --status
};

// What one scrape sees: the printers listed at one moment, never changed
// after it is published.
struct ServedList {
    std::vector<ServedPrinter> aPrinters;         // in the order they were listed
    bool bStatus = false;                         // statuses are asked (--status)
    std::map<std::string, uint64_t> events;       // the watch's events so far, by kind
    std::map<std::string, double> searchSeconds;  // how long each method's last search took, by source
    std::map<std::string, bool> methodsUp;        // whether each switched-on method works now, by source
    bool bReady = false;                          // every method's first search has ended
};

// The event applied to the list, keyed by the printers' ids: one entry per
// id, its status kept unless pStatus gives a newer one; an entry a merge
// retired, or one still under the address-made id of a printer that has
// since told its identity, goes.
void ApplyWatchEvent(ServedList& list, const WatchEvent& event, const PrinterStatus* pStatus);

// The served printer of that id, or null.
ServedPrinter* FindServedById(ServedList& list, const std::u16string& strId);

// The printer answered its status question (idle, printing, stopped).
bool IsAnswer(PrinterState nState);

// Every printer (pTarget null) or the one whose address is *pTarget (no
// watch figures then); bOpenMetrics: OpenMetrics 1.0, ended by "# EOF".
std::string MetricsText(const ServedList& list, bool bOpenMetrics, const std::u16string* pTarget = nullptr);
// Its parts: the printers' families, and the watch's own (its methods, its
// build, the process as Prometheus' client libraries name its figures).
std::string PrinterMetricsText(const ServedList& list, bool bOpenMetrics, const std::u16string* pTarget);
std::string WatchMetricsText(const ServedList& list, bool bOpenMetrics, const std::string& strVersion);

// The JSON Prometheus' http_sd_configs reads: a target group per printer,
// its address the target, its labels __meta_hvl_*.
std::string TargetsJson(const ServedList& list);

// The served printer whose address is strAddress ("[...]" as a target
// writes IPv6), or null.
const ServedPrinter* FindServedPrinter(const ServedList& list, std::u16string strAddress);
