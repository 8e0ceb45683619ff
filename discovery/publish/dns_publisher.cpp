#include "dns_publisher.h"

#include <arpa/inet.h>
#include <ldns/ldns.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace {

// Bytes of records per UPDATE: half of what a DNS message over TCP holds.
constexpr size_t MAX_UPDATE_BYTES = 32 * 1024;
constexpr size_t MAX_UDP_UPDATE = 512;
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

void SetBounds(ldns_resolver* pResolver, std::chrono::milliseconds bound) {
    const long nMs = static_cast<long>(bound.count());
    ldns_resolver_set_timeout(pResolver, {nMs / 1000, (nMs % 1000) * 1000});
    ldns_resolver_set_retry(pResolver, 1);
    ldns_resolver_set_retrans(pResolver, 1);
    ldns_resolver_set_fallback(pResolver, true);  // TCP for a truncated answer
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
            return "the server does not let key '" + strKey + "' change " + target.strDomain +
                   ": check its update-policy (grant " + strKey + " subdomain " + target.strDomain +
                   ". ANY;)";
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

// The changes that go together in one UPDATE (an RRset's deletion and its new records).
using ChangeGroup = std::vector<ldns_rr*>;

void FreeGroups(std::vector<ChangeGroup>& aGroups) {
    for (ChangeGroup& group : aGroups) {
        for (ldns_rr* p : group) ldns_rr_free(p);
    }
    aGroups.clear();
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
    ResolverPtr pResolver;  // the server, for unsigned queries
    std::string strServer;  // as shown
    std::string strWireZone;

    // The answer to one query, or null (no answer within the bound).
    PktPtr Ask(const std::string& strWireName, uint16_t nType, const TsigKey* pKey) {
        RdfPtr pName = DnameRdf(strWireName);
        PktPtr pQuery(
            ldns_pkt_query_new(pName.release(), static_cast<ldns_rr_type>(nType), LDNS_RR_CLASS_IN, 0));
        ldns_pkt_set_random_id(pQuery.get());
        return Send(pQuery.get(), pKey);
    }
    // The answer, or null (none within the bound). A signed exchange goes
    // through ldns's socket functions: its resolver drops an answer whose
    // signature fails, and a refusal comes unsigned with the rcode and
    // TSIG error that say why.
    PktPtr Send(ldns_pkt* pQuery, const TsigKey* pKey) {
        if (!pKey) {
            ldns_pkt* pAnswer = nullptr;
            ldns_resolver_send_pkt(&pAnswer, pResolver.get(), pQuery);
            return PktPtr(pAnswer);
        }
        if (ldns_pkt_tsig_sign(pQuery, pKey->strName.c_str(), pKey->strSecret.c_str(), TSIG_FUDGE,
                               pKey->strAlgorithm.c_str(), nullptr) != LDNS_STATUS_OK)
            return nullptr;
        std::unique_ptr<ldns_buffer, decltype(&ldns_buffer_free)> pWire(ldns_buffer_new(LDNS_MAX_PACKETLEN),
                                                                        ldns_buffer_free);
        if (ldns_pkt2buffer_wire(pWire.get(), pQuery) != LDNS_STATUS_OK) return nullptr;
        size_t nAddress = 0;
        std::unique_ptr<sockaddr_storage, decltype(&free)> pTo(
            ldns_rdf2native_sockaddr_storage(pAddress.get(), nPort, &nAddress), free);
        const timeval timeout = ldns_resolver_timeout(pResolver.get());
        uint8_t* pReply = nullptr;
        size_t nReply = 0;
        ldns_status nStatus = LDNS_STATUS_ERR;
        if (ldns_buffer_position(pWire.get()) <= MAX_UDP_UPDATE)
            nStatus = ldns_udp_send(&pReply, pWire.get(), pTo.get(), static_cast<socklen_t>(nAddress),
                                    timeout, &nReply);
        if (nStatus != LDNS_STATUS_OK || (nReply > 2 && (pReply[2] & 0x02) != 0)) {  // none, or truncated
            free(pReply);
            pReply = nullptr;
            nStatus = ldns_tcp_send(&pReply, pWire.get(), pTo.get(), static_cast<socklen_t>(nAddress),
                                    timeout, &nReply);
        }
        ldns_pkt* pAnswer = nullptr;
        if (nStatus == LDNS_STATUS_OK) ldns_wire2pkt(&pAnswer, pReply, nReply);
        bVerified = pAnswer && ldns_pkt_tsig(pAnswer) &&
                    ldns_pkt_tsig_verify(pAnswer, pReply, nReply, pKey->strName.c_str(),
                                         pKey->strSecret.c_str(), ldns_rr_rdf(ldns_pkt_tsig(pQuery), 3));
        free(pReply);
        return PktPtr(pAnswer);
    }
    RdfPtr pAddress;
    uint16_t nPort = 53;
    bool bVerified = false;  // the last signed answer's signature holds
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
    pConnection->pResolver.reset(ldns_resolver_new());
    ldns_resolver_push_nameserver(pConnection->pResolver.get(), pAddress.get());
    ldns_resolver_set_port(pConnection->pResolver.get(), nPort);
    ldns_resolver_set_recursive(pConnection->pResolver.get(), false);
    ldns_resolver_set_random(pConnection->pResolver.get(), false);
    SetBounds(pConnection->pResolver.get(), m_target.bound);
    pConnection->pAddress = std::move(pAddress);
    pConnection->nPort = nPort;
    pConnection->strServer = strServer;
    result.strServer = strServer;
    // The zone DOMAIN is in, as the server has it: the UPDATE names it.
    PktPtr pAnswer = pConnection->Ask(m_strWireDomain, LDNS_RR_TYPE_SOA, nullptr);
    if (!pAnswer) {
        result.strWhy = "the server " + strServer + " did not answer";
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
                        RcodeName(ldns_pkt_get_rcode(pAnswer.get())) +
                        "): give its primary with --publish-server";
        return false;
    }
    m_pConnection = std::move(pConnection);
    return true;
}

namespace {

// Appends the records the server holds for the name and type; false when
// it gave no usable answer (strWhy says why).
bool ReadRrset(CDnsPublisher::Connection& connection, const std::string& strWireName, uint16_t nType,
               std::vector<DnsRecord>& aRecords, std::string& strWhy) {
    PktPtr pAnswer = connection.Ask(strWireName, nType, nullptr);
    if (!pAnswer) {
        strWhy =
            "the server " + connection.strServer + " did not answer a query for " + TextName(strWireName);
        return false;
    }
    const int nRcode = ldns_pkt_get_rcode(pAnswer.get());
    if (nRcode != LDNS_RCODE_NOERROR && nRcode != LDNS_RCODE_NXDOMAIN) {
        strWhy = "the server " + connection.strServer + " answered " + RcodeName(nRcode) + " for " +
                 TextName(strWireName);
        return false;
    }
    ldns_rr_list* pList = ldns_pkt_answer(pAnswer.get());
    for (size_t i = 0; i < ldns_rr_list_rr_count(pList); ++i) {
        const ldns_rr* pRecord = ldns_rr_list_rr(pList, i);
        if (ldns_rr_get_type(pRecord) == nType) aRecords.push_back(RecordFromLdns(pRecord));
    }
    return true;
}

// SRV's target: after priority, weight and port.
std::string SrvTarget(const DnsRecord& record) {
    return record.strRdata.size() > 6 ? record.strRdata.substr(6) : std::string();
}

// The update's records: per RRset that differs, what goes and what comes.
// A type's PTR RRset is changed record by record, the others replaced whole.
// Without bDeleteUnseen what aWanted does not name stays.
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
        ChangeGroup group;
        if (std::get<1>(key) == LDNS_RR_TYPE_PTR) {
            for (const DnsRecord& record : bDeleteUnseen ? aOld : std::vector<DnsRecord>{}) {
                if (std::find(aNew.begin(), aNew.end(), record) == aNew.end()) {
                    group.push_back(NewLdnsRecord(record, LDNS_RR_CLASS_NONE));
                    ++result.nDeleted;
                }
            }
        } else if (!aOld.empty()) {
            group.push_back(NewLdnsRecord(aOld.front(), LDNS_RR_CLASS_ANY, true));
            result.nDeleted += aOld.size();
        }
        for (const DnsRecord& record : aNew) {
            const bool bHeld = std::get<1>(key) == LDNS_RR_TYPE_PTR &&
                               std::find_if(aOld.begin(), aOld.end(), [&](const DnsRecord& old) {
                                   return old == record && old.nTtl == record.nTtl;
                               }) != aOld.end();
            if (bHeld) continue;
            group.push_back(NewLdnsRecord(record, LDNS_RR_CLASS_IN));
            ++result.nAdded;
        }
        group.erase(std::remove(group.begin(), group.end(), nullptr), group.end());
        if (std::get<1>(key) != LDNS_RR_TYPE_PTR) {
            if (!group.empty()) aGroups.push_back(std::move(group));
            continue;
        }
        // A type's PTRs change one by one: a thousand printers' PTRs would
        // not fit one message.
        for (ldns_rr* pRecord : group) aGroups.push_back({pRecord});
    }
    return aGroups;
}

