#include "scan_status.h"

#include "conv_string.h"
#include "ipp_status_runner.h"
#include "row_filter.h"
#include "snmp_status.h"

StatusTarget StatusTargetForRow(const ScanRow& row, bool bDriverless) {
    const DnsSdTxtItem* pRp = FindTxtItem(row, "rp");
    const std::u16string strRp = pRp && pRp->bHasValue ? Utf8ToUtf16(pRp->strValue) : u"";
    StatusTarget target =
        StatusTargetFor(row.strType, row.strIpAddress, row.nPort, pRp && pRp->bHasValue ? &strRp : nullptr);
    target.bDriverless = bDriverless;
    return target;
}

std::u16string DriverlessText(const PrinterStatus& status) {
    if (!status.driverless.bJudged)
        return PrinterStateText(status.bFromSnmp ? PrinterState::NoIpp : status.nState);
    return DriverlessVerdictText(status.driverless);
}

namespace {

// "ready (ipp-everywhere, pdf)", "not ready (no-driverless-format)".
std::u16string DriverlessSummary(const PrinterStatus& status) {
    std::u16string strList;
    if (status.driverless.bReady) {
        for (const std::u16string& strKind : status.driverless.aKinds)
            strList += (strList.empty() ? u"" : u", ") + strKind;
    } else {
        for (const DriverlessReason& reason : status.driverless.aReasons) {
            if (reason.bBlocksCups)
                strList += (strList.empty() ? u"" : u", ") + std::u16string(reason.pszCode);
        }
    }
    return DriverlessText(status) + (strList.empty() ? u"" : u" (" + strList + u")");
}

// Queue names handed out in this run, by row: the same row keeps its name
// in every output, no two rows share one.
std::string QueueNameFor(const ScanRow& row) {
    static std::mutex s_mutex;
    static std::unordered_map<std::u16string, std::string> s_names;
    static std::vector<std::string> s_aTaken;
    std::lock_guard lock(s_mutex);
    auto [it, bNew] = s_names.try_emplace(ScanRowId(row));
    if (bNew) it->second = UniqueCupsQueueName(row.strName, s_aTaken);
    return it->second;
}

// The mDNS service to name in a dnssd:// URI: the one asked (ipps when the
// printer went over TLS), else any IPP one.
const MdnsService* IppService(const ScanRow& row, bool bTls) {
    const MdnsService* pFound = nullptr;
    for (const MdnsService& service : row.aServices) {
        const bool bIpps = service.strType == u"_ipps._tcp";
        if (!bIpps && service.strType != u"_ipp._tcp") continue;
        if (!pFound || bIpps == bTls) pFound = &service;
    }
    return pFound;
}

// The device URI: dnssd:// for a printer announced over mDNS (its address
// may change) where CUPS has the backend for it, else the URI that answered
// with the host name where known (".local" names cupsd looks up each time).
std::string DeviceUri(const ScanRow& row, const PrinterStatus& status) {
    const std::string strAsked = Utf16ToUtf8(status.strUri);
    const bool bTls = strAsked.starts_with("ipps:");
    static const bool s_bDnssd = HasDnssdBackend();
    if (const MdnsService* pService = row.strDomain.empty() && s_bDnssd ? IppService(row, bTls) : nullptr) {
        const DnsSdTxtItem* pUuid = FindTxtItem(row, "UUID");
        const std::u16string strUuid = pUuid && pUuid->bHasValue ? Utf8ToUtf16(pUuid->strValue)
                                                                 : (row.strId.size() == 36 ? row.strId : u"");
        return DnssdUri(pService->strName, pService->strType, strUuid);
    }
    const size_t nHost = strAsked.find("//");
    const size_t nPort =
        strAsked.find(':', strAsked.find(']') == std::string::npos ? nHost : strAsked.find(']'));
    if (row.strHostTarget.empty() || nHost == std::string::npos || nPort == std::string::npos)
        return strAsked;
    return strAsked.substr(0, nHost + 2) + Utf16ToUtf8(row.strHostTarget) + strAsked.substr(nPort);
}

std::string SetupLine(const ScanRow& row, const PrinterStatus& status) {
    if (!status.driverless.bReady) return {};
    return CupsSetupLine({QueueNameFor(row), DeviceUri(row, status),
                          status.strLocation.empty() ? row.strLocation : status.strLocation,
                          status.strMakeAndModel.empty() ? row.strModel : status.strMakeAndModel,
                          status.driverless.bViaCupsFilters});
}

}  // namespace

