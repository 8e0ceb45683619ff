// hvl-scan --publish: makes what a DNS domain holds for the printer types
// equal to a record set, by RFC 2136 updates signed with TSIG (ldns). Every
// exchange is bounded; failures come back as one line saying why.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "publish_key.h"
#include "publish_records.h"

struct PublishTarget {
    std::string strDomain;        // text, e.g. "floor3.printers.example.com"
    std::string strServer;        // "ADDRESS[:PORT]"; empty: the primary named in the zone's SOA
    std::string strBrowseParent;  // where b/lb._dns-sd._udp go; empty: DOMAIN's parent; "none": nowhere
    TsigKey key;
    std::chrono::milliseconds bound{2000};  // each exchange (a query, an UPDATE), two tries within it
    std::string strIdentity;  // who writes; empty: this host's name and machine id (else its address)
};

struct PublishResult {
    bool bOk = false;
    std::string strWhy;     // one line when not bOk
    bool bRefused = false;  // the server answered with a refusal: trying again at once changes nothing
    size_t nAdded = 0;
    size_t nDeleted = 0;
    bool bRaced = false;   // another writer changed what the round read: read again
    size_t nMessages = 0;  // UPDATE messages sent
    std::string strServer;
    // Worth one line once, failing nothing: another publisher on DOMAIN, the
    // browse PTRs refused.
    std::vector<std::string> aNotices;
};

// The records wanted, given the names (lower-case wire format) that records
// someone else wrote hold: those a printer must not take.
using WantedRecordsFn = std::function<std::vector<DnsRecord>(const std::set<std::string>& taken)>;

struct PublishChangeGroup;

class CDnsPublisher {
public:
    explicit CDnsPublisher(PublishTarget target);
    ~CDnsPublisher();
    CDnsPublisher(const CDnsPublisher&) = delete;
    CDnsPublisher& operator=(const CDnsPublisher&) = delete;

    // Makes this publisher's records under DOMAIN equal to the wanted ones
    // (under DOMAIN only), in batches, and leaves every other record alone.
    // What it wrote is named by its owner record: a TXT at _hvl-publisher.DOMAIN
    // per publisher, its identity and a hash of each name it created; it is
    // claimed before records are added and trimmed after they are deleted, each
    // change under an RFC 2136 prerequisite on what was read, so a writer in
    // between makes the round read again instead of overwriting. The browse
    // PTRs are added once. fnStop is asked between exchanges. Without
    // bDeleteUnseen it only adds and replaces (what is not seen yet may be late).
    PublishResult Reconcile(const WantedRecordsFn& fnWanted, const std::function<bool()>& fnStop,
                            bool bDeleteUnseen = true);

    // --unpublish: deletes every record this publisher wrote under DOMAIN, its
    // owner record, and the browse PTRs when no other publisher is left.
    PublishResult Unpublish(const std::function<bool()>& fnStop);

    // --diagnose: the server, and whether it accepts the key (a signed query
    // of DOMAIN's SOA; nothing changes).
    PublishResult CheckKey();

    const std::string& GetWireDomain() const { return m_strWireDomain; }

    struct Connection;

private:
    struct Owners;
    struct Known;
    bool Connect(PublishResult& result);
    bool ReadMine(const Owners& owners, const WantedRecordsFn& fnWanted, const std::function<bool()>& fnStop,
                  Known& known, std::vector<DnsRecord>& aWanted, std::string& strWhy);
    bool ReadOwners(Owners& owners, PublishResult& result);
    PublishResult ReconcileOnce(const WantedRecordsFn& fnWanted, const std::function<bool()>& fnStop,
                                bool bDeleteUnseen);
    PublishChangeGroup OwnerChange(const Owners& owners, const std::set<uint32_t>& mine) const;
    void Remember(Owners owners, const std::set<uint32_t>& finalMarks, const std::vector<DnsRecord>& aHeld,
                  const std::vector<DnsRecord>& aWanted, bool bDeleteUnseen, std::unique_ptr<Known> pKnown);
    bool SetOwned(const Owners& owners, const std::set<uint32_t>& mine, const std::function<bool()>& fnStop,
                  PublishResult& result);
    void AddBrowseOnce(const std::function<bool()>& fnStop, PublishResult& result);

    PublishTarget m_target;
    std::string m_strWireDomain;
    std::unique_ptr<Connection> m_pConnection;
    bool m_bBrowseAdded = false;
    std::set<std::string> m_toldPublishers;  // other publishers already named on stderr
    std::unique_ptr<Known> m_pKnown;         // what the last round left; null after a failure
};

// "DOMAIN's parent": the name without its first label.
std::string ParentDomain(const std::string& strDomain);
// Where the browse PTRs go: --publish-browse-in, else DOMAIN's parent.
std::string BrowseParent(const PublishTarget& target);

// The browse PTRs' TTL: they change only when a link is added.
constexpr uint32_t BROWSE_TTL = 3600;
