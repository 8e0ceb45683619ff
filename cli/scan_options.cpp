#include "scan_options.h"

#include <glib.h>

#include "http_serve.h"
#include "ipp_identify.h"
#include "methods.h"
#include "snmp_finder.h"

#include <cmath>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

namespace {

constexpr char SUMMARY[] =
    "Searches the local network once for printers, by multicast DNS service\n"
    "discovery, by UPnP and by WS-Discovery. The methods switched on in \"hvl.cfg\"\n"
    "in the current directory take part (both when the file is missing; the file\n"
    "is only read, and does not name WS-Discovery).\n"
    "\n"
    "Each printer is a line the moment it answers (address, method, name and web\n"
    "address), then the count. The scan is done when every printer asked has\n"
    "answered or reached its time limit: about a second on most networks.";

constexpr char DESCRIPTION[] =
    "--json prints one JSON array at the end: objects with \"name\", \"ip\", \"url\",\n"
    "\"source\" (\"mdns\", \"upnp\" or \"wsd\"), \"sources\" (every method that found\n"
    "the address, source first), \"type\" (the mDNS service type that found it;\n"
    "null otherwise), \"model\" (make and model; null when the printer says none),\n"
    "\"location\" (where it stands: TXT \"note\", SNMP sysLocation, with --status\n"
    "IPP printer-location; null when unknown), \"addresses\" (every address the\n"
    "printer reported, IPv4 first), \"uuid\" (a WS-Discovery printer's endpoint\n"
    "address, else null) and \"last_seen\" (when it answered, RFC 3339). --csv\n"
    "prints the same as CSV (RFC 4180; no uuid): a header line, one record per\n"
    "printer, the sources and the addresses separated by spaces. A printer\n"
    "several methods find is one row, that of the method which answered first.\n"
    "\n"
    "A printer without an IPv4 address is listed with its IPv6 address (a\n"
    "link-local one with its interface, fe80::1%eth0); its web address keeps the\n"
    "host name.\n"
    "\n"
    "When a scan finds nothing, the checks of --diagnose that did not pass follow\n"
    "on stderr. Ctrl+C stops the scan and keeps what was found.\n"
    "\n"
    "--status asks every printer listed for its state over IPP (Get-Printer-\n"
    "Attributes, nothing else), up to 32 printers at once, each within\n"
    "--status-timeout, all within --timeout: a line is printed once its answer is\n"
    "in or its time is up, with two more columns, the state (idle, printing,\n"
    "stopped, \"no IPP\" when refused or not an IPP server, \"no answer\" when the\n"
    "time passed, \"not asked\" when --timeout came first) and the most\n"
    "severe reason with the lowest supply, e.g. \"idle  toner-low (Black 8%)\".\n"
    "JSON gets a key \"status\" per printer (null without --status): state,\n"
    "accepting, reasons, message, supplies (name, type, color, level, low), make\n"
    "and model, uuid, more_info and uri; CSV the columns state, reasons (joined\n"
    "by ';') and supplies (name=level%, '?' for unknown).\n"
    "\n"
    "--driverless judges each printer by CUPS's own driverless rules (implies\n"
    "--status): \"ready\" with the lpadmin line that sets it up (printed, never\n"
    "run), or \"not ready\" with every reason; JSON key \"driverless\", CSV columns\n"
    "driverless, driverless_kinds, driverless_reasons, driverless_setup.\n"
    "--identify ADDRESS asks one printer to show itself (IPP Identify-Printer).\n"
    "\n"
    "Exit status: 0 when the scan ran, 1 when no switched-on method can work here,\n"
    "2 on bad arguments, 3 with --status when a printer did not answer, is\n"
    "stopped or reports an error (a reason ending in -error, or without a\n"
    "-report or -warning suffix), with --identify when the printer was not asked,\n"
    "4 with --publish (no --watch) when the records could not be written.\n"
    "See hvl-scan(1) for examples.\n"
    "\n"
    "--watch runs until Ctrl+C (or --timeout, when given), a line per change: the\n"
    "local time, then '+' for a printer listed, '-' for one gone with why (goodbye:\n"
    "it said so; expired: its record ran out; forgotten: unreachable for\n"
    "--forget-after minutes) and '=' for one changed with what changed (name, url,\n"
    "model, location, addresses, sources, id, txt, types, state; with --status\n"
    "also reasons, supplies at or below their low mark). Each printer is checked\n"
    "every --watch-interval seconds at each of its addresses by a TCP connection to\n"
    "its service port (a refusal counts as an answer), a printer found over SNMP\n"
    "by an SNMP get; after two intervals without an answer its state is\n"
    "unreachable, and reachable again at its next answer or announcement.\n"
    "Ctrl+C prints the printers listed with the time each was last seen. With\n"
    "--json each event is one JSON object per line (JSON Lines): \"event\" (add,\n"
    "remove, change), \"time\" (RFC 3339), \"reason\", \"changed\" and \"row\" (as\n"
    "--json writes it, with \"first_seen\" and \"last_seen\"). --csv cannot be used\n"
    "with --watch.\n"
    "\n"
    "--domain DOMAIN also browses the printer types in DOMAIN over unicast DNS\n"
    "(DNS-SD, RFC 6763) through the configured DNS servers; \"auto\" takes the\n"
    "domains named under b._dns-sd._udp and lb._dns-sd._udp of each search domain\n"
    "and of the reverse names of this host's IPv4 subnets. Such rows have source\n"
    "\"dns-sd\" and a \"domain\" key (column); every query is bounded by 2 s, and a\n"
    "domain that fails is named on stderr while the others go on.\n"
    "\n"
    "Filters (--name to --reason) show only the printers that match all of them;\n"
    "each may be given more than once, and a list matches any of its items. They\n"
    "apply to the table, JSON and CSV alike; the count then says how many were\n"
    "found and how many shown, and the exit status looks at the shown ones only.\n"
    "\n"
    "--snmp also finds printers over SNMP (v1, v2c), including those that announce\n"
    "nothing: one GetRequest for hrDeviceType.1 goes to the broadcast address of\n"
    "each IPv4 interface that is up, with each community (--snmp-community,\n"
    "default \"public\"); every host of the subnet that runs an SNMP agent answers,\n"
    "and each that says it is a printer is asked for its name, location and\n"
    "model. --subnet CIDR sends the same request unicast to every address of a\n"
    "routed subnet instead, 64 at a time, each bounded 1 s with one retry. It is\n"
    "off by default because it asks every host of a network, which some networks\n"
    "watch for. Such rows have source \"snmp\" and the web address\n"
    "http://ADDRESS/. With --status, a printer found over SNMP, and one that does\n"
    "not answer IPP, is asked over SNMP (Host Resources and Printer MIB): JSON's\n"
    "status then has \"source\": \"snmp\" and a \"page_count\".";

struct OptionContextDeleter {
    void operator()(GOptionContext* pContext) const { g_option_context_free(pContext); }
};

// Letters, digits, '-', '_' and dots between labels of 1 to 63 bytes; one
// trailing dot allowed.
bool IsDomainName(const std::string& str) {
    if (str.empty() || str.size() > 254) return false;
    size_t nLabel = 0;
    for (size_t i = 0; i < str.size(); ++i) {
        const char c = str[i];
        if (c == '.') {
            if (nLabel == 0) return false;
            nLabel = 0;
        } else if (g_ascii_isalnum(c) || c == '-' || c == '_') {
            if (++nLabel > 63) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string TakeText(gchar* psz) {
    std::string str = psz != nullptr ? psz : "";
    g_free(psz);
    return str;
}

// What the command line is read into, before it is checked.
struct RawOptions {
    gboolean bJson = FALSE, bCsv = FALSE, bIpp = FALSE, bDiagnose = FALSE, bWindowScan = FALSE, bHelp = FALSE,
             bStatus = FALSE, bVersion = FALSE, bWatch = FALSE, bDriverless = FALSE;
    gchar* pszIdentify = nullptr;
    std::vector<std::string> aDriverlessFilters;  // --driverless=ready, taken out before GLib reads the rest
    // Each method's switch (--no-wsd, --snmp), by its place in DiscoveryMethods().
    std::vector<gboolean> aMethodSwitches = std::vector<gboolean>(DiscoveryMethods().size(), FALSE);
    gchar** ppDomains = nullptr;
    gchar** ppCommunities = nullptr;
    gchar** ppSubnets = nullptr;
    gdouble fTimeout = 0;
    gdouble fStatusTimeout = 0;
    gdouble fWatchInterval = 0;
    gdouble fForgetAfter = 0;
    gchar* pszSort = nullptr;
    gchar* pszServe = nullptr;
    gchar* pszServeConfig = nullptr;
    gchar** ppServeHosts = nullptr;
    gchar** aFilters[9] = {};  // by FilterField (--driverless's values in aDriverlessFilters)
    gchar *pszPublish = nullptr, *pszPublishKey = nullptr, *pszPublishServer = nullptr,
          *pszPublishBrowseIn = nullptr;
    gint nPublishTtl = 60;
    gboolean bNoMdnsDirect = FALSE;
    gboolean bDryRun = FALSE;
    gchar* pszUnpublish = nullptr;

    RawOptions() = default;
    RawOptions(const RawOptions&) = delete;
    RawOptions& operator=(const RawOptions&) = delete;
    ~RawOptions() {
        g_strfreev(ppDomains);
        g_strfreev(ppCommunities);
        g_strfreev(ppSubnets);
        g_free(pszSort);
        g_free(pszIdentify);
        g_free(pszServe);
        g_free(pszServeConfig);
        g_strfreev(ppServeHosts);
        for (gchar** pp : aFilters) g_strfreev(pp);
        for (gchar* psz : {pszPublish, pszPublishKey, pszPublishServer, pszPublishBrowseIn, pszUnpublish})
            g_free(psz);
    }
};

// One option: GLib's entry, and for the shell's completion the values it
// offers (bList: several, joined by commas).
struct OptionRow {
    const char* pszName;
    char cShort;
    GOptionArg nArg;
    void* pData;
    std::string strHelp;
    const char* pszValue;
    std::vector<std::string> aChoices{};
    bool bList = false;
};

// The switches of the methods on by default (--no-mdns) or of those off by
// default (--snmp), in the list's order.
std::vector<OptionRow> MethodSwitches(RawOptions& raw, bool bOnByDefault) {
    std::vector<OptionRow> aRows;
    const std::vector<const DiscoveryMethod*>& aMethods = DiscoveryMethods();
    for (size_t i = 0; i < aMethods.size(); ++i) {
        if (aMethods[i]->pszOption && aMethods[i]->bOnByDefault == bOnByDefault)
            aRows.push_back({aMethods[i]->pszOption, 0, G_OPTION_ARG_NONE, &raw.aMethodSwitches[i],
                             aMethods[i]->pszOptionHelp, nullptr});
    }
    return aRows;
}

// The kinds of the methods the switches leave on.
std::vector<int32_t> MethodKinds(const RawOptions& raw) {
    std::vector<int32_t> aKinds;
    const std::vector<const DiscoveryMethod*>& aMethods = DiscoveryMethods();
    for (size_t i = 0; i < aMethods.size(); ++i) {
        const bool bSwitched = aMethods[i]->pszOption && raw.aMethodSwitches[i];
        if (aMethods[i]->bOnByDefault != bSwitched) aKinds.push_back(aMethods[i]->nKind);
    }
    return aKinds;
}

// The one table of hvl-scan's options: the parser, --help and the bash
// completion are all made from it. The methods' switches come first; those
// that add a method come before the methods' own options.
std::vector<OptionRow> OptionTable(RawOptions& raw) {
    const auto fnFilter = [&raw](FilterField nField) { return &raw.aFilters[static_cast<size_t>(nField)]; };
    const std::vector<OptionRow> aScanRows{
        {"ipp", 0, G_OPTION_ARG_NONE, &raw.bIpp,
         "Also find printers that announce only _ipp._tcp or _ipps._tcp", nullptr},
        {"no-mdns-direct", 0, G_OPTION_ARG_NONE, &raw.bNoMdnsDirect,
         "Ask only avahi-daemon for mDNS printers, not the link itself by one-shot queries", nullptr},
        {"json", 0, G_OPTION_ARG_NONE, &raw.bJson, "Print one JSON array at the end", nullptr},
        {"csv", 0, G_OPTION_ARG_NONE, &raw.bCsv, "Print CSV at the end", nullptr},
        {"window-scan", 0, G_OPTION_ARG_NONE, &raw.bWindowScan,
         "Run the window's scan instead: its passes, each ended by 4 s of silence (no WS-Discovery)",
         nullptr},
        {"domain",
         0,
         G_OPTION_ARG_STRING_ARRAY,
         &raw.ppDomains,
         "Also browse DOMAIN over unicast DNS (repeatable; \"auto\": the domains the network suggests)",
         "DOMAIN",
         {"auto"}},
        {"timeout", 0, G_OPTION_ARG_DOUBLE, &raw.fTimeout, "Bound the whole scan (default 30)", "SECONDS"},
        {"status", 0, G_OPTION_ARG_NONE, &raw.bStatus,
         "Ask each printer over IPP for its state, reasons and supplies", nullptr},
        {"status-timeout", 0, G_OPTION_ARG_DOUBLE, &raw.fStatusTimeout,
         "Bound each printer's status answer (default 5)", "SECONDS"},
        {"driverless",
         0,
         G_OPTION_ARG_NONE,
         &raw.bDriverless,
         "Tell whether CUPS can set each printer up without a driver, and why not (=ready or =not-ready: "
         "show only those)",
         nullptr,
         {"ready", "not-ready"}},
        {"identify", 0, G_OPTION_ARG_STRING, &raw.pszIdentify,
         "Scan nothing; ask the IPP printer at ADDRESS (or an ipp:// URI) to show itself (flash, sound, "
         "display)",
         "ADDRESS"},
    };
    const std::vector<OptionRow> aOtherRows{
        {"snmp-community", 0, G_OPTION_ARG_STRING_ARRAY, &raw.ppCommunities,
         "Ask with this SNMP community (repeatable; default \"public\")", "NAME"},
        {"subnet", 0, G_OPTION_ARG_STRING_ARRAY, &raw.ppSubnets,
         "With --snmp: ask each address of CIDR unicast instead of broadcasting (repeatable; at most a /22 "
         "each)",
         "CIDR"},
        {"watch", 0, G_OPTION_ARG_NONE, &raw.bWatch,
         "Run until Ctrl+C, a line for each printer listed, gone or changed", nullptr},
        {"serve", 0, G_OPTION_ARG_STRING, &raw.pszServe,
         "With --watch: serve /metrics, /targets, /printers and a web page on ADDRESS:PORT (127.0.0.1:9464)",
         "ADDRESS:PORT"},
        {"serve-config", 0, G_OPTION_ARG_FILENAME, &raw.pszServeConfig,
         "With --serve: TLS, users and headers from a web configuration file as Prometheus' exporters read",
         "FILE"},
        {"serve-host", 0, G_OPTION_ARG_STRING_ARRAY, &raw.ppServeHosts,
         "With --serve: answer requests for this Host name too (repeatable)", "NAME"},
        {"watch-interval", 0, G_OPTION_ARG_DOUBLE, &raw.fWatchInterval,
         "Check each watched printer this often (default 10)", "SECONDS"},
        {"forget-after", 0, G_OPTION_ARG_DOUBLE, &raw.fForgetAfter,
         "With --watch: remove a printer unreachable this long (default 60; 0: never)", "MINUTES"},
        {"publish", 0, G_OPTION_ARG_STRING, &raw.pszPublish,
         "Write the printers shown into DOMAIN as DNS-SD records (RFC 2136 updates)", "DOMAIN"},
        {"publish-key", 0, G_OPTION_ARG_FILENAME, &raw.pszPublishKey,
         "The TSIG key for --publish, as tsig-keygen writes it (readable by its owner only)", "FILE"},
        {"publish-server", 0, G_OPTION_ARG_STRING, &raw.pszPublishServer,
         "Send --publish's updates to ADDRESS[:PORT] (default: the zone's primary)", "ADDRESS"},
        {"publish-browse-in", 0, G_OPTION_ARG_STRING, &raw.pszPublishBrowseIn,
         "Add --publish's b/lb._dns-sd._udp PTRs under PARENT (default: DOMAIN's parent; none: add none)",
         "PARENT"},
        {"publish-ttl", 0, G_OPTION_ARG_INT, &raw.nPublishTtl, "TTL of --publish's records (default 60)",
         "SECONDS"},
        {"dry-run", 0, G_OPTION_ARG_NONE, &raw.bDryRun,
         "With --publish: print the records in zone-file syntax, send nothing", nullptr},
        {"unpublish", 0, G_OPTION_ARG_STRING, &raw.pszUnpublish,
         "Delete what this host's --publish wrote into DOMAIN (with --publish-key), then exit", "DOMAIN"},
        {"name", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::Name),
         "Show the printers whose name matches REGEX (any case)", "REGEX"},
        {"location", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::Location),
         "Show the printers whose location matches REGEX", "REGEX"},
        {"model", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::Model),
         "Show the printers whose make and model match REGEX", "REGEX"},
        {"source", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::Source),
         "Show the printers found by a method of LIST: " + JoinedNames(SourceNames(), ","), "LIST",
         SourceNames(), true},
        {"address", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::Address),
         "Show the printers with an address in a network of LIST (10.20.0.0/16,fd00::/8)", "LIST"},
        {"state", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::State),
         "Show the printers in a state of LIST: " + JoinedNames(StateNames(), ",") + " (asks --status)",
         "LIST", StateNames(), true},
        {"supply-below", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::SupplyBelow),
         "Show the printers with a supply at or below PERCENT (asks --status)", "PERCENT"},
        {"reason", 0, G_OPTION_ARG_STRING_ARRAY, fnFilter(FilterField::Reason),
         "Show the printers with a state reason matching REGEX (asks --status)", "REGEX"},
        {"sort", 0, G_OPTION_ARG_STRING, &raw.pszSort,
         "Sort by " + JoinedNames(SortKeyNames(), ", ") + " (the table then comes at the end)", "KEY",
         SortKeyNames()},
        {"diagnose", 0, G_OPTION_ARG_NONE, &raw.bDiagnose,
         "Scan nothing; check what a scan needs, one line per check", nullptr},
        {"version", 0, G_OPTION_ARG_NONE, &raw.bVersion, "Show the version", nullptr},
        {"help", 'h', G_OPTION_ARG_NONE, &raw.bHelp, "Show this help", nullptr},
    };
    std::vector<OptionRow> aTable = MethodSwitches(raw, true);
    aTable.insert(aTable.end(), aScanRows.begin(), aScanRows.end());
    for (OptionRow& row : MethodSwitches(raw, false)) aTable.push_back(std::move(row));
    aTable.insert(aTable.end(), aOtherRows.begin(), aOtherRows.end());
    return aTable;
}

