#include "mdns_direct.h"

#include <arpa/inet.h>
#include <ldns/ldns.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "host_interfaces.h"
#include "trace_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// Queries stay well inside one Ethernet frame.
constexpr size_t QUERY_BYTES = 1400;
// RFC 6762 §17: at most 9000 bytes of message.
constexpr size_t PACKET_BYTES = 9000;

std::string Lower(std::string str) {
    for (char& c : str)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return str;
}

std::string DnameText(const ldns_rdf* pName) {
    char* psz = ldns_rdf2str(pName);
    std::string str = psz != nullptr ? psz : "";
    free(psz);
    return str;
}

using PacketPtr = std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)>;

PacketPtr NewQuery(uint16_t nId) {
    PacketPtr pPacket(ldns_pkt_new(), ldns_pkt_free);
    if (pPacket) ldns_pkt_set_id(pPacket.get(), nId);
    return pPacket;
}

// A one-shot querier is a plain DNS resolver to the responders, which echo
// its ID (RFC 6762 §6.7). Not zero, as mDNS queriers' are: avahi-daemon's
// first query for a type is then byte for byte ours, and a responder that
// drops a packet it saw a moment ago (python-zeroconf does) never answered us.
uint16_t QueryId() {
    std::random_device random;
    return static_cast<uint16_t>(1 + random() % 0xFFFF);
}

bool AddQuestion(ldns_pkt* pPacket, const std::string& strName, ldns_rr_type nType) {
    ldns_rdf* pOwner = ldns_dname_new_frm_str(strName.c_str());
    ldns_rr* pQuestion = pOwner != nullptr ? ldns_rr_new() : nullptr;
    if (pQuestion == nullptr) {
        if (pOwner != nullptr) ldns_rdf_deep_free(pOwner);
        return false;
    }
    ldns_rr_set_owner(pQuestion, pOwner);
    ldns_rr_set_type(pQuestion, nType);
    ldns_rr_set_class(pQuestion, LDNS_RR_CLASS_IN);
    ldns_rr_set_question(pQuestion, true);
    return ldns_pkt_push_rr(pPacket, LDNS_SECTION_QUESTION, pQuestion);
}

std::vector<uint8_t> Wire(ldns_pkt* pPacket) {
    uint8_t* pWire = nullptr;
    size_t nSize = 0;
    std::vector<uint8_t> aWire;
    if (ldns_pkt2wire(&pWire, pPacket, &nSize) == LDNS_STATUS_OK) aWire.assign(pWire, pWire + nSize);
    free(pWire);
    return aWire;
}

}  // namespace

struct CMdnsDirectStore::Instance {
    MdnsDirectService service;
    ldns_rr* pPtr = nullptr;  // as heard: repeated as a known answer
    std::string strHostKey;
    bool bSrv = false;
    bool bTxt = false;
    bool bTooLong = false;  // its TXT passed the bound: avahi's to list
    bool bDone = false;
    ~Instance() {
        if (pPtr != nullptr) ldns_rr_free(pPtr);
    }
};

CMdnsDirectStore::CMdnsDirectStore(const std::vector<std::string>& aTypes, const MdnsDirectLimits& limits)
    : m_aTypes(aTypes), m_limits(limits), m_nQueryId(QueryId()) {}

CMdnsDirectStore::~CMdnsDirectStore() = default;

namespace {

using RecordListPtr = std::unique_ptr<ldns_rr_list, decltype(&ldns_rr_list_deep_free)>;

// The records are read one by one with ldns_wire2rr, not by ldns_wire2pkt:
// that one keeps only a packet's last TSIG record, losing the others, and
// stops short of the additional section's end after one (ldns 1.8.3). mDNS
// is never signed, so a TSIG or OPT here is a record like any other.
bool ReadSection(const uint8_t* pData, size_t nSize, size_t& nPos, size_t nCount, ldns_pkt_section section,
                 ldns_rr_list* pInto) {
    for (size_t i = 0; i < nCount; ++i) {
        ldns_rr* pRecord = nullptr;
        if (ldns_wire2rr(&pRecord, pData, nSize, &nPos, section) != LDNS_STATUS_OK) return false;
        if (pInto == nullptr || !ldns_rr_list_push_rr(pInto, pRecord)) ldns_rr_free(pRecord);
    }
    return true;
}

}  // namespace