// One signed UPDATE of the zone; false with the reason in result.strWhy.
bool SendUpdate(CDnsPublisher::Connection& connection, const PublishTarget& target,
                const ChangeGroup& records, const std::string& strWireZone, PublishResult& result) {
    ldns_rr_list* pList = ldns_rr_list_new();
    for (ldns_rr* pRecord : records) ldns_rr_list_push_rr(pList, pRecord);
    PktPtr pUpdate(
        ldns_update_pkt_new(DnameRdf(strWireZone).release(), LDNS_RR_CLASS_IN, nullptr, pList, nullptr));
    ldns_rr_list_free(pList);  // the packet holds copies; the records stay the caller's
    ldns_pkt_set_random_id(pUpdate.get());
    ldns_pkt_set_rd(pUpdate.get(), false);
    PktPtr pAnswer = connection.Send(pUpdate.get(), &target.key);
    ++result.nMessages;
    const std::string strZone = TextName(strWireZone);
    if (!pAnswer) {
        result.strWhy = "the server " + connection.strServer + " did not answer an update of " + strZone +
                        " within " + std::to_string(target.bound.count()) + " ms";
        return false;
    }
    const int nRcode = ldns_pkt_get_rcode(pAnswer.get());
    const int nTsigError = TsigError(pAnswer.get());
    if (nRcode == LDNS_RCODE_NOERROR && nTsigError == 0 && connection.bVerified) return true;
    if (nRcode == LDNS_RCODE_NOERROR && nTsigError == 0) {
        result.strWhy = "the answer of the server " + connection.strServer + " to an update of " + strZone +
                        " is not signed with the key: check that the server is the one the key belongs to";
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
        for (size_t j = 0; !bLast && j < aGroups[i].size(); ++j)
            nGroupBytes += ldns_rr_uncompressed_size(aGroups[i][j]);
        if (!batch.empty() && (bLast || nBatchBytes + nGroupBytes > MAX_UPDATE_BYTES)) {
            if (fnStop()) {
                result.strWhy = "stopped";
                return false;
            }
            if (!SendUpdate(connection, target, batch, strWireZone, result)) return false;
            batch.clear();
            nBatchBytes = 0;
        }
        nBatchBytes += nGroupBytes;
        if (!bLast) batch.insert(batch.end(), aGroups[i].begin(), aGroups[i].end());
    }
    return true;
}

}  // namespace