std::vector<std::string> TakeList(gchar** pp) {
    std::vector<std::string> aValues;
    for (; pp != nullptr && *pp != nullptr; ++pp) aValues.emplace_back(*pp);
    return aValues;
}

// --snmp, --snmp-community and --subnet; false with the reason in strWhy.
bool ReadSnmpOptions(const RawOptions& raw, ScanOptions& options, std::string& strWhy) {
    const std::vector<std::string> aCommunities = TakeList(raw.ppCommunities);
    const std::vector<std::string> aSubnets = TakeList(raw.ppSubnets);
    for (const std::string& strCommunity : aCommunities) {
        if (strCommunity.empty() || strCommunity.size() > 255) {
            strWhy = "--snmp-community needs a name of 1 to 255 bytes";
            return false;
        }
    }
    const bool bSnmp = options.Uses(ROW_KIND_SNMP);
    if (!aSubnets.empty() && !bSnmp) strWhy = "--subnet needs --snmp";
    if (bSnmp && raw.bWindowScan) strWhy = "--snmp and --window-scan exclude each other";
    if (!strWhy.empty()) return false;
    std::vector<uint32_t> aAddresses;
    for (const std::string& strSubnet : aSubnets) {
        if (!ExpandSubnet(strSubnet, aAddresses)) {
            strWhy =
                "--subnet needs an IPv4 subnet of at most 1024 addresses (a /22), not '" + strSubnet + "'";
            return false;
        }
    }
    // Subnets that overlap: each address asked once.
    std::unordered_set<uint32_t> seen;
    options.aSnmpAddresses.clear();
    for (uint32_t nAddress : aAddresses) {
        if (seen.insert(nAddress).second) options.aSnmpAddresses.push_back(nAddress);
    }
    if (!aCommunities.empty()) options.aSnmpCommunities = aCommunities;
    return true;
}