bool CMdnsDirectStore::Read(const uint8_t* pData, size_t nSize, unsigned nInterface) {
    if (nSize < LDNS_HEADER_SIZE || !LDNS_QR_WIRE(pData) || LDNS_OPCODE_WIRE(pData) != LDNS_PACKET_QUERY ||
        LDNS_RCODE_WIRE(pData) != LDNS_RCODE_NOERROR)
        return false;
    RecordListPtr pAnswers(ldns_rr_list_new(), ldns_rr_list_deep_free);
    RecordListPtr pAdditional(ldns_rr_list_new(), ldns_rr_list_deep_free);
    size_t nPos = LDNS_HEADER_SIZE;
    if (!pAnswers || !pAdditional ||
        !ReadSection(pData, nSize, nPos, LDNS_QDCOUNT(pData), LDNS_SECTION_QUESTION, nullptr) ||
        !ReadSection(pData, nSize, nPos, LDNS_ANCOUNT(pData), LDNS_SECTION_ANSWER, pAnswers.get()) ||
        !ReadSection(pData, nSize, nPos, LDNS_NSCOUNT(pData), LDNS_SECTION_AUTHORITY, nullptr) ||
        !ReadSection(pData, nSize, nPos, LDNS_ARCOUNT(pData), LDNS_SECTION_ADDITIONAL, pAdditional.get()))
        return false;
    // PTRs first, then what names them, then the hosts' addresses: a
    // responder may order its records any way.
    for (int nPass = 0; nPass < 3; ++nPass) {
        size_t nBudget = m_limits.nRecordsPerPacket;
        TakeRecords(pAnswers.get(), nInterface, nPass, nBudget);
        TakeRecords(pAdditional.get(), nInterface, nPass, nBudget);
    }
    return true;
}

void CMdnsDirectStore::TakeRecords(void* pListRaw, unsigned nInterface, int nPass, size_t& nBudget) {
    const ldns_rr_list* pList = static_cast<const ldns_rr_list*>(pListRaw);
    const size_t nCount = pList != nullptr ? ldns_rr_list_rr_count(pList) : 0;
    for (size_t i = 0; i < nCount && nBudget > 0; ++i, --nBudget) {
        ldns_rr* pRecord = ldns_rr_list_rr(pList, i);
        // The top bit of the class is mDNS's cache-flush bit. A TTL of 0 is
        // a goodbye: avahi's browse tells those.
        if ((ldns_rr_get_class(pRecord) & 0x7FFF) != LDNS_RR_CLASS_IN || ldns_rr_ttl(pRecord) == 0) continue;
        const ldns_rr_type nType = ldns_rr_get_type(pRecord);
        const ldns_rdf* pFirst = ldns_rr_rd_count(pRecord) > 0 ? ldns_rr_rdf(pRecord, 0) : nullptr;
        if (pFirst == nullptr && nType != LDNS_RR_TYPE_TXT) continue;  // (an empty TXT is one)
        if (nPass == 0 && nType == LDNS_RR_TYPE_PTR) {
            TakePtr(pRecord, nInterface);
        } else if (nPass == 1 && (nType == LDNS_RR_TYPE_SRV || nType == LDNS_RR_TYPE_TXT)) {
            auto it = m_instances.find(Lower(DnameText(ldns_rr_owner(pRecord))));
            if (it == m_instances.end()) continue;  // not asked for, or not one of ours
            Instance& instance = *it->second;
            if (nType == LDNS_RR_TYPE_SRV) {
                TakeSrv(instance, pRecord);
            } else if (!instance.bTxt) {
                std::string strTxt;
                for (size_t n = 0; n < ldns_rr_rd_count(pRecord); ++n) {
                    const ldns_rdf* pString = ldns_rr_rdf(pRecord, n);
                    strTxt.append(reinterpret_cast<const char*>(ldns_rdf_data(pString)),
                                  ldns_rdf_size(pString));
                }
                instance.bTxt = true;
                instance.bTooLong = strTxt.size() > m_limits.nTxtBytes;
                if (!instance.bTooLong) instance.service.strTxt = std::move(strTxt);
            }
        } else if (nPass == 2 && (nType == LDNS_RR_TYPE_A || nType == LDNS_RR_TYPE_AAAA)) {
            auto it = m_hosts.find(Lower(DnameText(ldns_rr_owner(pRecord))));
            if (it == m_hosts.end()) continue;  // no SRV of ours names it
            const bool b4 = nType == LDNS_RR_TYPE_A;
            if (ldns_rdf_size(pFirst) != (b4 ? 4u : 16u)) continue;
            char szText[INET6_ADDRSTRLEN] = {};
            if (inet_ntop(b4 ? AF_INET : AF_INET6, ldns_rdf_data(pFirst), szText, sizeof szText) == nullptr)
                continue;
            std::vector<std::string>& aAddresses = it->second;
            if (aAddresses.size() >= m_limits.nAddressesPerHost ||
                std::find(aAddresses.begin(), aAddresses.end(), szText) != aAddresses.end())
                continue;
            ++m_nTaken;
            // IPv4 ahead of IPv6, as rows prefer them.
            auto itAt =
                b4 ? std::find_if(aAddresses.begin(), aAddresses.end(),
                                  [](const std::string& s) { return s.find(':') != std::string::npos; })
                   : aAddresses.end();
            aAddresses.insert(itAt, szText);
        }
    }
}

