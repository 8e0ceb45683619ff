#include "scan_options.h"

#include <glib.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr char SUMMARY[] =
    "Searches the local network once for printers, by multicast DNS service\n"
    "discovery and by UPnP. The methods switched on in \"hvl.cfg\" in the current\n"
    "directory take part (both when the file is missing); the file is only read.\n"
    "\n"
    "Each printer is a line the moment it answers (address, method, name and web\n"
    "address), then the count. The scan is done when every printer asked has\n"
    "answered or reached its time limit: about a second on most networks.";

constexpr char DESCRIPTION[] =
    "--json prints one JSON array at the end: objects with \"name\", \"ip\", \"url\",\n"
    "\"source\" (\"mdns\" or \"upnp\"), \"type\" (the mDNS service type that found it;\n"
    "null for UPnP), \"model\" (make and model; null when the printer says none),\n"
    "\"location\" (where it stands: TXT \"note\", SNMP sysLocation, with --status\n"
    "IPP printer-location; null when unknown) and \"addresses\" (every address\n"
    "the printer reported, IPv4 first). --csv\n"
    "prints the same as CSV (RFC 4180): a header line, one record per printer,\n"
    "the addresses separated by spaces.\n"
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
    "--status-timeout: a line is printed once its answer is in or its time is up,\n"
    "with two more columns, the state (idle, printing, stopped, \"no IPP\" when\n"
    "refused or not an IPP server, \"no answer\" when the time passed) and the most\n"
    "severe reason with the lowest supply, e.g. \"idle  toner-low (Black 8%)\".\n"
    "JSON gets a key \"status\" per printer (null without --status): state,\n"
    "accepting, reasons, message, supplies (name, type, color, level, low), make\n"
    "and model, uuid, more_info and uri; CSV the columns state, reasons (joined\n"
    "by ';') and supplies (name=level%, '?' for unknown).\n"
    "\n"
    "Exit status: 0 when the scan ran, 1 when no switched-on method can work here,\n"
    "2 on bad arguments, 3 with --status when a printer did not answer, is\n"
    "stopped or reports an error (a reason ending in -error, or without a\n"
    "-report or -warning suffix). See hvl-scan(1) for examples.\n"
    "\n"
    "--domain DOMAIN also browses the printer types in DOMAIN over unicast DNS\n"
    "(DNS-SD, RFC 6763) through the configured DNS servers; \"auto\" takes the\n"
    "domains named under b._dns-sd._udp and lb._dns-sd._udp of each search domain\n"
    "and of the reverse names of this host's IPv4 subnets. Such rows have source\n"
    "\"dns-sd\" and a \"domain\" key (column); every query is bounded by 2 s, and a\n"
    "domain that fails is named on stderr while the others go on.";

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

}  // namespace

