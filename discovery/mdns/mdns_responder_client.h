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

// Separates the service types of one entry of the names to query: the
// types of an entry are browsed together, in one pass with one closing
// silence (e.g. u"_ipp._tcp,_ipps._tcp").
constexpr char16_t MDNS_TYPE_SEPARATOR = u',';

// Resolves started ahead of the one whose reply is being processed.
constexpr size_t MDNS_RESOLVES_AHEAD = 16;

// The waits of one pass.
struct MdnsTimings {
    // The browse phase ends after this long without a reply.
    std::chrono::milliseconds browseSilence{4000};
    // Bound of one resolve, and of the address query that follows it, each
    // from its own start. Resolves overlap, so printers that were switched
    // off, or hosts without an IPv4 address, cost about one bound per pass
    // however many there are.
    std::chrono::milliseconds resolveBound{3000};
    std::chrono::milliseconds addressBound{3000};
};

class CMDNSResponderClient : public CMulticastDataProvider {
public:
    // The window's provider: the build's DNS-SD client, the usual waits.
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
    struct CPending;
    // One pass over the types of one entry, under the packet lock.
    void Pass(CDnsSdSession& session, const std::vector<std::u16string>& aTypes);
    void ResolvePhase(CDnsSdSession& session, const std::vector<std::u16string>& aTypes);
    void StartResolve(CDnsSdSession& session, CPending& pending);
    void StartQuery(CDnsSdSession& session, CPending& pending);
    // Waits (each step bounded) for the oldest resolve in flight and then its
    // address query, filling in its packet. False when the resolve phase
    // must end (a stop or a failure).
    bool CompleteOldest(CDnsSdSession& session, CPending& head, std::vector<CPending*>& aInFlight);
    // One wait for replies; starts the address query of each resolve that
    // has just been answered. False when the resolve phase must end.
    bool WaitOnceStartingQueries(CDnsSdSession& session, std::chrono::steady_clock::time_point tDeadline,
                                 std::vector<CPending*>& aInFlight);

    int32_t m_nAvailable = -1;
    std::unique_ptr<CDnsSdClient> m_pClient;
    const MdnsTimings m_timings;
};

// The administration URL of a resolved instance: the value of its last
// "adminurl" TXT item (any letter case), else "http://" and the host target;
// trimmed, and without a dot that ends its host name (".local" stays, so the
// system resolver finds the host through nss-mdns).
std::u16string MdnsAdminUrl(const std::vector<DnsSdTxtItem>& aItems, std::string_view strHostTarget);

// The make and model a resolved instance states: the value of its first "ty"
// TXT item (any letter case), else that of "product" without the
// parentheses around it; control characters as spaces, trimmed.
std::u16string MdnsModel(const std::vector<DnsSdTxtItem>& aItems);

// Where the printer stands: the first "note" TXT item, cleaned as the model.
std::u16string MdnsLocation(const std::vector<DnsSdTxtItem>& aItems);

// The service types of one entry of the names to query, in order, empty
// ones left out.
std::vector<std::u16string> MdnsTypesOf(const std::u16string& strEntry);

// Dotted-decimal text of an A record's data; empty unless exactly 4 bytes.
std::u16string MdnsAddressText(std::string_view strData);
