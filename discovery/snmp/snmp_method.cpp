#include "snmp_method.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "live_scan.h"
#include "snmp_finder.h"
#include "snmp_message.h"

// SNMP through the finder: broadcast, or the settings' addresses unicast.
std::unique_ptr<CLiveSource> CreateLiveSnmpSource(const LiveScanSettings& settings);

namespace {

using Level = DiagnoseLine::Level;

std::string SnmpUnavailableText() {
    return UnavailableText(SNMP_METHOD,
                           " (no IPv4 interface that is up can broadcast; --subnet asks unicast)");
}

// Whether its broadcast can leave, nothing sent.
void CheckSnmpBroadcast(std::vector<DiagnoseLine>& aLines) {
    const std::vector<SnmpBroadcastTarget> aTargets = SnmpBroadcastTargets();
    if (aTargets.empty()) {
        AddDiagnoseLine(
            aLines, Level::WARN,
            "No IPv4 interface that is up can broadcast: hvl-scan --snmp finds printers only with --subnet.");
        return;
    }
    for (const SnmpBroadcastTarget& target : aTargets) {
        char szTo[INET_ADDRSTRLEN] = "?";
        const in_addr to4{htonl(target.nAddress)};
        inet_ntop(AF_INET, &to4, szTo, sizeof szTo);
        const std::string strWhat = std::string("SNMP broadcast to ") + szTo + " port 161";
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int nOn = 1;
        struct sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(161);
        to.sin_addr = to4;
        // connect() on UDP asks the kernel for the route and sends nothing.
        const bool bLeaves = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn) == 0 &&
                             connect(fd, reinterpret_cast<const struct sockaddr*>(&to), sizeof to) == 0;
        const int nError = errno;
        if (fd >= 0) close(fd);
        if (bLeaves) {
            AddDiagnoseLine(aLines, Level::OK,
                            strWhat + " can leave " + target.strInterface + " (sent only with --snmp).");
        } else {
            AddDiagnoseLine(aLines, Level::WARN,
                            strWhat + " cannot leave " + target.strInterface + ": " + std::strerror(nError) +
                                "; hvl-scan --snmp finds no printer there without --subnet.");
        }
    }
}

// SNMP is off unless asked: only --diagnose tells of its broadcast.
void DiagnoseSnmp(std::vector<DiagnoseLine>& aLines, bool bWhole) {
    if (bWhole) CheckSnmpBroadcast(aLines);
}

// The watch asks an SNMP row for sysUpTime.0 with the community it
// answered, over SNMPv1, which every agent speaks: any reply is an answer.
std::string SnmpLivenessRequest(const ScanRow& row) {
    static const SnmpOid SYS_UP_TIME{1, 3, 6, 1, 2, 1, 1, 3, 0};
    return BuildSnmpRequest({SNMP_V1, row.strSnmpCommunity, 1, SnmpRequestKind::Get, {SYS_UP_TIME}});
}

bool SnmpLivenessAnswers(std::string_view reply) {
    SnmpResponse response;
    return ParseSnmpResponse(reply, response);
}

const LivenessDatagram SNMP_LIVENESS{161, SnmpLivenessRequest, SnmpLivenessAnswers};

}  // namespace

const DiscoveryMethod SNMP_METHOD{
    .nKind = ROW_KIND_SNMP,
    .strSource = u"snmp",
    .strName = u"SNMP",
    .bOnByDefault = false,
    .pszOption = "snmp",
    .pszOptionHelp = "Also find printers over SNMP: a request to every host of the local subnets (see below)",
    .strDaemon = {},
    .pfnUnavailableText = SnmpUnavailableText,
    .pfnCreateLiveSource = CreateLiveSnmpSource,
    .pfnDiagnose = DiagnoseSnmp,
    .pLiveness = &SNMP_LIVENESS,
};
