#include "diagnose.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bounded_bus.h"
#include "dns_publisher.h"
#include "host_interfaces.h"
#include "network_text.h"
#include "scan_options.h"
#include "search_options.h"
#include "unicast_browser.h"
#include "unicast_method.h"

namespace {

using Level = DiagnoseLine::Level;

void Add(DiagnoseReport& report, Level nLevel, const std::string& strText) {
    AddDiagnoseLine(report.aLines, nLevel, strText);
}

// --- D-Bus: every wait bounded, on a main context of our own ---

std::string ErrorText(const GError* pError) {
    return pError && pError->message ? pError->message : "unknown error";
}

bool IsNotOnBus(const GError* pError) {
    return g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
           g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
}

std::string ReplyString(const CBusReply& reply) {
    if (!reply.pReply || !g_variant_is_of_type(reply.pReply, G_VARIANT_TYPE("(s)"))) return {};
    const gchar* psz = nullptr;
    g_variant_get(reply.pReply, "(&s)", &psz);
    return psz ? psz : "";
}

// Keeps a call's answer in reply.
CBoundedBus::ReplyFn KeepIn(CBusReply& reply) {
    return [&reply](GVariant* pReply, const GError* pError) {
        reply.bAnswered = true;
        reply.pReply = pReply ? g_variant_ref(pReply) : nullptr;
        reply.pError = pError ? g_error_copy(pError) : nullptr;
    };
}

// --- avahi-daemon's record cache ---

// cache-entries-max in the [server] section of an avahi-daemon.conf text;
// avahi's own default when the file or the key is not there.
unsigned CacheEntriesMax(const std::string& strConf) {
    unsigned nMax = 4096;
    bool bServer = false;
    size_t nPos = 0;
    while (nPos < strConf.size()) {
        size_t nEnd = strConf.find('\n', nPos);
        if (nEnd == std::string::npos) nEnd = strConf.size();
        std::string strLine = strConf.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        strLine.erase(std::remove_if(strLine.begin(), strLine.end(),
                                     [](unsigned char c) { return std::isspace(c) != 0; }),
                      strLine.end());
        if (!strLine.empty() && strLine[0] == '[') bServer = strLine == "[server]";
        const std::string strKey = "cache-entries-max=";
        if (bServer && strLine.rfind(strKey, 0) == 0) {
            const unsigned long nValue = std::strtoul(strLine.c_str() + strKey.size(), nullptr, 10);
            if (nValue > 0 && nValue <= UINT_MAX) nMax = static_cast<unsigned>(nValue);
        }
    }
    return nMax;
}

// The configuration the daemon read: its own view of the file (the daemon
// may run in a mount namespace of its own), else the machine's.
std::string ReadAvahiConf(const CBusReply& pid) {
    static constexpr const char* CONF = "/etc/avahi/avahi-daemon.conf";
    std::vector<std::string> aPaths{CONF};
    if (pid.pReply) {
        guint32 nPid = 0;
        g_variant_get(pid.pReply, "(u)", &nPid);
        aPaths.insert(aPaths.begin(), "/proc/" + std::to_string(nPid) + "/root" + CONF);
    }
    for (const std::string& strPath : aPaths) {
        gchar* pszText = nullptr;
        if (g_file_get_contents(strPath.c_str(), &pszText, nullptr, nullptr)) {
            std::string strText = pszText;
            g_free(pszText);
            return strText;
        }
    }
    return {};
}

// Each printer needs four records at least (PTR, SRV, TXT, an address):
// past the cache's size the daemon drops them and printers go missing.
void CheckAvahiCache(DiagnoseReport& report, const CBusReply& pid, size_t nPrinters) {
    const unsigned nMax = CacheEntriesMax(ReadAvahiConf(pid));
    const std::string strLimit = "avahi-daemon caches at most " + std::to_string(nMax) +
                                 " records per interface (cache-entries-max in /etc/avahi/avahi-daemon.conf)";
    // Four records a printer is the least it takes (more with an AAAA or a
    // second type), and a full cache shows fewer printers than it could
    // hold: warn once the least would fill half of it.
    if (nPrinters * 4 <= nMax / 2) {
        Add(report, Level::OK, strLimit + ": enough for about " + std::to_string(nMax / 4) + " printers.");
        return;
    }
    Add(report, Level::WARN,
        strLimit + ", and this scan saw " + std::to_string(nPrinters) +
            " printers over mDNS, which need at least " + std::to_string(nPrinters * 4) +
            ": printers may be missing. Raise it (to " + std::to_string(nPrinters * 16) +
            ", say) in the [server] section and restart avahi-daemon.");
}

// The bus itself answers, even for a daemon that is frozen.
void AskAvahiPid(CBoundedBus& bus, CBusReply& pid) {
    bus.CallAsync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "GetConnectionUnixProcessID", g_variant_new("(s)", "org.freedesktop.Avahi"),
                  G_VARIANT_TYPE("(u)"), DIAGNOSE_BUS_TIMEOUT_MS, KeepIn(pid));
}

