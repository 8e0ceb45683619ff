#include "snmp_finder.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <list>
#include <random>
#include <set>
#include <tuple>

#include "conv_string.h"
#include "host_interfaces.h"
#include "trace_log.h"

namespace snmp_oids {
const SnmpOid HR_DEVICE_TYPE_1{1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 2, 1};
const SnmpOid HR_DEVICE_PRINTER{1, 3, 6, 1, 2, 1, 25, 3, 1, 5};
const SnmpOid SYS_DESCR{1, 3, 6, 1, 2, 1, 1, 1, 0};
const SnmpOid SYS_NAME{1, 3, 6, 1, 2, 1, 1, 5, 0};
const SnmpOid SYS_LOCATION{1, 3, 6, 1, 2, 1, 1, 6, 0};
const SnmpOid HR_DEVICE_DESCR_1{1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1};
const SnmpOid PRT_GENERAL_PRINTER_NAME_1{1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 16, 1};
const SnmpOid PRT_GENERAL_SERIAL_NUMBER_1{1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 17, 1};
const SnmpOid PPM_PRINTER_IEEE1284_DEVICE_ID_1{1, 3, 6, 1, 4, 1, 2699, 1, 2, 1, 2, 1, 1, 3, 1};
}  // namespace snmp_oids

namespace {

using Clock = std::chrono::steady_clock;
using namespace snmp_oids;

// What a printer's identity is read from, in one Get.
const std::vector<SnmpOid> IDENTITY_OIDS{SYS_NAME,
                                         SYS_LOCATION,
                                         SYS_DESCR,
                                         HR_DEVICE_DESCR_1,
                                         PRT_GENERAL_PRINTER_NAME_1,
                                         PRT_GENERAL_SERIAL_NUMBER_1,
                                         PPM_PRINTER_IEEE1284_DEVICE_ID_1};

std::u16string AddressText(uint32_t nAddress) {
    in_addr address{htonl(nAddress)};
    char szText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, szText, sizeof szText);
    return Utf8ToUtf16(szText);
}

bool IsPrinterAnswer(const SnmpResponse& response) {
    const SnmpValue* pType = FindSnmpValue(response.aValues, HR_DEVICE_TYPE_1);
    return response.nErrorStatus == 0 && pType != nullptr && pType->nType == SnmpValue::Type::Oid &&
           pType->oidValue == HR_DEVICE_PRINTER;
}

// One search: its socket, what is queued, what is in flight.
class CSearch {
public:
    CSearch(const SnmpFinderSettings& settings, int hSocket,
            const std::function<void(const SnmpPrinter&)>& fn)
        : m_settings(settings), m_hSocket(hSocket), m_fnPrinter(fn) {
        std::random_device random;
        m_nNextId = static_cast<int32_t>(random() & 0x3FFFFFFF) + 1;
        for (uint32_t nAddress : settings.aAddresses) m_toProbe.push_back(nAddress);
    }

    void StartBroadcast(const std::vector<SnmpBroadcastTarget>& aTargets) {
        for (const SnmpBroadcastTarget& target : aTargets) {
            for (const std::string& strCommunity : m_settings.aCommunities) {
                const int32_t nId = m_nNextId++;
                m_broadcast.aIds.push_back(nId);
                m_broadcast.aSends.push_back({target.nAddress, ProbeRequest(strCommunity, nId)});
            }
        }
        m_broadcast.bActive = !m_broadcast.aSends.empty();
        m_broadcast.tStart = m_broadcast.tLastAnswer = Clock::now();
        for (const auto& [nAddress, strPacket] : m_broadcast.aSends) Send(nAddress, strPacket);
    }

