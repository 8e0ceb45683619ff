// The watch's liveness check is a TCP connect to the printer's service port
// (the SRV port, the UPnP description's port, else IPP's 631): any answer,
// a refusal included, means it is there. A printer found over SNMP is asked
// for sysUpTime.0 with the community it answered instead: any SNMP reply
// means it is there. All checks run on the thread that watches,
// non-blocking, polled with the sources' 20 ms tick; each is bounded by one
// interval.
#include "live_watch.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "conv_string.h"
#include "snmp_message.h"

namespace {

constexpr uint16_t IPP_PORT = 631;
constexpr uint16_t SNMP_PORT = 161;

bool IsSnmpChecked(const ScanRow& row) {
    return row.nKind == ROW_KIND_SNMP;
}

// A non-blocking connect to the address (IPv6 with its zone, "fe80::1%eth0").
// The socket while it is under way; -1 with bAnswered when it is settled at
// once (connected or refused), -1 without when it failed. A datagram socket
// is connected at once and waits for its answer.
int StartConnect(const std::u16string& strAddress, uint16_t nPort, int nType, bool& bAnswered) {
    bAnswered = false;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = nType;
    addrinfo* pInfo = nullptr;
    if (getaddrinfo(Utf16ToUtf8(strAddress).c_str(), std::to_string(nPort).c_str(), &hints, &pInfo) != 0) {
        return -1;
    }
    const int hSocket = socket(pInfo->ai_family, nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int nError = hSocket < 0                                                ? errno
                       : connect(hSocket, pInfo->ai_addr, pInfo->ai_addrlen) == 0 ? 0
                                                                                  : errno;
    freeaddrinfo(pInfo);
    if (hSocket < 0) return -1;
    if (nError == EINPROGRESS || (nError == 0 && nType == SOCK_DGRAM)) return hSocket;
    close(hSocket);
    bAnswered = nError == 0 || nError == ECONNREFUSED;
    return -1;
}

// SNMPv1, which every agent speaks; the socket waits for its reply, or -1.
int StartSnmpGet(const ScanRow& row) {
    static const SnmpOid SYS_UP_TIME{1, 3, 6, 1, 2, 1, 1, 3, 0};
    bool bAnswered = false;
    const int hSocket = StartConnect(row.strIpAddress, SNMP_PORT, SOCK_DGRAM, bAnswered);
    const std::string strRequest =
        BuildSnmpRequest({SNMP_V1, row.strSnmpCommunity, 1, SnmpRequestKind::Get, {SYS_UP_TIME}});
    if (hSocket >= 0 && (strRequest.empty() || send(hSocket, strRequest.data(), strRequest.size(), 0) < 0)) {
        close(hSocket);
        return -1;
    }
    return hSocket;
}

// The check's socket is ready: connected or refused, or an SNMP reply (an
// ICMP refusal is no agent, and no answer).
bool CheckAnswered(int hSocket, bool bSnmp) {
    if (bSnmp) {
        char aBuffer[2048];
        const ssize_t nRead = recv(hSocket, aBuffer, sizeof aBuffer, 0);
        SnmpResponse response;
        return nRead > 0 && ParseSnmpResponse({aBuffer, static_cast<size_t>(nRead)}, response);
    }
    int nError = 0;
    socklen_t nSize = sizeof nError;
    getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nSize);
    return nError == 0 || nError == ECONNREFUSED;
}

}  // namespace

std::vector<std::string> ChangedFields(const ScanRow& before, const ScanRow& after) {
    std::vector<std::string> aChanged;
    if (before.strName != after.strName) aChanged.push_back("name");
    if (before.strUrl != after.strUrl) aChanged.push_back("url");
    if (before.strModel != after.strModel) aChanged.push_back("model");
    if (before.strLocation != after.strLocation) aChanged.push_back("location");
    if (before.aAddresses != after.aAddresses) aChanged.push_back("addresses");
    if (before.nKind != after.nKind || before.aOtherKinds != after.aOtherKinds) aChanged.push_back("sources");
    if (before.strId != after.strId) aChanged.push_back("id");
    return aChanged;
}

const char* RemoveReasonText(LiveRemoveReason reason) {
    switch (reason) {
        case LiveRemoveReason::GOODBYE:
            return "goodbye";
        case LiveRemoveReason::EXPIRED:
            return "expired";
        case LiveRemoveReason::NO_ANSWER:
            break;
    }
    return "no answer";
}