// GLib's entries of the table, ended by the empty one.
std::vector<GOptionEntry> OptionEntries(const std::vector<OptionRow>& aTable) {
    std::vector<GOptionEntry> aEntries;
    for (const OptionRow& row : aTable)
        aEntries.push_back(
            {row.pszName, row.cShort, 0, row.nArg, row.pData, row.strHelp.c_str(), row.pszValue});
    aEntries.push_back({nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr});
    return aEntries;
}

std::unique_ptr<GOptionContext, OptionContextDeleter> OptionContext(
    const std::vector<GOptionEntry>& aEntries) {
    // GLib's own --help would print and exit inside the parse: ours returns.
    std::unique_ptr<GOptionContext, OptionContextDeleter> pContext(g_option_context_new(nullptr));
    g_option_context_set_help_enabled(pContext.get(), FALSE);
    g_option_context_set_summary(pContext.get(), SUMMARY);
    g_option_context_set_description(pContext.get(), DESCRIPTION);
    g_option_context_add_main_entries(pContext.get(), aEntries.data(), nullptr);
    return pContext;
}

// Options that cannot go together, and --domain's values; empty when none.
std::string CheckCombinations(const RawOptions& raw, int argc, const std::vector<std::string>& aDomains) {
    if (raw.bJson && raw.bCsv) return "--json and --csv exclude each other";
    for (const std::string& strDomain : aDomains) {
        if (strDomain != "auto" && !IsDomainName(strDomain))
            return "--domain needs a domain name or \"auto\", not '" + strDomain + "'";
    }
    // --diagnose --publish DOMAIN --publish-key FILE: whether the server takes the key.
    if (raw.bDiagnose && argc > 2 && !raw.pszPublish) return "--diagnose takes no other option";
    if (raw.bWatch && raw.bCsv)
        return "--csv cannot be used with --watch: CSV is one table written at the end, and a watch "
               "writes each change as it happens (--json writes them as JSON Lines)";
    if (raw.bWatch && raw.bWindowScan) return "--watch runs on the live scan, not with --window-scan";
    if (raw.bWatch && (raw.bDriverless || !raw.aDriverlessFilters.empty()))
        return "--driverless asks each printer once: it cannot be used with --watch";
    std::string strAddress;
    uint16_t nPort = 0;
    if (raw.pszServe && !raw.bWatch) return "--serve needs --watch";
    if ((raw.pszServeConfig || raw.ppServeHosts) && !raw.pszServe)
        return "--serve-config and --serve-host need --serve";
    if (raw.pszServe && (!ParseListenAddress(raw.pszServe, strAddress, nPort) || nPort == 0))
        return std::string("--serve needs an address and a port (127.0.0.1:9464, [::1]:9464), not '") +
               raw.pszServe + "'";
    return {};
}

