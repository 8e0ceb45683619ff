#include "mdns_responder_client.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "conv_string.h"
#include "network_text.h"
#include "trace_log.h"

namespace {

constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_CLASS_IN = 1;

using Clock = std::chrono::steady_clock;

bool IsKey(const std::string& strKey, std::string_view KEY) {
    if (strKey.size() != KEY.size()) {
        return false;
    }
    for (size_t i = 0; i < KEY.size(); ++i) {
        char c = strKey[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != KEY[i]) {
            return false;
        }
    }
    return true;
}

int32_t ErrorCode(int32_t nError) {
    return nError != 0 ? nError : DNSSD_ERR_UNKNOWN;
}

uint32_t Hex(int32_t nCode) {
    return static_cast<uint32_t>(nCode);
}

// The system resolver looks ".local" names up through nss-mdns, but never a
// name that ends in a dot: only that dot goes, the rest stays as sent.
void RemoveHostTrailingDot(std::u16string& strUrl) {
    const size_t nScheme = strUrl.find(u"://");
    const size_t nAuthority = nScheme == std::u16string::npos ? 0 : nScheme + 3;
    size_t nAuthorityEnd = strUrl.find_first_of(u"/?#", nAuthority);
    if (nAuthorityEnd == std::u16string::npos) {
        nAuthorityEnd = strUrl.size();
    }
    const size_t nUserEnd = strUrl.rfind(u'@', nAuthorityEnd);
    const size_t nHost =
        nUserEnd != std::u16string::npos && nUserEnd >= nAuthority ? nUserEnd + 1 : nAuthority;
    // An IPv6 literal ends at its bracket, any other host before the port.
    const bool bLiteral = nHost < nAuthorityEnd && strUrl[nHost] == u'[';
    const size_t nHostEnd =
        std::min(bLiteral ? strUrl.find(u']', nHost) : strUrl.find(u':', nHost), nAuthorityEnd);
    if (nHostEnd > nHost + 1 && strUrl[nHostEnd - 1] == u'.') {
        strUrl.erase(nHostEnd - 1, 1);
    }
}

}  // namespace

std::u16string MdnsAdminUrl(const std::vector<DnsSdTxtItem>& aItems, std::string_view strHostTarget) {
    std::u16string strUrl;
    for (const DnsSdTxtItem& item : aItems) {
        if (IsKey(item.strKey, "adminurl")) {
            strUrl = Utf8ToUtf16(item.strValue);  // a later item wins
        }
    }
    if (strUrl.empty()) {
        strUrl = u"http://" + Utf8ToUtf16(strHostTarget);
    }
    TrimRight(strUrl);
    TrimLeft(strUrl);
    RemoveHostTrailingDot(strUrl);
    TrimRight(strUrl);  // "http://a ." has lost its dot, not its space
    return strUrl;
}

std::u16string MdnsModel(const std::vector<DnsSdTxtItem>& aItems) {
    auto First = [&aItems](std::string_view key) -> const DnsSdTxtItem* {
        for (const DnsSdTxtItem& item : aItems) {
            if (IsKey(item.strKey, key)) {
                return &item;  // a repeated key counts once, as it first stands
            }
        }
        return nullptr;
    };
    // A TXT item holds at most 255 bytes, so this bound never cuts one.
    auto Clean = [](const std::string& strValue) { return TrimmedNetworkText(strValue, 255); };
    if (const DnsSdTxtItem* pTy = First("ty")) {
        std::u16string str = Clean(pTy->strValue);
        if (!str.empty()) {
            return str;
        }
    }
    std::u16string str;
    if (const DnsSdTxtItem* pProduct = First("product")) {
        str = Clean(pProduct->strValue);
        if (str.size() >= 2 && str.front() == u'(' && str.back() == u')') {
            str = str.substr(1, str.size() - 2);
            TrimRight(str);
            TrimLeft(str);
        }
    }
    return str;
}

std::u16string MdnsLocation(const std::vector<DnsSdTxtItem>& aItems) {
    for (const DnsSdTxtItem& item : aItems) {
        if (IsKey(item.strKey, "note")) return TrimmedNetworkText(item.strValue, 255);
    }
    return {};
}

std::vector<std::u16string> MdnsTypesOf(const std::u16string& strEntry) {
    std::vector<std::u16string> aTypes;
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = strEntry.find(MDNS_TYPE_SEPARATOR, nStart);
        std::u16string strType = strEntry.substr(nStart, nEnd == std::u16string::npos ? nEnd : nEnd - nStart);
        TrimRight(strType);
        TrimLeft(strType);
        if (!strType.empty() && std::find(aTypes.begin(), aTypes.end(), strType) == aTypes.end()) {
            aTypes.push_back(std::move(strType));
        }
        if (nEnd == std::u16string::npos) {
            return aTypes;
        }
        nStart = nEnd + 1;
    }
}