    // Starts, retries and ends requests; false once everything is done.
    // tWake: when to look again.
    bool Step(Clock::time_point& tWake);
    void ReadReplies();

private:
    struct Pending {
        uint32_t nAddress = 0;
        bool bIdentity = false;
        std::string strCommunity;                            // identity: the one that answered
        std::vector<SnmpOid> aV1Oids;                        // identity: what its v1 request asks
        std::vector<std::pair<int32_t, std::string>> aSent;  // request id, packet
        Clock::time_point tStart;
        bool bRetried = false;
    };

    std::string ProbeRequest(const std::string& strCommunity, int32_t nId) const {
        // SNMPv1, which every agent speaks (a v2c-only probe would miss the
        // oldest printers).
        return BuildSnmpRequest({SNMP_V1, strCommunity, nId, SnmpRequestKind::Get, {HR_DEVICE_TYPE_1}});
    }
    void Send(uint32_t nAddress, const std::string& strPacket) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_settings.nPort);
        to.sin_addr.s_addr = htonl(nAddress);
        if (strPacket.empty() || sendto(m_hSocket, strPacket.data(), strPacket.size(), 0,
                                        reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"SNMP: Could not send to %s. (%d)", AddressText(nAddress),
                         errno);
        }
    }
    void StartNext();
    void Found(uint32_t nAddress, const std::string& strCommunity);
    void Report(uint32_t nAddress, const std::string& strCommunity, const SnmpResponse* pIdentity);
    void HandleReply(const SnmpResponse& response, uint32_t nFrom);
    bool AskV1AgainWithoutMissing(Pending& pending, size_t nSent, const SnmpResponse& response);

    const SnmpFinderSettings& m_settings;
    const int m_hSocket;
    const std::function<void(const SnmpPrinter&)>& m_fnPrinter;
    int32_t m_nNextId = 1;
    struct {
        bool bActive = false;
        bool bRetried = false;
        std::vector<int32_t> aIds;
        std::vector<std::pair<uint32_t, std::string>> aSends;
        Clock::time_point tStart, tLastAnswer;
    } m_broadcast;
    std::deque<uint32_t> m_toProbe;
    std::deque<std::pair<uint32_t, std::string>> m_toIdentify;
    std::list<Pending> m_inFlight;
    std::set<uint32_t> m_found;
    std::set<uint32_t> m_heardBroadcast;
};

void CSearch::StartNext() {
    while (m_inFlight.size() < m_settings.nMaxInFlight && (!m_toIdentify.empty() || !m_toProbe.empty())) {
        Pending& pending = m_inFlight.emplace_back();
        pending.tStart = Clock::now();
        if (!m_toIdentify.empty()) {
            // Printers first: their rows wait on these.
            std::tie(pending.nAddress, pending.strCommunity) = m_toIdentify.front();
            m_toIdentify.pop_front();
            pending.bIdentity = true;
            pending.aV1Oids = IDENTITY_OIDS;
            // v2c, and v1 for the agents that speak nothing else.
            for (const long nVersion : {SNMP_V2C, SNMP_V1}) {
                const int32_t nId = m_nNextId++;
                pending.aSent.push_back({nId, BuildSnmpRequest({nVersion, pending.strCommunity, nId,
                                                                SnmpRequestKind::Get, pending.aV1Oids})});
            }
        } else {
            pending.nAddress = m_toProbe.front();
            m_toProbe.pop_front();
            for (const std::string& strCommunity : m_settings.aCommunities) {
                const int32_t nId = m_nNextId++;
                pending.aSent.push_back({nId, ProbeRequest(strCommunity, nId)});
            }
        }
        for (const auto& [nId, strPacket] : pending.aSent) Send(pending.nAddress, strPacket);
    }
}