std::string StatusTableLine(const ScanRow& row, const PrinterStatus& status, bool bDriverless) {
    std::string strLine = TableLine(row);
    if (!strLine.empty() && strLine.back() == '\n') strLine.pop_back();
    strLine += "  " + Printable(StatusSummary(status));
    if (!bDriverless) return strLine + "\n";
    strLine += "  " + Printable(DriverlessSummary(status)) + "\n";
    for (const DriverlessReason& reason : status.driverless.aReasons)
        strLine += "    " + Printable(std::u16string(reason.pszCode) + u": " + reason.strText) + "\n";
    if (status.driverless.bReady)
        strLine += "    setup: " + Printable(Utf8ToUtf16(SetupLine(row, status))) + "\n";
    return strLine;
}

namespace {

nlohmann::json TextOrNull(const std::u16string& str) {
    return str.empty() ? nlohmann::json() : nlohmann::json(Utf16ToUtf8(str));
}

nlohmann::json LevelOrNull(int32_t n) {
    return n >= 0 ? nlohmann::json(n) : nlohmann::json();
}

nlohmann::json StatusJson(const PrinterStatus& status) {
    nlohmann::json reasons = nlohmann::json::array();
    for (const StateReason& reason : status.aReasons) reasons.push_back(Utf16ToUtf8(reason.strKeyword));
    nlohmann::json features = nlohmann::json::array();
    for (const std::u16string& str : status.aIppFeatures) features.push_back(Utf16ToUtf8(str));
    nlohmann::json supplies = nlohmann::json::array();
    for (const SupplyLevel& supply : status.aSupplies) {
        supplies.push_back({{"name", TextOrNull(supply.strName)},
                            {"type", TextOrNull(supply.strType)},
                            {"color", TextOrNull(supply.strColor)},
                            {"level", LevelOrNull(supply.nLevel)},
                            {"low", LevelOrNull(supply.nLow)},
                            {"level_text", TextOrNull(supply.strLevelText)},
                            {"receptacle", supply.bReceptacle}});
    }
    return {{"state", Utf16ToUtf8(PrinterStateText(status.nState))},
            {"accepting", status.nAccepting < 0 ? nlohmann::json() : nlohmann::json(status.nAccepting == 1)},
            {"reasons", std::move(reasons)},
            {"message", TextOrNull(status.strMessage)},
            {"supplies", std::move(supplies)},
            {"make_and_model", TextOrNull(status.strMakeAndModel)},
            {"uuid", TextOrNull(status.strUuid)},
            {"more_info", TextOrNull(status.strMoreInfo)},
            {"uri", TextOrNull(status.strUri)},
            {"source", status.bFromSnmp ? "snmp" : "ipp"},
            {"page_count", status.nPageCount >= 0 ? nlohmann::json(status.nPageCount) : nlohmann::json()},
            {"device_id", TextOrNull(status.strDeviceId)},
            {"firmware_name", TextOrNull(status.strFirmwareName)},
            {"firmware_version", TextOrNull(status.strFirmwareVersion)},
            {"ipp_features", std::move(features)},
            {"mopria_certified", TextOrNull(status.strMopriaCertified)}};
}

// "40%", "40% full" for a receptacle, "some remaining", or "?" when unknown.
std::u16string SupplyLevelText(const SupplyLevel& supply) {
    if (supply.nLevel < 0) return supply.strLevelText == u"some remaining" ? supply.strLevelText : u"?";
    return Utf8ToUtf16(std::to_string(supply.nLevel)) + (supply.bReceptacle ? u"% full" : u"%");
}

using StatusMap = std::unordered_map<std::u16string, PrinterStatus>;

const PrinterStatus* Lookup(const StatusMap* pStatuses, const ScanRow& row) {
    return pStatuses ? FindRowStatus(*pStatuses, row) : nullptr;
}

// A CSV-only column made of the row's status.
OutputColumn CsvStatusColumn(const char* pszName, const StatusMap* pStatuses,
                             std::function<std::u16string(const PrinterStatus&)> fnText) {
    return {pszName, nullptr, [pStatuses, fnText](const ScanRow& row) {
                const PrinterStatus* pStatus = Lookup(pStatuses, row);
                return pStatus ? Printable(fnText(*pStatus), true) : std::string();
            }};
}

nlohmann::json DriverlessJson(const ScanRow& row, const PrinterStatus& status) {
    nlohmann::json kinds = nlohmann::json::array();
    for (const std::u16string& strKind : status.driverless.aKinds) kinds.push_back(Utf16ToUtf8(strKind));
    nlohmann::json reasons = nlohmann::json::array();
    for (const DriverlessReason& reason : status.driverless.aReasons)
        reasons.push_back({{"code", Utf16ToUtf8(reason.pszCode)},
                           {"text", Utf16ToUtf8(reason.strText)},
                           {"blocks_cups", reason.bBlocksCups}});
    const std::string strSetup = SetupLine(row, status);
    return {{"verdict", Utf16ToUtf8(DriverlessText(status))},
            {"kinds", std::move(kinds)},
            {"reasons", std::move(reasons)},
            {"setup", strSetup.empty() ? nlohmann::json() : nlohmann::json(strSetup)}};
}

}  // namespace