std::u16string MdnsAddressText(std::string_view strData) {
    if (strData.size() != 4) {
        return std::u16string();
    }
    char szText[16];
    std::snprintf(szText, sizeof(szText), "%u.%u.%u.%u", static_cast<unsigned char>(strData[0]),
                  static_cast<unsigned char>(strData[1]), static_cast<unsigned char>(strData[2]),
                  static_cast<unsigned char>(strData[3]));
    return Utf8ToUtf16(szText);
}

CMDNSResponderClient::CMDNSResponderClient(std::vector<std::u16string> aNamesToQuery)
    : CMDNSResponderClient(std::move(aNamesToQuery), CreateSystemDnsSdClient(), MdnsTimings()) {}

CMDNSResponderClient::CMDNSResponderClient(std::vector<std::u16string> aNamesToQuery,
                                           std::unique_ptr<CDnsSdClient> pClient, MdnsTimings timings)
    : CMulticastDataProvider(std::move(aNamesToQuery), u"local", PROVIDER_KIND_MDNS, u"MDNS"),
      m_pClient(std::move(pClient)),
      m_timings(timings) {}

CMDNSResponderClient::~CMDNSResponderClient() {
    StopAndJoin();
}

int32_t CMDNSResponderClient::IsAvailable() {
    if (m_nAvailable == -1) {
        m_nAvailable = m_pClient->CheckService() == 0 ? 1 : 0;
        if (m_nAvailable == 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Printer Locator Service is not available.");
        }
    }
    return m_nAvailable;
}

// One packet of the resolve phase: its resolve, then its address query.
struct CMDNSResponderClient::CPending {
    int32_t nIndex = -1;
    std::u16string strName;
    CConvString strType;  // the type it is resolved under
    int32_t nStartError = 0;
    std::unique_ptr<CDnsSdOperation> pResolve;
    Clock::time_point tResolveDeadline;
    bool bResolved = false;
    DnsSdResolveReply reply;
    bool bQueryStarted = false;
    int32_t nQueryStartError = 0;
    std::unique_ptr<CDnsSdOperation> pQuery;
    Clock::time_point tQueryDeadline;
    bool bAnswered = false;
    DnsSdRecordReply answer;
};

void CMDNSResponderClient::Search() {
    // One session per search: a daemon that came back since the last search
    // is reached again.
    std::unique_ptr<CDnsSdSession> pSession = m_pClient->OpenSession(GetStopFd());
    for (const std::u16string& strEntry : m_aNamesToQuery) {
        if (IsStopRequested()) {
            break;
        }
        const std::vector<std::u16string> aTypes = MdnsTypesOf(strEntry);
        if (aTypes.empty()) {
            continue;
        }
        LockPackets();
        Pass(*pSession, aTypes);
        UnlockPackets();
    }
}