// Connects to the system bus within the diagnosis' bound; a line either way.
bool ConnectSystemBus(DiagnoseReport& report, CBoundedBus& bus) {
    // Reads DBUS_SYSTEM_BUS_ADDRESS, else the well-known socket; no I/O.
    GError* pError = nullptr;
    const std::string strAddress = CBoundedBus::SystemBusAddress(&pError);
    const std::string strWhere =
        (strAddress.empty() ? std::string("?") : strAddress) +
        (std::getenv("DBUS_SYSTEM_BUS_ADDRESS") ? ", from DBUS_SYSTEM_BUS_ADDRESS" : "");
    if (strAddress.empty()) {
        Add(report, Level::FAIL,
            "D-Bus system bus: no address (" + ErrorText(pError) +
                "). Set DBUS_SYSTEM_BUS_ADDRESS or start the system bus (systemctl start dbus).");
        g_clear_error(&pError);
        return false;
    }
    const auto tEnd = CBoundedBus::Clock::now() + std::chrono::milliseconds(DIAGNOSE_BUS_TIMEOUT_MS);
    if (bus.Connect(strAddress, tEnd, &pError)) {
        Add(report, Level::OK, "D-Bus system bus reachable (" + strWhere + ").");
        return true;
    }
    const std::string strWhy = pError ? ErrorText(pError) : "no answer within 1 s";
    g_clear_error(&pError);
    Add(report, Level::FAIL,
        "D-Bus system bus not reachable at " + strWhere + ": " + strWhy +
            ". Start it (systemctl start dbus) or correct DBUS_SYSTEM_BUS_ADDRESS; mDNS needs it.");
    return false;
}

// Why avahi-daemon gave no version and host name: frozen, absent, or an error.
void ReportAvahiFailure(DiagnoseReport& report, const CBusReply& version, const CBusReply& host) {
    if (version.TimedOut() || host.TimedOut()) {
        Add(report, Level::FAIL,
            "avahi-daemon does not answer within 1 s: it is frozen or overloaded. Restart it "
            "(systemctl restart avahi-daemon); mDNS cannot work until it answers.");
    } else if (IsNotOnBus(version.pError) || IsNotOnBus(host.pError)) {
        Add(report, Level::FAIL,
            "avahi-daemon is not running (org.freedesktop.Avahi is not on the system bus). Start it "
            "(systemctl start avahi-daemon, package avahi-daemon); mDNS cannot work without it.");
    } else {
        Add(report, Level::FAIL,
            "avahi-daemon answers with an error: " +
                ErrorText(version.pError ? version.pError : host.pError) +
                ". Check its log (journalctl -u avahi-daemon) and restart it; mDNS cannot work until "
                "then.");
    }
}

