#include "unicast_browser.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <strings.h>

#include <algorithm>
#include <memory>

#include "conv_string.h"
#include "dns_names.h"
#include "dns_queries.h"
#include "host_interfaces.h"
#include "mdns_responder_client.h"

namespace {

// One browse of the run: the shared state its answers work on.
class CRun {
public:
    CRun(const UnicastOptions& options, CDnsQueries& queries, const CUnicastBrowser::PrinterFn& fnPrinter,
         const CUnicastBrowser::ProblemFn& fnProblem)
        : m_options(options), m_queries(queries), m_fnPrinter(fnPrinter), m_fnProblem(fnProblem) {}

    void AskParent(const std::string& strParent);
    void BrowseDomain(const std::string& strDomain);
    UnicastReport Report() const;

private:
    struct CDomain {
        UnicastDomainResult result;
        size_t nBrowsesOpen = 0;
        std::vector<std::string> aSeen;  // instance names asked already
        std::vector<std::string> aTypeErrors;
    };
    struct CInstance {
        size_t nDomain = 0;
        std::string strType;
        std::string strName;      // raw bytes of the instance label
        std::string strFullName;  // for queries
        bool bSrvDone = false, bTxtDone = false, bHasTarget = false;
        std::string strTarget;  // the SRV target
        std::string strTxt;     // raw TXT record
        int nAddressQueriesOpen = 0;
        int nAddresses = 0;
        std::string aAddressErrors[2];  // A's, then AAAA's, whichever answered first
    };
    using InstancePtr = std::shared_ptr<CInstance>;

    void OnSuggestions(size_t nParent, const std::string& strQuery, int nStatus, const unsigned char* p,
                       int n);
    void OnBrowse(size_t nDomain, const std::string& strType, int nStatus, const unsigned char* p, int n);
    void ResolveInstance(size_t nDomain, const std::string& strType, const std::vector<std::string>& aLabels);
    void OnSrv(const InstancePtr& pInstance, int nStatus, const unsigned char* p, int n);
    void OnTxt(const InstancePtr& pInstance, int nStatus, const unsigned char* p, int n);
    void QueryAddresses(const InstancePtr& pInstance);
    void OnAddress(const InstancePtr& pInstance, int nType, int nStatus, const unsigned char* p, int n);
    void AddRow(const CInstance& instance, const std::u16string& strAddress);
    void Problem(const std::string& strDomain, const std::string& strText) {
        m_fnProblem({strDomain, strText});
    }
    std::string Status(int nStatus) const { return DnsStatusText(nStatus, m_options.queryBound); }