CLiveWatch::CLiveWatch(LiveSourceArray aSources, const LiveWatchSettings& settings, EventFn fnEvent)
    : m_aSources(std::move(aSources)), m_settings(settings), m_fnEvent(std::move(fnEvent)) {}

CLiveWatch::~CLiveWatch() {
    for (auto& [nOrder, entry] : m_entries) {
        if (entry.hSocket >= 0) close(entry.hSocket);
    }
}

LiveRunResult CLiveWatch::Run(Clock::time_point tDeadline, const std::function<bool()>& fnStopAsked) {
    // A method that cannot start (a laptop's network comes up after login)
    // is tried again each interval.
    const auto fnUnavailable = [this](const std::u16string& strSource) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unavailable.insert(strSource);
        if (m_fnUnavailable) m_fnUnavailable(strSource);
    };
    return RunLiveSources(
        m_aSources, *this, tDeadline, fnStopAsked, fnUnavailable, [this] { CheckLiveness(); },
        m_settings.interval);
}

void CLiveWatch::Tell(WatchEventKind nKind, const ScanRow& row, std::vector<std::string> aChanged,
                      LiveRemoveReason reason) {
    WatchEvent event;
    event.nKind = nKind;
    event.reason = reason;
    event.aChanged = std::move(aChanged);
    event.row = row;
    event.tTime = std::chrono::system_clock::now();
    if (m_fnEvent) m_fnEvent(event);
}

void CLiveWatch::Finding::Report(const std::u16string& strAddress, Clock::time_point tNow) {
    for (auto& [str, tSeen] : aAddresses) {
        if (CompareNoCase(str, strAddress) == 0) {
            tSeen = tNow;
            return;
        }
    }
    aAddresses.emplace_back(strAddress, tNow);
}

bool CLiveWatch::Finding::Has(std::u16string_view strAddress) const {
    return std::any_of(aAddresses.begin(), aAddresses.end(),
                       [strAddress](const auto& item) { return CompareNoCase(item.first, strAddress) == 0; });
}

CLiveWatch::EntryMap::iterator CLiveWatch::FindEntry(const ScanRow& row) {
    auto itFound = m_entries.end();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        const RowMatch match = MatchRow(it->second.row, row);
        if (match == RowMatch::IDENTITY) return it;
        if (match == RowMatch::ADDRESS && itFound == m_entries.end()) itFound = it;
    }
    return itFound;
}

CLiveWatch::EntryMap::iterator CLiveWatch::FindEntry(std::u16string_view strAddress,
                                                     std::u16string_view strId) {
    return std::find_if(m_entries.begin(), m_entries.end(), [strAddress, strId](const auto& item) {
        const std::vector<std::u16string>& a = item.second.row.aAddresses;
        if (!strId.empty() && !item.second.row.strId.empty() && item.second.row.strId != strId) return false;
        return std::any_of(a.begin(), a.end(),
                           [strAddress](const auto& str) { return CompareNoCase(str, strAddress) == 0; });
    });
}

void CLiveWatch::GatherAddresses(Entry& entry) {
    // Those still found keep their places: a printer answering as before is
    // no change, whichever method answered first this time.
    std::vector<std::u16string> aAddresses;
    for (const std::u16string& str : entry.row.aAddresses) {
        const bool bFound = std::any_of(entry.aFindings.begin(), entry.aFindings.end(),
                                        [&str](const Finding& f) { return f.Has(str); });
        if (bFound) aAddresses.push_back(str);
    }
    for (const Finding& finding : entry.aFindings) {
        for (const auto& [str, tSeen] : finding.aAddresses) InsertAddress(aAddresses, str);
    }
    entry.row.aAddresses = std::move(aAddresses);
    entry.row.strIpAddress = entry.row.aAddresses.front();
}

