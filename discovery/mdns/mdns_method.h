// DNS-SD over multicast DNS as a discovery method: its descriptor, and its
// live source with a DNS-SD client of the caller's choosing.
#pragma once

#include <memory>

#include "dnssd_client.h"
#include "live_scan.h"
#include "methods.h"

extern const DiscoveryMethod MDNS_METHOD;

// mDNS through the DNS-SD client's BrowseEach and ResolveWithAddress.
std::unique_ptr<CLiveSource> CreateLiveMdnsSource(const LiveScanSettings& settings,
                                                  std::unique_ptr<CDnsSdClient> pClient);