std::vector<OutputColumn> StatusColumns(const StatusMap* pStatuses) {
    std::vector<OutputColumn> aColumns = {{"status",
                                           [pStatuses](const ScanRow& row) {
                                               const PrinterStatus* pStatus = Lookup(pStatuses, row);
                                               return pStatus ? StatusJson(*pStatus) : nlohmann::json();
                                           },
                                           nullptr}};
    if (!pStatuses) return aColumns;
    aColumns.push_back(CsvStatusColumn("state", pStatuses, [](const PrinterStatus& s) {
        return std::u16string(PrinterStateText(s.nState));
    }));
    aColumns.push_back(CsvStatusColumn("reasons", pStatuses, [](const PrinterStatus& s) {
        std::u16string str;
        for (const StateReason& reason : s.aReasons) str += (str.empty() ? u"" : u";") + reason.strKeyword;
        return str;
    }));
    aColumns.push_back(CsvStatusColumn("supplies", pStatuses, [](const PrinterStatus& s) {
        std::u16string str;
        for (const SupplyLevel& supply : s.aSupplies) {
            if (!str.empty()) str += u';';
            str += supply.strName + u'=' + SupplyLevelText(supply);
        }
        return str;
    }));
    aColumns.push_back(CsvStatusColumn("status_source", pStatuses, [](const PrinterStatus& s) {
        return std::u16string(s.bFromSnmp ? u"snmp" : u"ipp");
    }));
    aColumns.push_back(CsvStatusColumn("page_count", pStatuses, [](const PrinterStatus& s) {
        return s.nPageCount >= 0 ? Utf8ToUtf16(std::to_string(s.nPageCount)) : u"";
    }));
    aColumns.push_back(
        CsvStatusColumn("device_id", pStatuses, [](const PrinterStatus& s) { return s.strDeviceId; }));
    aColumns.push_back(CsvStatusColumn("firmware_name", pStatuses,
                                       [](const PrinterStatus& s) { return s.strFirmwareName; }));
    aColumns.push_back(CsvStatusColumn("firmware_version", pStatuses,
                                       [](const PrinterStatus& s) { return s.strFirmwareVersion; }));
    aColumns.push_back(CsvStatusColumn("ipp_features", pStatuses, [](const PrinterStatus& s) {
        std::u16string str;
        for (const std::u16string& strFeature : s.aIppFeatures) {
            if (!str.empty()) str += u';';
            str += strFeature;
        }
        return str;
    }));
    aColumns.push_back(CsvStatusColumn("mopria_certified", pStatuses,
                                       [](const PrinterStatus& s) { return s.strMopriaCertified; }));
    return aColumns;
}

namespace {

// Appended in steps: GCC 12 at -O3 takes u";" + std::u16string for an overlapping copy.
std::u16string JoinedBySemicolons(const std::vector<std::u16string>& aItems) {
    std::u16string str;
    for (const std::u16string& strItem : aItems) {
        if (!str.empty()) str += u';';
        str += strItem;
    }
    return str;
}

}  // namespace

std::vector<OutputColumn> DriverlessColumns(const StatusMap* pStatuses) {
    std::vector<OutputColumn> aColumns = {{"driverless",
                                           [pStatuses](const ScanRow& row) {
                                               const PrinterStatus* pStatus = Lookup(pStatuses, row);
                                               return pStatus ? DriverlessJson(row, *pStatus)
                                                              : nlohmann::json();
                                           },
                                           nullptr}};
    if (!pStatuses) return aColumns;
    aColumns.push_back(CsvStatusColumn("driverless", pStatuses, DriverlessText));
    aColumns.push_back(CsvStatusColumn("driverless_kinds", pStatuses, [](const PrinterStatus& s) {
        return JoinedBySemicolons(s.driverless.aKinds);
    }));
    aColumns.push_back(CsvStatusColumn("driverless_reasons", pStatuses, [](const PrinterStatus& s) {
        std::vector<std::u16string> aCodes;
        for (const DriverlessReason& reason : s.driverless.aReasons) aCodes.emplace_back(reason.pszCode);
        return JoinedBySemicolons(aCodes);
    }));
    aColumns.push_back({"driverless_setup", nullptr, [pStatuses](const ScanRow& row) {
                            const PrinterStatus* pStatus = Lookup(pStatuses, row);
                            return pStatus ? SetupLine(row, *pStatus) : std::string();
                        }});
    return aColumns;
}

