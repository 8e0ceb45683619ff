#include "scan_publish.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <thread>

#include "conv_string.h"
#include "ipp_status.h"
#include "methods.h"
#include "scan_status.h"

namespace {

constexpr auto IPP_BOUND = std::chrono::seconds(3);

std::string TxtString(const DnsSdTxtItem& item) {
    return item.bHasValue ? item.strKey + "=" + item.strValue : item.strKey;
}

bool IsPublishedType(const std::string& strType) {
    const auto& aTypes = PublishedTypes();
    return std::find(aTypes.begin(), aTypes.end(), strType) != aTypes.end();
}

std::vector<std::string> Addresses(const ScanRow& row) {
    std::vector<std::string> aAddresses;
    for (const std::u16string& str : row.aAddresses) aAddresses.push_back(Utf16ToUtf8(str));
    if (aAddresses.empty()) aAddresses.push_back(Utf16ToUtf8(row.strIpAddress));
    return aAddresses;
}

// A host label from a name: lower-case letters, digits and '-'.
std::string HostFromName(const std::string& strName) {
    std::string strHost;
    for (char c : strName) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            strHost.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        } else if (!strHost.empty() && strHost.back() != '-') {
            strHost.push_back('-');
        }
    }
    while (!strHost.empty() && strHost.back() == '-') strHost.pop_back();
    return strHost.empty() ? "printer" : strHost;
}

// The path and port of "ipp://192.0.2.10:631/ipp/print".
void SplitIppUri(const std::string& strUri, std::string& strPath, uint16_t& nPort) {
    const size_t nHost = strUri.find("://");
    const size_t nSlash = strUri.find('/', nHost == std::string::npos ? 0 : nHost + 3);
    strPath = nSlash == std::string::npos ? std::string() : strUri.substr(nSlash + 1);
    const std::string strAuthority = strUri.substr(nHost + 3, nSlash - nHost - 3);
    const size_t nColon = strAuthority.rfind(':');
    nPort = 631;
    if (nColon != std::string::npos && strAuthority.find(']', nColon) == std::string::npos)
        nPort = static_cast<uint16_t>(std::atoi(strAuthority.c_str() + nColon + 1));
}

// The TXT IPP printers announce, from what Get-Printer-Attributes told.
std::optional<PublishedPrinter> PrinterFromIpp(const ScanRow& row, const PrinterStatus& status) {
    if (status.bFromSnmp || status.nState == PrinterState::NoIpp ||
        status.nState == PrinterState::NeedsAuth || status.nState == PrinterState::NoAnswer ||
        status.nState == PrinterState::NotAsked)
        return std::nullopt;
    PublishedPrinter printer;
    printer.strId = Utf16ToUtf8(ScanRowId(row));
    printer.strInstance = Utf16ToUtf8(row.strName);
    printer.strHost = HostFromName(printer.strInstance);
    printer.strType = "_ipp._tcp";
    printer.aAddresses = Addresses(row);
    std::string strPath;
    SplitIppUri(Utf16ToUtf8(status.strUri), strPath, printer.nPort);
    printer.aTxt = {"txtvers=1", "qtotal=1", "rp=" + strPath};
    const auto fnAdd = [&printer](const char* pszKey, const std::u16string& strValue) {
        if (!strValue.empty()) printer.aTxt.push_back(std::string(pszKey) + "=" + Utf16ToUtf8(strValue));
    };
    fnAdd("ty", status.strMakeAndModel);
    fnAdd("adminurl", status.strMoreInfo);
    fnAdd("note", status.strLocation);
    std::u16string strUuid = status.strUuid;
    if (strUuid.rfind(u"urn:uuid:", 0) == 0) strUuid.erase(0, 9);
    fnAdd("UUID", strUuid);
    printer.aTxt.insert(printer.aTxt.end(), status.driverless.aTxt.begin(), status.driverless.aTxt.end());
    return printer;
}

}  // namespace

std::vector<PublishedPrinter> PrintersFromMdnsRow(const ScanRow& row) {
    if (row.nKind != PROVIDER_KIND_MDNS) return {};
    std::vector<MdnsService> aServices = row.aServices;
    // A row told by no live resolve (the window's scan) is its one service.
    if (aServices.empty())
        aServices.push_back({row.strType, row.strName, row.strHostTarget, row.nPort, row.aTxtItems});
    std::vector<PublishedPrinter> aPrinters;
    for (const MdnsService& service : aServices) {
        const std::string strType = Utf16ToUtf8(service.strType);
        if (!IsPublishedType(strType) || service.nPort == 0) continue;
        PublishedPrinter& printer = aPrinters.emplace_back();
        printer.strId = Utf16ToUtf8(ScanRowId(row));
        printer.strInstance = Utf16ToUtf8(service.strName);
        printer.strHost = Utf16ToUtf8(service.strHostTarget);
        if (printer.strHost.empty()) printer.strHost = HostFromName(printer.strInstance);
        printer.strType = strType;
        printer.nPort = service.nPort;
        printer.aAddresses = Addresses(row);
        for (const DnsSdTxtItem& item : service.aTxtItems) printer.aTxt.push_back(TxtString(item));
    }
    return aPrinters;
}

