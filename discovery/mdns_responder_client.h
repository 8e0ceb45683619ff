// The discovery provider for printers that announce themselves by DNS-SD
// over multicast DNS: browse each service type, then resolve every instance
// still without an address (host and TXT record, then the host's A record).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dnssd_client.h"
#include "multicast_data_provider.h"

// The waits of one pass.
struct MdnsTimings {
    // The browse phase ends after this long without a reply.
    std::chrono::milliseconds browseSilence{4000};
    // Bound of one resolve, and of the address query that follows it. A
    // printer that was switched off, or a host without an IPv4 address,
    // costs no more than this.
    std::chrono::milliseconds resolveBound{3000};
    std::chrono::milliseconds addressBound{3000};
};

class CMDNSResponderClient : public CMulticastDataProvider {
public:
    // The window's provider: the system's dns_sd library, the usual waits.
    explicit CMDNSResponderClient(std::vector<std::u16string> aNamesToQuery);
    CMDNSResponderClient(std::vector<std::u16string> aNamesToQuery, std::unique_ptr<CDnsSdClient> pClient,
                         MdnsTimings timings);
    ~CMDNSResponderClient() override;

    // Asks the DNS-SD service once; the answer holds for the life of the
    // provider.
    int32_t IsAvailable() override;

protected:
    void Search() override;

private:
    enum class WaitResult { READY, TIMEOUT, STOPPED, FAILED };
    WaitResult WaitReadable(int hFd, std::chrono::steady_clock::time_point tDeadline, int& nError) const;

    void BrowsePhase(CDnsSdOperation& browse);
    // False when the resolve phase must end.
    bool ResolveOne(int32_t nIndex, const std::u16string& strName, const char* pszType);
    void QueryAddress(int32_t nIndex, const std::u16string& strName, const std::string& strHost);

    int32_t m_nAvailable = -1;
    std::unique_ptr<CDnsSdClient> m_pClient;
    const MdnsTimings m_timings;
};

// The administration URL of a resolved instance: the value of its last
// "adminurl" TXT item (any letter case), else "http://" and the host target;
// then without ".local", without one trailing dot, trimmed.
std::u16string MdnsAdminUrl(const std::vector<DnsSdTxtItem>& aItems, std::string_view strHostTarget);

// Dotted-decimal text of an A record's data; empty unless exactly 4 bytes.
std::u16string MdnsAddressText(std::string_view strData);