CScanStatus::CScanStatus(std::chrono::milliseconds bound, AnswerFn fnAnswer,
                         std::vector<std::string> aSnmpCommunities, bool bDriverless)
    : m_fnAnswer(std::move(fnAnswer)),
      m_bDriverless(bDriverless),
      m_query(std::move(aSnmpCommunities)),
      m_pRunner(std::make_unique<CIppStatusRunner>(
          [this](size_t nId, const PrinterStatus& status) { OnResult(nId, status); }, bound,
          CIppStatusRunner::MAX_PARALLEL,
          [this](const StatusTarget& target, std::chrono::milliseconds queryBound,
                 const std::atomic<bool>& bCancel) { return m_query(target, queryBound, bCancel); })) {}

void CRowStatusQuery::Remember(const ScanRow& row) {
    if (row.nKind != ROW_KIND_SNMP) return;
    std::lock_guard lock(m_mutex);
    m_communities[Utf16ToUtf8(row.strIpAddress)] = row.strSnmpCommunity;
}

void CRowStatusQuery::Forget(const std::u16string& strAddress) {
    std::lock_guard lock(m_mutex);
    m_communities.erase(Utf16ToUtf8(strAddress));
}

PrinterStatus CRowStatusQuery::operator()(const StatusTarget& target, std::chrono::milliseconds bound,
                                          const std::atomic<bool>& bCancel) {
    std::string strSnmpCommunity;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_communities.find(target.strAddress);
        if (it != m_communities.end()) strSnmpCommunity = it->second;
    }
    return QueryRowStatus(target, strSnmpCommunity, m_aSnmpCommunities, bound, bCancel);
}

PrinterStatus QueryRowStatus(const StatusTarget& target, const std::string& strSnmpCommunity,
                             const std::vector<std::string>& aSnmpCommunities,
                             std::chrono::milliseconds bound, const std::atomic<bool>& bCancel) {
    if (!strSnmpCommunity.empty())
        return QuerySnmpStatus(target.strAddress, {strSnmpCommunity}, bound, bCancel);
    const auto tStart = std::chrono::steady_clock::now();
    PrinterStatus status = QueryPrinterStatus(target, bound, bCancel);
    if (status.nState != PrinterState::NoIpp && status.nState != PrinterState::NoAnswer) return status;
    const auto left = bound - std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - tStart);
    if (left.count() <= 0 || bCancel.load() || aSnmpCommunities.empty()) return status;
    PrinterStatus snmp = QuerySnmpStatus(target.strAddress, aSnmpCommunities, left, bCancel);
    return snmp.nState != PrinterState::NoAnswer ? snmp : status;
}

CScanStatus::~CScanStatus() {
    m_pRunner.reset();  // ends the workers before the rows go
}

void CScanStatus::Ask(const ScanRow& row) {
    size_t nId;
    {
        std::lock_guard lock(m_mutex);
        nId = m_aRows.size();
        m_aRows.push_back(row);
    }
    m_query.Remember(row);
    m_pRunner->Add(nId, StatusTargetForRow(row, m_bDriverless));
}

bool CScanStatus::WaitFor(std::chrono::milliseconds timeout) {
    return m_pRunner->WaitFor(timeout);
}

void CScanStatus::Cancel() {
    m_pRunner->Cancel();
}

void CScanStatus::OnResult(size_t nId, const PrinterStatus& status) {
    std::unique_lock lock(m_mutex);
    const ScanRow row = m_aRows[nId];      // a copy: Ask may grow the list meanwhile
    m_mapStatus[ScanRowId(row)] = status;  // twins at one address apart
    lock.unlock();
    // Outside the lock: the caller's answer may take a lock of its own that
    // it also holds while it asks (the row list's), and Ask takes this one.
    if (m_fnAnswer) m_fnAnswer(row, status);
}

bool CScanStatus::AllHealthy() const {
    for (const auto& [strAddress, status] : m_mapStatus) {
        if (!IsStatusHealthy(status)) return false;
    }
    return true;
}
