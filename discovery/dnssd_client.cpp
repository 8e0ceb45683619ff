// The dns_sd client library behind CDnsSdClient.
//
// Avahi's compatibility layer has two traps this wrapper does not hide but
// the provider must respect: DNSServiceProcessResult blocks for good when no
// reply is pending (poll the descriptor first), and the descriptor also
// wakes without a reply.
#include "dnssd_client.h"

#include <dns_sd.h>

#include <cstdlib>
#include <mutex>
#include <utility>

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

class CLibOperation : public CDnsSdOperation {
public:
    ~CLibOperation() override {
        if (m_ref != nullptr) {
            DNSServiceRefDeallocate(m_ref);
        }
    }
    int GetFd() const override { return m_ref != nullptr ? DNSServiceRefSockFD(m_ref) : -1; }
    int32_t ProcessResult() override {
        return m_ref != nullptr ? DNSServiceProcessResult(m_ref) : kDNSServiceErr_BadReference;
    }

    DNSServiceRef m_ref = nullptr;
    std::function<void(const DnsSdBrowseReply&)> m_fnBrowse;
    std::function<void(const DnsSdResolveReply&)> m_fnResolve;
    std::function<void(const DnsSdRecordReply&)> m_fnRecord;
};

void DNSSD_API OnBrowse(DNSServiceRef, DNSServiceFlags nFlags, uint32_t, DNSServiceErrorType nError,
                        const char* pszName, const char*, const char*, void* pContext) {
    auto* pOperation = static_cast<CLibOperation*>(pContext);
    DnsSdBrowseReply reply;
    reply.nFlags = nFlags;
    reply.nError = nError;
    reply.bHasName = pszName != nullptr;
    reply.strName = Text(pszName);
    if (pOperation->m_fnBrowse) {
        pOperation->m_fnBrowse(reply);
    }
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
    if (pOperation->m_fnResolve) {
        pOperation->m_fnResolve(reply);
    }
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
    if (pOperation->m_fnRecord) {
        pOperation->m_fnRecord(reply);
    }
}

void DNSSD_API OnCheckBrowse(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType, const char*,
                             const char*, const char*, void*) {}

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

    int32_t Browse(const char* pszType, const char* pszDomain,
                   std::function<void(const DnsSdBrowseReply&)> fnReply,
                   std::unique_ptr<CDnsSdOperation>& pOperation) override {
        auto pOp = std::make_unique<CLibOperation>();
        pOp->m_fnBrowse = std::move(fnReply);
        DNSServiceErrorType nError =
            DNSServiceBrowse(&pOp->m_ref, 0, 0, pszType, pszDomain, OnBrowse, pOp.get());
        return Finish(nError, std::move(pOp), pOperation);
    }

    int32_t Resolve(const char* pszName, const char* pszType, const char* pszDomain,
                    std::function<void(const DnsSdResolveReply&)> fnReply,
                    std::unique_ptr<CDnsSdOperation>& pOperation) override {
        auto pOp = std::make_unique<CLibOperation>();
        pOp->m_fnResolve = std::move(fnReply);
        DNSServiceErrorType nError =
            DNSServiceResolve(&pOp->m_ref, 0, 0, pszName, pszType, pszDomain, OnResolve, pOp.get());
        return Finish(nError, std::move(pOp), pOperation);
    }

    int32_t QueryRecord(const char* pszFullName, uint16_t nType, uint16_t nClass,
                        std::function<void(const DnsSdRecordReply&)> fnReply,
                        std::unique_ptr<CDnsSdOperation>& pOperation) override {
        auto pOp = std::make_unique<CLibOperation>();
        pOp->m_fnRecord = std::move(fnReply);
        DNSServiceErrorType nError =
            DNSServiceQueryRecord(&pOp->m_ref, 0, 0, pszFullName, nType, nClass, OnRecord, pOp.get());
        return Finish(nError, std::move(pOp), pOperation);
    }

private:
    static int32_t Finish(DNSServiceErrorType nError, std::unique_ptr<CLibOperation> pOp,
                          std::unique_ptr<CDnsSdOperation>& pOperation) {
        pOperation.reset();
        if (nError != kDNSServiceErr_NoError) {
            pOp->m_ref = nullptr;  // the library allocated nothing
            return nError;
        }
        if (pOp->m_ref == nullptr || pOp->GetFd() < 0) {
            return kDNSServiceErr_Unknown;
        }
        pOperation = std::move(pOp);
        return kDNSServiceErr_NoError;
    }
};

}  // namespace

std::unique_ptr<CDnsSdClient> CreateSystemDnsSdClient() {
    return std::make_unique<CLibClient>();
}

std::vector<DnsSdTxtItem> ReadTxtItems(const std::string& strTxt) {
    QuietCompatWarning();  // the TXT functions warn as well
    std::vector<DnsSdTxtItem> aItems;
    if (strTxt.empty() || strTxt.size() > UINT16_MAX) {
        return aItems;
    }
    const auto nLen = static_cast<uint16_t>(strTxt.size());
    const uint16_t nCount = TXTRecordGetCount(nLen, strTxt.data());
    for (uint16_t i = 0; i < nCount; ++i) {
        char szKey[256] = {};
        uint8_t nValueLen = 0;
        const void* pValue = nullptr;
        if (TXTRecordGetItemAtIndex(nLen, strTxt.data(), i, sizeof(szKey) - 1, szKey, &nValueLen, &pValue) !=
            kDNSServiceErr_NoError) {
            continue;
        }
        DnsSdTxtItem item;
        item.strKey = szKey;
        item.bHasValue = pValue != nullptr;
        if (pValue != nullptr) {
            item.strValue.assign(static_cast<const char*>(pValue), nValueLen);
        }
        aItems.push_back(std::move(item));
    }
    return aItems;
}