bool CSearch::Step(Clock::time_point& tWake) {
    StartNext();
    const Clock::time_point tNow = Clock::now();
    const auto retryAfter = m_settings.requestBound / 2;
    tWake = tNow + std::chrono::hours(1);
    if (m_broadcast.bActive) {
        if (!m_broadcast.bRetried && tNow >= m_broadcast.tStart + retryAfter) {
            m_broadcast.bRetried = true;
            for (const auto& [nAddress, strPacket] : m_broadcast.aSends) Send(nAddress, strPacket);
        }
        if (tNow >= m_broadcast.tLastAnswer + m_settings.silence) m_broadcast.bActive = false;
    }
    if (m_broadcast.bActive) {
        tWake = std::min(tWake, m_broadcast.tLastAnswer + m_settings.silence);
        if (!m_broadcast.bRetried) tWake = std::min(tWake, m_broadcast.tStart + retryAfter);
    }
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (tNow >= it->tStart + m_settings.requestBound) {
            // A printer whose identity never came is listed all the same.
            if (it->bIdentity) Report(it->nAddress, it->strCommunity, nullptr);
            it = m_inFlight.erase(it);
            continue;
        }
        if (!it->bRetried && tNow >= it->tStart + retryAfter) {
            it->bRetried = true;
            for (const auto& [nId, strPacket] : it->aSent) Send(it->nAddress, strPacket);
        }
        tWake =
            std::min(tWake, it->bRetried ? it->tStart + m_settings.requestBound : it->tStart + retryAfter);
        ++it;
    }
    StartNext();  // the slots that ended
    return m_broadcast.bActive || !m_inFlight.empty() || !m_toProbe.empty() || !m_toIdentify.empty();
}

void CSearch::ReadReplies() {
    char aBuffer[65536];
    // Bounded, so that a host flooding the socket cannot hold the timers up.
    for (int nRead = 0; nRead < 256; ++nRead) {
        sockaddr_in from{};
        socklen_t nFrom = sizeof from;
        const ssize_t n =
            recvfrom(m_hSocket, aBuffer, sizeof aBuffer, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
        if (n < 0) return;  // drained (or an ICMP error: that host's request ends at its bound)
        SnmpResponse response;
        if (from.sin_family != AF_INET || !ParseSnmpResponse(std::string_view(aBuffer, n), response)) {
            TraceMessage(TRACE_ERROR, nullptr, u"SNMP: A reply from %s that is no SNMP response was ignored.",
                         AddressText(ntohl(from.sin_addr.s_addr)));
            continue;
        }
        HandleReply(response, ntohl(from.sin_addr.s_addr));
    }
}

void CSearch::HandleReply(const SnmpResponse& response, uint32_t nFrom) {
    for (size_t i = 0; i < m_broadcast.aIds.size(); ++i) {
        if (m_broadcast.aIds[i] != response.nRequestId) continue;
        // Hosts answering the retry once more bring nothing new: silence is
        // from the last host not heard before.
        if (m_heardBroadcast.insert(nFrom).second) m_broadcast.tLastAnswer = Clock::now();
        const std::string& strCommunity = m_settings.aCommunities[i % m_settings.aCommunities.size()];
        if (IsPrinterAnswer(response)) Found(nFrom, strCommunity);
        return;
    }
    for (auto it = m_inFlight.begin(); it != m_inFlight.end(); ++it) {
        if (it->nAddress != nFrom) continue;
        for (size_t i = 0; i < it->aSent.size(); ++i) {
            if (it->aSent[i].first != response.nRequestId) continue;
            if (it->bIdentity && AskV1AgainWithoutMissing(*it, i, response)) return;
            const Pending pending = *it;
            m_inFlight.erase(it);
            if (pending.bIdentity) {
                Report(pending.nAddress, pending.strCommunity, &response);
            } else if (IsPrinterAnswer(response)) {
                Found(nFrom, m_settings.aCommunities[i]);
            }
            return;
        }
    }
}

// An SNMPv1 agent refuses the whole identity Get for one name it lacks: the
// request goes again without it, in the same bound (while v2c may answer).
bool CSearch::AskV1AgainWithoutMissing(Pending& pending, size_t nSent, const SnmpResponse& response) {
    const long nIndex = response.nErrorIndex;
    if (response.nVersion != SNMP_V1 || response.nErrorStatus != SNMP_NO_SUCH_NAME || nIndex < 1 ||
        nIndex > std::ssize(pending.aV1Oids) || pending.aV1Oids.size() == 1)
        return false;
    pending.aV1Oids.erase(pending.aV1Oids.begin() + (nIndex - 1));
    const int32_t nId = m_nNextId++;
    pending.aSent[nSent] = {
        nId, BuildSnmpRequest({SNMP_V1, pending.strCommunity, nId, SnmpRequestKind::Get, pending.aV1Oids})};
    Send(pending.nAddress, pending.aSent[nSent].second);
    return true;
}

void CSearch::Found(uint32_t nAddress, const std::string& strCommunity) {
    if (m_found.insert(nAddress).second) m_toIdentify.push_back({nAddress, strCommunity});
}

void CSearch::Report(uint32_t nAddress, const std::string& strCommunity, const SnmpResponse* pIdentity) {
    SnmpPrinter printer;
    printer.strAddress = Utf16ToUtf8(AddressText(nAddress));
    printer.strCommunity = strCommunity;
    if (pIdentity == nullptr) {
        TraceMessage(TRACE_ERROR, nullptr, u"SNMP: %s told no identity within %d ms.", AddressText(nAddress),
                     static_cast<int>(m_settings.requestBound.count()));
    }
    const std::pair<const SnmpOid*, std::string*> aFields[] = {
        {&SYS_NAME, &printer.strSysName},
        {&SYS_LOCATION, &printer.strSysLocation},
        {&SYS_DESCR, &printer.strSysDescr},
        {&HR_DEVICE_DESCR_1, &printer.strDeviceDescr},
        {&PRT_GENERAL_PRINTER_NAME_1, &printer.strPrinterName},
        {&PRT_GENERAL_SERIAL_NUMBER_1, &printer.strSerial},
        {&PPM_PRINTER_IEEE1284_DEVICE_ID_1, &printer.strDeviceId},
    };
    for (const auto& [pOid, pField] : aFields) {
        const SnmpValue* pValue = pIdentity ? FindSnmpValue(pIdentity->aValues, *pOid) : nullptr;
        if (pValue != nullptr && pValue->nType == SnmpValue::Type::Octets) *pField = pValue->strOctets;
    }
    m_fnPrinter(printer);
}

}  // namespace

