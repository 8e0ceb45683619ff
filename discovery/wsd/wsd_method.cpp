#include "wsd_method.h"

#include "live_scan.h"

// WS-Discovery through the WSD finder, each printer as its metadata arrives.
std::unique_ptr<CLiveSource> CreateLiveWsdSource(const LiveScanSettings& settings);

namespace {

using Level = DiagnoseLine::Level;

// Per interface, whether the kernel lets a WS-Discovery Probe out of it.
void CheckWsdMulticast(std::vector<DiagnoseLine>& aLines) {
    std::string strThrough, strNot;
    for (const WsdRoute& route : WsdMulticastRoutes()) {
        std::string& strList = route.bIpv4 || route.bIpv6 ? strThrough : strNot;
        strList += (strList.empty() ? "" : ", ") + route.strInterface;
        if (route.bIpv4 || route.bIpv6)
            strList += route.bIpv4 && route.bIpv6 ? " (IPv4, IPv6)" : route.bIpv4 ? " (IPv4)" : " (IPv6)";
    }
    const std::string strWhat = "WS-Discovery multicast (239.255.255.250 and ff02::c, port 3702)";
    if (strThrough.empty()) {
        AddDiagnoseLine(aLines, Level::WARN,
                        strWhat + " leaves through no interface" +
                            (strNot.empty() ? "" : " (not through " + strNot + ")") +
                            ": WS-Discovery printers cannot be found. Bring up an interface with multicast.");
        return;
    }
    AddDiagnoseLine(
        aLines, Level::OK,
        strWhat + " leaves through " + strThrough + (strNot.empty() ? "" : "; not through " + strNot) + ".");
}

void DiagnoseWsd(std::vector<DiagnoseLine>& aLines, bool) {
    CheckWsdMulticast(aLines);
}

}  // namespace

const DiscoveryMethod WSD_METHOD{
    .nKind = ROW_KIND_WSD,
    .strSource = u"wsd",
    .strName = u"WSD",
    .bOnByDefault = true,
    .pszOption = "no-wsd",
    .pszOptionHelp = "Leave WS-Discovery out of this scan",
    .strDaemon = {},
    .pfnUnavailableText = nullptr,
    .pfnCreateLiveSource = CreateLiveWsdSource,
    .pfnDiagnose = DiagnoseWsd,
};
