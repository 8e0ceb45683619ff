// hvl-scan's live scan: every method searches on a thread of its own and
// hands each finding over the moment it answers; the printer registry keeps
// one row per printer. The window never uses it: its scan is
// CPrinterScan's.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scan_row.h"

struct LiveScanSettings {
    // The kinds of the methods switched on (DiscoveryMethod::nKind).
    std::vector<int32_t> aKinds;
    bool Uses(int32_t nKind) const { return std::find(aKinds.begin(), aKinds.end(), nKind) != aKinds.end(); }
    bool bIpp = false;  // mDNS also browses _ipp._tcp and _ipps._tcp
    // Each resolve, from its own start; also how long browses may stay silent
    // before their AllForNow when the daemon stops answering.
    std::chrono::milliseconds resolveBound{2000};
    // Resolves in flight: this many at the start (every instance seen is
    // resolved at once, as the daemon answers many in one packet), then a
    // quarter less for each refusal and one more for each answer, within the
    // two bounds (avahi-daemon takes 1024 objects of a client by default).
    size_t nMaxResolves = 900;
    size_t nFewestResolves = 16;
    size_t nMostResolves = 900;
    // After every browse's AllForNow, instances still arriving keep the
    // browses open until none came for this long.
    std::chrono::milliseconds browseQuiet{250};
    // mDNS also asks the link itself by one-shot queries: hvl-scan's
    // default (--no-mdns-direct: only avahi-daemon's browses); off here so
    // that tests with a scripted daemon send nothing.
    bool bMdnsDirect = false;
    unsigned nUpnpMx = 1;  // seconds a device may wait before answering (UDA: 1 to 5)
    // UPnP is done this long after its search when nothing is pending (the
    // MX window: every device has answered by then, and an answer makes a
    // description fetch that is pending), and at the latest at the second.
    std::chrono::milliseconds upnpQuietAfter{1000};
    std::chrono::milliseconds upnpHardEnd{1500};
    // WSD listens this long after its last Probe; resolves and metadata
    // requests then have their own bounds.
    std::chrono::milliseconds wsdListenFor{550};
    // SNMP (off unless asked: it sends to every host of a subnet).
    std::vector<std::string> aSnmpCommunities{"public"};
    std::vector<uint32_t> aSnmpAddresses;  // asked unicast instead of broadcast (host byte order)
    // --domain: the unicast DNS domains browsed ("auto": those the network
    // names); each domain that fails, as a line for a person, from the
    // browse's thread.
    std::vector<std::string> aDomains;
    std::function<void(const std::string&)> fnDomainProblem;
    // hvl-scan --watch: the methods run until stopped. mDNS keeps its
    // browses and each listed printer's resolve open and tells removals;
    // UPnP, WSD, SNMP and the domains search again every watchInterval.
    bool bWatch = false;
    std::chrono::milliseconds watchInterval{10000};
};

// How the watch asks a method's rows whether they are there when a TCP
// connect to the service port cannot tell (an SNMP agent): a datagram to
// nPort, and whether a reply answers it. A method's entry in the list of
// methods gives it.
struct LivenessDatagram {
    uint16_t nPort = 0;
    std::string (*pfnRequest)(const ScanRow& row) = nullptr;  // empty: cannot ask
    bool (*pfnAnswers)(std::string_view reply) = nullptr;
};

// Why a watched printer is reported gone.
enum class LiveRemoveReason {
    GOODBYE,    // it said so: mDNS goodbye, ssdp:byebye, WSD Bye
    EXPIRED,    // its record's TTL or max-age passed
    NO_ANSWER,  // (no longer told: a printer that stops answering is unreachable)
    FORGOTTEN,  // unreachable for --forget-after
};

// A finding: what one method found of one printer, under the method's own
// key for it (mDNS "type\ninstance", the WSD endpoint, the UPnP UDN, the
// SNMP address, the unicast instance). 0 is no finding.
using FindingHandle = uint64_t;
struct FindingKey {
    int32_t nKind = -1;  // its method's DiscoveryMethod::nKind
    std::u16string strKey;
    // The method tells when the printer leaves (a goodbye, an expiry): a
    // forgotten row of it waits for its next sign of life rather than go.
    bool bAnnounced = false;
};