// The system bus and avahi-daemon on it, and the daemon's process when
// bAskPid. Returns whether mDNS can reach the daemon.
bool AskBusAndAvahi(DiagnoseReport& report, CBusReply& pid, bool bAskPid) {
    // Declared before the bus: a reply given up at its bound is dropped by
    // the bus's teardown, never written here late.
    CBusReply version;
    CBusReply host;
    CBoundedBus bus;
    if (!ConnectSystemBus(report, bus)) {
        Add(report, Level::FAIL,
            "avahi-daemon not asked: the system bus cannot be reached; mDNS cannot work.");
        return false;
    }
    // Both questions at once, each bound to the same second: a frozen
    // daemon is reported within that second.
    for (auto [pszMethod, pReply] :
         {std::pair{"GetVersionString", &version}, std::pair{"GetHostName", &host}}) {
        bus.CallAsync("org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server", pszMethod, nullptr,
                      G_VARIANT_TYPE("(s)"), DIAGNOSE_BUS_TIMEOUT_MS, KeepIn(*pReply));
    }
    if (bAskPid) AskAvahiPid(bus, pid);
    bus.RunUntil([&] { return version.bAnswered && host.bAnswered && (pid.bAnswered || !bAskPid); },
                 CBoundedBus::Clock::now() + std::chrono::milliseconds(DIAGNOSE_BUS_TIMEOUT_MS));
    if (!version.pReply || !host.pReply) {
        ReportAvahiFailure(report, version, host);
        return false;
    }
    Add(report, Level::OK,
        "avahi-daemon answers on the system bus (" + ReplyString(version) + ", host name \"" +
            ReplyString(host) + "\").");
    return true;
}

// With nPrinters, also whether the daemon's cache holds that many.
bool CheckBusAndAvahi(DiagnoseReport& report, std::optional<size_t> nPrinters = std::nullopt) {
    CBusReply pid;  // before the bus: a late reply is dropped with it
    const bool bAvahi = AskBusAndAvahi(report, pid, nPrinters.has_value());
    if (nPrinters) CheckAvahiCache(report, pid, *nPrinters);
    return bAvahi;
}

// --- Interfaces and routes ---

struct Ipv4Address {
    std::string strInterface;
    std::string strAddress;
    unsigned nFlags = 0;
    bool IsCandidate() const {
        return (nFlags & IFF_UP) && (nFlags & IFF_MULTICAST) && !(nFlags & IFF_LOOPBACK);
    }
};

std::vector<Ipv4Address> ReadIpv4Addresses() {
    std::vector<HostInterface> aInterfaces;
    ListHostInterfaces(aInterfaces);
    std::vector<Ipv4Address> aAddresses;
    for (const HostInterface& i : aInterfaces) {
        for (const HostIpv4Address& a : i.aIpv4)
            aAddresses.push_back({i.strName, Ipv4Text(a.nAddress), i.nFlags});
    }
    return aAddresses;
}

// Returns whether one interface qualifies.
bool CheckInterfaces(DiagnoseReport& report, const std::vector<Ipv4Address>& aAddresses) {
    std::string strGood, strNoMulticast, strDown;
    for (const Ipv4Address& a : aAddresses) {
        if (a.nFlags & IFF_LOOPBACK) continue;
        std::string& strList = a.IsCandidate() ? strGood : !(a.nFlags & IFF_UP) ? strDown : strNoMulticast;
        strList += (strList.empty() ? "" : ", ") + a.strInterface + " " + a.strAddress;
    }
    if (!strGood.empty()) {
        Add(report, Level::OK, "IPv4 interfaces up with an address and multicast: " + strGood + ".");
        return true;
    }
    std::string strText = "No IPv4 interface is up with an address and multicast (loopback does not count)";
    if (!strNoMulticast.empty()) strText += "; without multicast: " + strNoMulticast;
    if (!strDown.empty()) strText += "; down: " + strDown;
    Add(report, Level::FAIL,
        strText +
            ". Connect to the printers' network (cable, Wi-Fi) or bring an interface up "
            "(ip link set IFACE up); neither method can work without one.");
    return false;
}