void CMdnsDirectStore::TakePtr(ldns_rr* pRecord, unsigned nInterface) {
    const ldns_rdf* pOwner = ldns_rr_owner(pRecord);
    const std::string strOwner = Lower(DnameText(pOwner));
    auto itType = std::find_if(m_aTypes.begin(), m_aTypes.end(),
                               [&](const std::string& s) { return Lower(s) + ".local." == strOwner; });
    const ldns_rdf* pTarget = ldns_rr_rdf(pRecord, 0);
    // An instance of the type asked for: one label under the type's name.
    if (itType == m_aTypes.end() || ldns_rdf_get_type(pTarget) != LDNS_RDF_TYPE_DNAME ||
        ldns_dname_label_count(pTarget) != ldns_dname_label_count(pOwner) + 1 ||
        !ldns_dname_is_subdomain(pTarget, pOwner))
        return;
    std::string strKey = Lower(DnameText(pTarget));
    if (m_instances.count(strKey) != 0 || m_instances.size() >= m_limits.nInstances) return;
    auto pInstance = std::make_unique<Instance>();
    const uint8_t* pLabel = ldns_rdf_data(pTarget);
    pInstance->service.strType = *itType;
    pInstance->service.strInstance.assign(reinterpret_cast<const char*>(pLabel + 1), pLabel[0]);
    pInstance->service.nInterface = nInterface;
    pInstance->pPtr = ldns_rr_clone(pRecord);
    if (pInstance->pPtr == nullptr) return;
    ldns_rr_set_class(pInstance->pPtr, LDNS_RR_CLASS_IN);
    ++m_nTaken;
    m_instances.emplace(std::move(strKey), std::move(pInstance));
}

void CMdnsDirectStore::TakeSrv(Instance& instance, const ldns_rr* pRecord) {
    // The first SRV heard stays: another responder naming the same instance
    // does not take it over.
    if (instance.bSrv || ldns_rr_rd_count(pRecord) != 4) return;
    const ldns_rdf* pPort = ldns_rr_rdf(pRecord, 2);
    const ldns_rdf* pHost = ldns_rr_rdf(pRecord, 3);
    if (ldns_rdf_size(pPort) != 2 || ldns_rdf_get_type(pHost) != LDNS_RDF_TYPE_DNAME) return;
    if (ldns_dname_label_count(pHost) == 0) return;  // "." : no such service
    instance.bSrv = true;
    instance.service.nPort = ldns_rdf2native_int16(pPort);
    instance.service.strHostTarget = DnameText(pHost);
    instance.strHostKey = Lower(instance.service.strHostTarget);
    m_hosts.try_emplace(instance.strHostKey);
    ++m_nTaken;
}

