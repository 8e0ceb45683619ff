#include "dns_publisher.h"

// The standard headers before ldns's: its common.h defines bool and false.
#include <optional>

#include <arpa/inet.h>
#include <ldns/ldns.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

// The changes that go together in one UPDATE: an RRset's deletion and its
// new records, under the prerequisite that it still holds what was read.
struct PublishChangeGroup {
    std::vector<ldns_rr*> aPrereq, aUpdate;
};

using ChangeGroup = PublishChangeGroup;

namespace {

// Bytes of records per UPDATE: half of what a DNS message over TCP holds.
constexpr size_t MAX_UPDATE_BYTES = 32 * 1024;
constexpr size_t MAX_UDP_UPDATE = 512;
constexpr uint16_t EDNS_SIZE = 4096;  // what a query's answer may take over UDP
constexpr uint16_t TSIG_FUDGE = 300;
// TSIG errors (RFC 8945), which ldns has no names for.
constexpr int TSIG_BADSIG = 16;
constexpr int TSIG_BADKEY = 17;
constexpr int TSIG_BADTIME = 18;

std::string TsigErrorName(int nError) {
    switch (nError) {
        case TSIG_BADSIG:
            return "BADSIG";
        case TSIG_BADKEY:
            return "BADKEY";
        case TSIG_BADTIME:
            return "BADTIME";
        default:
            return "error " + std::to_string(nError);
    }
}

struct PktDeleter {
    void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using PktPtr = std::unique_ptr<ldns_pkt, PktDeleter>;
struct RdfDeleter {
    void operator()(ldns_rdf* p) const { ldns_rdf_deep_free(p); }
};
using RdfPtr = std::unique_ptr<ldns_rdf, RdfDeleter>;
struct ResolverDeleter {
    void operator()(ldns_resolver* p) const { ldns_resolver_deep_free(p); }
};
using ResolverPtr = std::unique_ptr<ldns_resolver, ResolverDeleter>;

RdfPtr DnameRdf(const std::string& strWire) {
    return RdfPtr(ldns_dname_new_frm_data(static_cast<uint16_t>(strWire.size()), strWire.data()));
}

std::string TextName(const std::string& strWire) {
    RdfPtr pName = DnameRdf(strWire);
    char* psz = pName ? ldns_rdf2str(pName.get()) : nullptr;
    std::string str = psz ? psz : "?";
    free(psz);
    return str;
}

std::string RcodeName(int nRcode) {
    const ldns_lookup_table* pEntry = ldns_lookup_by_id(ldns_rcodes, nRcode);
    return pEntry ? pEntry->name : "RCODE " + std::to_string(nRcode);
}

// The TSIG error of a signed answer (BADSIG 16, BADKEY 17, BADTIME 18); 0 when none.
int TsigError(const ldns_pkt* pAnswer) {
    const ldns_rr* pTsig = ldns_pkt_tsig(pAnswer);
    if (!pTsig || ldns_rr_rd_count(pTsig) < 6) return 0;
    return ldns_rdf2native_int16(ldns_rr_rdf(pTsig, 5));
}

// "ADDRESS[:PORT]", "[IPv6]:PORT" or a bare IPv6 address.
bool SplitServer(const std::string& strServer, std::string& strAddress, uint16_t& nPort) {
    strAddress = strServer;
    nPort = 53;
    std::string strPort;
    if (!strServer.empty() && strServer[0] == '[') {
        const size_t nEnd = strServer.find(']');
        if (nEnd == std::string::npos) return false;
        strAddress = strServer.substr(1, nEnd - 1);
        if (nEnd + 1 < strServer.size()) {
            if (strServer[nEnd + 1] != ':') return false;
            strPort = strServer.substr(nEnd + 2);
        }
    } else if (std::count(strServer.begin(), strServer.end(), ':') == 1) {
        strAddress = strServer.substr(0, strServer.find(':'));
        strPort = strServer.substr(strServer.find(':') + 1);
    }
    if (!strPort.empty()) {
        if (strPort.size() > 5 || !std::all_of(strPort.begin(), strPort.end(), ::isdigit)) return false;
        const int n = std::stoi(strPort);
        if (n < 1 || n > 65535) return false;
        nPort = static_cast<uint16_t>(n);
    }
    unsigned char a[16];
    return inet_pton(AF_INET, strAddress.c_str(), a) == 1 || inet_pton(AF_INET6, strAddress.c_str(), a) == 1;
}

// What the server's rcode and TSIG error mean for the administrator.
std::string RefusalAdvice(int nRcode, int nTsigError, const PublishTarget& target,
                          const std::string& strZone) {
    const std::string& strKey = target.key.strName;
    switch (nTsigError) {
        case TSIG_BADSIG:
            return "the key's secret is not the server's: check that --publish-key holds the secret the "
                   "server "
                   "has for '" +
                   strKey + "'";
        case TSIG_BADKEY:
            return "the server knows no key '" + strKey +
                   "' with that algorithm: check the key's name and "
                   "algorithm in the server's configuration";
        case TSIG_BADTIME:
            return "this host's clock and the server's differ by more than 5 minutes: check their time (NTP)";
        default:
            break;
    }
    switch (nRcode) {
        case LDNS_RCODE_REFUSED:
            return "the server does not let key '" + strKey + "' make this change in " + target.strDomain +
                   ": check its update-policy (grant " + strKey + " subdomain " + target.strDomain +
                   ". PTR SRV TXT A AAAA;) and its log (check-names)";
        case LDNS_RCODE_NOTAUTH:
            return "the server is not authoritative for " + strZone +
                   ": give its primary with --publish-server";
        case LDNS_RCODE_NOTZONE:
            return target.strDomain + " is not inside the zone " + strZone + " on that server";
        case LDNS_RCODE_SERVFAIL:
            return "the server could not load or change the zone " + strZone +
                   ": see its log (BIND 9.18 takes at most 100 printers of one type in a domain unless the "
                   "zone says max-records-per-type 0;)";
        default:
            return "see the server's log";
    }
}

void FreeGroups(std::vector<ChangeGroup>& aGroups) {
    for (ChangeGroup& group : aGroups) {
        for (auto* pList : {&group.aPrereq, &group.aUpdate}) {
            for (ldns_rr* p : *pList) ldns_rr_free(p);
        }
    }
    aGroups.clear();
}

// RFC 2136 prerequisites: the RRset holds exactly aOld (class IN, TTL 0),
// or, when aOld is empty, the name holds no RRset of that type.
void AddPrereq(const DnsRecord& model, const std::vector<DnsRecord>& aOld, std::vector<ldns_rr*>& aPrereq) {
    if (aOld.empty()) {
        DnsRecord none = model;
        none.nTtl = 0;
        aPrereq.push_back(NewLdnsRecord(none, LDNS_RR_CLASS_NONE, true));
    }
    for (DnsRecord record : aOld) {
        record.nTtl = 0;
        aPrereq.push_back(NewLdnsRecord(record, LDNS_RR_CLASS_IN));
    }
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point tEnd) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

bool WaitFor(int hSocket, short nEvents, Clock::time_point tEnd) {
    pollfd fd{hSocket, nEvents, 0};
    return poll(&fd, 1, RemainingMs(tEnd)) == 1 && (fd.revents & nEvents) != 0;
}

bool IsReplyTo(const std::string& strReply, uint16_t nId) {
    return strReply.size() >= 12 && static_cast<uint8_t>(strReply[0]) == (nId >> 8) &&
           static_cast<uint8_t>(strReply[1]) == (nId & 0xFF) && (strReply[2] & 0x80) != 0;
}

// One UDP exchange with two tries, the second half-way through the bound,
// on a connected socket: only the server's datagrams are read, and only
// the reply that carries the query's ID is taken.
bool UdpExchange(const sockaddr_storage& to, socklen_t nTo, const std::string& strQuery, uint16_t nId,
                 std::chrono::milliseconds bound, std::string& strReply) {
    const int hSocket = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (hSocket < 0) return false;
    bool bGot = false;
    if (connect(hSocket, reinterpret_cast<const sockaddr*>(&to), nTo) == 0) {
        const Clock::time_point tEnd = Clock::now() + bound;
        for (int nTry = 0; nTry < 2 && !bGot; ++nTry) {
            send(hSocket, strQuery.data(), strQuery.size(), MSG_NOSIGNAL);
            const Clock::time_point tTryEnd = nTry == 0 ? Clock::now() + bound / 2 : tEnd;
            std::string strBuffer(65535, '\0');
            while (!bGot && WaitFor(hSocket, POLLIN, tTryEnd)) {
                const ssize_t n = recv(hSocket, strBuffer.data(), strBuffer.size(), 0);
                if (n > 0 && IsReplyTo(strBuffer.substr(0, n), nId)) {
                    strReply = strBuffer.substr(0, n);
                    bGot = true;
                }
            }
        }
    }
    close(hSocket);
    return bGot;
}

// One TCP exchange (a message over 512 bytes, a truncated answer), every
// step within the deadline.
bool TcpTry(const sockaddr_storage& to, socklen_t nTo, const std::string& strQuery, uint16_t nId,
            Clock::time_point tEnd, std::string& strReply) {
    const int hSocket = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (hSocket < 0) return false;
    int nError = 0;
    socklen_t nLength = sizeof nError;
    bool bOk = (connect(hSocket, reinterpret_cast<const sockaddr*>(&to), nTo) == 0 || errno == EINPROGRESS) &&
               WaitFor(hSocket, POLLOUT, tEnd) &&
               getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength) == 0 && nError == 0;
    const std::string strFramed =
        std::string{static_cast<char>(strQuery.size() >> 8), static_cast<char>(strQuery.size() & 0xFF)} +
        strQuery;
    for (size_t nSent = 0; bOk && nSent < strFramed.size();) {
        const ssize_t n = send(hSocket, strFramed.data() + nSent, strFramed.size() - nSent, MSG_NOSIGNAL);
        if (n > 0) nSent += static_cast<size_t>(n);
        bOk = n > 0 || (errno == EAGAIN && WaitFor(hSocket, POLLOUT, tEnd));
    }
    std::string strIn;
    char buf[4096];
    const auto fnWanted = [&] {
        return strIn.size() < 2 ? size_t{2}
                                : 2 + (static_cast<size_t>(static_cast<uint8_t>(strIn[0])) << 8 |
                                       static_cast<uint8_t>(strIn[1]));
    };
    while (bOk && strIn.size() < fnWanted()) {
        const ssize_t n = recv(hSocket, buf, sizeof buf, 0);
        if (n > 0) strIn.append(buf, n);
        bOk = n > 0 || (n < 0 && errno == EAGAIN && WaitFor(hSocket, POLLIN, tEnd));
    }
    close(hSocket);
    if (!bOk || !IsReplyTo(strIn.substr(2), nId)) return false;
    strReply = strIn.substr(2, fnWanted() - 2);
    return true;
}

using RrsetKey = std::tuple<std::string, uint16_t>;  // lower-case owner, type
RrsetKey KeyOf(const DnsRecord& record) {
    std::string strOwner = record.strOwner;
    for (char& c : strOwner) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {strOwner, record.nType};
}

bool SameRecords(const std::vector<DnsRecord>& a, const std::vector<DnsRecord>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(a[i] == b[i]) || a[i].nTtl != b[i].nTtl) return false;
    }
    return true;
}

}  // namespace

