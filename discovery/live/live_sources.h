// The methods of the live scan (live_mdns.cpp, live_upnp.cpp, live_wsd.cpp).
#pragma once

#include <memory>

#include "dnssd_client.h"
#include "live_scan.h"
#include "wsd_finder.h"

// mDNS through the DNS-SD client's BrowseEach and ResolveWithAddress.
std::unique_ptr<CLiveSource> CreateLiveMdnsSource(const LiveScanSettings& settings,
                                                  std::unique_ptr<CDnsSdClient> pClient);

// UPnP through the device finder, each printer as its description arrives.
std::unique_ptr<CLiveSource> CreateLiveUpnpSource(const LiveScanSettings& settings);

// WS-Discovery through the WSD finder, each printer as its metadata arrives.
std::unique_ptr<CLiveSource> CreateLiveWsdSource(const LiveScanSettings& settings);
// A WSD printer's row: name, model and web address from its metadata, else
// its address.
ScanRow ScanRowFromWsdDevice(const WsdDevice& device);

// SNMP through the finder: broadcast, or the settings' addresses unicast.
std::unique_ptr<CLiveSource> CreateLiveSnmpSource(const LiveScanSettings& settings);

struct SnmpPrinter;
// Name: prtGeneralPrinterName, else sysName, else the model, else the
// address; model: the 1284 device ID's make and model, else hrDeviceDescr;
// location: sysLocation; web address http://<address>/.
ScanRow ScanRowFromSnmp(const SnmpPrinter& printer);
