// hvl-scan --diagnose: why a scan may find nothing, checked without
// scanning. Each check gives one line: "OK ..." or the problem and what to
// do about it.
#pragma once

#include <string>
#include <vector>

#include "methods.h"

struct DiagnoseReport {
    std::vector<DiagnoseLine> aLines;  // in the order the checks ran
    bool bMdnsCanWork = false;
    bool bUpnpCanWork = false;
};

enum class DiagnoseScope {
    EVERYTHING,  // --diagnose: also asks the DNS servers what each search domain names
    LOCAL,       // after a scan: nothing is sent onto the network, so nothing outlasts Ctrl+C
};

// Runs the checks. Each call to the bus or avahi-daemon is bounded by
// DIAGNOSE_BUS_TIMEOUT_MS, each DNS query by the unicast browse's bound;
// hvl.cfg is read from the current directory.
DiagnoseReport RunDiagnose(DiagnoseScope nScope = DiagnoseScope::EVERYTHING);

// The system bus and avahi-daemon on it alone (two lines): whether mDNS can
// reach the daemon.
bool DiagnoseBusAndAvahi(DiagnoseReport& report);

// After a scan that saw nPrinters over mDNS: whether avahi-daemon's record
// cache holds that many (a WARN line when it may not, with the setting to
// raise). Asks the bus only, within DIAGNOSE_BUS_TIMEOUT_MS.
DiagnoseReport DiagnoseAvahiCache(size_t nPrinters);

constexpr int DIAGNOSE_BUS_TIMEOUT_MS = 1000;

struct ScanOptions;
// --diagnose --publish DOMAIN --publish-key FILE: the server for DOMAIN and
// whether it accepts the key (a signed query of DOMAIN's SOA; nothing changes).
DiagnoseLine DiagnosePublish(const ScanOptions& args);