bool NeedsIppForPublishing(const ScanRow& row) {
    // Also an mDNS row that names no service to print to: an IPP printer's
    // _printer._tcp with port 0, which only holds its name, when that row
    // came first.
    return row.nKind != ROW_KIND_UNICAST_DNSSD && PrintersFromMdnsRow(row).empty();
}

std::unique_ptr<CScanPublisher> CScanPublisher::Create(const ScanOptions& args, std::string& strWhy) {
    PublishTarget target;
    target.strDomain = args.strPublishDomain;
    target.strServer = args.strPublishServer;
    target.strBrowseParent = args.strPublishBrowseIn;
    if (!args.bDryRun && !ReadTsigKeyFile(args.strPublishKey, target.key, strWhy)) return nullptr;
    return std::unique_ptr<CScanPublisher>(new CScanPublisher(args, std::move(target)));
}

CScanPublisher::CScanPublisher(const ScanOptions& args, PublishTarget target)
    : m_args(args), m_publisher(std::move(target)) {}

void CScanPublisher::Tell(const std::string& strLine) {
    if (m_told.insert(strLine).second) std::fprintf(stderr, "hvl-scan: publish: %s\n", strLine.c_str());
}

std::vector<PublishedPrinter> CScanPublisher::PrintersFor(const std::vector<ScanRow>& aRows,
                                                          const std::function<bool()>& fnStop) {
    std::vector<PublishedPrinter> aPrinters;
    std::set<std::u16string> seen;
    for (const ScanRow& row : aRows) {
        std::vector<PublishedPrinter> aAnnounced = PrintersFromMdnsRow(row);
        if (!aAnnounced.empty()) {
            std::move(aAnnounced.begin(), aAnnounced.end(), std::back_inserter(aPrinters));
            continue;
        }
        if (!NeedsIppForPublishing(row) || fnStop()) continue;
        const std::u16string strId = ScanRowId(row);
        seen.insert(strId);
        IppAnswer& answer = m_ippAnswers[strId];
        const Clock::time_point tNow = Clock::now();
        if (answer.tNext <= tNow || answer.aAddresses != row.aAddresses) {
            const std::atomic<bool> bCancel{false};
            const PrinterStatus status = QueryRowStatus(StatusTargetForRow(row, true), {}, {}, IPP_BOUND,
                                                        bCancel);  // with pdl, Color ...
            answer.aAddresses = row.aAddresses;
            std::optional<PublishedPrinter> printer = PrinterFromIpp(row, status);
            const bool bAnswered =
                status.nState != PrinterState::NoAnswer && status.nState != PrinterState::NotAsked;
            if (printer || bAnswered) answer.printer = std::move(printer);  // what it says now, IPP or none
            answer.backoff = bAnswered ? std::chrono::seconds(0)
                                       : std::min<std::chrono::seconds>(
                                             IPP_REFRESH, std::max(IPP_FIRST_BACKOFF, 2 * answer.backoff));
            answer.tNext = tNow + (bAnswered ? IPP_REFRESH : answer.backoff);
        }
        if (!answer.printer) continue;
        // A printer that did not answer this time is still where the row says.
        aPrinters.push_back(*answer.printer);
        aPrinters.back().aAddresses = Addresses(row);
    }
    std::erase_if(m_ippAnswers, [&](const auto& entry) { return !seen.count(entry.first); });
    return aPrinters;
}

std::vector<DnsRecord> CScanPublisher::RecordsFor(const std::vector<PublishedPrinter>& aPrinters,
                                                  const std::set<std::string>& taken) {
    std::vector<std::string> aLeftOut;
    std::vector<DnsRecord> aRecords =
        PrinterRecords(aPrinters, m_publisher.GetWireDomain(), m_args.nPublishTtl, taken, &aLeftOut);
    for (const std::string& strName : aLeftOut)
        Tell("'" + strName + "' is left out of " + m_args.strPublishDomain +
             ": its name would not fit in 255 bytes under it");
    return aRecords;
}