std::vector<SnmpBroadcastTarget> SnmpBroadcastTargets() {
    std::vector<SnmpBroadcastTarget> aTargets;
    std::vector<HostInterface> aInterfaces;
    ListHostInterfaces(aInterfaces);
    for (const HostInterface& i : aInterfaces) {
        if (!i.IsUp() || (i.nFlags & IFF_BROADCAST) == 0 || i.IsLoopback()) continue;
        for (const HostIpv4Address& a : i.aIpv4) {
            // An address added without "brd" reports itself (or nothing) as
            // its broadcast: the subnet's is made from the mask then.
            const uint32_t nBroadcast =
                a.nBroadcast == 0 || a.nBroadcast == a.nAddress ? a.nAddress | ~a.nMask : a.nBroadcast;
            if (~a.nMask > 1 && nBroadcast != a.nAddress) aTargets.push_back({i.strName, nBroadcast});
        }
    }
    return aTargets;
}

bool ExpandSubnet(const std::string& strCidr, std::vector<uint32_t>& aAddresses) {
    const size_t nSlash = strCidr.find('/');
    if (nSlash == std::string::npos || nSlash + 1 >= strCidr.size() || strCidr.size() - nSlash > 3)
        return false;
    in_addr address{};
    if (inet_pton(AF_INET, strCidr.substr(0, nSlash).c_str(), &address) != 1) return false;
    int nPrefix = 0;
    for (char c : strCidr.substr(nSlash + 1)) {
        if (c < '0' || c > '9') return false;
        nPrefix = nPrefix * 10 + (c - '0');
    }
    if (nPrefix < 22 || nPrefix > 32) return false;
    const uint32_t nMask = nPrefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> nPrefix);
    const uint32_t nFirst = ntohl(address.s_addr) & nMask;
    const uint32_t nLast = nFirst | ~nMask;
    // Below /31 the first and last addresses are the network's and its broadcast.
    const uint32_t nSkip = nPrefix < 31 ? 1 : 0;
    for (uint64_t n = nFirst + nSkip; n + nSkip <= nLast; ++n) aAddresses.push_back(static_cast<uint32_t>(n));
    return true;
}