bool CLiveWatch::Emit(ScanRow row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (row.strIpAddress.empty()) return false;
    PreferAddresses(row);
    const Clock::time_point tNow = Clock::now();
    row.tLastSeen = std::chrono::system_clock::now();
    auto it = FindEntry(row);
    if (it == m_entries.end()) {
        if (m_fnFilter && !m_fnFilter(row)) return false;
        row.tFirstSeen = row.tLastSeen;
        Entry& entry = m_entries[m_nNextOrder++];
        entry.aFindings = {{row.nKind, row.strType, {}}};
        for (const std::u16string& str : row.aAddresses) entry.aFindings.front().Report(str, tNow);
        entry.row = std::move(row);
        entry.tLastAnswer = tNow;
        entry.tNextCheck = tNow + m_settings.interval;
        Tell(WatchEventKind::ADD, entry.row);
        return true;
    }
    Entry& entry = it->second;
    const ScanRow before = entry.row;
    auto itFinding = std::find_if(entry.aFindings.begin(), entry.aFindings.end(), [&row](const Finding& f) {
        return f.nKind == row.nKind && f.strType == row.strType;
    });
    if (itFinding == entry.aFindings.end())
        itFinding = entry.aFindings.insert(itFinding, {row.nKind, row.strType, {}});
    for (const std::u16string& str : row.aAddresses) itFinding->Report(str, tNow);
    std::erase_if(itFinding->aAddresses,
                  [&](const auto& item) { return tNow - item.second >= 2 * m_settings.interval; });
    if (row.nKind == before.nKind && row.strType == before.strType) {
        // The method that listed it: what it says now is the row.
        row.tFirstSeen = before.tFirstSeen;
        row.aOtherKinds = before.aOtherKinds;
        if (row.strId.empty()) row.strId = before.strId;
        if (row.strUuid.empty()) row.strUuid = before.strUuid;
        if (row.bDetailsUnread) {
            // A read that failed is no change: what the printer told before stays.
            row.strName = before.strName;
            row.strUrl = before.strUrl;
            row.strModel = before.strModel;
            row.strLocation = before.strLocation;
            row.bDetailsUnread = before.bDetailsUnread;
        }
        row.aAddresses = before.aAddresses;
        // The services of its other types stay (the publisher writes each).
        std::vector<MdnsService> aServices = before.aServices;
        for (const MdnsService& service : row.aServices) AddService(aServices, service);
        row.aServices = std::move(aServices);
        entry.row = std::move(row);
    } else {
        // Another method or type that found the same printer: named among its
        // methods, and what the first did not say taken from it.
        JoinRow(entry.row, row);
    }
    GatherAddresses(entry);
    std::vector<std::string> aChanged = ChangedFields(before, entry.row);
    entry.tLastAnswer = tNow;
    if (!aChanged.empty()) Tell(WatchEventKind::CHANGE, entry.row, std::move(aChanged));
    // Another type of the method that listed it does not speak for the row
    // (its goodbye would remove it).
    return row.nKind != before.nKind || row.strType == before.strType;
}

void CLiveWatch::AddAddress(const std::u16string& strRowAddress, const std::u16string& strAddress,
                            const std::u16string& strId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = FindEntry(strRowAddress, strId);
    if (it == m_entries.end()) return;
    Entry& entry = it->second;
    // The finding whose address the method named.
    auto itFinding = std::find_if(entry.aFindings.begin(), entry.aFindings.end(),
                                  [&](const Finding& f) { return f.Has(strRowAddress); });
    if (itFinding == entry.aFindings.end()) itFinding = entry.aFindings.begin();
    itFinding->Report(strAddress, Clock::now());
    const std::vector<std::u16string> aBefore = entry.row.aAddresses;
    GatherAddresses(entry);
    if (entry.row.aAddresses != aBefore) Tell(WatchEventKind::CHANGE, entry.row, {"addresses"});
}

void CLiveWatch::Remove(const std::u16string& strAddress, int32_t nKind, LiveRemoveReason reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = FindEntry(strAddress);
    if (it == m_entries.end() || it->second.row.nKind != nKind) return;
    Entry& entry = it->second;
    std::erase_if(entry.aFindings, [nKind](const Finding& f) { return f.nKind == nKind; });
    if (entry.aFindings.empty()) {
        Drop(it, reason);
        return;
    }
    // Another method still finds it: that one lists it from now on.
    const ScanRow before = entry.row;
    entry.row.nKind = entry.aFindings.front().nKind;
    entry.row.strType = entry.aFindings.front().strType;
    std::erase(entry.row.aOtherKinds, entry.row.nKind);
    if (nKind == PROVIDER_KIND_MDNS) entry.row.aServices.clear();  // no longer announced
    GatherAddresses(entry);
    Tell(WatchEventKind::CHANGE, entry.row, ChangedFields(before, entry.row));
}