// Asks the kernel which way a datagram to the group would leave: connect()
// on a UDP socket only chooses the route, it sends nothing. False when not
// even a UDP socket can be had.
bool CheckRoute(DiagnoseReport& report, const std::vector<Ipv4Address>& aAddresses, const char* pszGroup,
                uint16_t nPort, const char* pszMethod) {
    const std::string strWhat = std::string("route for ") + pszGroup + " (" + pszMethod + ")";
    std::string strDevice = "IFACE";
    for (const Ipv4Address& a : aAddresses) {
        if (a.IsCandidate()) {
            strDevice = a.strInterface;
            break;
        }
    }
    const std::string strHint =
        ". avahi-daemon and hvl-scan choose their interfaces themselves, so a scan may still work, "
        "but other programs cannot: add a default route, or: ip route add 224.0.0.0/4 dev " +
        strDevice;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Add(report, Level::FAIL,
            strWhat + ": no UDP socket (" + std::strerror(errno) + "); neither method can work.");
        return false;
    }
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(nPort);
    inet_pton(AF_INET, pszGroup, &to.sin_addr);
    struct sockaddr_in from {};
    socklen_t nFrom = sizeof from;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&to), sizeof to) != 0) {
        const int nError = errno;
        close(fd);
        Add(report, Level::WARN, "No " + strWhat + ": " + std::strerror(nError) + strHint + ".");
        return true;
    }
    const bool bNamed = getsockname(fd, reinterpret_cast<struct sockaddr*>(&from), &nFrom) == 0;
    close(fd);
    char szFrom[INET_ADDRSTRLEN] = "?";
    if (bNamed) inet_ntop(AF_INET, &from.sin_addr, szFrom, sizeof szFrom);
    for (const Ipv4Address& a : aAddresses) {
        if (a.strAddress != szFrom) continue;
        if (a.IsCandidate()) {
            Add(report, Level::OK,
                "The " + strWhat + " leaves through " + a.strInterface + " (" + szFrom + ").");
            return true;
        }
        Add(report, Level::WARN,
            "The " + strWhat + " leaves through " + a.strInterface + " (" + szFrom +
                "), which is not an up, multicast-capable interface" + strHint + ".");
        return true;
    }
    Add(report, Level::WARN,
        "The " + strWhat + " leaves from " + szFrom + ", an address of no interface found" + strHint + ".");
    return true;
}

// --- hvl.cfg ---

void CheckSettings(DiagnoseReport& report, bool& bMdnsOn, bool& bUpnpOn) {
    char szDir[PATH_MAX] = ".";
    if (!getcwd(szDir, sizeof szDir)) std::strcpy(szDir, ".");
    const std::string strFile =
        std::string(szDir) + (szDir[std::strlen(szDir) - 1] == '/' ? "" : "/") + "hvl.cfg";
    bMdnsOn = bUpnpOn = true;
    struct stat st {};
    if (stat("hvl.cfg", &st) != 0) {
        Add(report, Level::OK, "No " + strFile + ": both methods are switched on.");
        return;
    }
    SearchOptions options;
    if (!options.Load()) {
        Add(report, Level::WARN,
            strFile +
                " cannot be read: both methods count as switched on. Check its permissions, or remove it.");
        return;
    }
    bMdnsOn = options.bMdnsEnabled != 0;
    bUpnpOn = options.bUpnpEnabled != 0;
    if (bMdnsOn && bUpnpOn) {
        Add(report, Level::OK, strFile + " switches both methods on.");
        return;
    }
    const std::string strOff = !bMdnsOn && !bUpnpOn ? "both mDNS and UPnP" : !bMdnsOn ? "mDNS" : "UPnP";
    Add(report, Level::FAIL,
        strFile + " switches " + strOff +
            " off. Switch it on in the window's Options dialog (Ctrl+O), or remove the file.");
}

// Unicast DNS-SD (--domain auto): a line per search domain of the resolver
// configuration, with the browse domains it names and the printers each
// lists. Queries go to the configured DNS servers, all at once, each bounded.
void CheckSearchDomains(DiagnoseReport& report) {
    const std::vector<std::string> aSearch = ResolverSearchDomains();
    if (aSearch.empty()) {
        Add(report, Level::OK,
            "No DNS search domain is configured: hvl-scan --domain auto asks only the subnets.");
        return;
    }
    UnicastOptions options = UnicastOptionsFor({}, true);
    options.aParents = aSearch;
    options.bResolve = false;
    const UnicastReport result = CUnicastBrowser(options).Run(
        -1, [](const UnicastPrinter&) {}, [](const UnicastProblem&) {});
    for (const UnicastParentResult& parent : result.aParents) {
        if (parent.aSuggested.empty()) {
            // Most networks name none; only a failing server is a problem.
            const bool bFailed = parent.strError.find("NXDOMAIN") == std::string::npos &&
                                 parent.strError.find("no such record") == std::string::npos;
            Add(report, bFailed ? Level::WARN : Level::OK,
                PrintableProblem({"", "DNS search domain " + parent.strParent + " names no browse domain (" +
                                          parent.strError + ")" +
                                          (bFailed ? ": check the DNS server." : ".")}));
            continue;
        }
        std::string strText = "DNS search domain " + parent.strParent + " names browse domains:";
        for (size_t i = 0; i < parent.aSuggested.size(); ++i) {
            const std::string& strDomain = parent.aSuggested[i];
            strText += (i == 0 ? " " : ", ") + strDomain;
            for (const UnicastDomainResult& domain : result.aDomains) {
                if (domain.strDomain != strDomain) continue;
                strText += domain.nInstances > 0 ? " (" + std::to_string(domain.nInstances) + " printers)"
                                                 : " (no printer: " + domain.strError + ")";
            }
        }
        Add(report, Level::OK, PrintableText(BoundedNetworkText(strText + ".", 2048), PrintTarget::TERMINAL));
    }
}

}  // namespace

