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
#include "printer_scan.h"
#include "search_options.h"

namespace {

constexpr char USAGE[] =
    "Usage: hvl-scan [--no-mdns] [--no-upnp] [--json]\n"
    "Searches the local network once for printers, by multicast DNS service\n"
    "discovery and by UPnP, as the Halvet Printer Locator's Scan Network does.\n"
    "The methods switched on in \"hvl.cfg\" in the current directory take part\n"
    "(both when the file is missing); the file is only read.\n"
    "\n"
    "  --no-mdns   leave multicast DNS out of this scan\n"
    "  --no-upnp   leave UPnP out of this scan\n"
    "  --json      print one JSON array of {\"name\", \"ip\", \"url\"} at the end\n"
    "              instead of a line per printer as it is found\n"
    "  --help      show this text\n"
    "\n"
    "Ctrl+C stops the scan and keeps what was found. Exit status: 0 when the\n"
    "scan ran, 1 when no switched-on method can work here, 2 on bad arguments.\n";

std::atomic<bool> g_bStop{false};

extern "C" void OnStopSignal(int) {
    g_bStop.store(true);
}

// Names come from the network: never let them steer the terminal (C0 and C1
// control characters become '?').
std::string Printable(const std::u16string& str) {
    std::u16string safe = str;
    for (char16_t& ch : safe) {
        if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F)) ch = u'?';
    }
    return Utf16ToUtf8(safe);
}

std::string CountText(int32_t n) {
    // "%d device%c found.": the letter is left out entirely for one device.
    return std::to_string(n) + (n == 1 ? " device found." : " devices found.");
}

}  // namespace

int main(int argc, char** argv) {
    bool bJson = false;
    bool bNoMdns = false;
    bool bNoUpnp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            bJson = true;
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

    SearchOptions options;
    options.Load();  // a missing file leaves both methods on
    if (bNoMdns) options.bMdnsEnabled = 0;
    if (bNoUpnp) options.bUpnpEnabled = 0;

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CPrinterScan scan(CPrinterScan::CreateDefaultProviders());
    if (!bJson) {
        scan.SetPrinterAddedCallback([](const PrinterData& printer) {
            std::printf("%-15s  %s  %s\n", Printable(printer.strIpAddress).c_str(),
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
        nlohmann::json doc = nlohmann::json::array();
        for (const PrinterData& printer : list.GetPrinters()) {
            doc.push_back({{"name", Utf16ToUtf8(printer.strName)},
                           {"ip", Utf16ToUtf8(printer.strIpAddress)},
                           {"url", Utf16ToUtf8(printer.strUrl)}});
        }
        std::printf("%s\n", doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        std::printf("%s\n", CountText(list.GetCount()).c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