    const UnicastOptions& m_options;
    CDnsQueries& m_queries;
    const CUnicastBrowser::PrinterFn& m_fnPrinter;
    const CUnicastBrowser::ProblemFn& m_fnProblem;
    std::vector<UnicastParentResult> m_aParents;
    std::vector<size_t> m_aParentQueriesOpen;
    std::vector<CDomain> m_aDomains;
};

void CRun::AskParent(const std::string& strParent) {
    const std::string strClean = CleanDomain(strParent);
    if (strClean.empty()) return;
    for (const UnicastParentResult& parent : m_aParents) {
        if (SameDomain(parent.strParent, strClean)) return;
    }
    const size_t nParent = m_aParents.size();
    m_aParents.push_back({strClean, {}, {}});
    m_aParentQueriesOpen.push_back(0);
    for (const std::string& strQuery : BrowseDomainQueries(strClean)) {
        ++m_aParentQueriesOpen[nParent];
        m_queries.Query(strQuery, ns_t_ptr,
                        [this, nParent, strQuery](int nStatus, const unsigned char* p, int n) {
                            OnSuggestions(nParent, strQuery, nStatus, p, n);
                        });
    }
}

void CRun::OnSuggestions(size_t nParent, const std::string& strQuery, int nStatus, const unsigned char* p,
                         int n) {
    UnicastParentResult& parent = m_aParents[nParent];
    std::vector<std::string> aTargets;
    if (nStatus == ARES_SUCCESS && !ReadPtrTargets(p, n, aTargets)) nStatus = ARES_EBADRESP;
    if (nStatus != ARES_SUCCESS && parent.strError.empty()) {
        parent.strError = strQuery + ": " + Status(nStatus);
    }
    for (const std::string& strTarget : aTargets) {
        const std::string strDomain = CleanDomain(strTarget);
        if (strDomain.empty()) continue;
        if (std::none_of(parent.aSuggested.begin(), parent.aSuggested.end(),
                         [&](const std::string& s) { return SameDomain(s, strDomain); })) {
            parent.aSuggested.push_back(strDomain);
        }
        BrowseDomain(strDomain);
    }
    if (--m_aParentQueriesOpen[nParent] == 0 && parent.aSuggested.empty()) {
        Problem(parent.strParent, "suggests no browse domain (" + parent.strError + ")");
    }
}

void CRun::BrowseDomain(const std::string& strDomain) {
    const std::string strClean = CleanDomain(strDomain);
    if (strClean.empty()) {
        Problem(strDomain, "is not a domain name");
        return;
    }
    for (const CDomain& domain : m_aDomains) {
        if (SameDomain(domain.result.strDomain, strClean)) return;
    }
    const size_t nDomain = m_aDomains.size();
    m_aDomains.push_back({});
    m_aDomains[nDomain].result.strDomain = strClean;
    for (const std::string& strType : m_options.aTypes) {
        ++m_aDomains[nDomain].nBrowsesOpen;
        m_queries.Query(strType + "." + strClean, ns_t_ptr,
                        [this, nDomain, strType](int nStatus, const unsigned char* p, int n) {
                            OnBrowse(nDomain, strType, nStatus, p, n);
                        });
    }
}

void CRun::OnBrowse(size_t nDomain, const std::string& strType, int nStatus, const unsigned char* p, int n) {
    std::vector<std::string> aTargets;
    if (nStatus == ARES_SUCCESS && !ReadPtrTargets(p, n, aTargets)) nStatus = ARES_EBADRESP;
    if (nStatus != ARES_SUCCESS) {
        CDomain& domain = m_aDomains[nDomain];
        if (domain.result.strError.empty()) domain.result.strError = Status(nStatus);
        // A type the domain does not list is no fault of the domain's; a
        // server that fails or says nothing is, whatever the other types do.
        if (nStatus != ARES_ENOTFOUND && nStatus != ARES_ENODATA) {
            domain.aTypeErrors.push_back(strType + ": " + Status(nStatus));
        }
    }
    for (const std::string& strTarget : aTargets) {
        bool bMalformed = false;
        const std::vector<std::string> aLabels = SplitDnsName(strTarget, &bMalformed);
        if (bMalformed || aLabels.size() < 2) {
            Problem(m_aDomains[nDomain].result.strDomain,
                    strType + ": unusable instance name '" + strTarget + "'");
            continue;
        }
        ResolveInstance(nDomain, strType, aLabels);
    }
    CDomain& domain = m_aDomains[nDomain];
    if (--domain.nBrowsesOpen > 0) return;
    if (domain.result.nInstances == 0) {
        Problem(domain.result.strDomain,
                "lists no printer (" +
                    (domain.result.strError.empty() ? "no instance" : domain.result.strError) + ")");
    } else {
        for (const std::string& strError : domain.aTypeErrors) Problem(domain.result.strDomain, strError);
    }
}

void CRun::ResolveInstance(size_t nDomain, const std::string& strType,
                           const std::vector<std::string>& aLabels) {
    auto pInstance = std::make_shared<CInstance>();
    pInstance->nDomain = nDomain;
    pInstance->strType = strType;
    pInstance->strName = aLabels.front();
    for (const std::string& strLabel : aLabels) {
        if (!pInstance->strFullName.empty()) pInstance->strFullName += '.';
        pInstance->strFullName += EscapeDnsLabel(strLabel);
    }
    CDomain& domain = m_aDomains[nDomain];
    const std::string strKey = strType + "|" + pInstance->strFullName;
    if (std::any_of(domain.aSeen.begin(), domain.aSeen.end(),
                    [&](const std::string& s) { return SameDomain(s, strKey); })) {
        return;  // listed twice
    }
    domain.aSeen.push_back(strKey);
    ++domain.result.nInstances;
    if (!m_options.bResolve) return;
    m_queries.Query(
        pInstance->strFullName, ns_t_srv,
        [this, pInstance](int nStatus, const unsigned char* p, int n) { OnSrv(pInstance, nStatus, p, n); });
    m_queries.Query(
        pInstance->strFullName, ns_t_txt,
        [this, pInstance](int nStatus, const unsigned char* p, int n) { OnTxt(pInstance, nStatus, p, n); });
}

void CRun::OnSrv(const InstancePtr& pInstance, int nStatus, const unsigned char* p, int n) {
    pInstance->bSrvDone = true;
    ares_srv_reply* pSrv = nullptr;
    if (nStatus == ARES_SUCCESS) nStatus = ares_parse_srv_reply(p, n, &pSrv);
    const std::string& strDomain = m_aDomains[pInstance->nDomain].result.strDomain;
    const std::string strWho = "printer '" + pInstance->strName + "' (" + pInstance->strType + ")";
    if (nStatus != ARES_SUCCESS || !pSrv) {
        Problem(strDomain, strWho + ": no SRV record (" +
                               Status(nStatus == ARES_SUCCESS ? ARES_ENODATA : nStatus) + ")");
    } else {
        // The most preferred target (lowest priority, then highest weight).
        const ares_srv_reply* pBest = pSrv;
        for (const ares_srv_reply* pNext = pSrv->next; pNext; pNext = pNext->next) {
            if (pNext->priority < pBest->priority ||
                (pNext->priority == pBest->priority && pNext->weight > pBest->weight)) {
                pBest = pNext;
            }
        }
        const std::string strTarget = CleanDomain(pBest->host ? pBest->host : "");
        if (strTarget.empty()) {
            Problem(strDomain, strWho + ": its SRV record names no host (service not offered)");
        } else {
            pInstance->bHasTarget = true;
            pInstance->strTarget = strTarget;
        }
    }
    if (pSrv) ares_free_data(pSrv);
    if (pInstance->bTxtDone) QueryAddresses(pInstance);
}

void CRun::OnTxt(const InstancePtr& pInstance, int nStatus, const unsigned char* p, int n) {
    pInstance->bTxtDone = true;
    ares_txt_ext* pTxt = nullptr;
    if (nStatus == ARES_SUCCESS && ares_parse_txt_reply_ext(p, n, &pTxt) == ARES_SUCCESS) {
        // The strings of the first record: one printer has one TXT record.
        std::vector<std::string> aStrings;
        for (const ares_txt_ext* pItem = pTxt; pItem; pItem = pItem->next) {
            if (pItem != pTxt && pItem->record_start) break;
            aStrings.emplace_back(reinterpret_cast<const char*>(pItem->txt), pItem->length);
        }
        pInstance->strTxt = RawTxtRecord(aStrings);
    }
    // Without a TXT record the printer still has a name, address and URL.
    if (pTxt) ares_free_data(pTxt);
    if (pInstance->bSrvDone) QueryAddresses(pInstance);
}

void CRun::QueryAddresses(const InstancePtr& pInstance) {
    if (!pInstance->bHasTarget) return;
    for (const int nType : {static_cast<int>(ns_t_a), static_cast<int>(ns_t_aaaa)}) {
        ++pInstance->nAddressQueriesOpen;
        m_queries.Query(pInstance->strTarget, nType,
                        [this, pInstance, nType](int nStatus, const unsigned char* p, int n) {
                            OnAddress(pInstance, nType, nStatus, p, n);
                        });
    }
}

void CRun::OnAddress(const InstancePtr& pInstance, int nType, int nStatus, const unsigned char* p, int n) {
    std::vector<std::string> aAddresses;
    int nLinkLocal = 0;
    if (nStatus == ARES_SUCCESS) nStatus = ReadAddressRecords(nType, p, n, aAddresses, nLinkLocal);
    std::string& strError = pInstance->aAddressErrors[nType == ns_t_a ? 0 : 1];
    if (nStatus == ARES_SUCCESS && aAddresses.empty() && nLinkLocal > 0) strError = "AAAA: link-local only";
    if (nStatus != ARES_SUCCESS) strError = std::string(nType == ns_t_a ? "A: " : "AAAA: ") + Status(nStatus);
    for (const std::string& strAddress : aAddresses) {
        if (pInstance->nAddresses++ == 0) ++m_aDomains[pInstance->nDomain].result.nPrinters;
        AddRow(*pInstance, Utf8ToUtf16(strAddress));
    }
    if (--pInstance->nAddressQueriesOpen == 0 && pInstance->nAddresses == 0) {
        const std::string& strA = pInstance->aAddressErrors[0];
        const std::string& strAaaa = pInstance->aAddressErrors[1];
        Problem(m_aDomains[pInstance->nDomain].result.strDomain,
                "printer '" + pInstance->strName + "' (" + pInstance->strType + "): its host " +
                    pInstance->strTarget + " has no address (" + strA +
                    (strA.empty() || strAaaa.empty() ? "" : ", ") + strAaaa + ")");
    }
}

void CRun::AddRow(const CInstance& instance, const std::u16string& strAddress) {
    const std::vector<DnsSdTxtItem> aItems = ReadTxtItems(instance.strTxt);
    UnicastPrinter printer;
    printer.strName = Utf8ToUtf16(instance.strName);
    printer.strIpAddress = strAddress;
    printer.strUrl = MdnsAdminUrl(aItems, instance.strTarget + ".");
    printer.strModel = MdnsModel(aItems);
    printer.strLocation = MdnsLocation(aItems);
    printer.strType = Utf8ToUtf16(instance.strType);
    printer.strDomain = Utf8ToUtf16(m_aDomains[instance.nDomain].result.strDomain);
    for (const DnsSdTxtItem& item : aItems) {
        // DNS-SD keys compare without case.
        if (item.bHasValue && strcasecmp(item.strKey.c_str(), "UUID") == 0)
            printer.strUuid = Utf8ToUtf16(item.strValue);
    }
    m_fnPrinter(printer);
}

UnicastReport CRun::Report() const {
    UnicastReport report;
    report.aParents = m_aParents;
    for (const CDomain& domain : m_aDomains) report.aDomains.push_back(domain.result);
    return report;
}

}  // namespace