std::vector<MdnsDirectService> CMdnsDirectStore::TakeComplete(bool bLast) {
    std::vector<MdnsDirectService> aComplete;
    for (auto& [strKey, pInstance] : m_instances) {
        Instance& instance = *pInstance;
        if (instance.bDone || !instance.bSrv || !instance.bTxt || instance.bTooLong) continue;
        const std::vector<std::string>& aAddresses = m_hosts[instance.strHostKey];
        if (aAddresses.empty()) continue;
        if (!bLast && aAddresses.front().find(':') != std::string::npos) continue;  // IPv4 first
        instance.bDone = true;
        ++m_nComplete;
        instance.service.aAddresses = aAddresses;
        aComplete.push_back(instance.service);
    }
    return aComplete;
}

std::vector<std::vector<uint8_t>> CMdnsDirectStore::Queries(const std::string& strType,
                                                            size_t nPackets) const {
    std::vector<std::vector<uint8_t>> aPackets;
    PacketPtr pPacket = NewQuery(m_nQueryId);
    if (!pPacket || !AddQuestion(pPacket.get(), strType + ".local.", LDNS_RR_TYPE_PTR)) return aPackets;
    size_t nBytes = 12 + strType.size() + 12;
    for (const auto& [strKey, pInstance] : m_instances) {
        if (!pInstance->bDone || pInstance->service.strType != strType) continue;
        // An estimate that compression only beats: label, pointer, fixed part.
        const size_t nAnswer = pInstance->service.strInstance.size() + 16;
        if (nBytes + nAnswer > QUERY_BYTES) {
            if (aPackets.size() + 1 >= nPackets) break;  // the rest answer again: no harm
            ldns_pkt_set_tc(pPacket.get(), true);        // §7.2: more known answers follow
            aPackets.push_back(Wire(pPacket.get()));
            pPacket = NewQuery(m_nQueryId);
            if (!pPacket) return aPackets;
            nBytes = 12 + strType.size() + 12;
        }
        ldns_rr* pKnown = ldns_rr_clone(pInstance->pPtr);
        if (pKnown == nullptr || !ldns_pkt_push_rr(pPacket.get(), LDNS_SECTION_ANSWER, pKnown)) {
            if (pKnown != nullptr) ldns_rr_free(pKnown);
            break;
        }
        nBytes += nAnswer;
    }
    aPackets.push_back(Wire(pPacket.get()));
    if (aPackets.back().empty()) aPackets.pop_back();
    return aPackets;
}

std::vector<std::vector<uint8_t>> CMdnsDirectStore::Missing(unsigned nInterface, size_t nPackets,
                                                            size_t nTimes) {
    std::vector<std::pair<std::string, ldns_rr_type>> aAsk;
    for (const auto& [strKey, pInstance] : m_instances) {
        const Instance& instance = *pInstance;
        if (instance.bDone || instance.bTooLong || instance.service.nInterface != nInterface) continue;
        if (!instance.bSrv) aAsk.emplace_back(strKey, LDNS_RR_TYPE_SRV);
        if (!instance.bTxt) aAsk.emplace_back(strKey, LDNS_RR_TYPE_TXT);
        if (instance.bSrv && m_hosts[instance.strHostKey].empty()) {
            aAsk.emplace_back(instance.strHostKey, LDNS_RR_TYPE_A);
            aAsk.emplace_back(instance.strHostKey, LDNS_RR_TYPE_AAAA);
        }
    }
    std::vector<std::vector<uint8_t>> aPackets;
    PacketPtr pPacket = NewQuery(m_nQueryId);
    size_t nBytes = 12;
    size_t nQuestions = 0;
    for (const auto& [strName, nType] : aAsk) {
        size_t& nAsked = m_asked[strName + '/' + std::to_string(nType)];
        if (nAsked >= nTimes) continue;
        if (nBytes + strName.size() + 6 > QUERY_BYTES && nQuestions > 0) {
            aPackets.push_back(Wire(pPacket.get()));
            if (aPackets.size() >= nPackets) return aPackets;
            pPacket = NewQuery(m_nQueryId);
            nBytes = 12;
            nQuestions = 0;
        }
        if (!pPacket || !AddQuestion(pPacket.get(), strName, nType)) continue;
        ++nAsked;
        ++nQuestions;
        nBytes += strName.size() + 6;
    }
    if (nQuestions > 0) aPackets.push_back(Wire(pPacket.get()));
    return aPackets;
}