// What DOMAIN holds: each type's PTRs, the instances they (and aWanted)
// name, the hosts those name.
bool CDnsPublisher::ReadHeld(const std::vector<DnsRecord>& aWanted, const std::function<bool()>& fnStop,
                             std::vector<DnsRecord>& aHeld, std::string& strWhy) {
    Connection& connection = *m_pConnection;
    std::set<std::string> instances, hosts;
    for (const DnsRecord& record : aWanted) {
        if (record.nType == LDNS_RR_TYPE_SRV) instances.insert(record.strOwner);
        if (record.nType == LDNS_RR_TYPE_A || record.nType == LDNS_RR_TYPE_AAAA)
            hosts.insert(record.strOwner);
    }
    for (const std::string& strType : PublishedTypes()) {
        const size_t nDot = strType.find('.');
        const std::string strWireType =
            WireNameUnder({strType.substr(0, nDot), strType.substr(nDot + 1)}, m_strWireDomain);
        const size_t nBefore = aHeld.size();
        if (fnStop() || !ReadRrset(connection, strWireType, LDNS_RR_TYPE_PTR, aHeld, strWhy)) return false;
        for (size_t i = nBefore; i < aHeld.size(); ++i) {
            if (IsWireNameUnder(aHeld[i].strRdata, m_strWireDomain)) instances.insert(aHeld[i].strRdata);
        }
    }
    for (const std::string& strInstance : instances) {
        const size_t nBefore = aHeld.size();
        for (uint16_t nType : {LDNS_RR_TYPE_SRV, LDNS_RR_TYPE_TXT}) {
            if (fnStop() || !ReadRrset(connection, strInstance, nType, aHeld, strWhy)) return false;
        }
        for (size_t i = nBefore; i < aHeld.size(); ++i) {
            const std::string strTarget = SrvTarget(aHeld[i]);
            if (aHeld[i].nType == LDNS_RR_TYPE_SRV && IsWireNameUnder(strTarget, m_strWireDomain))
                hosts.insert(strTarget);
        }
    }
    for (const std::string& strHost : hosts) {
        for (uint16_t nType : {LDNS_RR_TYPE_A, LDNS_RR_TYPE_AAAA}) {
            if (fnStop() || !ReadRrset(connection, strHost, nType, aHeld, strWhy)) return false;
        }
    }
    return true;
}