void CMDNSResponderClient::Pass(CDnsSdSession& session, const std::vector<std::u16string>& aTypes) {
    CConvString strDomain(m_strDomain);
    // Browse replies arrive inside Wait, on this thread.
    uint64_t nReplies = 0;
    int32_t nNamelessError = 0;
    std::vector<std::unique_ptr<CDnsSdOperation>> aBrowses;
    for (const std::u16string& strTypeWide : aTypes) {
        CConvString strType(strTypeWide);
        TraceMessage(TRACE_INFO, nullptr, u"MDNS: NameToQuery='%s'", strType);
        auto fnBrowse = [this, &nReplies, &nNamelessError, &strTypeWide](const DnsSdBrowseReply& reply) {
            ++nReplies;
            if (!reply.bHasName) {
                // No instance in it, e.g. the daemon went away: ends the browse.
                if (reply.nError != 0 && nNamelessError == 0) {
                    nNamelessError = reply.nError;
                }
                return;
            }
            // Flags and error are not looked at: a departure or an error
            // that names an instance still counts as found.
            const std::u16string strName = Utf8ToUtf16(reply.strName);
            TraceMessage(TRACE_INFO, nullptr, u"MDNS: Printer found: %s", strName);
            const int32_t nCount = PacketCountLocked();
            for (int32_t i = 0; i < nCount; ++i) {
                MulticastDataPacket packet;
                if (ReadPacket(i, packet) && static_cast<const std::u16string&>(packet.strName) == strName) {
                    return;  // known already, from any provider (case counts)
                }
            }
            MulticastDataPacket packet;
            packet.strName = strName;
            packet.strType = strTypeWide;
            AppendPacket(packet);
        };
        std::unique_ptr<CDnsSdOperation> pBrowse;
        const int32_t nError = session.Browse(strType.GetNarrow(), strDomain.GetNarrow(), fnBrowse, pBrowse);
        if (nError != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not browse services. (0x%08X)", Hex(nError));
            SetStatus(nError);
            continue;
        }
        aBrowses.push_back(std::move(pBrowse));
    }
    if (aBrowses.empty()) {
        return;
    }

    // Browse phase: until the first silence, measured from the last reply
    // (the client may also wake without one).
    Clock::time_point tDeadline = Clock::now() + m_timings.browseSilence;
    uint64_t nSeen = 0;
    bool bLost = false;
    while (!IsStopRequested()) {
        int32_t nError = 0;
        const DnsSdWait result = session.Wait(tDeadline, nError);
        if (result == DnsSdWait::TIMEOUT || result == DnsSdWait::STOPPED) {
            break;
        }
        if (result == DnsSdWait::WAIT_FAILED) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: select() error occured. (0x%08X)", Hex(nError));
            SetStatus(nError);
            break;
        }
        if (result != DnsSdWait::READY || nNamelessError != 0) {
            const int32_t nCode = result != DnsSdWait::READY ? ErrorCode(nError) : nNamelessError;
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not process result. (0x%08X)", Hex(nCode));
            SetStatus(nCode);
            bLost = result == DnsSdWait::LOST;
            break;
        }
        if (nReplies != nSeen) {
            nSeen = nReplies;
            tDeadline = Clock::now() + m_timings.browseSilence;
        }
    }
    aBrowses.clear();
    // A daemon that went away answers no resolve: the pass ends here.
    if (!bLost && !IsStopRequested()) {
        ResolvePhase(session, aTypes);
    }
}

// Processing keeps the order of the list, one packet after the other; only
// the waits overlap: the resolves of the packets that follow are already
// under way, and each address query starts the moment its resolve answers.
void CMDNSResponderClient::ResolvePhase(CDnsSdSession& session, const std::vector<std::u16string>& aTypes) {
    // Only this pass changes packets while it holds the lock, and none is
    // ever removed: the packets to resolve can be listed up front.
    std::vector<std::unique_ptr<CPending>> aAll;
    const int32_t nCount = PacketCountLocked();
    for (int32_t j = 0; j < nCount; ++j) {
        MulticastDataPacket packet;
        if (!ReadPacket(j, packet) || !packet.strIpAddress.empty()) {
            continue;
        }
        auto pPending = std::make_unique<CPending>();
        pPending->nIndex = j;
        pPending->strName = packet.strName;
        // Under the type whose browse found it, when that type is in this pass.
        const bool bOwnType = std::find(aTypes.begin(), aTypes.end(),
                                        static_cast<const std::u16string&>(packet.strType)) != aTypes.end();
        pPending->strType = bOwnType ? static_cast<const std::u16string&>(packet.strType) : aTypes.front();
        aAll.push_back(std::move(pPending));
    }

    std::vector<CPending*> aInFlight;  // started and not yet processed, in list order
    size_t nNext = 0;
    for (size_t nHead = 0; nHead < aAll.size() && !IsStopRequested(); ++nHead) {
        for (; nNext < aAll.size() && nNext <= nHead + MDNS_RESOLVES_AHEAD; ++nNext) {
            StartResolve(session, *aAll[nNext]);
            aInFlight.push_back(aAll[nNext].get());
        }
        CPending& head = *aAll[nHead];
        const bool bGoOn = CompleteOldest(session, head, aInFlight);
        head.pQuery.reset();
        head.pResolve.reset();
        aInFlight.erase(aInFlight.begin());
        if (!bGoOn) {
            break;
        }
    }
    // Whatever is still in flight ends with aAll.
}

void CMDNSResponderClient::StartResolve(CDnsSdSession& session, CPending& pending) {
    CConvString strInstance(pending.strName);
    CConvString strDomain(m_strDomain);
    pending.tResolveDeadline = Clock::now() + m_timings.resolveBound;
    CPending* pPending = &pending;
    auto fnResolve = [pPending](const DnsSdResolveReply& reply) {
        // The first reply only, and only within its own bound.
        if (!pPending->bResolved && Clock::now() <= pPending->tResolveDeadline) {
            pPending->bResolved = true;
            pPending->reply = reply;
        }
    };
    pending.nStartError = session.Resolve(strInstance.GetNarrow(), pending.strType.GetNarrow(),
                                          strDomain.GetNarrow(), fnResolve, pending.pResolve);
}