namespace {

struct Link {
    unsigned nIndex = 0;
    bool bIpv4 = false;
    bool bIpv6 = false;
};

std::vector<Link> LinksToAsk(const std::vector<unsigned>& aWanted) {
    std::vector<HostInterface> aInterfaces;
    ListHostInterfaces(aInterfaces);
    std::vector<Link> aLinks;
    for (const HostInterface& host : aInterfaces) {
        const bool bWanted = aWanted.empty()
                                 ? host.CanMulticast()
                                 : std::find(aWanted.begin(), aWanted.end(), host.nIndex) != aWanted.end();
        if (bWanted && host.nIndex != 0)
            aLinks.push_back({host.nIndex, !host.aIpv4.empty(), !host.aIpv6.empty()});
    }
    return aLinks;
}

// A socket on an ephemeral port (§5.1: answered by unicast, straight to it),
// that tells the interface of each packet; -1 and errno when none.
int OpenSocket(int nFamily, int nReceiveBuffer, int& nGranted) {
    const int hSocket = socket(nFamily, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hSocket < 0) return -1;
    const int nOne = 1;
    const int nHops = 255;  // §11: sent with 255, so that responders may check
    bool bOk;
    if (nFamily == AF_INET6) {
        bOk = setsockopt(hSocket, IPPROTO_IPV6, IPV6_V6ONLY, &nOne, sizeof nOne) == 0 &&
              setsockopt(hSocket, IPPROTO_IPV6, IPV6_RECVPKTINFO, &nOne, sizeof nOne) == 0 &&
              setsockopt(hSocket, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &nHops, sizeof nHops) == 0;
    } else {
        bOk = setsockopt(hSocket, IPPROTO_IP, IP_PKTINFO, &nOne, sizeof nOne) == 0 &&
              setsockopt(hSocket, IPPROTO_IP, IP_MULTICAST_TTL, &nHops, sizeof nHops) == 0;
    }
    // A thousand answers at once: past net.core.rmem_max where allowed (root).
    if (setsockopt(hSocket, SOL_SOCKET, SO_RCVBUFFORCE, &nReceiveBuffer, sizeof nReceiveBuffer) != 0)
        setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    socklen_t nLength = sizeof nGranted;
    getsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &nGranted, &nLength);
    sockaddr_storage any{};
    any.ss_family = static_cast<sa_family_t>(nFamily);
    const socklen_t nAny = nFamily == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (!bOk || bind(hSocket, reinterpret_cast<sockaddr*>(&any), nAny) != 0) {
        const int nError = errno;
        close(hSocket);
        errno = nError;
        return -1;
    }
    return hSocket;
}

void SendOn(int hSocket, int nFamily, unsigned nIndex, const std::vector<uint8_t>& aPacket, size_t& nSent) {
    if (hSocket < 0 || aPacket.empty()) return;
    sockaddr_storage to{};
    socklen_t nTo;
    if (nFamily == AF_INET6) {
        const int nIf = static_cast<int>(nIndex);
        setsockopt(hSocket, IPPROTO_IPV6, IPV6_MULTICAST_IF, &nIf, sizeof nIf);
        auto* p6 = reinterpret_cast<sockaddr_in6*>(&to);
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(5353);
        p6->sin6_scope_id = nIndex;
        inet_pton(AF_INET6, "ff02::fb", &p6->sin6_addr);
        nTo = sizeof *p6;
    } else {
        ip_mreqn request{};
        request.imr_ifindex = static_cast<int>(nIndex);
        setsockopt(hSocket, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
        auto* p4 = reinterpret_cast<sockaddr_in*>(&to);
        p4->sin_family = AF_INET;
        p4->sin_port = htons(5353);
        inet_pton(AF_INET, "224.0.0.251", &p4->sin_addr);
        nTo = sizeof *p4;
    }
    if (sendto(hSocket, aPacket.data(), aPacket.size(), 0, reinterpret_cast<sockaddr*>(&to), nTo) >= 0)
        ++nSent;
}

// The interface a packet came in on (from its PKTINFO), and its source text.
unsigned ReceivedOn(msghdr& message, std::string& strFrom) {
    unsigned nIndex = 0;
    for (cmsghdr* p = CMSG_FIRSTHDR(&message); p != nullptr; p = CMSG_NXTHDR(&message, p)) {
        if (p->cmsg_level == IPPROTO_IP && p->cmsg_type == IP_PKTINFO)
            nIndex = static_cast<unsigned>(reinterpret_cast<in_pktinfo*>(CMSG_DATA(p))->ipi_ifindex);
        if (p->cmsg_level == IPPROTO_IPV6 && p->cmsg_type == IPV6_PKTINFO)
            nIndex = reinterpret_cast<in6_pktinfo*>(CMSG_DATA(p))->ipi6_ifindex;
    }
    char szText[INET6_ADDRSTRLEN] = {};
    const auto* pFrom = static_cast<const sockaddr_storage*>(message.msg_name);
    if (pFrom->ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(pFrom)->sin6_addr, szText, sizeof szText);
    else
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(pFrom)->sin_addr, szText, sizeof szText);
    strFrom = szText;
    return nIndex;
}

}  // namespace