// The browse PTRs, once per run: adding what is there changes nothing, and
// they are never removed.
bool CDnsPublisher::AddBrowseOnce(const std::function<bool()>& fnStop, PublishResult& result) {
    if (m_bBrowseAdded) return true;
    const std::string strParent = BrowseParent(m_target);
    std::vector<ChangeGroup> aBrowse(1);
    for (const DnsRecord& record : BrowseRecords(m_strWireDomain, WireName(strParent), BROWSE_TTL))
        aBrowse[0].push_back(NewLdnsRecord(record, LDNS_RR_CLASS_IN));
    // The parent's zone: DOMAIN's when it holds the parent, else the parent itself.
    std::string strZone = m_pConnection->strWireZone;
    if (!IsWireNameUnder(WireName(strParent), strZone)) strZone = WireName(strParent);
    PublishResult browse;
    m_bBrowseAdded = SendUpdates(*m_pConnection, m_target, aBrowse, strZone, fnStop, browse);
    FreeGroups(aBrowse);
    result.nMessages += browse.nMessages;
    if (!m_bBrowseAdded) result.strWhy = browse.strWhy + " (the browse domain PTRs under " + strParent + ")";
    return m_bBrowseAdded;
}

PublishResult CDnsPublisher::Reconcile(const std::vector<DnsRecord>& aWanted,
                                       const std::function<bool()>& fnStop, bool bDeleteUnseen) {
    PublishResult result;
    if (m_strWireDomain.empty()) {
        result.strWhy = "'" + m_target.strDomain + "' is not a domain name";
        return result;
    }
    std::vector<DnsRecord> aHeld;
    if (!Connect(result) || !ReadHeld(aWanted, fnStop, aHeld, result.strWhy)) return result;
    std::vector<ChangeGroup> aGroups = Differences(aHeld, aWanted, m_strWireDomain, bDeleteUnseen, result);
    const bool bSent =
        SendUpdates(*m_pConnection, m_target, aGroups, m_pConnection->strWireZone, fnStop, result);
    FreeGroups(aGroups);
    result.bOk = bSent && AddBrowseOnce(fnStop, result);
    return result;
}

PublishResult CDnsPublisher::CheckKey() {
    PublishResult result;
    if (m_strWireDomain.empty()) {
        result.strWhy = "'" + m_target.strDomain + "' is not a domain name";
        return result;
    }
    if (!Connect(result)) return result;
    PktPtr pAnswer = m_pConnection->Ask(m_strWireDomain, LDNS_RR_TYPE_SOA, &m_target.key);
    if (!pAnswer) {
        result.strWhy = "the server " + m_pConnection->strServer + " did not answer a signed query";
        return result;
    }
    const int nRcode = ldns_pkt_get_rcode(pAnswer.get());
    const int nTsigError = TsigError(pAnswer.get());
    if (nTsigError != 0 || nRcode == LDNS_RCODE_NOTAUTH) {
        result.strWhy = "the server " + m_pConnection->strServer + " does not accept key '" +
                        m_target.key.strName + "': " + RcodeName(nRcode) +
                        (nTsigError ? " (TSIG " + TsigErrorName(nTsigError) + ")" : "") + "; " +
                        RefusalAdvice(nRcode, nTsigError, m_target, TextName(m_pConnection->strWireZone));
        return result;
    }
    result.bOk = true;
    return result;
}
