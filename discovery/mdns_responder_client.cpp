#include "mdns_responder_client.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "conv_string.h"
#include "trace_log.h"

namespace {

constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_CLASS_IN = 1;
// The library's "unknown" error, for a failure that comes without a code.
constexpr int32_t DNSSD_ERROR_UNKNOWN = -65537;

using Clock = std::chrono::steady_clock;

bool IsAdminUrlKey(const std::string& strKey) {
    static constexpr std::string_view KEY = "adminurl";
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
    return nError != 0 ? nError : DNSSD_ERROR_UNKNOWN;
}

uint32_t Hex(int32_t nCode) {
    return static_cast<uint32_t>(nCode);
}

}  // namespace

std::u16string MdnsAdminUrl(const std::vector<DnsSdTxtItem>& aItems, std::string_view strHostTarget) {
    std::u16string strUrl;
    for (const DnsSdTxtItem& item : aItems) {
        if (IsAdminUrlKey(item.strKey)) {
            strUrl = Utf8ToUtf16(item.strValue);  // a later item wins
        }
    }
    if (strUrl.empty()) {
        strUrl = u"http://" + Utf8ToUtf16(strHostTarget);
    }
    RemoveDotLocal(strUrl);
    // Only a dot that ends the text goes, and it is looked at before the
    // trimming: "http://host. " keeps its dot.
    if (!strUrl.empty() && strUrl.back() == u'.') {
        strUrl.pop_back();
    }
    TrimRight(strUrl);
    TrimLeft(strUrl);
    return strUrl;
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

// Waits until hFd is readable, the deadline passes or a stop is requested.
CMDNSResponderClient::WaitResult CMDNSResponderClient::WaitReadable(int hFd, Clock::time_point tDeadline,
                                                                    int& nError) const {
    const int hStop = GetStopFd();
    for (;;) {
        if (IsStopRequested()) {
            return WaitResult::STOPPED;
        }
        const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(tDeadline - Clock::now()).count();
        if (nLeft <= 0) {
            return WaitResult::TIMEOUT;
        }
        pollfd aFds[2] = {{hFd, POLLIN, 0}, {hStop, POLLIN, 0}};
        // Without a stop descriptor, look at the stop flag every 50 ms.
        const int nTimeout = hStop >= 0 ? static_cast<int>(std::min<long long>(nLeft, 60000))
                                        : static_cast<int>(std::min<long long>(nLeft, 50));
        const int nReady = poll(aFds, hStop >= 0 ? 2 : 1, nTimeout);
        if (nReady < 0) {
            if (errno == EINTR) {
                continue;
            }
            nError = errno;
            return WaitResult::FAILED;
        }
        if (hStop >= 0 && (aFds[1].revents & POLLIN) != 0) {
            return WaitResult::STOPPED;
        }
        if ((aFds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            return WaitResult::READY;
        }
        if ((aFds[0].revents & POLLNVAL) != 0) {
            nError = EBADF;
            return WaitResult::FAILED;
        }
    }
}

void CMDNSResponderClient::Search() {
    for (const std::u16string& strNameToQuery : m_aNamesToQuery) {
        if (IsStopRequested()) {
            break;
        }
        LockPackets();
        CConvString strType(strNameToQuery);
        CConvString strDomain(m_strDomain);
        TraceMessage(TRACE_INFO, nullptr, u"MDNS: NameToQuery='%s'", strType);

        // Browse replies arrive inside ProcessResult on this thread.
        uint64_t nReplies = 0;
        int32_t nReplyError = 0;
        auto fnBrowse = [this, &nReplies, &nReplyError, &strNameToQuery](const DnsSdBrowseReply& reply) {
            ++nReplies;
            if (reply.nError != 0) {
                nReplyError = reply.nError;  // e.g. the daemon went away: no instance in it
                return;
            }
            if (!reply.bHasName) {
                return;
            }
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
            packet.strType = strNameToQuery;
            AppendPacket(packet);
        };

        std::unique_ptr<CDnsSdOperation> pBrowse;
        const int32_t nError =
            m_pClient->Browse(strType.GetNarrow(), strDomain.GetNarrow(), fnBrowse, pBrowse);
        if (nError != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not browse services. (0x%08X)", Hex(nError));
            SetStatus(nError);
            UnlockPackets();
            continue;
        }

        // Browse phase: until the first silence, measured from the last reply
        // (the descriptor also wakes without one).
        Clock::time_point tDeadline = Clock::now() + m_timings.browseSilence;
        uint64_t nSeen = 0;
        for (;;) {
            int nWaitError = 0;
            const WaitResult result = WaitReadable(pBrowse->GetFd(), tDeadline, nWaitError);
            if (result == WaitResult::STOPPED || result == WaitResult::TIMEOUT) {
                break;
            }
            if (result == WaitResult::FAILED) {
                TraceMessage(TRACE_ERROR, nullptr, u"MDNS: select() error occured. (0x%08X)",
                             Hex(nWaitError));
                SetStatus(nWaitError);
                break;
            }
            const int32_t nProcess = pBrowse->ProcessResult();
            if (nProcess != 0 || nReplyError != 0) {
                const int32_t nCode = nProcess != 0 ? nProcess : nReplyError;
                TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not process result. (0x%08X)", Hex(nCode));
                SetStatus(nCode);
                break;
            }
            if (nReplies != nSeen) {
                nSeen = nReplies;
                tDeadline = Clock::now() + m_timings.browseSilence;
            }
        }
        pBrowse.reset();

        // Resolve phase: every packet still without an address, whichever
        // pass or provider made it.
        const int32_t nCount = IsStopRequested() ? 0 : PacketCountLocked();
        for (int32_t j = 0; j < nCount; ++j) {
            if (IsStopRequested()) {
                break;
            }
            MulticastDataPacket packet;
            if (!ReadPacket(j, packet) || !packet.strIpAddress.empty()) {
                continue;
            }
            if (!ResolveOne(j, packet.strName, strType.GetNarrow())) {
                break;
            }
        }
        UnlockPackets();
    }
}

bool CMDNSResponderClient::ResolveOne(int32_t nIndex, const std::u16string& strName, const char* pszType) {
    CConvString strInstance(strName);
    CConvString strDomain(m_strDomain);
    bool bReplied = false;
    DnsSdResolveReply reply;
    auto fnResolve = [&bReplied, &reply](const DnsSdResolveReply& r) {
        if (!bReplied) {  // only the first reply counts
            bReplied = true;
            reply = r;
        }
    };
    std::unique_ptr<CDnsSdOperation> pResolve;
    const int32_t nError =
        m_pClient->Resolve(strInstance.GetNarrow(), pszType, strDomain.GetNarrow(), fnResolve, pResolve);
    if (nError != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not resolve shortname '%s'. (0x%08X)", strName,
                     Hex(nError));
        SetStatus(nError);
        return true;
    }

    // Bounded: an instance that has gone costs this much, not the search.
    const Clock::time_point tDeadline = Clock::now() + m_timings.resolveBound;
    while (!bReplied) {
        int nWaitError = 0;
        switch (WaitReadable(pResolve->GetFd(), tDeadline, nWaitError)) {
            case WaitResult::STOPPED:
                return false;
            case WaitResult::TIMEOUT:
                TraceMessage(TRACE_ERROR, nullptr, u"MDNS: No reply resolving '%s' within %d ms.", strName,
                             static_cast<int>(m_timings.resolveBound.count()));
                return true;
            case WaitResult::FAILED:
                TraceMessage(TRACE_ERROR, nullptr, u"MDNS: select() error occured. (0x%08X)",
                             Hex(nWaitError));
                SetStatus(nWaitError);
                return false;
            case WaitResult::READY:
                break;
        }
        const int32_t nProcess = pResolve->ProcessResult();
        if (nProcess != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not process result. (0x%08X)", Hex(nProcess));
            SetStatus(nProcess);
            return false;
        }
    }
    if (reply.nError != 0) {
        // The library gave up on it (e.g. the instance said goodbye): this
        // printer only, the others go on.
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not resolve shortname '%s'. (0x%08X)", strName,
                     Hex(reply.nError));
        return true;
    }

    TraceMessage(TRACE_INFO, nullptr, u"MDNS: Resolving ip-address and admin-url for %s.",
                 Utf8ToUtf16(reply.strFullName));
    const std::u16string strUrl = MdnsAdminUrl(ReadTxtItems(reply.strTxt), reply.strHostTarget);
    UpdatePacket(nIndex, [&strUrl](MulticastDataPacket& packet) { packet.strUrl = strUrl; });
    QueryAddress(nIndex, strName, reply.strHostTarget);
    return !IsStopRequested();
}

