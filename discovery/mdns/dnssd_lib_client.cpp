// The dns_sd client library (Avahi's compatibility layer) behind
// CDnsSdClient, chosen with HVL_MDNS_BACKEND=dnssd.
//
// Two traps of the library shape the session's wait: DNSServiceProcessResult
// blocks for good when no reply is pending, so it is called only on a
// descriptor that poll() has just found readable; and a descriptor also
// wakes without a reply.
#include <dns_sd.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "dnssd_client.h"

namespace {

// The library prints a warning about its compatibility layer on the first
// call unless this variable is set in the process before that.
void QuietCompatWarning() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { setenv("AVAHI_COMPAT_NOWARN", "1", 0); });
}

std::string Text(const char* psz) {
    return psz != nullptr ? std::string(psz) : std::string();
}

class CLibSession;

class CLibOperation : public CDnsSdOperation {
public:
    CLibOperation(CLibSession& session, uint64_t nSerial) : m_session(session), m_nSerial(nSerial) {}
    ~CLibOperation() override;

    CLibSession& m_session;
    const uint64_t m_nSerial;
    DNSServiceRef m_ref = nullptr;
    CDnsSdSession::BrowseFn m_fnBrowse;
    CDnsSdSession::ResolveFn m_fnResolve;
    CDnsSdSession::RecordFn m_fnRecord;
};

void DNSSD_API OnBrowse(DNSServiceRef, DNSServiceFlags nFlags, uint32_t, DNSServiceErrorType nError,
                        const char* pszName, const char*, const char*, void* pContext) {
    auto* pOperation = static_cast<CLibOperation*>(pContext);
    DnsSdBrowseReply reply;
    reply.nFlags = nFlags;
    reply.nError = nError;
    reply.bHasName = pszName != nullptr;
    reply.strName = Text(pszName);
    pOperation->m_fnBrowse(reply);
}

void DNSSD_API OnResolve(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType nError,
                         const char* pszFullName, const char* pszHostTarget, uint16_t nPort, uint16_t nTxtLen,
                         const unsigned char* pTxt, void* pContext) {
    auto* pOperation = static_cast<CLibOperation*>(pContext);
    DnsSdResolveReply reply;
    reply.nError = nError;
    reply.strFullName = Text(pszFullName);
    reply.strHostTarget = Text(pszHostTarget);
    reply.nPortNetOrder = nPort;
    if (pTxt != nullptr) {
        reply.strTxt.assign(reinterpret_cast<const char*>(pTxt), nTxtLen);
    }
    pOperation->m_fnResolve(reply);
}

void DNSSD_API OnRecord(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType nError, const char*,
                        uint16_t nType, uint16_t nClass, uint16_t nDataLen, const void* pData, uint32_t,
                        void* pContext) {
    auto* pOperation = static_cast<CLibOperation*>(pContext);
    DnsSdRecordReply reply;
    reply.nError = nError;
    reply.nType = nType;
    reply.nClass = nClass;
    if (pData != nullptr) {
        reply.strData.assign(static_cast<const char*>(pData), nDataLen);
    }
    pOperation->m_fnRecord(reply);
}

void DNSSD_API OnCheckBrowse(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*,
                             const char*, const char*, void*) {}

// Every reference has a descriptor of its own; one poll() watches them all
// and the stop descriptor.
class CLibSession : public CDnsSdSession {
public:
    explicit CLibSession(int hStopFd) : m_hStopFd(hStopFd) {}

    int32_t Browse(const char* pszType, const char* pszDomain, BrowseFn fnReply,
                   std::unique_ptr<CDnsSdOperation>& pOperation) override {
        auto pOp = NewOperation();
        pOp->m_fnBrowse = std::move(fnReply);
        DNSServiceErrorType nError =
            DNSServiceBrowse(&pOp->m_ref, 0, 0, pszType, pszDomain, OnBrowse, pOp.get());
        return AdoptIfStarted(nError, std::move(pOp), pOperation);
    }

    int32_t Resolve(const char* pszName, const char* pszType, const char* pszDomain, ResolveFn fnReply,
                    std::unique_ptr<CDnsSdOperation>& pOperation) override {
        auto pOp = NewOperation();
        pOp->m_fnResolve = std::move(fnReply);
        DNSServiceErrorType nError =
            DNSServiceResolve(&pOp->m_ref, 0, 0, pszName, pszType, pszDomain, OnResolve, pOp.get());
        return AdoptIfStarted(nError, std::move(pOp), pOperation);
    }