PublishResult CScanPublisher::Publish(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop,
                                      bool bDeleteUnseen) {
    const std::vector<PublishedPrinter> aPrinters = PrintersFor(aRows, fnStop);
    PublishResult result = m_publisher.Reconcile(
        [&](const std::set<std::string>& taken) { return RecordsFor(aPrinters, taken); }, fnStop,
        bDeleteUnseen);
    for (const std::string& strNotice : result.aNotices) Tell(strNotice);
    return result;
}

PublishResult CScanPublisher::Unpublish(const std::function<bool()>& fnStop) {
    PublishResult result = m_publisher.Unpublish(fnStop);
    for (const std::string& strNotice : result.aNotices) Tell(strNotice);
    return result;
}

std::string CScanPublisher::ZoneText(const std::vector<ScanRow>& aRows, const std::function<bool()>& fnStop) {
    PublishTarget target;
    target.strDomain = m_args.strPublishDomain;
    target.strBrowseParent = m_args.strPublishBrowseIn;
    std::vector<DnsRecord> aRecords;
    if (target.strBrowseParent != "none")
        aRecords = BrowseRecords(m_publisher.GetWireDomain(), WireName(BrowseParent(target)), BROWSE_TTL);
    for (DnsRecord& record : RecordsFor(PrintersFor(aRows, fnStop), {}))
        aRecords.push_back(std::move(record));
    return ZoneFileText(aRecords);
}

CWatchPublisher::CWatchPublisher(CScanPublisher& publisher, std::chrono::milliseconds interval,
                                 std::function<std::vector<ScanRow>()> fnRows, std::function<bool()> fnStop)
    : m_publisher(publisher),
      m_interval(interval),
      m_fnRows(std::move(fnRows)),
      m_fnStop(std::move(fnStop)),
      m_tJudgeFrom(Clock::now() + interval),
      m_thread([this] { Run(); }) {}

void CWatchPublisher::MethodWorks(const std::u16string& strSource, bool bWorks) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!bWorks) {
        m_down.insert(strSource);
    } else if (m_down.erase(strSource)) {
        m_tJudgeFrom = std::max(m_tJudgeFrom, Clock::now() + m_interval);
    }
}

CWatchPublisher::~CWatchPublisher() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bEnd = true;
    }
    m_cvWake.notify_all();
    m_thread.join();
}

void CWatchPublisher::RowsChanged() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // The first change of a burst decides when: later ones never delay it.
        if (m_tChangeRound != Clock::time_point::max()) return;
        m_tChangeRound = Clock::now() + DEBOUNCE;
    }
    m_cvWake.notify_all();
}

void CWatchPublisher::Run() {
    const auto fnStop = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bEnd || m_fnStop();
    };
    // Deleting waits until the link has been heard for one interval with
    // every method working: what is not seen yet may only be late.
    Clock::time_point tTimerRound = Clock::now() + 2 * DEBOUNCE;  // soon, whatever was heard by then
    Clock::time_point tJudgeFrom;
    std::chrono::milliseconds backoff{1000};
    std::string strFailing;  // the line said last, while rounds fail
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto fnDue = [&] {
                return m_bEnd || Clock::now() >= std::min(tTimerRound, m_tChangeRound);
            };
            while (!fnDue()) m_cvWake.wait_until(lock, std::min(tTimerRound, m_tChangeRound));
            if (m_bEnd) return;
            m_tChangeRound = Clock::time_point::max();  // changes from here on are in this round or the next
            tJudgeFrom = m_down.empty() ? m_tJudgeFrom : Clock::time_point::max();
        }
        const bool bDeleteUnseen = Clock::now() >= tJudgeFrom;
        const PublishResult result = m_publisher.Publish(m_fnRows(), fnStop, bDeleteUnseen);
        if (fnStop()) return;
        if (result.bOk) {
            if (!strFailing.empty())
                std::fprintf(stderr, "hvl-scan: publishing into %s works again.\n",
                             m_publisher.Domain().c_str());
            strFailing.clear();
            tTimerRound =
                bDeleteUnseen ? Clock::now() + m_interval : std::min(tJudgeFrom, Clock::now() + m_interval);
            backoff = std::chrono::milliseconds(1000);
            continue;
        }
        if (result.strWhy != strFailing) {
            std::fprintf(stderr, "hvl-scan: publish: %s\n", result.strWhy.c_str());
            strFailing = result.strWhy;
        }
        tTimerRound = Clock::now() + std::min(backoff, m_interval);
        backoff = std::min(backoff * 2, std::chrono::milliseconds(60000));
    }
}
