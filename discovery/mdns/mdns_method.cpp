#include "mdns_method.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

#include "mdns_direct.h"

namespace {

using Level = DiagnoseLine::Level;

std::string MdnsUnavailableText() {
    // The dns_sd library tells no address with a resolve.
    if (std::string_view(MdnsBackendName()) == "dnssd")
        return "MDNS: this build's DNS-SD client (dns_sd) cannot run the live scan; --window-scan can.";
    return UnavailableText(MDNS_METHOD, " (avahi-daemon cannot be reached on the D-Bus system bus)");
}

// A printer's web address names its mDNS host ("http://NAME.local/"): the
// browser finds it through the system resolver only when nsswitch.conf's
// hosts line has an nss-mdns entry (mdns, mdns4, mdns_minimal, ...).
std::string MdnsEntryOfHostsLine(const std::string& strNsswitch) {
    size_t nPos = 0;
    while (nPos < strNsswitch.size()) {
        size_t nEnd = strNsswitch.find('\n', nPos);
        if (nEnd == std::string::npos) nEnd = strNsswitch.size();
        std::string strLine = strNsswitch.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        strLine = strLine.substr(0, strLine.find('#'));
        const size_t nStart = strLine.find_first_not_of(" \t");
        if (nStart == std::string::npos || strLine.compare(nStart, 6, "hosts:") != 0) continue;
        size_t nWord = nStart + 6;
        std::string strFound;
        while ((nWord = strLine.find_first_not_of(" \t", nWord)) != std::string::npos) {
            const size_t nWordEnd = std::min(strLine.find_first_of(" \t", nWord), strLine.size());
            const std::string strWord = strLine.substr(nWord, nWordEnd - nWord);
            if (strFound.empty() && strWord.rfind("mdns", 0) == 0) strFound = strWord;
            nWord = nWordEnd;
        }
        return strFound;
    }
    return {};
}

void CheckLocalNameLookup(std::vector<DiagnoseLine>& aLines, const char* pszNsswitch) {
    std::string strText;
    if (FILE* pFile = std::fopen(pszNsswitch, "re")) {
        char szChunk[4096];
        size_t n;
        while ((n = std::fread(szChunk, 1, sizeof szChunk, pFile)) > 0 && strText.size() < (1u << 20)) {
            strText.append(szChunk, n);
        }
        std::fclose(pFile);
    }
    const std::string strEntry = MdnsEntryOfHostsLine(strText);
    if (!strEntry.empty()) {
        AddDiagnoseLine(aLines, Level::OK,
                        std::string("The system resolver looks up .local names (") + strEntry +
                            " on the hosts line of " + pszNsswitch + ").");
        return;
    }
    AddDiagnoseLine(
        aLines, Level::WARN,
        std::string("The system resolver cannot look up .local names (no mdns entry on the hosts line of ") +
            pszNsswitch +
            "): printers' web addresses will not open in the browser. Install libnss-mdns (sudo apt install "
            "libnss-mdns), which adds mdns4_minimal to that line.");
}

// Whether printers answer one-shot queries, the live scan's direct path
// (sent only by --diagnose itself, not after a scan).
void CheckOneShotAnswers(std::vector<DiagnoseLine>& aLines) {
    MdnsDirectSettings settings;
    settings.aTypes = {"_printer._tcp", "_pdl-datastream._tcp", "_ipp._tcp", "_ipps._tcp"};
    CMdnsDirectQuerier querier(std::move(settings));
    std::set<std::string> aPrinters;  // by host: one printer under several types counts once
    const int nError = querier.Run(
        -1, [&aPrinters](const MdnsDirectService& service) { aPrinters.insert(service.strHostTarget); });
    if (nError != 0) {
        AddDiagnoseLine(aLines, Level::WARN,
                        std::string("MDNS: one-shot queries cannot be sent (") + std::strerror(nError) +
                            "): printers are listed only from avahi-daemon's cache.");
        return;
    }
    const MdnsDirectStats& stats = querier.GetStats();
    const std::string strBuffer =
        " (receive buffer " + std::to_string(stats.nReceiveBuffer / 1024) + " KiB).";
    if (aPrinters.empty()) {
        AddDiagnoseLine(
            aLines, Level::OK,
            "MDNS: no printer answered one-shot queries; those that answer only avahi-daemon are listed "
            "through its cache" +
                strBuffer);
        return;
    }
    AddDiagnoseLine(aLines, Level::OK,
                    "MDNS: " + std::to_string(aPrinters.size()) + " printer host(s) from " +
                        std::to_string(stats.aResponders.size()) +
                        " address(es) answer one-shot queries directly" + strBuffer);
}

void DiagnoseMdns(std::vector<DiagnoseLine>& aLines, bool bWhole) {
    // Only the web addresses need it: a scan works without.
    CheckLocalNameLookup(aLines, "/etc/nsswitch.conf");
    if (bWhole) CheckOneShotAnswers(aLines);
}

}  // namespace

const DiscoveryMethod MDNS_METHOD{
    .nKind = PROVIDER_KIND_MDNS,
    .strSource = u"mdns",
    .strName = u"MDNS",
    .bOnByDefault = true,
    .pszOption = "no-mdns",
    .pszOptionHelp = "Leave multicast DNS out of this scan",
    .strDaemon = u"avahi-daemon",
    .pfnUnavailableText = MdnsUnavailableText,
    .pfnCreateLiveSource =
        [](const LiveScanSettings& settings) {
            return CreateLiveMdnsSource(settings, CreateSystemDnsSdClient());
        },
    .pfnDiagnose = DiagnoseMdns,
};
