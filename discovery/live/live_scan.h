// hvl-scan's live scan: every method searches on a thread of its own and
// hands each printer over the moment it answers; one list keeps one row per
// address (the first to arrive wins). The window never uses it: its scan is
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

// Why a watched printer is reported gone.
enum class LiveRemoveReason {
    GOODBYE,    // it said so: mDNS goodbye, ssdp:byebye, WSD Bye
    EXPIRED,    // its record's TTL or max-age passed
    NO_ANSWER,  // the liveness check heard nothing for two intervals
};

// Where the methods hand their rows in. Callable from any thread.
class CLiveRowSink {
public:
    virtual ~CLiveRowSink() = default;
    // Lists the row, or joins it to the listed row of its printer (MatchRow);
    // true when listed or joined. Under watch, a row from the method and type
    // that listed it refreshes it (an event when it changed); one of another
    // type of that method joins it but is false (it does not speak for it).
    virtual bool Emit(ScanRow row) = 0;
    // One more address of the row listed under strRowAddress, of the identity
    // strId when known (printers of several identities may share an address).
    virtual void AddAddress(const std::u16string& strRowAddress, const std::u16string& strAddress,
                            const std::u16string& strId) = 0;
    // Under watch only: the printer listed under strAddress left, as its
    // method (nKind) saw it; no event when another method listed it, a
    // change when another found it too.
    virtual void Remove(const std::u16string& /*strAddress*/, int32_t /*nKind*/,
                        LiveRemoveReason /*reason*/) {}
    // Under watch only: the method's daemon stopped answering (bLost) or is
    // back. Its printers stay listed meanwhile; once back the method lists
    // again what it sees, and Emit of a listed address is no event.
    virtual void DaemonLost(const std::u16string& /*strSource*/, bool /*bLost*/) {}
    // Under watch only: whether a row of the method nKind is listed under
    // strAddress (a watch drops rows that stop answering).
    virtual bool IsListed(const std::u16string& /*strAddress*/, int32_t /*nKind*/) { return true; }
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