ParseResult ParseScanOptions(int argc, char** argv, ScanOptions& options, std::string& strText) {
    gboolean bJson = FALSE, bCsv = FALSE, bIpp = FALSE, bDiagnose = FALSE, bNoMdns = FALSE, bNoUpnp = FALSE,
             bWindowScan = FALSE, bHelp = FALSE, bStatus = FALSE;
    gchar** ppDomains = nullptr;
    gdouble fTimeout = options.fTimeoutSeconds;
    gdouble fStatusTimeout = options.fStatusTimeoutSeconds;
    // GLib's own --help would print and exit inside the parse: ours returns.
    const GOptionEntry aEntries[] = {
        {"no-mdns", 0, 0, G_OPTION_ARG_NONE, &bNoMdns, "Leave multicast DNS out of this scan", nullptr},
        {"no-upnp", 0, 0, G_OPTION_ARG_NONE, &bNoUpnp, "Leave UPnP out of this scan", nullptr},
        {"ipp", 0, 0, G_OPTION_ARG_NONE, &bIpp,
         "Also find printers that announce only _ipp._tcp or _ipps._tcp", nullptr},
        {"json", 0, 0, G_OPTION_ARG_NONE, &bJson, "Print one JSON array at the end", nullptr},
        {"csv", 0, 0, G_OPTION_ARG_NONE, &bCsv, "Print CSV at the end", nullptr},
        {"window-scan", 0, 0, G_OPTION_ARG_NONE, &bWindowScan,
         "Run the window's scan instead: its passes, each ended by 4 s of silence", nullptr},
        {"domain", 0, 0, G_OPTION_ARG_STRING_ARRAY, &ppDomains,
         "Also browse DOMAIN over unicast DNS (repeatable; \"auto\": the domains the network suggests)",
         "DOMAIN"},
        {"timeout", 0, 0, G_OPTION_ARG_DOUBLE, &fTimeout, "Bound the whole scan (default 30)", "SECONDS"},
        {"status", 0, 0, G_OPTION_ARG_NONE, &bStatus,
         "Ask each printer over IPP for its state, reasons and supplies", nullptr},
        {"status-timeout", 0, 0, G_OPTION_ARG_DOUBLE, &fStatusTimeout,
         "Bound each printer's status answer (default 5)", "SECONDS"},
        {"diagnose", 0, 0, G_OPTION_ARG_NONE, &bDiagnose,
         "Scan nothing; check what a scan needs, one line per check", nullptr},
        {"help", 'h', 0, G_OPTION_ARG_NONE, &bHelp, "Show this help", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    std::unique_ptr<GOptionContext, OptionContextDeleter> pContext(g_option_context_new(nullptr));
    g_option_context_set_help_enabled(pContext.get(), FALSE);
    g_option_context_set_summary(pContext.get(), SUMMARY);
    g_option_context_set_description(pContext.get(), DESCRIPTION);
    g_option_context_add_main_entries(pContext.get(), aEntries, nullptr);

    // GLib rearranges the vector it parses: a copy, so argv stays as given.
    std::vector<gchar*> aArgs(argv, argv + argc);
    gint nArgs = argc;
    gchar** ppArgs = aArgs.data();
    GError* pError = nullptr;
    const auto fnBad = [&](const std::string& strWhy) {
        strText = "hvl-scan: " + strWhy + "\nTry 'hvl-scan --help' for more information.\n";
        return ParseResult::BAD;
    };
    const bool bParsed = g_option_context_parse(pContext.get(), &nArgs, &ppArgs, &pError);
    std::vector<std::string> aDomains;
    for (gchar** pp = ppDomains; pp != nullptr && *pp != nullptr; ++pp) aDomains.emplace_back(*pp);
    g_strfreev(ppDomains);
    if (!bParsed) {
        const std::string strWhy = pError->message;
        g_error_free(pError);
        return fnBad(strWhy);
    }
    if (bHelp) {
        strText = TakeText(g_option_context_get_help(pContext.get(), TRUE, nullptr));
        return ParseResult::HELP;
    }
    if (nArgs > 1) return fnBad(std::string("unexpected argument '") + ppArgs[1] + "'");
    if (bJson && bCsv) return fnBad("--json and --csv exclude each other");
    for (const std::string& strDomain : aDomains) {
        if (strDomain != "auto" && !IsDomainName(strDomain))
            return fnBad("--domain needs a domain name or \"auto\", not '" + strDomain + "'");
    }
    if (bDiagnose && argc > 2) return fnBad("--diagnose takes no other option");
    if (!std::isfinite(fTimeout) || fTimeout <= 0 || fTimeout > 86400)
        return fnBad("--timeout needs a number of seconds above 0 (at most 86400)");
    if (!std::isfinite(fStatusTimeout) || fStatusTimeout <= 0 || fStatusTimeout > 600)
        return fnBad("--status-timeout needs a number of seconds above 0 (at most 600)");
    options.bStatus = bStatus;
    options.fStatusTimeoutSeconds = fStatusTimeout;
    options.bJson = bJson;
    options.bCsv = bCsv;
    options.bIpp = bIpp;
    options.bDiagnose = bDiagnose;
    options.bNoMdns = bNoMdns;
    options.bNoUpnp = bNoUpnp;
    options.bWindowScan = bWindowScan;
    options.fTimeoutSeconds = fTimeout;
    options.aDomains = std::move(aDomains);
    return ParseResult::RUN;
}
