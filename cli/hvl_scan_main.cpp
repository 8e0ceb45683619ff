// hvl-scan: one scan of the local network without a window, with the same
// providers, options, tick and printer list as the window.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "conv_string.h"
#include "csv_writer.h"
#include "diagnose.h"
#include "printer_scan.h"
#include "search_options.h"

namespace {

constexpr char USAGE[] =
    "Usage: hvl-scan [--no-mdns] [--no-upnp] [--ipp] [--json | --csv]\n"
    "       hvl-scan --diagnose\n"
    "Searches the local network once for printers, by multicast DNS service\n"
    "discovery and by UPnP, as the Halvet Printer Locator's Scan Network does.\n"
    "The methods switched on in \"hvl.cfg\" in the current directory take part\n"
    "(both when the file is missing); the file is only read.\n"
    "\n"
    "  --no-mdns   leave multicast DNS out of this scan\n"
    "  --no-upnp   leave UPnP out of this scan\n"
    "  --ipp       also find printers that announce only IPP (_ipp._tcp or\n"
    "              _ipps._tcp), in a third mDNS pass (adds at most 4.5 s)\n"
    "  --json      print one JSON array at the end instead of a line per printer\n"
    "              as it is found: objects with \"name\", \"ip\", \"url\", \"source\"\n"
    "              (\"mdns\" or \"upnp\"), \"type\" (the mDNS service type that\n"
    "              found it; null for UPnP) and \"model\" (make and model; null\n"
    "              when the printer says none)\n"
    "  --csv       print the same as CSV at the end: a header line\n"
    "              name,ip,url,source,type,model, then one record per printer\n"
    "              (RFC 4180: fields with commas, quotes or line breaks quoted,\n"
    "              records end with CRLF; a missing type or model is empty)\n"
    "  --diagnose  scan nothing; check what a scan needs and print one line per\n"
    "              check, \"OK\", \"WARN\" or \"FAIL\" with what to do: the D-Bus\n"
    "              system bus, avahi-daemon on it (1 s bound), the multicast-\n"
    "              capable IPv4 interfaces, the routes for 224.0.0.251 and\n"
    "              239.255.255.250, and hvl.cfg. Exit status 0 when both methods\n"
    "              can work, 1 otherwise\n"
    "  --help      show this text\n"
    "\n"
    "Without --json or --csv each printer is a line as it is found: address,\n"
    "method (mdns or upnp), name and web address; then the count. When a scan\n"
    "finds nothing, the checks of --diagnose that did not pass follow on stderr.\n"
    "\n"
    "Ctrl+C stops the scan and keeps what was found. Exit status: 0 when the\n"
    "scan ran, 1 when no switched-on method can work here, 2 on bad arguments.\n"
    "\n"
    "Examples:\n"
    "  $ hvl-scan\n"
    "  192.0.2.10       mdns  Office Laser  http://office-laser.example/admin\n"
    "  192.0.2.11       upnp  Lab Printer Standard  http://printers.example/std\n"
    "  2 devices found.\n"
    "  $ hvl-scan --ipp --json\n"
    "  [ { \"ip\": \"192.0.2.78\", \"model\": \"Halvet IPP One\", \"name\": \"IPP Only\",\n"
    "      \"source\": \"mdns\", \"type\": \"_ipp._tcp\", \"url\": \"http://ipp-only/\" } ]\n"
    "  $ hvl-scan --csv\n"
    "  name,ip,url,source,type,model\n"
    "  \"Office Laser, 2nd floor\",192.0.2.10,http://office-laser/,mdns,_printer._tcp,\n"
    "  Lab Printer Standard,192.0.2.11,http://printers.example/std,upnp,,Lab L1\n"
    "  $ hvl-scan --diagnose\n"
    "  OK   D-Bus system bus reachable (unix:path=/run/dbus/system_bus_socket).\n"
    "  FAIL avahi-daemon is not running (org.freedesktop.Avahi is not on the\n"
    "       system bus). Start it (systemctl start avahi-daemon, ...)\n"
    "  OK   IPv4 interfaces up with an address and multicast: eth0 192.0.2.1.\n"
    "  (and the two routes, and hvl.cfg; one line each)\n";

std::atomic<bool> g_bStop{false};

extern "C" void OnStopSignal(int) {
    g_bStop.store(true);
}

// Names come from the network: never let them steer the terminal (C0 and C1
// control characters become '?'). CSV keeps line breaks and tabs, quoted,
// so that names come out whole.
std::string Printable(const std::u16string& str, bool bKeepBreaks = false) {
    std::u16string safe = str;
    for (char16_t& ch : safe) {
        if (bKeepBreaks && (ch == u'\r' || ch == u'\n' || ch == u'\t')) continue;
        if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F)) ch = u'?';
    }
    return Utf16ToUtf8(safe);
}

std::string CountText(int32_t n) {
    // "%d device%c found.": the letter is left out entirely for one device.
    return std::to_string(n) + (n == 1 ? " device found." : " devices found.");
}

const char* SourceText(const PrinterData& printer) {
    switch (printer.nKind) {
        case PROVIDER_KIND_MDNS:
            return "mdns";
        case PROVIDER_KIND_UPNP:
            return "upnp";
        default:
            return "";
    }
}

