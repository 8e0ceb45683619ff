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
#include <set>
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

    // What the rows publish (IPP asked for the rows that need it, within the
    // bound, again when a row's addresses change, after a failure with
    // backoff, and every IPP_REFRESH; a row unreachable for now keeps its
    // last answer).
    std::vector<PublishedPrinter> PrintersFor(const std::vector<ScanRow>& aRows,
                                              const std::function<bool()>& fnStop);

    // One round: the domain made equal to the rows (without bDeleteUnseen:
    // only added to and replaced); stderr says why not, and the notices once.
    PublishResult Publish(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop,
                          bool bDeleteUnseen = true);

    // --unpublish: what this publisher wrote into the domain, deleted.
    PublishResult Unpublish(const std::function<bool()>& fnStop);

    // --dry-run: the records in zone-file syntax, the browse PTRs with them.
    std::string ZoneText(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop);

    const std::string& Domain() const { return m_args.strPublishDomain; }

private:
    explicit CScanPublisher(const ScanOptions& args, PublishTarget target);

    using Clock = std::chrono::steady_clock;
    struct IppAnswer {
        std::vector<std::u16string> aAddresses;   // the row's when asked
        std::optional<PublishedPrinter> printer;  // the last answer that told one
        Clock::time_point tNext;                  // ask again then
        std::chrono::seconds backoff{0};          // after a failure: doubles up to IPP_REFRESH
    };
    std::vector<DnsRecord> RecordsFor(const std::vector<PublishedPrinter>& aPrinters,
                                      const std::set<std::string>& taken);
    void Tell(const std::string& strLine);

    const ScanOptions& m_args;
    CDnsPublisher m_publisher;
    // IPP answers by row id (a printer found without mDNS).
    std::map<std::u16string, IppAnswer> m_ippAnswers;
    std::set<std::string> m_told;  // lines said once

public:
    static constexpr std::chrono::seconds IPP_REFRESH{600};
    static constexpr std::chrono::seconds IPP_FIRST_BACKOFF{15};
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
    // A method can work (again) or cannot: while one cannot, nothing is
    // deleted, and only one interval after it works again.
    void MethodWorks(const std::u16string& strSource, bool bWorks);

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
    Clock::time_point m_tJudgeFrom;                               // deleting what is not seen from then on
    std::set<std::u16string> m_down;                              // the methods that cannot work now
    std::thread m_thread;                                         // last: it uses the rest
};
