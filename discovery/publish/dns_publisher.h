// hvl-scan --publish: makes what a DNS domain holds for the printer types
// equal to a record set, by RFC 2136 updates signed with TSIG (ldns). Every
// exchange is bounded; failures come back as one line saying why.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "publish_key.h"
#include "publish_records.h"

struct PublishTarget {
    std::string strDomain;        // text, e.g. "floor3.printers.example.com"
    std::string strServer;        // "ADDRESS[:PORT]"; empty: the primary named in the zone's SOA
    std::string strBrowseParent;  // where b/lb._dns-sd._udp go; empty: DOMAIN's parent
    TsigKey key;
    std::chrono::milliseconds bound{2000};  // each exchange (a query, an UPDATE)
};

struct PublishResult {
    bool bOk = false;
    std::string strWhy;     // one line when not bOk
    bool bRefused = false;  // the server answered with a refusal: trying again at once changes nothing
    size_t nAdded = 0;
    size_t nDeleted = 0;
    size_t nMessages = 0;  // UPDATE messages sent
    std::string strServer;
};

class CDnsPublisher {
public:
    explicit CDnsPublisher(PublishTarget target);
    ~CDnsPublisher();
    CDnsPublisher(const CDnsPublisher&) = delete;
    CDnsPublisher& operator=(const CDnsPublisher&) = delete;

    // Reads what DOMAIN holds under the printer types (per name: PTRs, the
    // instances they name, the hosts those name), and sends what makes it
    // equal to aWanted (records under DOMAIN only), in batches. The browse
    // PTRs are added once. fnStop is asked between exchanges. Without
    // bDeleteUnseen it only adds and replaces (what another publisher wrote
    // stays until this one has heard the link long enough to judge).
    PublishResult Reconcile(const std::vector<DnsRecord>& aWanted, const std::function<bool()>& fnStop,
                            bool bDeleteUnseen = true);

    // --diagnose: the server, and whether it accepts the key (a signed query
    // of DOMAIN's SOA; nothing changes).
    PublishResult CheckKey();

    const std::string& GetWireDomain() const { return m_strWireDomain; }

    struct Connection;

private:
    bool Connect(PublishResult& result);
    bool ReadHeld(const std::vector<DnsRecord>& aWanted, const std::function<bool()>& fnStop,
                  std::vector<DnsRecord>& aHeld, std::string& strWhy);
    bool AddBrowseOnce(const std::function<bool()>& fnStop, PublishResult& result);

    PublishTarget m_target;
    std::string m_strWireDomain;
    std::unique_ptr<Connection> m_pConnection;
    bool m_bBrowseAdded = false;
};

// "DOMAIN's parent": the name without its first label.
std::string ParentDomain(const std::string& strDomain);
// Where the browse PTRs go: --publish-browse-in, else DOMAIN's parent.
std::string BrowseParent(const PublishTarget& target);

// The browse PTRs' TTL: they change only when a link is added.
constexpr uint32_t BROWSE_TTL = 3600;