void CMDNSResponderClient::StartQuery(CDnsSdSession& session, CPending& pending) {
    pending.bQueryStarted = true;
    pending.tQueryDeadline = Clock::now() + m_timings.addressBound;
    CPending* pPending = &pending;
    auto fnRecord = [pPending](const DnsSdRecordReply& answer) {
        if (!pPending->bAnswered && Clock::now() <= pPending->tQueryDeadline) {
            pPending->bAnswered = true;
            pPending->answer = answer;
        }
    };
    pending.nQueryStartError = session.QueryRecord(pending.reply.strHostTarget.c_str(), DNS_TYPE_A,
                                                   DNS_CLASS_IN, fnRecord, pending.pQuery);
}

bool CMDNSResponderClient::WaitOnceStartingQueries(CDnsSdSession& session, Clock::time_point tDeadline,
                                                   std::vector<CPending*>& aInFlight) {
    if (IsStopRequested()) {
        return false;
    }
    int32_t nError = 0;
    switch (session.Wait(tDeadline, nError)) {
        case DnsSdWait::READY:
        case DnsSdWait::TIMEOUT:
            break;
        case DnsSdWait::STOPPED:
            return false;
        case DnsSdWait::WAIT_FAILED:
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: select() error occured. (0x%08X)", Hex(nError));
            SetStatus(nError);
            return false;
        case DnsSdWait::PROCESS_FAILED:
        case DnsSdWait::LOST:
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not process result. (0x%08X)",
                         Hex(ErrorCode(nError)));
            SetStatus(ErrorCode(nError));
            return false;
    }
    for (CPending* pPending : aInFlight) {
        if (pPending->bResolved && pPending->reply.nError == 0 && !pPending->bQueryStarted) {
            StartQuery(session, *pPending);
        }
    }
    return !IsStopRequested();
}

bool CMDNSResponderClient::CompleteOldest(CDnsSdSession& session, CPending& head,
                                          std::vector<CPending*>& aInFlight) {
    const std::u16string& strName = head.strName;
    if (head.nStartError != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not resolve shortname '%s'. (0x%08X)", strName,
                     Hex(head.nStartError));
        SetStatus(head.nStartError);
        return true;
    }
    // Bounded: an instance that has gone costs this much, not the search.
    while (!head.bResolved) {
        if (Clock::now() >= head.tResolveDeadline) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: No reply resolving '%s' within %d ms.", strName,
                         static_cast<int>(m_timings.resolveBound.count()));
            return true;
        }
        if (!WaitOnceStartingQueries(session, head.tResolveDeadline, aInFlight)) {
            return false;
        }
    }
    if (head.reply.nError != 0) {
        // The client gave up on it (e.g. the instance said goodbye): this
        // printer only, the others go on. The reply names nothing to trace
        // as resolving.
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not resolve shortname '%s'. (0x%08X)", strName,
                     Hex(head.reply.nError));
        return true;
    }

    TraceMessage(TRACE_INFO, nullptr, u"MDNS: Resolving ip-address and admin-url for %s.",
                 Utf8ToUtf16(head.reply.strFullName));
    const std::vector<DnsSdTxtItem> aItems = ReadTxtItems(head.reply.strTxt);
    const std::u16string strUrl = MdnsAdminUrl(aItems, head.reply.strHostTarget);
    const std::u16string strModel = MdnsModel(aItems);
    UpdatePacket(head.nIndex, [&strUrl, &strModel](MulticastDataPacket& packet) {
        packet.strUrl = strUrl;
        packet.strModel = strModel;
    });

    if (!head.bQueryStarted) {
        StartQuery(session, head);
    }
    if (head.nQueryStartError != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not query ip-address of '%s'. (0x%08X)", strName,
                     Hex(head.nQueryStartError));
        return true;
    }
    // Bounded: a host without an IPv4 address never answers.
    while (!head.bAnswered) {
        if (Clock::now() >= head.tQueryDeadline) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: No ip-address for '%s' within %d ms.", strName,
                         static_cast<int>(m_timings.addressBound.count()));
            return true;
        }
        if (!WaitOnceStartingQueries(session, head.tQueryDeadline, aInFlight)) {
            return false;
        }
    }
    if (head.answer.nError != 0) {
        // An error is no address: the packet stays incomplete, never shown
        // with an empty address.
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not query ip-address of '%s'. (0x%08X)", strName,
                     Hex(ErrorCode(head.answer.nError)));
        return true;
    }
    const std::u16string strAddress = MdnsAddressText(head.answer.strData);
    UpdatePacket(head.nIndex, [&strAddress](MulticastDataPacket& packet) {
        packet.strIpAddress = strAddress;
        packet.bComplete = 1;
    });
    TraceMessage(TRACE_INFO, nullptr, u"MDNS: Resolved ip-address '%s'", strAddress);
    return true;
}
