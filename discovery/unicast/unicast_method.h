// Unicast DNS-SD (hvl-scan --domain) as a method of the live scan: each
// domain browsed through the configured DNS servers, each printer handed to
// the scan's sink as it resolves; under --watch browsed again every interval.
//
// Its entry in the list of methods: kind ROW_KIND_UNICAST_DNSSD, source
// "dns-sd", name "DNS-SD", off unless --domain names a domain (the option
// takes values, it switches nothing), no hint when it cannot run (each domain
// that failed is named as it fails), live source CreateLiveUnicastSource, its
// --diagnose check the search domains' (cli/diagnose.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "live_scan.h"
#include "unicast_browser.h"

// Browses settings.aDomains; it cannot work (Run's code 1) when the browse
// ended without reaching any DNS server (none configured, none reachable).
std::unique_ptr<CLiveSource> CreateLiveUnicastSource(const LiveScanSettings& settings);

// The browse options of --domain values: "auto" asks the network; the window's
// two types, with bIpp the IPP ones too.
UnicastOptions UnicastOptionsFor(const std::vector<std::string>& aDomains, bool bIpp);

// "domain: text" for stderr: names come from the network, so control and
// reordering characters become '?'.
std::string PrintableProblem(const UnicastProblem& problem);