std::string CheckSeconds(const RawOptions& raw) {
    if (!std::isfinite(raw.fWatchInterval) || raw.fWatchInterval < 0.1 || raw.fWatchInterval > 3600)
        return "--watch-interval needs a number of seconds from 0.1 to 3600";
    if (!std::isfinite(raw.fForgetAfter) || raw.fForgetAfter < 0 || raw.fForgetAfter > 525600)
        return "--forget-after needs a number of minutes from 0 (never) to 525600";
    if (!std::isfinite(raw.fTimeout) || raw.fTimeout <= 0 || raw.fTimeout > 86400)
        return "--timeout needs a number of seconds above 0 (at most 86400)";
    if (!std::isfinite(raw.fStatusTimeout) || raw.fStatusTimeout <= 0 || raw.fStatusTimeout > 600)
        return "--status-timeout needs a number of seconds above 0 (at most 600)";
    return {};
}

// --publish and its options; empty when they fit together.
std::string CheckPublish(const RawOptions& raw) {
    if (raw.pszUnpublish && (raw.pszPublish || raw.bWatch || raw.bDryRun))
        return "--unpublish deletes and exits: it cannot be used with --publish, --watch or --dry-run";
    const char* pszDomain = raw.pszUnpublish ? raw.pszUnpublish : raw.pszPublish;
    const bool bPublish = pszDomain != nullptr;
    if (!bPublish && (raw.pszPublishKey || raw.pszPublishServer || raw.pszPublishBrowseIn || raw.bDryRun ||
                      raw.nPublishTtl != 60))
        return "--publish-key, --publish-server, --publish-browse-in, --publish-ttl and --dry-run need "
               "--publish";
    if (!bPublish) return {};
    if (!IsDomainName(pszDomain) || std::string(pszDomain).find('.') == std::string::npos)
        return std::string("--publish needs a domain name of at least two labels, not '") + pszDomain + "'";
    // "none": no browse PTRs (a parent zone this key may not change).
    if (raw.pszPublishBrowseIn && !IsDomainName(raw.pszPublishBrowseIn))
        return "--publish-browse-in needs a domain name";
    if (!raw.bDryRun && !raw.pszPublishKey) return "--publish needs --publish-key FILE (or --dry-run)";
    if (raw.bDryRun && raw.bWatch)
        return "--dry-run prints the records of one scan: it cannot be used with --watch";
    if (raw.nPublishTtl < 1 || raw.nPublishTtl > 86400) return "--publish-ttl needs 1 to 86400 seconds";
    return {};
}