struct CDnsPublisher::Connection {
    std::string strServer;  // as shown
    std::string strWireZone;
    std::string strLocal;  // this host's address toward the server
    sockaddr_storage to{};
    socklen_t nTo = 0;
    std::chrono::milliseconds bound{2000};
    const TsigKey* pKey = nullptr;

    // The signed query's answer, or null (none within the bound); bVerified:
    // its signature holds. A refusal comes unsigned, with the rcode and TSIG
    // error that say why.
    PktPtr Ask(const std::string& strWireName, uint16_t nType, bool& bVerified) {
        PktPtr pQuery(ldns_pkt_query_new(DnameRdf(strWireName).release(), static_cast<ldns_rr_type>(nType),
                                         LDNS_RR_CLASS_IN, 0));
        ldns_pkt_set_edns_udp_size(pQuery.get(), EDNS_SIZE);  // a large owner record or PTR set, no TCP
        return Send(pQuery.get(), bVerified);
    }
    PktPtr Send(ldns_pkt* pQuery, bool& bVerified) {
        bVerified = false;
        ldns_pkt_set_random_id(pQuery);
        if (ldns_pkt_tsig_sign(pQuery, pKey->strName.c_str(), pKey->strSecret.c_str(), TSIG_FUDGE,
                               pKey->strAlgorithm.c_str(), nullptr) != LDNS_STATUS_OK)
            return nullptr;
        std::unique_ptr<ldns_buffer, decltype(&ldns_buffer_free)> pWire(ldns_buffer_new(LDNS_MAX_PACKETLEN),
                                                                        ldns_buffer_free);
        if (ldns_pkt2buffer_wire(pWire.get(), pQuery) != LDNS_STATUS_OK) return nullptr;
        const std::string strQuery(reinterpret_cast<const char*>(ldns_buffer_begin(pWire.get())),
                                   ldns_buffer_position(pWire.get()));
        const uint16_t nId = ldns_pkt_id(pQuery);
        std::string strReply;
        const bool bUdp = strQuery.size() <= MAX_UDP_UPDATE;
        bool bGot = bUdp && UdpExchange(to, nTo, strQuery, nId, bound, strReply);
        if (!bUdp || (bGot && (strReply[2] & 0x02) != 0)) {  // too big for UDP, or truncated
            const Clock::time_point tEnd = Clock::now() + bound;
            bGot = TcpTry(to, nTo, strQuery, nId, Clock::now() + bound / 2, strReply) ||
                   TcpTry(to, nTo, strQuery, nId, tEnd, strReply);
        }
        ldns_pkt* pAnswer = nullptr;
        const auto* pReply = reinterpret_cast<const uint8_t*>(strReply.data());
        if (!bGot || ldns_wire2pkt(&pAnswer, pReply, strReply.size()) != LDNS_STATUS_OK) return nullptr;
        bVerified = ldns_pkt_tsig(pAnswer) &&
                    ldns_pkt_tsig_verify(pAnswer, pReply, strReply.size(), pKey->strName.c_str(),
                                         pKey->strSecret.c_str(), ldns_rr_rdf(ldns_pkt_tsig(pQuery), 3));
        return PktPtr(pAnswer);
    }
};