std::u16string SnmpDeviceIdModel(std::string_view strDeviceId) {
    auto fnUpper = [](std::u16string str) {
        for (char16_t& c : str) c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
        return str;
    };
    const std::u16string strText = SnmpText(strDeviceId, 1024);
    std::u16string strMaker, strModel;
    size_t nAt = 0;
    while (nAt < strText.size()) {
        size_t nEnd = strText.find(u';', nAt);
        if (nEnd == std::u16string::npos) nEnd = strText.size();
        const std::u16string strItem = strText.substr(nAt, nEnd - nAt);
        nAt = nEnd + 1;
        const size_t nColon = strItem.find(u':');
        if (nColon == std::u16string::npos) continue;
        std::u16string strKey = strItem.substr(0, nColon), strValue = strItem.substr(nColon + 1);
        TrimLeft(strKey);
        TrimRight(strKey);
        TrimLeft(strValue);
        TrimRight(strValue);
        strKey = fnUpper(strKey);
        if ((strKey == u"MFG" || strKey == u"MANUFACTURER") && strMaker.empty()) strMaker = strValue;
        if ((strKey == u"MDL" || strKey == u"MODEL") && strModel.empty()) strModel = strValue;
    }
    if (strModel.empty() || strMaker.empty()) return strModel;
    if (fnUpper(strModel).rfind(fnUpper(strMaker), 0) == 0) return strModel;
    return strMaker + u' ' + strModel;
}

CSnmpFinder::CSnmpFinder(SnmpFinderSettings settings) : m_settings(std::move(settings)) {}
CSnmpFinder::~CSnmpFinder() = default;

void CSnmpFinder::Stop() {
    m_stop.Raise();
}

int32_t CSnmpFinder::Run(const std::function<void(const SnmpPrinter&)>& fnPrinter) {
    if (!m_stop.IsValid() || m_settings.aCommunities.empty()) return EINVAL;
    std::vector<SnmpBroadcastTarget> aTargets;
    if (m_settings.aAddresses.empty()) {
        aTargets = SnmpBroadcastTargets();
        if (aTargets.empty()) {
            TraceMessage(TRACE_ERROR, nullptr, u"SNMP: No IPv4 interface that is up can broadcast.");
            return ENETUNREACH;
        }
    }
    const int hSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int nOn = 1;
    if (hSocket < 0 || setsockopt(hSocket, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn) != 0) {
        const int nError = errno;
        TraceMessage(TRACE_ERROR, nullptr, u"SNMP: Could not open a UDP socket. (%d)", nError);
        if (hSocket >= 0) close(hSocket);
        return nError;
    }
    CSearch search(m_settings, hSocket, fnPrinter);
    search.StartBroadcast(aTargets);
    for (;;) {
        Clock::time_point tWake;
        if (!search.Step(tWake)) break;
        pollfd aFds[2] = {{hSocket, POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(tWake - Clock::now()).count();
        const int nReady = poll(aFds, 2, static_cast<int>(std::clamp<int64_t>(wait + 1, 0, 1000)));
        if (nReady < 0 && errno != EINTR) break;
        if (aFds[1].revents != 0) break;  // stopped
        if (aFds[0].revents != 0) search.ReadReplies();
    }
    close(hSocket);
    return 0;
}