// Every filter is checked here, before anything is sent.
std::string ReadFilters(const RawOptions& raw, CRowFilter& filter) {
    for (size_t nField = 0; nField < std::size(raw.aFilters); ++nField) {
        for (gchar** pp = raw.aFilters[nField]; pp != nullptr && *pp != nullptr; ++pp) {
            std::string strWhy;
            if (!filter.Add(static_cast<FilterField>(nField), *pp, strWhy)) return strWhy;
        }
    }
    for (const std::string& strValue : raw.aDriverlessFilters) {
        std::string strWhy;
        if (!filter.Add(FilterField::Driverless, strValue, strWhy)) return strWhy;
    }
    // A watch lists a printer before its status is known.
    if (raw.bWatch && filter.NeedsStatus())
        return "--watch lists each printer as it comes, before its state is known: "
               "--state, --supply-below and --reason cannot be used with it";
    return {};
}

// --identify ADDRESS runs alone, bounded by --status-timeout at most.
std::string CheckIdentify(const RawOptions& raw, int argc, char** argv) {
    if (!raw.pszIdentify) return {};
    StatusTarget target;
    if (!IdentifyTargetFor(raw.pszIdentify, target))
        return std::string(
                   "--identify needs a numeric IPv4 or IPv6 address or an ipp:// URI with one, not '") +
               raw.pszIdentify + "'";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--") && !arg.starts_with("--identify") && !arg.starts_with("--status-timeout"))
            return "--identify takes no other option but --status-timeout";
    }
    return {};
}

