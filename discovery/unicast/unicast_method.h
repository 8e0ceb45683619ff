// Unicast DNS-SD (hvl-scan --domain) as a method of the live scan: each
// domain browsed through the configured DNS servers, each printer handed to
// the scan's sink as it resolves; under --watch browsed again every interval.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "live_scan.h"
#include "methods.h"
#include "unicast_browser.h"

// On when --domain names a domain (the option takes values, it switches
// nothing); each domain that fails is named as it fails.
extern const DiscoveryMethod DNS_SD_METHOD;

// Browses settings.aDomains; it cannot work (Run's code 1) when the browse
// ended without reaching any DNS server (none configured, none reachable).
std::unique_ptr<CLiveSource> CreateLiveUnicastSource(const LiveScanSettings& settings);

// The browse options of --domain values: "auto" asks the network; the window's
// two types, with bIpp the IPP ones too.
UnicastOptions UnicastOptionsFor(const std::vector<std::string>& aDomains, bool bIpp);

// "domain: text" for stderr: names come from the network, so control and
// reordering characters become '?'.
std::string PrintableProblem(const UnicastProblem& problem);