// Where the methods hand their findings in. Callable from any thread.
class CLiveRowSink {
public:
    virtual ~CLiveRowSink() = default;
    // The finding's row as the method sees it now; the same key again is the
    // same finding (its handle), and what it says replaces what it said,
    // addresses included. 0 when refused (no address).
    virtual FindingHandle Report(const FindingKey& key, ScanRow row) = 0;
    // The finding's addresses now (its resolver's current answer): replaced,
    // never accumulated.
    virtual void SetAddresses(FindingHandle hFinding, std::vector<std::u16string> aAddresses) = 0;
    // Under watch: a sign of life of the finding (ssdp:alive), no change.
    virtual void Heard(FindingHandle /*hFinding*/) {}
    // Under watch: the finding ended (goodbye, expiry); its row leaves when
    // it was its last finding, else changes. A later Report lists it anew.
    virtual void Withdraw(FindingHandle /*hFinding*/, LiveRemoveReason /*reason*/) {}
    // Under watch only: the method's daemon stopped answering (bLost) or is
    // back. Its printers stay listed meanwhile; once back the method reports
    // again what it sees (the same keys: no event).
    virtual void DaemonLost(const std::u16string& /*strSource*/, bool /*bLost*/) {}
    // Under watch only: the method's first search ran (after it could not
    // start before, this says it works now).
    virtual void Started(const std::u16string& /*strSource*/) {}
    // Under watch only: one of the method's searches (UPnP, WS-Discovery,
    // SNMP, the domains) took that long.
    virtual void SearchDone(const std::u16string& /*strSource*/,
                            std::chrono::steady_clock::duration /*took*/) {}
};

// One discovery method of the live scan.
class CLiveSource {
public:
    virtual ~CLiveSource() = default;
    // Its method's DiscoveryMethod::strName, as messages name it.
    virtual std::u16string GetName() const = 0;
    // Searches, on a thread of the scan's, until done or stopped. 0, or why
    // the method cannot work here (then it has listed nothing); a check that
    // takes time runs beside the search, never ahead of it.
    virtual int32_t Run(CLiveRowSink& sink) = 0;
    // From another thread: Run returns soon after (within 100 ms).
    virtual void Stop() = 0;
    // Whether Run may be called again after it returned a code, so that
    // under watch a method that could not start is tried again.
    virtual bool CanRunAgain() const { return false; }
    // Once Run has returned: the instances its mDNS browses reported.
    virtual size_t GetMdnsInstances() const { return 0; }
};

using LiveSourceArray = std::vector<std::unique_ptr<CLiveSource>>;

struct LiveRunResult {
    int32_t nEnabled = 0;                      // methods asked for
    int32_t nAvailable = 0;                    // of those, the ones that could work here
    std::vector<std::u16string> aUnavailable;  // names of those that could not
    bool bStopped = false;                     // the stop request or the deadline ended it
    size_t nMdnsInstances = 0;                 // the instances mDNS browses reported
};

// Runs every source at once, each on a thread of its own handing its rows to
// sink, until all are done, tDeadline passes or fnStopAsked (polled every
// 20 ms) says so. fnUnavailable is called for each source that cannot work
// here, as soon as that is known; fnTick (may be null) every 20 ms on the
// calling thread meanwhile. With retryEvery, a source that cannot work and
// CanRunAgain is run again that often (fnUnavailable once), until no source
// runs at all; then the run ends.
LiveRunResult RunLiveSources(const LiveSourceArray& aSources, CLiveRowSink& sink,
                             std::chrono::steady_clock::time_point tDeadline,
                             const std::function<bool()>& fnStopAsked,
                             const std::function<void(const std::u16string&)>& fnUnavailable,
                             const std::function<void()>& fnTick = nullptr,
                             std::chrono::milliseconds retryEvery = {});