// The parsed options checked and copied into options; why not, else empty.
std::string ReadParsedOptions(RawOptions& raw, int argc, char** argv, ScanOptions& options) {
    std::vector<std::string> aDomains = TakeList(raw.ppDomains);
    const bool bTimeoutGiven = raw.fTimeout != std::numeric_limits<double>::lowest();
    if (!bTimeoutGiven) raw.fTimeout = options.fTimeoutSeconds;
    CRowFilter filter;
    SortKey nSort = SortKey::None;
    std::string strWhy = CheckIdentify(raw, argc, argv);
    if (strWhy.empty()) strWhy = CheckCombinations(raw, argc, aDomains);
    if (strWhy.empty()) strWhy = CheckSeconds(raw);
    if (strWhy.empty()) strWhy = CheckPublish(raw);
    if (strWhy.empty()) strWhy = ReadFilters(raw, filter);
    if (strWhy.empty() && raw.pszSort && !ParseSortKey(raw.pszSort, nSort))
        strWhy = "--sort takes " + JoinedNames(SortKeyNames(), ", ") + ", not '" + raw.pszSort + "'";
    options.aMethodKinds = MethodKinds(raw);
    if (strWhy.empty()) ReadSnmpOptions(raw, options, strWhy);
    if (!strWhy.empty()) return strWhy;
    options.bDriverless = raw.bDriverless || filter.NeedsDriverless();
    options.bStatus = raw.bStatus || filter.NeedsStatus() || options.bDriverless;
    options.fStatusTimeoutSeconds = raw.fStatusTimeout;
    options.bJson = raw.bJson;
    options.bCsv = raw.bCsv;
    // Most printers announce IPP: --publish browses those types too.
    options.bIpp = raw.bIpp || raw.pszPublish != nullptr;
    options.bDiagnose = raw.bDiagnose;
    options.strIdentify = raw.pszIdentify ? raw.pszIdentify : "";
    options.bWindowScan = raw.bWindowScan;
    options.fTimeoutSeconds = raw.fTimeout;
    options.bTimeoutGiven = bTimeoutGiven;
    options.bWatch = raw.bWatch;
    options.bMdnsDirect = !raw.bNoMdnsDirect;
    options.fWatchIntervalSeconds = raw.fWatchInterval;
    options.fForgetAfterMinutes = raw.fForgetAfter;
    options.aDomains = std::move(aDomains);
    options.filter = std::move(filter);
    options.nSort = nSort;
    options.strServe = raw.pszServe ? raw.pszServe : "";
    options.strServeConfig = raw.pszServeConfig ? raw.pszServeConfig : "";
    for (gchar** pp = raw.ppServeHosts; pp && *pp; ++pp) options.aServeHosts.emplace_back(*pp);
    options.strPublishDomain = raw.pszPublish ? raw.pszPublish : raw.pszUnpublish ? raw.pszUnpublish : "";
    options.bUnpublish = raw.pszUnpublish != nullptr;
    options.strPublishKey = raw.pszPublishKey ? raw.pszPublishKey : "";
    options.strPublishServer = raw.pszPublishServer ? raw.pszPublishServer : "";
    options.strPublishBrowseIn = raw.pszPublishBrowseIn ? raw.pszPublishBrowseIn : "";
    options.nPublishTtl = static_cast<uint32_t>(raw.nPublishTtl);
    options.bDryRun = raw.bDryRun;
    return {};
}