std::string BrowseParent(const PublishTarget& target) {
    return target.strBrowseParent.empty() ? ParentDomain(target.strDomain) : target.strBrowseParent;
}

std::string ParentDomain(const std::string& strDomain) {
    const size_t nDot = strDomain.find('.');
    return nDot == std::string::npos ? std::string(".") : strDomain.substr(nDot + 1);
}

CDnsPublisher::CDnsPublisher(PublishTarget target)
    : m_target(std::move(target)), m_strWireDomain(WireName(m_target.strDomain)) {}

CDnsPublisher::~CDnsPublisher() = default;

namespace {

// A resolver made for one search (ldns marks a server that missed one
// answer as never to be asked again).
void SetBounds(ldns_resolver* pResolver, std::chrono::milliseconds bound) {
    const long nMs = static_cast<long>(bound.count()) / 2;
    ldns_resolver_set_timeout(pResolver, {nMs / 1000, (nMs % 1000) * 1000});
    ldns_resolver_set_retry(pResolver, 2);
    ldns_resolver_set_retrans(pResolver, 0);
    ldns_resolver_set_fallback(pResolver, true);  // TCP for a truncated answer
}

// The primary named in the SOA of DOMAIN's zone, found as nsupdate finds
// it: the system's resolver asked for the SOA, then for the primary's address.
bool FindPrimary(const std::string& strDomain, std::chrono::milliseconds bound, std::string& strServer,
                 std::string& strWhy) {
    ldns_resolver* pRaw = nullptr;
    if (ldns_resolver_new_frm_file(&pRaw, nullptr) != LDNS_STATUS_OK) {
        strWhy = "no DNS server configured (/etc/resolv.conf) to find " + strDomain +
                 "'s primary; give --publish-server";
        return false;
    }
    ResolverPtr pSystem(pRaw);
    SetBounds(pSystem.get(), bound);
    RdfPtr pName(ldns_dname_new_frm_str(strDomain.c_str()));
    PktPtr pAnswer(
        ldns_resolver_query(pSystem.get(), pName.get(), LDNS_RR_TYPE_SOA, LDNS_RR_CLASS_IN, LDNS_RD));
    const ldns_rr* pSoa = nullptr;
    for (ldns_rr_list* pList : {pAnswer ? ldns_pkt_answer(pAnswer.get()) : nullptr,
                                pAnswer ? ldns_pkt_authority(pAnswer.get()) : nullptr}) {
        for (size_t i = 0; pList && !pSoa && i < ldns_rr_list_rr_count(pList); ++i) {
            if (ldns_rr_get_type(ldns_rr_list_rr(pList, i)) == LDNS_RR_TYPE_SOA)
                pSoa = ldns_rr_list_rr(pList, i);
        }
    }
    if (!pSoa) {
        strWhy = "no SOA record found for " + strDomain + "'s zone; give --publish-server";
        return false;
    }
    for (ldns_rr_type nType : {LDNS_RR_TYPE_A, LDNS_RR_TYPE_AAAA}) {
        PktPtr pAddress(
            ldns_resolver_query(pSystem.get(), ldns_rr_rdf(pSoa, 0), nType, LDNS_RR_CLASS_IN, LDNS_RD));
        ldns_rr_list* pList = pAddress ? ldns_pkt_answer(pAddress.get()) : nullptr;
        for (size_t i = 0; pList && i < ldns_rr_list_rr_count(pList); ++i) {
            if (ldns_rr_get_type(ldns_rr_list_rr(pList, i)) != nType) continue;
            char* psz = ldns_rdf2str(ldns_rr_rdf(ldns_rr_list_rr(pList, i), 0));
            strServer = nType == LDNS_RR_TYPE_AAAA ? "[" + std::string(psz) + "]" : std::string(psz);
            free(psz);
            return true;
        }
    }
    char* psz = ldns_rdf2str(ldns_rr_rdf(pSoa, 0));
    strWhy = "the zone's primary " + std::string(psz ? psz : "?") + " has no address; give --publish-server";
    free(psz);
    return false;
}

// Who writes: this machine, by its name and its machine id, which stays
// through a DHCP move (an address would hand what it wrote to a stranger
// after one); without a machine id, its address toward the server.
std::string ThisPublisher(const sockaddr_storage& to, socklen_t nTo) {
    char szHost[256] = "";
    gethostname(szHost, sizeof szHost - 1);
    std::string strMachine;
    if (FILE* pFile = fopen("/etc/machine-id", "re")) {
        char sz[64] = "";
        if (fgets(sz, sizeof sz, pFile)) strMachine.assign(sz, strcspn(sz, "\n"));
        fclose(pFile);
    }
    if (strMachine.size() >= 12 &&
        std::all_of(strMachine.begin(), strMachine.end(), [](char c) { return isxdigit(uint8_t(c)) != 0; }))
        return std::string(szHost) + " " + strMachine.substr(0, 12);
    sockaddr_storage local{};
    socklen_t nLocal = sizeof local;
    char szAddress[INET6_ADDRSTRLEN] = "?";
    const int hSocket = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (hSocket >= 0 && connect(hSocket, reinterpret_cast<const sockaddr*>(&to), nTo) == 0 &&
        getsockname(hSocket, reinterpret_cast<sockaddr*>(&local), &nLocal) == 0) {
        const void* pIp = local.ss_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
        inet_ntop(local.ss_family, pIp, szAddress, sizeof szAddress);
    }
    if (hSocket >= 0) close(hSocket);
    return std::string(szHost) + " " + szAddress;
}

}  // namespace