void PrintJson(const CPrinterList& list) {
    auto fnOrNull = [](const std::string& str) {
        return str.empty() ? nlohmann::json() : nlohmann::json(str);
    };
    nlohmann::json doc = nlohmann::json::array();
    for (const PrinterData& printer : list.GetPrinters()) {
        doc.push_back({{"name", Utf16ToUtf8(printer.strName)},
                       {"ip", Utf16ToUtf8(printer.strIpAddress)},
                       {"url", Utf16ToUtf8(printer.strUrl)},
                       {"source", fnOrNull(SourceText(printer))},
                       {"type", fnOrNull(Utf16ToUtf8(printer.strType))},
                       {"model", fnOrNull(Utf16ToUtf8(printer.strModel))}});
    }
    std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void PrintCsv(const CPrinterList& list) {
    std::string strOut = CsvRecord({"name", "ip", "url", "source", "type", "model"});
    for (const PrinterData& printer : list.GetPrinters()) {
        strOut += CsvRecord({Printable(printer.strName, true), Printable(printer.strIpAddress, true),
                             Printable(printer.strUrl, true), SourceText(printer),
                             Printable(printer.strType, true), Printable(printer.strModel, true)});
    }
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
}

int Diagnose() {
    const DiagnoseReport report = RunDiagnose();
    for (const DiagnoseLine& line : report.aLines) std::printf("%s\n", line.strText.c_str());
    if (std::fflush(stdout) != 0) return 1;
    return report.bMdnsCanWork && report.bUpnpCanWork ? 0 : 1;
}

// After a scan that found nothing: the checks that did not pass, on stderr.
void ExplainEmptyScan() {
    const DiagnoseReport report = RunDiagnose();
    for (const DiagnoseLine& line : report.aLines) {
        if (line.nLevel != DiagnoseLine::Level::OK)
            std::fprintf(stderr, "hvl-scan: %s\n", line.strText.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool bJson = false;
    bool bCsv = false;
    bool bIpp = false;
    bool bDiagnose = false;
    bool bNoMdns = false;
    bool bNoUpnp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            bJson = true;
        } else if (arg == "--csv") {
            bCsv = true;
        } else if (arg == "--ipp") {
            bIpp = true;
        } else if (arg == "--diagnose") {
            bDiagnose = true;
        } else if (arg == "--no-mdns") {
            bNoMdns = true;
        } else if (arg == "--no-upnp") {
            bNoUpnp = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "hvl-scan: unknown argument '%s'\n\n%s", argv[i], USAGE);
            return 2;
        }
    }
    if (bJson && bCsv) {
        std::fprintf(stderr, "hvl-scan: --json and --csv exclude each other\n\n%s", USAGE);
        return 2;
    }
    if (bDiagnose && argc > 2) {
        std::fprintf(stderr, "hvl-scan: --diagnose takes no other option\n\n%s", USAGE);
        return 2;
    }
    if (bDiagnose) return Diagnose();
    const bool bAtEnd = bJson || bCsv;

    SearchOptions options;
    options.Load();  // a missing file leaves both methods on
    if (bNoMdns) options.bMdnsEnabled = 0;
    if (bNoUpnp) options.bUpnpEnabled = 0;

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CPrinterScan scan(CPrinterScan::CreateProviders(bIpp));
    if (!bAtEnd) {
        scan.SetPrinterAddedCallback([](const PrinterData& printer) {
            std::printf("%-15s  %-4s  %s  %s\n", Printable(printer.strIpAddress).c_str(), SourceText(printer),
                        Printable(printer.strName).c_str(), Printable(printer.strUrl).c_str());
            std::fflush(stdout);
        });
    }

    const CPrinterScan::StartResult started = scan.StartScan(options);
    for (const std::u16string& strName : started.aUnavailable) {
        std::fprintf(stderr, "hvl-scan: %s discovery is not available on this machine%s.\n",
                     Utf16ToUtf8(strName).c_str(),
                     strName == u"MDNS" ? " (avahi-daemon cannot be reached on the D-Bus system bus)" : "");
    }
    if (started.nEnabled > 0 && started.nAvailable == 0) {
        std::fprintf(
            stderr, "hvl-scan: error: no switched-on discovery method can work here; nothing was scanned.\n");
        ExplainEmptyScan();
        return 1;
    }

    bool bStopped = false;
    for (;;) {
        if (g_bStop.load() && !bStopped) {
            scan.StopScan();  // what was found stays listed
            bStopped = true;
        }
        if (scan.Tick() == 0) break;
        std::this_thread::sleep_for(CPrinterScan::TICK_PERIOD);
    }
    scan.Shutdown();

    const CPrinterList& list = scan.GetPrinterList();
    if (bJson) {
        PrintJson(list);
    } else if (bCsv) {
        PrintCsv(list);
    } else {
        std::printf("%s\n", CountText(list.GetCount()).c_str());
    }
    const bool bWritten = std::fflush(stdout) == 0;
    // Nothing found by a scan that ran to its end: say what may be missing.
    if (list.GetCount() == 0 && !bStopped && started.nEnabled > 0) ExplainEmptyScan();
    return bWritten ? 0 : 1;
}