void CLiveWatch::DaemonLost(const std::u16string& strSource, bool bLost) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fnDaemon) m_fnDaemon(strSource, bLost);
}

void CLiveWatch::Started(const std::u16string& strSource) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_unavailable.erase(strSource) != 0 && m_fnStartedAgain) m_fnStartedAgain(strSource);
}

bool CLiveWatch::IsListed(const std::u16string& strAddress, int32_t nKind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = FindEntry(strAddress);
    return it != m_entries.end() && std::any_of(it->second.aFindings.begin(), it->second.aFindings.end(),
                                                [nKind](const Finding& f) { return f.nKind == nKind; });
}

void CLiveWatch::ReportChange(const std::u16string& strAddress, std::vector<std::string> aChanged) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = FindEntry(strAddress);
    if (it != m_entries.end() && !aChanged.empty())
        Tell(WatchEventKind::CHANGE, it->second.row, std::move(aChanged));
}

std::vector<ScanRow> CLiveWatch::GetRows() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ScanRow> aRows;
    for (const auto& [nOrder, entry] : m_entries) aRows.push_back(entry.row);
    return aRows;
}

CLiveWatch::EntryMap::iterator CLiveWatch::Drop(EntryMap::iterator it, LiveRemoveReason reason) {
    Entry& entry = it->second;
    if (entry.hSocket >= 0) {
        close(entry.hSocket);
        --m_nChecking;
    }
    Tell(WatchEventKind::REMOVE, entry.row, {}, reason);
    return m_entries.erase(it);
}

void CLiveWatch::EndCheck(Entry& entry, bool bAnswered, Clock::time_point tNow) {
    if (entry.hSocket >= 0) {
        close(entry.hSocket);
        entry.hSocket = -1;
        --m_nChecking;
    }
    if (!bAnswered) return;
    entry.bAsked = false;
    entry.tLastAnswer = tNow;
    entry.row.tLastSeen = std::chrono::system_clock::now();
}

void CLiveWatch::StartCheck(Entry& entry, Clock::time_point tNow) {
    entry.bAsked = true;
    entry.tNextCheck = tNow + m_settings.interval;
    entry.tCheckEnd = tNow + m_settings.interval;
    bool bAnswered = false;
    entry.hSocket = IsSnmpChecked(entry.row) ? StartSnmpGet(entry.row)
                                             : StartConnect(entry.row.strIpAddress,
                                                            entry.row.nPort != 0 ? entry.row.nPort : IPP_PORT,
                                                            SOCK_STREAM, bAnswered);
    if (entry.hSocket >= 0) {
        ++m_nChecking;
    } else {
        EndCheck(entry, bAnswered, tNow);
    }
}

void CLiveWatch::CheckLiveness() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<pollfd> aPoll;
    std::vector<Entry*> aOut;
    for (auto& [nOrder, entry] : m_entries) {
        if (entry.hSocket < 0) continue;
        aPoll.push_back({entry.hSocket, static_cast<short>(IsSnmpChecked(entry.row) ? POLLIN : POLLOUT), 0});
        aOut.push_back(&entry);
    }
    if (!aPoll.empty() && poll(aPoll.data(), aPoll.size(), 0) < 0) return;
    const Clock::time_point tNow = Clock::now();
    for (size_t i = 0; i < aOut.size(); ++i) {
        if (aPoll[i].revents != 0) {
            EndCheck(*aOut[i], CheckAnswered(aOut[i]->hSocket, IsSnmpChecked(aOut[i]->row)), tNow);
        } else if (tNow >= aOut[i]->tCheckEnd) {
            EndCheck(*aOut[i], false, tNow);
        }
    }
    // Gone once two intervals passed without a sign of life and a check was
    // tried meanwhile (one waiting for a slot is not held against it).
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry& entry = it->second;
        if (entry.bAsked && tNow - entry.tLastAnswer >= 2 * m_settings.interval) {
            it = Drop(it, LiveRemoveReason::NO_ANSWER);
            continue;
        }
        if (entry.hSocket < 0 && tNow >= entry.tNextCheck && m_nChecking < m_settings.nMaxChecks)
            StartCheck(entry, tNow);
        ++it;
    }
}
