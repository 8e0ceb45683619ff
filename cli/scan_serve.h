// hvl-scan --watch --serve: the watched printers published for the server's
// thread, and the server's paths: /metrics, /targets, /printers and /.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http_serve.h"
#include "live_watch.h"
#include "printer_metrics.h"
#include "scan_options.h"

// The watch's printers as the last event left them. Each change publishes
// a new list; a request reads one list whole, so a scrape during a search
// sees a consistent one and never waits for the watch.
class CServedWatch {
public:
    explicit CServedWatch(bool bStatus) : m_pList(std::make_shared<ServedList>()) {
        m_pList->bStatus = bStatus;
    }
    // Each event of the watch, with the row's status (null when none yet).
    void OnEvent(const WatchEvent& event, const PrinterStatus* pStatus);
    // Each status answer of the printer strId, also when nothing the watch tells changed.
    void OnStatus(const std::u16string& strId, const PrinterStatus& status);
    // A method's search ended after that long.
    void OnSearch(const std::string& strSource, std::chrono::steady_clock::duration took);
    // The rows as the watch lists them now: their last signs of life. The
    // second call, an interval in, finds every method's first search ended.
    void OnRows(const std::vector<ScanRow>& aRows);
    // Whether a method (by its name or source) works now.
    void OnMethod(const std::u16string& strMethod, bool bUp);
    std::shared_ptr<const ServedList> Get() const;

private:
    mutable std::mutex m_mutex;
    int m_nRowsCalls = 0;
    std::shared_ptr<ServedList> m_pList;  // never changed once published: the next is a copy
};

// --serve's server, listening; null after saying why not on stderr.
std::unique_ptr<CHttpServe> StartServe(const ScanOptions& args, const CServedWatch& served);