DiagnoseReport RunDiagnose(DiagnoseScope nScope) {
    DiagnoseReport report;
    const bool bAvahi = CheckBusAndAvahi(report, 0);
    const std::vector<Ipv4Address> aAddresses = ReadIpv4Addresses();
    // A missing multicast route is only a warning: avahi-daemon and the UPnP
    // search pick each interface themselves, and find printers without one.
    const bool bInterface = CheckInterfaces(report, aAddresses);
    const bool bMdnsSocket = CheckRoute(report, aAddresses, "224.0.0.251", 5353, "mDNS");
    const bool bUpnpSocket = CheckRoute(report, aAddresses, "239.255.255.250", 1900, "UPnP");
    const bool bNetwork = bInterface && bMdnsSocket && bUpnpSocket;
    bool bMdnsOn = true;
    bool bUpnpOn = true;
    CheckSettings(report, bMdnsOn, bUpnpOn);
    for (const DiscoveryMethod* pMethod : DiscoveryMethods()) {
        if (pMethod->pfnDiagnose) pMethod->pfnDiagnose(report.aLines, nScope == DiagnoseScope::EVERYTHING);
    }
    if (nScope == DiagnoseScope::EVERYTHING) CheckSearchDomains(report);
    report.bMdnsCanWork = bAvahi && bNetwork && bMdnsOn;
    report.bUpnpCanWork = bNetwork && bUpnpOn;
    return report;
}

bool DiagnoseBusAndAvahi(DiagnoseReport& report) {
    return CheckBusAndAvahi(report);
}

DiagnoseReport DiagnoseAvahiCache(size_t nPrinters) {
    // The daemon is not asked: after a scan, one that froze costs nothing more.
    CBusReply pid;  // before the bus: a late reply is dropped with it
    {
        const auto tEnd = CBoundedBus::Clock::now() + std::chrono::milliseconds(DIAGNOSE_BUS_TIMEOUT_MS);
        CBoundedBus bus;
        GError* pError = nullptr;
        const std::string strAddress = CBoundedBus::SystemBusAddress(&pError);
        if (!strAddress.empty() && bus.Connect(strAddress, tEnd, &pError)) {
            AskAvahiPid(bus, pid);
            bus.RunUntil([&] { return pid.bAnswered; }, tEnd);
        }
        g_clear_error(&pError);
    }
    DiagnoseReport report;
    CheckAvahiCache(report, pid, nPrinters);
    return report;
}

DiagnoseLine DiagnosePublish(const ScanOptions& args) {
    std::vector<DiagnoseLine> aLines;
    PublishTarget target;
    target.strDomain = args.strPublishDomain;
    target.strServer = args.strPublishServer;
    std::string strWhy;
    if (!ReadTsigKeyFile(args.strPublishKey, target.key, strWhy)) {
        AddDiagnoseLine(aLines, Level::FAIL, "publish " + args.strPublishDomain + ": " + strWhy);
        return aLines.front();
    }
    const std::string strKey = target.key.strName;
    CDnsPublisher publisher(std::move(target));
    const PublishResult result = publisher.CheckKey();
    if (result.bOk) {
        AddDiagnoseLine(aLines, Level::OK,
                        "publish " + args.strPublishDomain + ": the server " + result.strServer +
                            " accepts key '" + strKey + "'.");
    } else {
        AddDiagnoseLine(aLines, Level::FAIL, "publish " + args.strPublishDomain + ": " + result.strWhy + ".");
    }
    return aLines.front();
}
