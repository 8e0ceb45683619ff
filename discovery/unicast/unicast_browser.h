// DNS-SD over unicast DNS (RFC 6763): finds the printers a DNS server lists
// under a domain, and the browse domains a network suggests. Everything runs
// concurrently on one c-ares channel, every query bounded; a domain that
// fails is reported and never stops the others.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// One printer at one address. The texts follow the rules of the mDNS
// provider's rows.
struct UnicastPrinter {
    std::u16string strName;
    std::u16string strIpAddress;
    std::u16string strUrl;
    std::u16string strModel;
    std::u16string strLocation;  // TXT "note"
    std::u16string strType;      // the service type that listed it
    std::u16string strDomain;    // the domain browsed
    std::u16string strUuid;      // TXT "UUID", as the record writes it; empty without
};

// Something that did not work, for a person: one line about one domain (or
// one parent domain of --domain auto).
struct UnicastProblem {
    std::string strDomain;
    std::string strText;
};

struct UnicastOptions {
    std::vector<std::string> aDomains;  // browsed as given
    std::vector<std::string> aParents;  // their b/lb browse domains browsed too
    bool bParentsFromNetwork = false;   // add search domains and subnets to aParents
    std::vector<std::string> aTypes;    // e.g. "_printer._tcp"
    std::string strServers;             // "" for the resolver configuration
    bool bResolve = true;               // false: count the instances listed, resolve none
    std::chrono::milliseconds queryBound{2000};
    size_t nMaxInFlight = 32;
};

// What became of one parent domain's suggestions.
struct UnicastParentResult {
    std::string strParent;
    std::vector<std::string> aSuggested;  // the browse domains named, in order
    std::string strError;                 // why nothing was named
};

// What became of one browsed domain.
struct UnicastDomainResult {
    std::string strDomain;
    size_t nPrinters = 0;   // instances resolved to at least one address
    size_t nInstances = 0;  // instances listed
    std::string strError;   // why no instance was listed
};

struct UnicastReport {
    std::vector<UnicastParentResult> aParents;
    std::vector<UnicastDomainResult> aDomains;
    bool bStopped = false;
    bool bReachedServer = false;  // false: no query reached a DNS server, nothing was browsed
};

class CUnicastBrowser {
public:
    using PrinterFn = std::function<void(const UnicastPrinter&)>;
    using ProblemFn = std::function<void(const UnicastProblem&)>;

    explicit CUnicastBrowser(UnicastOptions options);

    // The whole browse on the calling thread, callbacks included. Returns
    // when every query is answered or past its bound, or when hStopFd (-1:
    // none) becomes readable.
    UnicastReport Run(int hStopFd, const PrinterFn& fnPrinter, const ProblemFn& fnProblem);

private:
    UnicastOptions m_options;
};

// The search domains of the resolver configuration (/etc/resolv.conf).
std::vector<std::string> ResolverSearchDomains();

// The reverse-mapping names of this host's IPv4 subnets (loopback left
// out), under which a network may name its browse domains.
std::vector<std::string> LocalSubnetReverseNames();