namespace {

// One run's sockets and reading, so that Run stays a schedule.
class CDirectRun {
public:
    CDirectRun(const MdnsDirectSettings& settings, MdnsDirectStats& stats)
        : m_settings(settings), m_stats(stats), m_store(settings.aTypes, settings.limits) {}
    ~CDirectRun() {
        for (int h : {m_h4, m_h6})
            if (h >= 0) close(h);
    }
    int Open() {
        int nGranted6 = 0;
        m_h4 = OpenSocket(AF_INET, m_settings.nReceiveBuffer, m_stats.nReceiveBuffer);
        const int nError = errno;
        m_h6 = OpenSocket(AF_INET6, m_settings.nReceiveBuffer, nGranted6);
        if (m_h4 < 0 && m_h6 < 0) return nError != 0 ? nError : EINVAL;
        m_aLinks = LinksToAsk(m_settings.aInterfaces);
        return 0;
    }
    void SendRound(bool bRepeat) {
        for (const Link& link : m_aLinks) {
            std::vector<std::vector<uint8_t>> aPackets;
            for (const std::string& strType : m_settings.aTypes) {
                auto aQueries = m_store.Queries(strType, bRepeat ? m_settings.nKnownAnswerPackets : 1);
                aPackets.insert(aPackets.end(), aQueries.begin(), aQueries.end());
            }
            if (bRepeat) {
                auto aMissing = m_store.Missing(link.nIndex, m_settings.nMissingPackets, 2);
                aPackets.insert(aPackets.end(), aMissing.begin(), aMissing.end());
            }
            for (const auto& aPacket : aPackets) {
                if (link.bIpv4) SendOn(m_h4, AF_INET, link.nIndex, aPacket, m_stats.nQueries);
                if (link.bIpv6) SendOn(m_h6, AF_INET6, link.nIndex, aPacket, m_stats.nQueries);
            }
        }
    }
    // Reads what waits on the socket (a bounded batch); true when something new came.
    bool Drain(int hSocket) {
        const size_t nBefore = m_store.GetTaken();
        for (int n = 0; n < 256; ++n) {
            sockaddr_storage from{};
            char aControl[128];
            iovec io{m_aBuffer.data(), m_aBuffer.size()};
            msghdr message{&from, sizeof from, &io, 1, aControl, sizeof aControl, 0};
            const ssize_t nRead = recvmsg(hSocket, &message, MSG_DONTWAIT);
            if (nRead < 0) break;
            ++m_stats.nPacketsRead;
            const Clock::time_point tNow = Clock::now();
            if (tNow >= m_tSecond + std::chrono::seconds(1)) {
                m_tSecond = tNow;
                m_nThisSecond = 0;
            }
            if (++m_nThisSecond > m_settings.limits.nPacketsPerSecond ||
                (message.msg_flags & MSG_TRUNC) != 0) {
                ++m_stats.nPacketsDropped;
                continue;
            }
            std::string strFrom;
            const unsigned nIndex = ReceivedOn(message, strFrom);
            const size_t nTaken = m_store.GetTaken();
            if (!m_store.Read(m_aBuffer.data(), static_cast<size_t>(nRead), nIndex)) {
                ++m_stats.nPacketsDropped;
            } else if (m_store.GetTaken() != nTaken && m_stats.aResponders.size() < 4096) {
                m_stats.aResponders.insert(strFrom);
            }
        }
        return m_store.GetTaken() != nBefore;
    }
    std::vector<MdnsDirectService> TakeComplete(bool bLast) { return m_store.TakeComplete(bLast); }
    int H4() const { return m_h4; }
    int H6() const { return m_h6; }

private:
    const MdnsDirectSettings& m_settings;
    MdnsDirectStats& m_stats;
    CMdnsDirectStore m_store;
    std::vector<Link> m_aLinks;
    std::vector<uint8_t> m_aBuffer = std::vector<uint8_t>(PACKET_BYTES);
    int m_h4 = -1;
    int m_h6 = -1;
    Clock::time_point m_tSecond{};
    size_t m_nThisSecond = 0;
};

}  // namespace

