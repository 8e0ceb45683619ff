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
    for (auto& [strAddress, entry] : m_entries) {
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

bool CLiveWatch::Emit(ScanRow row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (row.strIpAddress.empty()) return false;
    const Clock::time_point tNow = Clock::now();
    row.tLastSeen = std::chrono::system_clock::now();
    auto it = m_entries.find(row.strIpAddress);
    if (it == m_entries.end()) {
        if (m_fnFilter && !m_fnFilter(row)) return false;
        row.tFirstSeen = row.tLastSeen;
        Entry& entry = m_entries[row.strIpAddress];
        entry.row = std::move(row);
        entry.nOrder = m_nNextOrder++;
        entry.tLastAnswer = tNow;
        entry.tNextCheck = tNow + m_settings.interval;
        Tell(WatchEventKind::ADD, entry.row);
        return true;
    }
    Entry& entry = it->second;
    // Another method or type that reaches the same address: the first keeps
    // it, the others are named among its methods.
    std::vector<int32_t>& aOthers = entry.row.aOtherKinds;
    if (entry.row.nKind != row.nKind || entry.row.strType != row.strType) {
        if (row.nKind != entry.row.nKind &&
            std::find(aOthers.begin(), aOthers.end(), row.nKind) == aOthers.end())
            aOthers.push_back(row.nKind);
        return false;
    }
    row.tFirstSeen = entry.row.tFirstSeen;
    row.aOtherKinds = aOthers;
    if (row.bDetailsUnread) {
        // A read that failed is no change: what the printer told before stays.
        row.strName = entry.row.strName;
        row.strUrl = entry.row.strUrl;
        row.strModel = entry.row.strModel;
        row.strLocation = entry.row.strLocation;
        row.bDetailsUnread = entry.row.bDetailsUnread;
    }
    std::vector<std::string> aChanged = ChangedFields(entry.row, row);
    entry.row = std::move(row);
    entry.tLastAnswer = tNow;
    if (!aChanged.empty()) Tell(WatchEventKind::CHANGE, entry.row, std::move(aChanged));
    return true;
}

void CLiveWatch::AddAddress(const std::u16string& strRowAddress, const std::u16string& strAddress) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(strRowAddress);
    if (it == m_entries.end()) return;
    ScanRow& row = it->second.row;
    const size_t nBefore = row.aAddresses.size();
    InsertAddress(row.aAddresses, strAddress);
    if (row.aAddresses.size() != nBefore) Tell(WatchEventKind::CHANGE, row, {"addresses"});
}

void CLiveWatch::Remove(const std::u16string& strAddress, int32_t nKind, LiveRemoveReason reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(strAddress);
    if (it != m_entries.end() && it->second.row.nKind == nKind) Drop(it, reason);
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
    const auto it = m_entries.find(strAddress);
    return it != m_entries.end() && it->second.row.nKind == nKind;
}

void CLiveWatch::ReportChange(const std::u16string& strAddress, std::vector<std::string> aChanged) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(strAddress);
    if (it != m_entries.end() && !aChanged.empty())
        Tell(WatchEventKind::CHANGE, it->second.row, std::move(aChanged));
}

std::vector<ScanRow> CLiveWatch::GetRows() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<const Entry*> aEntries;
    for (const auto& [strAddress, entry] : m_entries) aEntries.push_back(&entry);
    std::sort(aEntries.begin(), aEntries.end(),
              [](const Entry* a, const Entry* b) { return a->nOrder < b->nOrder; });
    std::vector<ScanRow> aRows;
    for (const Entry* p : aEntries) aRows.push_back(p->row);
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
    for (auto& [strAddress, entry] : m_entries) {
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
