#include "dns_queries.h"

#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

// c-ares wants its library set up once per process before any channel.
void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

int ReadU16(const unsigned char* p) {
    return (p[0] << 8) | p[1];
}

// Moves pPos past the encoded name there; false when it is malformed.
bool SkipName(const unsigned char* pAnswer, int nLength, const unsigned char*& pPos) {
    char* pszName = nullptr;
    long nEncoded = 0;
    if (ares_expand_name(pPos, pAnswer, nLength, &pszName, &nEncoded) != ARES_SUCCESS) return false;
    ares_free_string(pszName);
    pPos += nEncoded;
    return true;
}

// A status a server's reply (or its silence) gives; not one of a query that
// never left (ECONNREFUSED: no server could be sent it; a bad name).
bool CameFromServer(int nStatus) {
    switch (nStatus) {
        case ARES_SUCCESS:
        case ARES_ENODATA:
        case ARES_EFORMERR:
        case ARES_ESERVFAIL:
        case ARES_ENOTFOUND:
        case ARES_ENOTIMP:
        case ARES_EREFUSED:
        case ARES_EBADRESP:
        case ARES_ETIMEOUT:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct CDnsQueries::CPending {
    CDnsQueries* pOwner = nullptr;
    std::string strName;
    int nType = 0;
    AnswerFn fnAnswer;
    Clock::time_point tDeadline;
    bool bDone = false;
};

CDnsQueries::CDnsQueries(std::chrono::milliseconds bound, size_t nMaxInFlight, const std::string& strServers)
    : m_bound(bound), m_nMaxInFlight(nMaxInFlight == 0 ? 1 : nMaxInFlight) {
    InitLibraryOnce();
    ares_options options{};
    // One try per server within the bound; the bound itself is kept here.
    options.timeout = static_cast<int>(bound.count());
    options.tries = 1;
    // Not ARES_FLAG_IGNTC: a truncated reply is asked again over TCP. A
    // SERVFAIL or REFUSED comes back as such, to be reported as such,
    // rather than as a refused connection after the next server.
    options.flags = ARES_FLAG_NOCHECKRESP;
    const int nMask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS;
    int nStatus = ares_init_options(&m_pChannel, &options, nMask);
    if (nStatus != ARES_SUCCESS) {
        m_strInitError = std::string("DNS resolver setup failed: ") + ares_strerror(nStatus);
        m_pChannel = nullptr;
        return;
    }
    if (!strServers.empty()) {
        nStatus = ares_set_servers_ports_csv(m_pChannel, strServers.c_str());
        if (nStatus != ARES_SUCCESS) {
            m_strInitError = "bad DNS server list '" + strServers + "': " + ares_strerror(nStatus);
        }
    }
}

CDnsQueries::~CDnsQueries() {
    // Ends what c-ares still has open; those answers are dropped (ARES_EDESTRUCTION).
    if (m_pChannel) ares_destroy(m_pChannel);
}

std::vector<std::string> CDnsQueries::SearchDomains() const {
    std::vector<std::string> aDomains;
    if (!m_pChannel) return aDomains;
    ares_options options{};
    int nMask = 0;
    if (ares_save_options(m_pChannel, &options, &nMask) != ARES_SUCCESS) return aDomains;
    if (nMask & ARES_OPT_DOMAINS) {
        for (int i = 0; i < options.ndomains; ++i) aDomains.emplace_back(options.domains[i]);
    }
    ares_destroy_options(&options);
    return aDomains;
}

void CDnsQueries::Query(const std::string& strName, int nType, AnswerFn fnAnswer) {
    auto pPending = std::make_shared<CPending>();
    pPending->pOwner = this;
    pPending->strName = strName;
    pPending->nType = nType;
    pPending->fnAnswer = std::move(fnAnswer);
    m_aQueued.push_back(std::move(pPending));
}

void CDnsQueries::OnAnswer(void* pArg, int nStatus, int, unsigned char* pAnswer, int nLength) {
    std::unique_ptr<std::shared_ptr<CPending>> pHolder(static_cast<std::shared_ptr<CPending>*>(pArg));
    CPending& pending = **pHolder;
    // Answered already at its bound, or the channel is going away.
    if (pending.bDone || nStatus == ARES_EDESTRUCTION) return;
    pending.bDone = true;
    if (CameFromServer(nStatus)) pending.pOwner->m_bReachedServer = true;
    pending.fnAnswer(nStatus, pAnswer, nLength);
}

void CDnsQueries::StartQueued() {
    std::erase_if(m_aInFlight, [](const std::shared_ptr<CPending>& p) { return p->bDone; });
    while (!m_aQueued.empty() && m_aInFlight.size() < m_nMaxInFlight) {
        std::shared_ptr<CPending> pPending = std::move(m_aQueued.front());
        m_aQueued.pop_front();
        pPending->tDeadline = Clock::now() + m_bound;
        m_aInFlight.push_back(pPending);
        // The answer may come at once (a bad name): it then finds the
        // query in flight already.
        ares_query(m_pChannel, pPending->strName.c_str(), ns_c_in, pPending->nType, &CDnsQueries::OnAnswer,
                   new std::shared_ptr<CPending>(pPending));
    }
}

void CDnsQueries::ExpireOverdue() {
    const Clock::time_point tNow = Clock::now();
    // An answer may queue more queries, but never touches m_aInFlight.
    for (size_t i = 0; i < m_aInFlight.size(); ++i) {
        std::shared_ptr<CPending> pPending = m_aInFlight[i];
        if (!pPending->bDone && tNow >= pPending->tDeadline) {
            pPending->bDone = true;
            m_bReachedServer = true;  // sent: only its answer is missing
            pPending->fnAnswer(ARES_ETIMEOUT, nullptr, 0);
        }
    }
}

// Returns 1 when work was done, 0 when stopped, -1 when poll failed.
int CDnsQueries::WaitAndProcess(int hStopFd) {
    ares_socket_t aSockets[ARES_GETSOCK_MAXNUM];
    const int nBits = ares_getsock(m_pChannel, aSockets, ARES_GETSOCK_MAXNUM);
    std::vector<pollfd> aPoll;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short nEvents = 0;
        if (ARES_GETSOCK_READABLE(nBits, i)) nEvents |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(nBits, i)) nEvents |= POLLOUT;
        if (nEvents) aPoll.push_back({aSockets[i], nEvents, 0});
    }
    const size_t nAresFds = aPoll.size();
    if (hStopFd >= 0) aPoll.push_back({hStopFd, POLLIN, 0});

    Clock::time_point tWake = Clock::now() + m_bound;
    for (const auto& pPending : m_aInFlight) {
        if (!pPending->bDone) tWake = std::min(tWake, pPending->tDeadline);
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(tWake - Clock::now());
    timeval maxWait{static_cast<time_t>(wait.count() / 1000),
                    static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
    // ares_timeout hands back maxWait itself, leaving aresWait unwritten,
    // when its own next timeout is later: only the pointer it returns holds.
    timeval aresWait{};
    const timeval* pNext = wait.count() > 0 ? ares_timeout(m_pChannel, &maxWait, &aresWait) : nullptr;
    if (pNext) wait = std::chrono::milliseconds(pNext->tv_sec * 1000 + (pNext->tv_usec + 999) / 1000);
    const int nReady = poll(aPoll.data(), aPoll.size(), static_cast<int>(std::max<long>(wait.count(), 0)));
    if (nReady < 0 && errno != EINTR) return -1;
    if (hStopFd >= 0 && nReady > 0 && (aPoll.back().revents & (POLLIN | POLLHUP | POLLERR))) return 0;
    bool bAny = false;
    for (size_t i = 0; i < nAresFds && nReady > 0; ++i) {
        const short n = aPoll[i].revents;
        if (!n) continue;
        bAny = true;
        ares_process_fd(m_pChannel, (n & (POLLIN | POLLHUP | POLLERR)) ? aPoll[i].fd : ARES_SOCKET_BAD,
                        (n & POLLOUT) ? aPoll[i].fd : ARES_SOCKET_BAD);
    }
    if (!bAny) ares_process_fd(m_pChannel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // c-ares's own timeouts
    return 1;
}

bool CDnsQueries::Run(int hStopFd) {
    if (!m_pChannel || !m_strInitError.empty()) {
        // Every query fails alike, so each caller reports it where it belongs.
        while (!m_aQueued.empty()) {
            std::shared_ptr<CPending> pPending = std::move(m_aQueued.front());
            m_aQueued.pop_front();
            pPending->fnAnswer(ARES_ENOTINITIALIZED, nullptr, 0);
        }
        return true;
    }
    for (;;) {
        StartQueued();
        if (m_aInFlight.empty() && m_aQueued.empty()) return true;
        const int nResult = WaitAndProcess(hStopFd);
        if (nResult <= 0) return false;
        ExpireOverdue();
    }
}

std::string DnsStatusText(int nStatus, std::chrono::milliseconds bound) {
    switch (nStatus) {
        case ARES_ENOTFOUND:
            return "NXDOMAIN";
        case ARES_ENODATA:
            return "no such record";
        case ARES_ESERVFAIL:
            return "SERVFAIL";
        case ARES_EREFUSED:
            return "REFUSED";
        case ARES_ETIMEOUT:
            return "no answer within " + std::to_string(bound.count()) + " ms";
        case ARES_ECONNREFUSED:
            return "the DNS server refused the connection";
        default:
            return ares_strerror(nStatus);
    }
}

bool ReadPtrTargets(const unsigned char* pAnswer, int nLength, std::vector<std::string>& aTargets) {
    if (!pAnswer || nLength < NS_HFIXEDSZ) return false;
    const unsigned char* pEnd = pAnswer + nLength;
    const int nQuestions = ReadU16(pAnswer + 4);
    const int nAnswers = ReadU16(pAnswer + 6);
    const unsigned char* pPos = pAnswer + NS_HFIXEDSZ;
    for (int i = 0; i < nQuestions; ++i) {
        if (!SkipName(pAnswer, nLength, pPos) || pEnd - pPos < NS_QFIXEDSZ) return false;
        pPos += NS_QFIXEDSZ;
    }
    for (int i = 0; i < nAnswers; ++i) {
        if (!SkipName(pAnswer, nLength, pPos) || pEnd - pPos < NS_RRFIXEDSZ) return false;
        const int nType = ReadU16(pPos);
        const int nDataLength = ReadU16(pPos + 8);
        pPos += NS_RRFIXEDSZ;
        if (pEnd - pPos < nDataLength) return false;
        if (nType == ns_t_ptr) {
            char* pszTarget = nullptr;
            long nEncoded = 0;
            if (ares_expand_name(pPos, pAnswer, nLength, &pszTarget, &nEncoded) != ARES_SUCCESS) return false;
            aTargets.emplace_back(pszTarget);
            ares_free_string(pszTarget);
        }
        pPos += nDataLength;
    }
    return true;
}

int ReadAddressRecords(int nType, const unsigned char* pAnswer, int nLength,
                       std::vector<std::string>& aAddresses, int& nLinkLocal) {
    constexpr int MAX_ADDRESSES = 16;
    char szText[INET6_ADDRSTRLEN] = {};
    int nCount = MAX_ADDRESSES;
    if (nType == ns_t_a) {
        ares_addrttl aTtl[MAX_ADDRESSES];
        const int nStatus = ares_parse_a_reply(pAnswer, nLength, nullptr, aTtl, &nCount);
        for (int i = 0; nStatus == ARES_SUCCESS && i < nCount; ++i) {
            aAddresses.emplace_back(inet_ntop(AF_INET, &aTtl[i].ipaddr, szText, sizeof(szText)));
        }
        return nStatus;
    }
    ares_addr6ttl aTtl[MAX_ADDRESSES];
    const int nStatus = ares_parse_aaaa_reply(pAnswer, nLength, nullptr, aTtl, &nCount);
    for (int i = 0; nStatus == ARES_SUCCESS && i < nCount; ++i) {
        in6_addr address{};
        std::memcpy(&address, &aTtl[i].ip6addr, sizeof(address));
        if (IN6_IS_ADDR_LINKLOCAL(&address)) {
            ++nLinkLocal;
            continue;
        }
        aAddresses.emplace_back(inet_ntop(AF_INET6, &address, szText, sizeof(szText)));
    }
    return nStatus;
}
