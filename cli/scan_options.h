// hvl-scan's command line, read with GLib's GOptionContext: one table of
// options, --help and the error texts as GLib makes them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "row_filter.h"

struct ScanOptions {
    bool bJson = false;
    bool bCsv = false;
    bool bIpp = false;
    bool bDiagnose = false;
    // The kinds of the methods the command line leaves switched on
    // (DiscoveryMethod::nKind); hvl.cfg may switch the window's two off.
    std::vector<int32_t> aMethodKinds;
    bool Uses(int32_t nKind) const {
        return std::find(aMethodKinds.begin(), aMethodKinds.end(), nKind) != aMethodKinds.end();
    }
    bool bWindowScan = false;       // the window's providers and passes instead of the live engine
    double fTimeoutSeconds = 30.0;  // bounds the whole scan
    // --domain: unicast DNS domains to browse as well; "auto" for those the
    // network suggests.
    std::vector<std::string> aDomains;
    // --watch: run until stopped, telling each printer listed, gone or
    // changed; --timeout then bounds it only when given.
    bool bWatch = false;
    bool bMdnsDirect = true;              // mDNS also by one-shot queries (--no-mdns-direct: off)
    double fWatchIntervalSeconds = 10.0;  // how often each printer is checked
    double fForgetAfterMinutes = 60.0;    // unreachable this long: removed (0: never)
    bool bTimeoutGiven = false;
    bool bStatus = false;                // ask each printer for its state over IPP
    double fStatusTimeoutSeconds = 5.0;  // bounds each printer's answer
    bool bDriverless = false;            // judge each printer's driverless setup (implies bStatus)
    std::string strIdentify;             // --identify: the one address asked, instead of a scan
    CRowFilter filter;                   // the rows shown; bStatus is set when it needs their state
    SortKey nSort = SortKey::None;       // None: the table prints each row as it arrives
    std::vector<std::string> aSnmpCommunities{"public"};
    // --subnet: every host address of them, each once, asked unicast
    // instead of the broadcast (host byte order).
    std::vector<uint32_t> aSnmpAddresses;
    // --serve: with --watch, "ADDRESS:PORT" the HTTP server listens on; empty: none.
    std::string strServe;
    // --serve-config: exporter-toolkit's web configuration file (TLS, users,
    // headers); --serve-host: Host names answered besides the machine's own.
    std::string strServeConfig;
    std::vector<std::string> aServeHosts;
    // --publish: the domain the printers are written into (empty: none),
    // the TSIG key file, the server (empty: the zone's primary), where the
    // browse PTRs go (empty: the domain's parent), the records' TTL.
    std::string strPublishDomain, strPublishKey, strPublishServer, strPublishBrowseIn;
    uint32_t nPublishTtl = 60;
    bool bDryRun = false;     // --publish's records on stdout, nothing sent
    bool bUnpublish = false;  // --unpublish strPublishDomain: delete what this publisher wrote, exit
};

enum class ParseResult {
    RUN,   // scan (or diagnose) with the options
    HELP,  // the help text or the version was asked for; it is in strText
    BAD,   // the arguments are wrong; strText says why, and how to get help
};

// Reads argv. strText gets the help text (HELP) or the error line (BAD).
ParseResult ParseScanOptions(int argc, char** argv, ScanOptions& options, std::string& strText);

// The bash completion of hvl-scan, made from the same table as the parser.
std::string BashCompletionScript();

// A count of seconds from the command line as a duration of the unit asked,
// cut to it (never rounded up).
template <class Duration>
Duration SecondsAs(double fSeconds) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(fSeconds));
}