// "--driverless=ready" and "--driverless ready" are the switch and a
// filter: the value is taken out, the switch left for GLib.
std::vector<gchar*> TakeDriverlessValues(int argc, char** argv, std::vector<std::string>& aValues) {
    static char szSwitch[] = "--driverless";
    std::vector<gchar*> aArgs;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--driverless=")) {
            aValues.emplace_back(arg.substr(arg.find('=') + 1));
            aArgs.push_back(szSwitch);
            continue;
        }
        aArgs.push_back(argv[i]);
        const std::string_view next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == szSwitch && (next == "ready" || next == "not-ready")) aValues.emplace_back(argv[++i]);
    }
    return aArgs;
}

}  // namespace

ParseResult ParseScanOptions(int argc, char** argv, ScanOptions& options, std::string& strText) {
    RawOptions raw;
    // Left as it is when --timeout is not given.
    raw.fTimeout = std::numeric_limits<double>::lowest();
    raw.fStatusTimeout = options.fStatusTimeoutSeconds;
    raw.fWatchInterval = options.fWatchIntervalSeconds;
    raw.fForgetAfter = options.fForgetAfterMinutes;
    const std::vector<OptionRow> aTable = OptionTable(raw);
    const std::vector<GOptionEntry> aEntries = OptionEntries(aTable);
    const auto pContext = OptionContext(aEntries);
    // GLib rearranges the vector it parses: a copy, so argv stays as given.
    std::vector<gchar*> aArgs = TakeDriverlessValues(argc, argv, raw.aDriverlessFilters);
    gint nArgs = static_cast<gint>(aArgs.size());
    gchar** ppArgs = aArgs.data();
    GError* pError = nullptr;
    std::string strWhy;
    if (!g_option_context_parse(pContext.get(), &nArgs, &ppArgs, &pError)) {
        strWhy = pError->message;
        g_error_free(pError);
    } else if (raw.bHelp) {
        strText = TakeText(g_option_context_get_help(pContext.get(), TRUE, nullptr));
        return ParseResult::HELP;
    } else if (raw.bVersion) {
        strText = "hvl-scan (Halvet Printer Locator) " HVL_VERSION "\n";
        return ParseResult::HELP;
    } else if (nArgs > 1) {
        strWhy = std::string("unexpected argument '") + ppArgs[1] + "'";
    } else {
        strWhy = ReadParsedOptions(raw, argc, argv, options);
    }
    if (strWhy.empty()) return ParseResult::RUN;
    strText = "hvl-scan: " + strWhy + "\nTry 'hvl-scan --help' for more information.\n";
    return ParseResult::BAD;
}

