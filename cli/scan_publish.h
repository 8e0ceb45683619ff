// hvl-scan --publish: the printers a scan or a watch lists, written into a
// DNS domain as DNS-SD records and kept equal to what the link sees.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dns_publisher.h"
#include "scan_options.h"
#include "scan_row.h"

// What a row publishes: an mDNS row each printer service it announced;
// any other row (UPnP, WS-Discovery, SNMP, an mDNS name holder on port 0)
// nothing until IPP answered (then a TXT from its attributes); a unicast
// DNS-SD row never (it is in DNS already).
std::vector<PublishedPrinter> PrintersFromMdnsRow(const ScanRow& row);
bool NeedsIppForPublishing(const ScanRow& row);

class CScanPublisher {
public:
    // Reads --publish-key (not for --dry-run); null with the reason in strWhy.
    static std::unique_ptr<CScanPublisher> Create(const ScanOptions& args, std::string& strWhy);

    // The records the rows make (IPP asked for the rows that need it, each
    // once, within the bound).
    std::vector<DnsRecord> RecordsFor(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop);

    // One round: the domain made equal to the rows (without bDeleteUnseen:
    // only added to and replaced); stderr says why not.
    PublishResult Publish(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop,
                          bool bDeleteUnseen = true);

    // --dry-run: the records in zone-file syntax, the browse PTRs with them.
    std::string ZoneText(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop);

    const std::string& Domain() const { return m_args.strPublishDomain; }

private:
    explicit CScanPublisher(const ScanOptions& args, PublishTarget target);

    const ScanOptions& m_args;
    CDnsPublisher m_publisher;
    // IPP answers by row identity: a printer found without mDNS is asked once.
    std::map<std::string, std::optional<PublishedPrinter>> m_ippPrinters;
};

// --watch --publish: a round soon after each change the watch tells
// (debounced) and after every interval; until the link has been watched
// one interval, rounds only add and replace. After a failure again after
// 1, 2, 4 ... s (at most the interval); says once when it works again.
class CWatchPublisher {
public:
    CWatchPublisher(CScanPublisher& publisher, std::chrono::milliseconds interval,
                    std::function<std::vector<ScanRow>()> fnRows, std::function<bool()> fnStop);
    ~CWatchPublisher();

    // The watch told a change: a round within the debounce.
    void RowsChanged();

    static constexpr std::chrono::milliseconds DEBOUNCE{500};

private:
    using Clock = std::chrono::steady_clock;
    void Run();

    CScanPublisher& m_publisher;
    const std::chrono::milliseconds m_interval;
    const std::function<std::vector<ScanRow>()> m_fnRows;
    const std::function<bool()> m_fnStop;
    std::mutex m_mutex;
    std::condition_variable m_cvWake;
    bool m_bEnd = false;
    Clock::time_point m_tChangeRound = Clock::time_point::max();  // a change's round is due then
    std::thread m_thread;  // last: it uses the rest
};