    int32_t QueryRecord(const char* pszFullName, uint16_t nType, uint16_t nClass, RecordFn fnReply,
                        std::unique_ptr<CDnsSdOperation>& pOperation) override {
        auto pOp = NewOperation();
        pOp->m_fnRecord = std::move(fnReply);
        DNSServiceErrorType nError =
            DNSServiceQueryRecord(&pOp->m_ref, 0, 0, pszFullName, nType, nClass, OnRecord, pOp.get());
        return AdoptIfStarted(nError, std::move(pOp), pOperation);
    }

    DnsSdWait Wait(Clock::time_point tDeadline, int32_t& nError) override {
        for (;;) {
            const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(tDeadline - Clock::now()).count();
            if (nLeft <= 0) {
                return DnsSdWait::TIMEOUT;
            }
            std::vector<pollfd> aFds;
            std::vector<uint64_t> aSerials;
            for (const auto& [nSerial, pOp] : m_open) {
                aFds.push_back({DNSServiceRefSockFD(pOp->m_ref), POLLIN, 0});
                aSerials.push_back(nSerial);
            }
            aFds.push_back({m_hStopFd, POLLIN, 0});
            // Without a stop descriptor the caller looks at its stop flag
            // every 50 ms.
            const int nTimeout = static_cast<int>(std::min<long long>(nLeft, m_hStopFd >= 0 ? 60000 : 50));
            const int nReady = poll(aFds.data(), aFds.size(), nTimeout);
            if (nReady < 0) {
                if (errno == EINTR) {
                    continue;
                }
                nError = errno;
                return DnsSdWait::WAIT_FAILED;
            }
            if (nReady == 0) {
                if (m_hStopFd < 0) {
                    return DnsSdWait::READY;
                }
                continue;
            }
            if ((aFds.back().revents & POLLIN) != 0) {
                return DnsSdWait::STOPPED;
            }
            for (size_t i = 0; i + 1 < aFds.size(); ++i) {
                if ((aFds[i].revents & POLLNVAL) != 0) {
                    nError = EBADF;
                    return DnsSdWait::WAIT_FAILED;
                }
                auto it = m_open.find(aSerials[i]);
                if ((aFds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0 || it == m_open.end()) {
                    continue;
                }
                const DNSServiceErrorType nProcess = DNSServiceProcessResult(it->second->m_ref);
                if (nProcess != kDNSServiceErr_NoError) {
                    nError = nProcess;
                    return DnsSdWait::PROCESS_FAILED;
                }
            }
            return DnsSdWait::READY;
        }
    }

    void Forget(uint64_t nSerial) { m_open.erase(nSerial); }

private:
    std::unique_ptr<CLibOperation> NewOperation() {
        return std::make_unique<CLibOperation>(*this, ++m_nSerial);
    }

    int32_t AdoptIfStarted(DNSServiceErrorType nError, std::unique_ptr<CLibOperation> pOp,
                           std::unique_ptr<CDnsSdOperation>& pOperation) {
        pOperation.reset();
        if (nError != kDNSServiceErr_NoError) {
            pOp->m_ref = nullptr;  // the library allocated nothing
            return nError;
        }
        if (pOp->m_ref == nullptr || DNSServiceRefSockFD(pOp->m_ref) < 0) {
            return kDNSServiceErr_Unknown;
        }
        m_open[pOp->m_nSerial] = pOp.get();
        pOperation = std::move(pOp);
        return kDNSServiceErr_NoError;
    }

    const int m_hStopFd;
    uint64_t m_nSerial = 0;
    std::map<uint64_t, CLibOperation*> m_open;
};

CLibOperation::~CLibOperation() {
    m_session.Forget(m_nSerial);
    if (m_ref != nullptr) {
        DNSServiceRefDeallocate(m_ref);
    }
}

class CLibClient : public CDnsSdClient {
public:
    CLibClient() { QuietCompatWarning(); }

    // The library has no working DNSServiceCreateConnection: a browse that
    // starts proves the daemon answers. It is released unprocessed.
    int32_t CheckService() override {
        DNSServiceRef ref = nullptr;
        DNSServiceErrorType nError =
            DNSServiceBrowse(&ref, 0, 0, "_printer._tcp", "local", OnCheckBrowse, nullptr);
        if (nError == kDNSServiceErr_NoError && ref != nullptr) {
            DNSServiceRefDeallocate(ref);
        }
        return nError;
    }

    std::unique_ptr<CDnsSdSession> OpenSession(int hStopFd) override {
        return std::make_unique<CLibSession>(hStopFd);
    }
};

}  // namespace

std::unique_ptr<CDnsSdClient> CreateSystemDnsSdClient() {
    return std::make_unique<CLibClient>();
}

const char* MdnsBackendName() {
    return "dnssd";
}