int CMdnsDirectQuerier::Run(int nStopFd, const std::function<void(const MdnsDirectService&)>& fnService,
                            const std::function<void()>& fnSettled, int nEndFd) {
    m_stats = MdnsDirectStats{};
    const Clock::time_point tStart = Clock::now();
    CDirectRun run(m_settings, m_stats);
    if (const int nError = run.Open(); nError != 0) return nError;
    const auto& aRounds = m_settings.aRounds;
    size_t nRound = 0;
    Clock::time_point tLastNew = tStart;
    bool bSettled = false;
    const auto handOver = [&](bool bLast) {
        for (const MdnsDirectService& service : run.TakeComplete(bLast)) {
            ++m_stats.nServices;
            fnService(service);
        }
    };
    for (;;) {
        Clock::time_point tNow = Clock::now();
        while (nRound < aRounds.size() && tNow >= tStart + aRounds[nRound]) run.SendRound(nRound++ > 0);
        Clock::time_point tWake = tStart + m_settings.bound;
        if (nRound < aRounds.size()) {
            tWake = std::min(tWake, tStart + aRounds[nRound]);
        } else if (!bSettled) {
            const Clock::time_point tLastRound =
                tStart + (aRounds.empty() ? Clock::duration{} : aRounds.back());
            const Clock::time_point tQuiet = std::max(tLastRound, tLastNew) + m_settings.quiet;
            if (tNow >= tQuiet) {
                if (!fnSettled) break;
                // What waits for an IPv4 answer goes now, as at the end: the
                // caller then waits for avahi's resolve of it.
                handOver(true);
                bSettled = true;
                fnSettled();
            } else {
                tWake = std::min(tWake, tQuiet);
            }
        }
        if (tNow >= tStart + m_settings.bound) break;
        pollfd aFds[4] = {
            {run.H4(), POLLIN, 0}, {run.H6(), POLLIN, 0}, {nStopFd, POLLIN, 0}, {nEndFd, POLLIN, 0}};
        const auto nMs = std::chrono::ceil<std::chrono::milliseconds>(tWake - tNow).count();
        if (poll(aFds, 4, static_cast<int>(std::max<long long>(nMs, 0))) < 0 && errno != EINTR) break;
        if (aFds[2].revents != 0 || aFds[3].revents != 0) break;
        bool bNew = false;
        for (int i = 0; i < 2; ++i)
            if (aFds[i].revents & POLLIN) bNew = run.Drain(aFds[i].fd) || bNew;
        if (bNew) tLastNew = Clock::now();
        handOver(false);
    }
    handOver(true);
    m_stats.took = Clock::now() - tStart;
    TraceMessage(
        TRACE_INFO, nullptr,
        u"MDNS direct: %d queries sent, %d packets read (%d dropped), %d services from %d responders.",
        static_cast<int>(m_stats.nQueries), static_cast<int>(m_stats.nPacketsRead),
        static_cast<int>(m_stats.nPacketsDropped), static_cast<int>(m_stats.nServices),
        static_cast<int>(m_stats.aResponders.size()));
    return 0;
}