CUnicastBrowser::CUnicastBrowser(UnicastOptions options) : m_options(std::move(options)) {}

UnicastReport CUnicastBrowser::Run(int hStopFd, const PrinterFn& fnPrinter, const ProblemFn& fnProblem) {
    CDnsQueries queries(m_options.queryBound, m_options.nMaxInFlight, m_options.strServers);
    if (!queries.InitError().empty()) {
        fnProblem({"", queries.InitError()});
        return {};
    }
    CRun run(m_options, queries, fnPrinter, fnProblem);
    std::vector<std::string> aParents = m_options.aParents;
    if (m_options.bParentsFromNetwork) {
        for (const std::string& str : queries.SearchDomains()) aParents.push_back(str);
        for (const std::string& str : LocalSubnetReverseNames()) aParents.push_back(str);
    }
    for (const std::string& strParent : aParents) run.AskParent(strParent);
    for (const std::string& strDomain : m_options.aDomains) run.BrowseDomain(strDomain);
    const bool bFinished = queries.Run(hStopFd);
    UnicastReport report = run.Report();
    report.bStopped = !bFinished;
    report.bReachedServer = queries.ReachedServer();
    return report;
}

std::vector<std::string> ResolverSearchDomains() {
    return CDnsQueries(std::chrono::milliseconds(1), 1, "").SearchDomains();
}

std::vector<std::string> LocalSubnetReverseNames() {
    std::vector<std::string> aNames;
    std::vector<HostInterface> aInterfaces;
    ListHostInterfaces(aInterfaces);
    for (const HostInterface& i : aInterfaces) {
        if (i.IsLoopback() || !i.IsUp()) continue;
        for (const HostIpv4Address& a : i.aIpv4) {
            const std::string strName = SubnetReverseName(a.nAddress, __builtin_popcount(a.nMask));
            if (std::find(aNames.begin(), aNames.end(), strName) == aNames.end()) aNames.push_back(strName);
        }
    }
    return aNames;
}