bool CDnsPublisher::Connect(PublishResult& result) {
    if (m_pConnection) {
        result.strServer = m_pConnection->strServer;
        return true;
    }
    std::string strServer = m_target.strServer;
    if (strServer.empty() && !FindPrimary(m_target.strDomain, m_target.bound, strServer, result.strWhy))
        return false;
    std::string strAddress;
    uint16_t nPort = 53;
    if (!SplitServer(strServer, strAddress, nPort)) {
        result.strWhy = "--publish-server needs ADDRESS[:PORT], not '" + strServer + "'";
        return false;
    }
    auto pConnection = std::make_unique<Connection>();
    RdfPtr pAddress(
        ldns_rdf_new_frm_str(strAddress.find(':') == std::string::npos ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA,
                             strAddress.c_str()));
    size_t nTo = 0;
    std::unique_ptr<sockaddr_storage, decltype(&free)> pTo(
        ldns_rdf2native_sockaddr_storage(pAddress.get(), nPort, &nTo), free);
    if (!pTo) {
        result.strWhy = "--publish-server needs ADDRESS[:PORT], not '" + strServer + "'";
        return false;
    }
    pConnection->to = *pTo;
    pConnection->nTo = static_cast<socklen_t>(nTo);
    pConnection->bound = m_target.bound;
    pConnection->pKey = &m_target.key;
    pConnection->strServer = strServer;
    result.strServer = strServer;
    // The zone DOMAIN is in, as the server has it: the UPDATE names it.
    bool bVerified = false;
    PktPtr pAnswer = pConnection->Ask(m_strWireDomain, LDNS_RR_TYPE_SOA, bVerified);
    if (!pAnswer) {
        result.strWhy = "the server " + strServer + " did not answer within " +
                        std::to_string(m_target.bound.count()) + " ms";
        return false;
    }
    const int nRcode = ldns_pkt_get_rcode(pAnswer.get());
    const int nTsigError = TsigError(pAnswer.get());
    if (nTsigError != 0 || nRcode == LDNS_RCODE_NOTAUTH) {
        result.bRefused = true;
        result.strWhy = "the server " + strServer + " does not accept key '" + m_target.key.strName +
                        "': " + RcodeName(nRcode) +
                        (nTsigError ? " (TSIG " + TsigErrorName(nTsigError) + ")" : "") + "; " +
                        RefusalAdvice(nRcode, nTsigError, m_target, m_target.strDomain);
        return false;
    }
    if (!bVerified) {
        result.strWhy = "the answer of the server " + strServer +
                        " is not signed with the key: check that the server is the one the key belongs to";
        return false;
    }
    for (ldns_rr_list* pList : {ldns_pkt_answer(pAnswer.get()), ldns_pkt_authority(pAnswer.get())}) {
        for (size_t i = 0; i < ldns_rr_list_rr_count(pList); ++i) {
            const ldns_rr* pRecord = ldns_rr_list_rr(pList, i);
            if (ldns_rr_get_type(pRecord) == LDNS_RR_TYPE_SOA && pConnection->strWireZone.empty())
                pConnection->strWireZone = RecordFromLdns(pRecord).strOwner;
        }
    }
    if (pConnection->strWireZone.empty() || !IsWireNameUnder(m_strWireDomain, pConnection->strWireZone)) {
        result.strWhy = "the server " + strServer + " holds no zone for " + m_target.strDomain + " (" +
                        RcodeName(nRcode) + "): give its primary with --publish-server";
        return false;
    }
    if (m_target.strIdentity.empty()) m_target.strIdentity = ThisPublisher(pConnection->to, pConnection->nTo);
    m_pConnection = std::move(pConnection);
    return true;
}