std::string BashCompletionScript() {
    RawOptions raw;
    std::string strWords, strCases, strFree, strSwitchCases;
    for (const OptionRow& row : OptionTable(raw)) {
        const std::string strName = std::string("--") + row.pszName;
        strWords += (strWords.empty() ? "" : " ") + strName;
        if (row.cShort) strWords += std::string(" -") + row.cShort;
        // A switch with values (--driverless): those, or any option next.
        if (row.nArg == G_OPTION_ARG_NONE && !row.aChoices.empty()) {
            strSwitchCases +=
                "        " + strName + ") words=\"" + JoinedNames(row.aChoices, " ") + " $all\" ;;\n";
            continue;
        }
        if (row.nArg == G_OPTION_ARG_NONE) continue;
        if (row.aChoices.empty()) {
            strFree += (strFree.empty() ? "" : "|") + strName;
            continue;
        }
        strCases += "        " + strName + ") words=\"" + JoinedNames(row.aChoices, " ") + "\"" +
                    (row.bList ? " list=1" : "") + " ;;\n";
    }
    // A value of the user's own (a number, a REGEX): nothing to offer.
    strCases += "        " + strFree + ") return ;;\n" + strSwitchCases;
    return "# bash completion for hvl-scan, made from its table of options.\n"
           "_hvl_scan() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words list= head=\n"
           "    local all=\"" +
           strWords +
           "\"\n"
           "    # bash splits --option=value at the '='.\n"
           "    if [[ $cur == = ]]; then cur=; elif [[ $prev == = ]]; then prev=${COMP_WORDS[COMP_CWORD-2]}; "
           "fi\n"
           "    case $prev in\n" +
           strCases + "        *) COMPREPLY=($(compgen -W \"" + strWords +
           "\" -- \"$cur\")); return ;;\n"
           "    esac\n"
           "    # A list: complete the item after the last comma.\n"
           "    [[ -n $list && $cur == *,* ]] && head=${cur%,*},\n"
           "    COMPREPLY=($(compgen -P \"$head\" -W \"$words\" -- \"${cur##*,}\"))\n"
           "}\n"
           "complete -F _hvl_scan hvl-scan\n";
}