void CMDNSResponderClient::QueryAddress(int32_t nIndex, const std::u16string& strName,
                                        const std::string& strHost) {
    bool bAnswered = false;
    DnsSdRecordReply answer;
    auto fnRecord = [&bAnswered, &answer](const DnsSdRecordReply& r) {
        if (!bAnswered) {  // the first answer only
            bAnswered = true;
            answer = r;
        }
    };
    std::unique_ptr<CDnsSdOperation> pQuery;
    const int32_t nError =
        m_pClient->QueryRecord(strHost.c_str(), DNS_TYPE_A, DNS_CLASS_IN, fnRecord, pQuery);
    if (nError != 0) {
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not query ip-address of '%s'. (0x%08X)", strName,
                     Hex(nError));
        return;
    }

    // Bounded: a host without an IPv4 address never answers.
    const Clock::time_point tDeadline = Clock::now() + m_timings.addressBound;
    while (!bAnswered) {
        int nWaitError = 0;
        switch (WaitReadable(pQuery->GetFd(), tDeadline, nWaitError)) {
            case WaitResult::STOPPED:
                return;
            case WaitResult::TIMEOUT:
                TraceMessage(TRACE_ERROR, nullptr, u"MDNS: No ip-address for '%s' within %d ms.", strName,
                             static_cast<int>(m_timings.addressBound.count()));
                return;
            case WaitResult::FAILED:
                TraceMessage(TRACE_ERROR, nullptr, u"MDNS: select() error occured. (0x%08X)",
                             Hex(nWaitError));
                return;
            case WaitResult::READY:
                break;
        }
        const int32_t nProcess = pQuery->ProcessResult();
        if (nProcess != 0) {
            TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not process result. (0x%08X)", Hex(nProcess));
            return;
        }
    }
    if (answer.nError != 0) {
        // An error is no address: the packet stays incomplete, never shown
        // with an empty address.
        TraceMessage(TRACE_ERROR, nullptr, u"MDNS: Could not query ip-address of '%s'. (0x%08X)", strName,
                     Hex(ErrorCode(answer.nError)));
        return;
    }
    const std::u16string strAddress = MdnsAddressText(answer.strData);
    UpdatePacket(nIndex, [&strAddress](MulticastDataPacket& packet) {
        packet.strIpAddress = strAddress;
        packet.bComplete = 1;
    });
    TraceMessage(TRACE_INFO, nullptr, u"MDNS: Resolved ip-address '%s'", strAddress);
}