namespace {

// Appends the records the server holds for the name and type, from a
// signed and checked answer: only records of that name and type (never
// a CNAME's target, nor anything else the answer carries); false when it
// gave no usable answer (strWhy says why).
bool ReadRrset(CDnsPublisher::Connection& connection, const std::string& strWireName, uint16_t nType,
               std::vector<DnsRecord>& aRecords, std::string& strWhy) {
    bool bVerified = false;
    PktPtr pAnswer = connection.Ask(strWireName, nType, bVerified);
    const std::string strWho = "the server " + connection.strServer;
    if (!pAnswer) {
        strWhy = strWho + " did not answer a query for " + TextName(strWireName) + " within " +
                 std::to_string(connection.bound.count()) + " ms";
        return false;
    }
    const int nRcode = ldns_pkt_get_rcode(pAnswer.get());
    if (nRcode != LDNS_RCODE_NOERROR && nRcode != LDNS_RCODE_NXDOMAIN) {
        strWhy = strWho + " answered " + RcodeName(nRcode) + " for " + TextName(strWireName);
        return false;
    }
    if (!bVerified) {
        strWhy = strWho + "'s answer for " + TextName(strWireName) + " is not signed with the key";
        return false;
    }
    ldns_rr_list* pList = ldns_pkt_answer(pAnswer.get());
    for (size_t i = 0; i < ldns_rr_list_rr_count(pList); ++i) {
        DnsRecord record = RecordFromLdns(ldns_rr_list_rr(pList, i));
        if (record.nType == nType && LowerName(record.strOwner) == LowerName(strWireName))
            aRecords.push_back(std::move(record));
    }
    return true;
}

// SRV's target: after priority, weight and port.
std::string SrvTarget(const DnsRecord& record) {
    return record.strRdata.size() > 6 ? record.strRdata.substr(6) : std::string();
}

// The update's records: per RRset that differs, what goes and what comes,
// under the prerequisite that it holds what was read. A type's PTR RRset
// (shared with what others wrote) is changed record by record. Without
// bDeleteUnseen what aWanted does not name stays.
std::vector<ChangeGroup> Differences(const std::vector<DnsRecord>& aHeld,
                                     const std::vector<DnsRecord>& aWanted, const std::string& strWireDomain,
                                     bool bDeleteUnseen, PublishResult& result) {
    std::map<RrsetKey, std::pair<std::vector<DnsRecord>, std::vector<DnsRecord>>> rrsets;
    for (const DnsRecord& record : aHeld) rrsets[KeyOf(record)].first.push_back(record);
    for (const DnsRecord& record : aWanted) {
        if (IsWireNameUnder(record.strOwner, strWireDomain)) rrsets[KeyOf(record)].second.push_back(record);
    }
    std::vector<ChangeGroup> aGroups;
    for (auto& [key, sets] : rrsets) {
        auto& [aOld, aNew] = sets;
        std::sort(aOld.begin(), aOld.end());
        std::sort(aNew.begin(), aNew.end());
        if (SameRecords(aOld, aNew) || (!bDeleteUnseen && aNew.empty())) continue;
        if (std::get<1>(key) == LDNS_RR_TYPE_PTR) {
            // A thousand printers' PTRs would not fit one message.
            for (const DnsRecord& record : bDeleteUnseen ? aOld : std::vector<DnsRecord>{}) {
                if (std::find(aNew.begin(), aNew.end(), record) != aNew.end()) continue;
                aGroups.push_back({{}, {NewLdnsRecord(record, LDNS_RR_CLASS_NONE)}});
                ++result.nDeleted;
            }
            for (const DnsRecord& record : aNew) {
                if (std::find_if(aOld.begin(), aOld.end(), [&](const DnsRecord& old) {
                        return old == record && old.nTtl == record.nTtl;
                    }) != aOld.end())
                    continue;
                aGroups.push_back({{}, {NewLdnsRecord(record, LDNS_RR_CLASS_IN)}});
                ++result.nAdded;
            }
            continue;
        }
        ChangeGroup group;
        AddPrereq(aNew.empty() ? aOld.front() : aNew.front(), aOld, group.aPrereq);
        if (!aOld.empty()) group.aUpdate.push_back(NewLdnsRecord(aOld.front(), LDNS_RR_CLASS_ANY, true));
        result.nDeleted += aOld.size();
        for (const DnsRecord& record : aNew) group.aUpdate.push_back(NewLdnsRecord(record, LDNS_RR_CLASS_IN));
        result.nAdded += aNew.size();
        aGroups.push_back(std::move(group));
    }
    for (ChangeGroup& group : aGroups) {
        for (auto* pList : {&group.aPrereq, &group.aUpdate})
            pList->erase(std::remove(pList->begin(), pList->end(), nullptr), pList->end());
    }
    return aGroups;
}

// One signed UPDATE of the zone; false with the reason in result.strWhy
// (result.bRaced when a prerequisite failed: someone wrote meanwhile).
bool SendUpdate(CDnsPublisher::Connection& connection, const PublishTarget& target, const ChangeGroup& batch,
                const std::string& strWireZone, PublishResult& result) {
    const auto fnList = [](const std::vector<ldns_rr*>& aRecords) {
        ldns_rr_list* pList = ldns_rr_list_new();
        for (ldns_rr* pRecord : aRecords) ldns_rr_list_push_rr(pList, pRecord);
        return pList;
    };
    ldns_rr_list* pPrereq = fnList(batch.aPrereq);
    ldns_rr_list* pUpdate = fnList(batch.aUpdate);
    PktPtr pPacket(
        ldns_update_pkt_new(DnameRdf(strWireZone).release(), LDNS_RR_CLASS_IN, pPrereq, pUpdate, nullptr));
    ldns_rr_list_free(pPrereq);  // the packet holds copies; the records stay the caller's
    ldns_rr_list_free(pUpdate);
    ldns_pkt_set_rd(pPacket.get(), false);
    bool bVerified = false;
    PktPtr pAnswer = connection.Send(pPacket.get(), bVerified);
    ++result.nMessages;
    const std::string strZone = TextName(strWireZone);
    if (!pAnswer) {
        result.strWhy = "the server " + connection.strServer + " did not answer an update of " + strZone +
                        " within " + std::to_string(target.bound.count()) + " ms";
        return false;
    }
    const int nRcode = ldns_pkt_get_rcode(pAnswer.get());
    const int nTsigError = TsigError(pAnswer.get());
    if (nRcode == LDNS_RCODE_NOERROR && nTsigError == 0 && bVerified) return true;
    if (nRcode == LDNS_RCODE_NOERROR && nTsigError == 0) {
        result.strWhy = "the answer of the server " + connection.strServer + " to an update of " + strZone +
                        " is not signed with the key: check that the server is the one the key belongs to";
        return false;
    }
    if (nTsigError == 0 && (nRcode == LDNS_RCODE_YXRRSET || nRcode == LDNS_RCODE_NXRRSET)) {
        result.bRaced = true;
        result.strWhy = target.strDomain + " changed while this round wrote it; it is read again";
        return false;
    }
    result.bRefused = true;
    result.strWhy = "the server " + connection.strServer + " refused the update of " + strZone + ": " +
                    RcodeName(nRcode) +
                    (nTsigError ? " (TSIG " + TsigErrorName(nTsigError) + ")" : std::string()) + "; " +
                    RefusalAdvice(nRcode, nTsigError, target, strZone);
    return false;
}

// The groups in as few UPDATEs as fit, a group never split; stops at the
// first failure (what was sent stays: the next round reads it back).
bool SendUpdates(CDnsPublisher::Connection& connection, const PublishTarget& target,
                 const std::vector<ChangeGroup>& aGroups, const std::string& strWireZone,
                 const std::function<bool()>& fnStop, PublishResult& result) {
    ChangeGroup batch;
    size_t nBatchBytes = 0;
    for (size_t i = 0; i <= aGroups.size(); ++i) {
        const bool bLast = i == aGroups.size();
        size_t nGroupBytes = 0;
        for (size_t j = 0; !bLast && j < aGroups[i].aPrereq.size(); ++j)
            nGroupBytes += ldns_rr_uncompressed_size(aGroups[i].aPrereq[j]);
        for (size_t j = 0; !bLast && j < aGroups[i].aUpdate.size(); ++j)
            nGroupBytes += ldns_rr_uncompressed_size(aGroups[i].aUpdate[j]);
        if (!batch.aUpdate.empty() && (bLast || nBatchBytes + nGroupBytes > MAX_UPDATE_BYTES)) {
            if (fnStop()) {
                result.strWhy = "stopped";
                return false;
            }
            if (!SendUpdate(connection, target, batch, strWireZone, result)) return false;
            batch = {};
            nBatchBytes = 0;
        }
        nBatchBytes += nGroupBytes;
        if (bLast) break;
        batch.aPrereq.insert(batch.aPrereq.end(), aGroups[i].aPrereq.begin(), aGroups[i].aPrereq.end());
        batch.aUpdate.insert(batch.aUpdate.end(), aGroups[i].aUpdate.begin(), aGroups[i].aUpdate.end());
    }
    return true;
}

size_t GroupBytes(const ChangeGroup& group) {
    size_t n = 0;
    for (const auto* pList : {&group.aPrereq, &group.aUpdate}) {
        for (const ldns_rr* pRecord : *pList) n += ldns_rr_uncompressed_size(pRecord);
    }
    return n;
}

// Two record sets alike, whatever their order.
bool SameRecordSet(std::vector<DnsRecord> a, std::vector<DnsRecord> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

// What a publisher's records are once Differences' changes are made.
std::vector<DnsRecord> AfterChanges(const std::vector<DnsRecord>& aHeld,
                                    const std::vector<DnsRecord>& aWanted, bool bDeleteUnseen) {
    std::map<RrsetKey, std::pair<std::vector<DnsRecord>, std::vector<DnsRecord>>> rrsets;
    for (const DnsRecord& record : aHeld) rrsets[KeyOf(record)].first.push_back(record);
    for (const DnsRecord& record : aWanted) rrsets[KeyOf(record)].second.push_back(record);
    std::vector<DnsRecord> aAfter;
    for (auto& [key, sets] : rrsets) {
        auto& [aOld, aNew] = sets;
        const bool bKeepOld = !bDeleteUnseen && (aNew.empty() || std::get<1>(key) == LDNS_RR_TYPE_PTR);
        if (bKeepOld) {
            for (const DnsRecord& record : aOld) {
                if (std::find(aNew.begin(), aNew.end(), record) == aNew.end()) aAfter.push_back(record);
            }
        }
        aAfter.insert(aAfter.end(), aNew.begin(), aNew.end());
    }
    return aAfter;
}

// Rounds between full reads of what DOMAIN holds.
constexpr int FULL_READ_EVERY = 10;

// A name's mark in an owner record: 32 bits of FNV-1a over its lower-case
// wire form.
uint32_t NameMark(const std::string& strWire) {
    uint32_t nHash = 2166136261u;
    for (unsigned char c : LowerName(strWire)) nHash = (nHash ^ c) * 16777619u;
    return nHash;
}

constexpr const char* OWNER_LABEL = "_hvl-publisher";
constexpr const char* OWNER_PREFIX = "hvl-scan publisher=";
constexpr uint32_t OWNER_TTL = 300;
constexpr size_t MARKS_PER_STRING = 63;  // 252 bytes of a 255-byte TXT string

// The owner record's TXT: its identity, then the marks, 4 bytes each.
DnsRecord OwnerRecord(const std::string& strOwnerName, const std::string& strIdentity,
                      const std::set<uint32_t>& marks) {
    const std::string strFirst = (OWNER_PREFIX + strIdentity).substr(0, 255);
    std::string strRdata = static_cast<char>(strFirst.size()) + strFirst;
    std::vector<uint32_t> aMarks(marks.begin(), marks.end());
    for (size_t i = 0; i < aMarks.size(); i += MARKS_PER_STRING) {
        const size_t n = std::min(MARKS_PER_STRING, aMarks.size() - i);
        strRdata.push_back(static_cast<char>(4 * n));
        for (size_t j = i; j < i + n; ++j) {
            for (int nShift : {24, 16, 8, 0}) strRdata.push_back(static_cast<char>(aMarks[j] >> nShift));
        }
    }
    return {strOwnerName, LDNS_RR_TYPE_TXT, OWNER_TTL, strRdata};
}

// An owner record's identity and marks; false when it is not one.
bool ParseOwnerRecord(const DnsRecord& record, std::string& strIdentity, std::set<uint32_t>& marks) {
    const std::string& str = record.strRdata;
    const size_t nPrefix = std::strlen(OWNER_PREFIX);
    if (str.empty() || static_cast<uint8_t>(str[0]) + 1u > str.size() ||
        str.compare(1, nPrefix, OWNER_PREFIX) != 0)
        return false;
    strIdentity = str.substr(1 + nPrefix, static_cast<uint8_t>(str[0]) - nPrefix);
    for (size_t i = 1 + static_cast<uint8_t>(str[0]); i < str.size(); i += 1 + static_cast<uint8_t>(str[i])) {
        const size_t nLength = static_cast<uint8_t>(str[i]);
        for (size_t j = i + 1; j + 4 <= i + 1 + nLength && j + 4 <= str.size(); j += 4) {
            marks.insert(static_cast<uint32_t>(static_cast<uint8_t>(str[j])) << 24 |
                         static_cast<uint32_t>(static_cast<uint8_t>(str[j + 1])) << 16 |
                         static_cast<uint32_t>(static_cast<uint8_t>(str[j + 2])) << 8 |
                         static_cast<uint8_t>(str[j + 3]));
        }
    }
    return true;
}

}  // namespace

// What the owner records of DOMAIN say: this publisher's, the others'.
// What the last successful round left, as this publisher wrote it.
struct CDnsPublisher::Known {
    std::vector<DnsRecord> aOwners;        // the owner RRset
    std::vector<DnsRecord> aHeld;          // this publisher's records
    std::set<std::string> taken, skipped;  // lower-case names others hold
    int nRounds = 0;                       // rounds since the full read
};

struct CDnsPublisher::Owners {
    std::string strName;            // _hvl-publisher.DOMAIN
    std::vector<DnsRecord> aRrset;  // as read
    std::optional<DnsRecord> mineRecord;
    std::set<uint32_t> mine;
    std::vector<std::string> aOthers;  // their identities
    std::set<uint32_t> others;         // the names they wrote
};

bool CDnsPublisher::ReadOwners(Owners& owners, PublishResult& result) {
    owners.strName = WireNameUnder({OWNER_LABEL}, m_strWireDomain);
    if (!ReadRrset(*m_pConnection, owners.strName, LDNS_RR_TYPE_TXT, owners.aRrset, result.strWhy))
        return false;
    for (const DnsRecord& record : owners.aRrset) {
        std::string strIdentity;
        std::set<uint32_t> marks;
        if (!ParseOwnerRecord(record, strIdentity, marks)) continue;
        if (strIdentity == m_target.strIdentity) {
            owners.mineRecord = record;
            owners.mine = std::move(marks);
        } else {
            owners.aOthers.push_back(strIdentity);
            owners.others.insert(marks.begin(), marks.end());
            if (m_toldPublishers.insert(strIdentity).second)
                result.aNotices.push_back("another publisher (" + strIdentity + ") also writes " +
                                          m_target.strDomain + "; each changes only the records it wrote");
        }
    }
    return true;
}

// The owner record changed to name these marks (none: removed), under the
// prerequisite that the owner RRset is as read.
ChangeGroup CDnsPublisher::OwnerChange(const Owners& owners, const std::set<uint32_t>& mine) const {
    ChangeGroup group;
    if ((owners.mineRecord && mine == owners.mine) || (!owners.mineRecord && mine.empty())) return group;
    const DnsRecord wanted = OwnerRecord(owners.strName, m_target.strIdentity, mine);
    AddPrereq(wanted, owners.aRrset, group.aPrereq);
    if (owners.mineRecord) group.aUpdate.push_back(NewLdnsRecord(*owners.mineRecord, LDNS_RR_CLASS_NONE));
    if (!mine.empty()) group.aUpdate.push_back(NewLdnsRecord(wanted, LDNS_RR_CLASS_IN));
    return group;
}

bool CDnsPublisher::SetOwned(const Owners& owners, const std::set<uint32_t>& mine,
                             const std::function<bool()>& fnStop, PublishResult& result) {
    std::vector<ChangeGroup> aGroups{OwnerChange(owners, mine)};
    const bool bOk = aGroups[0].aUpdate.empty() || SendUpdates(*m_pConnection, m_target, aGroups,
                                                               m_pConnection->strWireZone, fnStop, result);
    FreeGroups(aGroups);
    return bOk;
}

// The browse PTRs, once per run: adding what is there changes nothing, and
// they are never removed but by --unpublish. Their failure (a parent zone
// elsewhere, not writable with this key) is one line and fails nothing.
void CDnsPublisher::AddBrowseOnce(const std::function<bool()>& fnStop, PublishResult& result) {
    if (m_bBrowseAdded || m_target.strBrowseParent == "none") return;
    const std::string strParent = BrowseParent(m_target);
    std::vector<ChangeGroup> aBrowse(1);
    for (const DnsRecord& record : BrowseRecords(m_strWireDomain, WireName(strParent), BROWSE_TTL))
        aBrowse[0].aUpdate.push_back(NewLdnsRecord(record, LDNS_RR_CLASS_IN));
    // The parent's zone: DOMAIN's when it holds the parent, else the parent itself.
    std::string strZone = m_pConnection->strWireZone;
    if (!IsWireNameUnder(WireName(strParent), strZone)) strZone = WireName(strParent);
    PublishResult browse;
    const bool bAdded = SendUpdates(*m_pConnection, m_target, aBrowse, strZone, fnStop, browse);
    FreeGroups(aBrowse);
    result.nMessages += browse.nMessages;
    // A refusal stays one; a server that did not answer is asked again next round.
    m_bBrowseAdded = bAdded || browse.bRefused;
    if (!bAdded && !fnStop())
        result.aNotices.push_back(browse.strWhy + " (the browse domain PTRs under " + strParent +
                                  "; the printers are published all the same)");
}

// Reads what DOMAIN holds for this round: each printer type's PTRs, the
// instances this publisher wrote or wants, their hosts; what is its own
// (known.aHeld), the names others hold (known.taken: a hand's, the
// printer takes another; known.skipped: another publisher's, left to it),
// and the records wanted given those.
bool CDnsPublisher::ReadMine(const Owners& owners, const WantedRecordsFn& fnWanted,
                             const std::function<bool()>& fnStop, Known& known,
                             std::vector<DnsRecord>& aWanted, std::string& strWhy) {
    Connection& connection = *m_pConnection;
    std::set<std::string>& taken = known.taken;
    std::set<std::string>& skipped = known.skipped;
    const auto fnMine = [&](const std::string& strName) { return owners.mine.count(NameMark(strName)) > 0; };
    // Each type's PTRs: an instance another publisher wrote is left to it
    // (two publishers that see one printer publish it once); one written by
    // hand is taken, and the printer gets a suffixed name.
    std::vector<DnsRecord> aPtrs;
    for (const std::string& strType : PublishedTypes()) {
        const size_t nDot = strType.find('.');
        const std::string strWireType =
            WireNameUnder({strType.substr(0, nDot), strType.substr(nDot + 1)}, m_strWireDomain);
        if (fnStop() || !ReadRrset(connection, strWireType, LDNS_RR_TYPE_PTR, aPtrs, strWhy)) return false;
    }
    const auto fnOthers = [&](const std::string& strName) {
        return owners.others.count(NameMark(strName)) > 0;
    };
    std::set<std::string> mineNames;                     // lower-case wire names
    std::map<std::string, std::vector<DnsRecord>> held;  // per lower-case name read: its records
    for (const DnsRecord& ptr : aPtrs) {
        if (!IsWireNameUnder(ptr.strRdata, m_strWireDomain)) continue;
        (fnMine(ptr.strRdata)     ? mineNames
         : fnOthers(ptr.strRdata) ? skipped
                                  : taken)
            .insert(LowerName(ptr.strRdata));
    }
    // Reads a name's records once; the hosts of instances this publisher wrote are its too.
    const auto fnRead = [&](const std::string& strName, bool bInstance) {
        const std::string strKey = LowerName(strName);
        if (held.count(strKey)) return true;
        std::vector<DnsRecord>& aRecords = held[strKey];
        const std::array<uint16_t, 2> aTypes =
            bInstance ? std::array<uint16_t, 2>{LDNS_RR_TYPE_SRV, LDNS_RR_TYPE_TXT}
                      : std::array<uint16_t, 2>{LDNS_RR_TYPE_A, LDNS_RR_TYPE_AAAA};
        for (uint16_t nType : aTypes) {
            if (fnStop() || !ReadRrset(connection, strName, nType, aRecords, strWhy)) return false;
        }
        return true;
    };
    for (int nPass = 0; nPass < 3; ++nPass) {
        aWanted = fnWanted(taken);
        std::set<std::string> instances(mineNames.begin(), mineNames.end()), hosts;
        for (const DnsRecord& record : aWanted) {
            if (record.nType == LDNS_RR_TYPE_SRV) instances.insert(record.strOwner);
            if (record.nType == LDNS_RR_TYPE_A || record.nType == LDNS_RR_TYPE_AAAA)
                hosts.insert(record.strOwner);
        }
        for (const std::string& strInstance : instances) {
            if (!fnRead(strInstance, true)) return false;
            for (const DnsRecord& record : held[LowerName(strInstance)]) {
                const std::string strTarget = SrvTarget(record);
                if (record.nType == LDNS_RR_TYPE_SRV && fnMine(strInstance) && fnMine(strTarget) &&
                    IsWireNameUnder(strTarget, m_strWireDomain))
                    hosts.insert(strTarget);
            }
        }
        for (const std::string& strHost : hosts) {
            if (!fnRead(strHost, false)) return false;
        }
        // A wanted name that holds records this publisher did not write is someone else's.
        const size_t nTaken = taken.size();
        for (const std::string& strName : instances) {
            if (!held[LowerName(strName)].empty() && !fnMine(strName))
                (fnOthers(strName) ? skipped : taken).insert(LowerName(strName));
        }
        for (const std::string& strName : hosts) {
            if (!held[LowerName(strName)].empty() && !fnMine(strName)) taken.insert(LowerName(strName));
        }
        if (taken.size() == nTaken) break;
    }
    for (const DnsRecord& ptr : aPtrs) {
        if (mineNames.count(LowerName(ptr.strRdata))) known.aHeld.push_back(ptr);
    }
    for (const auto& [strName, aRecords] : held) {
        if (fnMine(strName)) known.aHeld.insert(known.aHeld.end(), aRecords.begin(), aRecords.end());
    }
    return true;
}

PublishResult CDnsPublisher::ReconcileOnce(const WantedRecordsFn& fnWanted,
                                           const std::function<bool()>& fnStop, bool bDeleteUnseen) {
    PublishResult result;
    Owners owners;
    if (!Connect(result) || !ReadOwners(owners, result)) return result;
    Connection& connection = *m_pConnection;
    // Between full reads, what the last round left stands while the owner
    // records are as it left them: an unchanged round is one query, and
    // the prerequisites of what is sent catch whatever else changed.
    std::unique_ptr<Known> pKnown = std::move(m_pKnown);
    std::vector<DnsRecord> aWanted;
    // A name it has not written yet is read first: what it holds decides.
    const auto fnAllKnown = [&] {
        std::set<std::string> known;
        for (const DnsRecord& record : pKnown->aHeld) known.insert(LowerName(record.strOwner));
        return std::all_of(aWanted.begin(), aWanted.end(), [&](const DnsRecord& record) {
            return record.nType == LDNS_RR_TYPE_PTR || known.count(LowerName(record.strOwner));
        });
    };
    if (pKnown && pKnown->nRounds < FULL_READ_EVERY && SameRecordSet(pKnown->aOwners, owners.aRrset) &&
        (aWanted = fnWanted(pKnown->taken), fnAllKnown())) {
        ++pKnown->nRounds;
    } else {
        pKnown = std::make_unique<Known>();
        if (!ReadMine(owners, fnWanted, fnStop, *pKnown, aWanted, result.strWhy)) return result;
    }
    const std::set<std::string>& taken = pKnown->taken;
    const std::set<std::string>& skipped = pKnown->skipped;
    const std::vector<DnsRecord>& aHeld = pKnown->aHeld;
    const auto fnDropped = [&](const std::string& strName) {
        return taken.count(LowerName(strName)) || skipped.count(LowerName(strName));
    };
    std::erase_if(aWanted, [&](const DnsRecord& record) {
        return fnDropped(record.strOwner) || (record.nType == LDNS_RR_TYPE_PTR && fnDropped(record.strRdata));
    });
    std::set<std::string> targets;  // the hosts still named
    for (const DnsRecord& record : aWanted) {
        if (record.nType == LDNS_RR_TYPE_SRV) targets.insert(LowerName(SrvTarget(record)));
    }
    std::erase_if(aWanted, [&](const DnsRecord& record) {
        return (record.nType == LDNS_RR_TYPE_A || record.nType == LDNS_RR_TYPE_AAAA) &&
               !targets.count(LowerName(record.strOwner));
    });
    // What it will have written: claimed before the records come, trimmed after others go.
    std::set<uint32_t> finalMarks = bDeleteUnseen ? std::set<uint32_t>{} : owners.mine;
    for (const DnsRecord& record : aWanted) {
        if (record.nType != LDNS_RR_TYPE_PTR) finalMarks.insert(NameMark(record.strOwner));
    }
    std::set<uint32_t> claim = owners.mine;
    claim.insert(finalMarks.begin(), finalMarks.end());
    std::vector<ChangeGroup> aGroups = Differences(aHeld, aWanted, m_strWireDomain, bDeleteUnseen, result);
    ChangeGroup owner = OwnerChange(owners, finalMarks);
    size_t nBytes = 0;
    for (const ChangeGroup& group : aGroups) nBytes += GroupBytes(group);
    if (nBytes + GroupBytes(owner) <= MAX_UPDATE_BYTES) {
        // One message: the owner record and the changes stand or fall together.
        if (!owner.aUpdate.empty()) aGroups.insert(aGroups.begin(), owner);
        result.bOk = SendUpdates(connection, m_target, aGroups, connection.strWireZone, fnStop, result);
        FreeGroups(aGroups);
        if (result.bOk) Remember(owners, finalMarks, aHeld, aWanted, bDeleteUnseen, std::move(pKnown));
        return result;
    }
    std::vector<ChangeGroup> aOwner{owner};
    FreeGroups(aOwner);
    bool bOk = SetOwned(owners, claim, fnStop, result);
    if (bOk && (!owners.mineRecord || claim != owners.mine)) {  // the owner RRset as it now is
        const DnsRecord claimed = OwnerRecord(owners.strName, m_target.strIdentity, claim);
        std::erase_if(owners.aRrset, [&](const DnsRecord& record) {
            return owners.mineRecord && record == *owners.mineRecord;
        });
        if (!claim.empty()) owners.aRrset.push_back(claimed);
        owners.mineRecord = claim.empty() ? std::nullopt : std::optional<DnsRecord>(claimed);
        owners.mine = claim;
    }
    bOk = bOk && SendUpdates(connection, m_target, aGroups, connection.strWireZone, fnStop, result) &&
          SetOwned(owners, finalMarks, fnStop, result);
    FreeGroups(aGroups);
    result.bOk = bOk;
    if (bOk) Remember(owners, finalMarks, aHeld, aWanted, bDeleteUnseen, std::move(pKnown));
    return result;
}

// What a successful round left, for the rounds until the next full read.
void CDnsPublisher::Remember(Owners owners, const std::set<uint32_t>& finalMarks,
                             const std::vector<DnsRecord>& aHeld, const std::vector<DnsRecord>& aWanted,
                             bool bDeleteUnseen, std::unique_ptr<Known> pKnown) {
    std::erase_if(owners.aRrset,
                  [&](const DnsRecord& record) { return owners.mineRecord && record == *owners.mineRecord; });
    if (!finalMarks.empty())
        owners.aRrset.push_back(OwnerRecord(owners.strName, m_target.strIdentity, finalMarks));
    const std::vector<DnsRecord> aAfter = AfterChanges(aHeld, aWanted, bDeleteUnseen);
    pKnown->aOwners = std::move(owners.aRrset);
    pKnown->aHeld = aAfter;
    m_pKnown = std::move(pKnown);
}

PublishResult CDnsPublisher::Reconcile(const WantedRecordsFn& fnWanted, const std::function<bool()>& fnStop,
                                       bool bDeleteUnseen) {
    PublishResult result;
    if (m_strWireDomain.empty()) {
        result.strWhy = "'" + m_target.strDomain + "' is not a domain name";
        return result;
    }
    // A round that raced another writer is read again at once, once.
    for (int nTry = 0; nTry < 2 && (nTry == 0 || result.bRaced) && !fnStop(); ++nTry) {
        std::vector<std::string> aNotices = std::move(result.aNotices);
        result = ReconcileOnce(fnWanted, fnStop, bDeleteUnseen);
        result.aNotices.insert(result.aNotices.begin(), aNotices.begin(), aNotices.end());
    }
    if (!result.bOk) m_pKnown.reset();  // after a failure, everything is read again
    if (result.bOk) AddBrowseOnce(fnStop, result);
    return result;
}

PublishResult CDnsPublisher::Unpublish(const std::function<bool()>& fnStop) {
    m_bBrowseAdded = true;  // not added only to be deleted
    PublishResult result =
        Reconcile([](const std::set<std::string>&) { return std::vector<DnsRecord>{}; }, fnStop, true);
    if (!result.bOk) return result;
    Owners owners;
    if (!ReadOwners(owners, result)) {
        result.bOk = false;
        return result;
    }
    if (!owners.aOthers.empty() || m_target.strBrowseParent == "none") return result;
    std::vector<ChangeGroup> aBrowse(1);
    const std::string strParent = BrowseParent(m_target);
    for (const DnsRecord& record : BrowseRecords(m_strWireDomain, WireName(strParent), BROWSE_TTL))
        aBrowse[0].aUpdate.push_back(NewLdnsRecord(record, LDNS_RR_CLASS_NONE));
    std::string strZone = m_pConnection->strWireZone;
    if (!IsWireNameUnder(WireName(strParent), strZone)) strZone = WireName(strParent);
    PublishResult browse;
    if (!SendUpdates(*m_pConnection, m_target, aBrowse, strZone, fnStop, browse))
        result.aNotices.push_back(browse.strWhy + " (the browse domain PTRs under " + strParent + ")");
    FreeGroups(aBrowse);
    return result;
}

PublishResult CDnsPublisher::CheckKey() {
    PublishResult result;
    if (m_strWireDomain.empty()) {
        result.strWhy = "'" + m_target.strDomain + "' is not a domain name";
        return result;
    }
    result.bOk = Connect(result);
    return result;
}
