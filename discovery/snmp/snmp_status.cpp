#include "snmp_status.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "conv_string.h"
#include "snmp_message.h"

namespace {

using Clock = std::chrono::steady_clock;

const SnmpOid HR_PRINTER_STATUS_1{1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 1, 1};
const SnmpOid HR_PRINTER_ERROR_STATE_1{1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 2, 1};
const SnmpOid PRT_MARKER_LIFE_COUNT_1_1{1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 1};
// prtMarkerSuppliesTable's columns: class, description, max capacity, level.
const SnmpOid SUPPLY_COLUMNS[] = {{1, 3, 6, 1, 2, 1, 43, 11, 1, 1, 4},
                                  {1, 3, 6, 1, 2, 1, 43, 11, 1, 1, 6},
                                  {1, 3, 6, 1, 2, 1, 43, 11, 1, 1, 8},
                                  {1, 3, 6, 1, 2, 1, 43, 11, 1, 1, 9}};
constexpr size_t MAX_SUPPLIES = 32;

// Request and answer over one connected, non-blocking UDP socket, resent
// every second until the deadline. Each community is asked in v2c and in v1
// at once (agents of the oldest printers ignore v2c); the first pair that
// answers is the one to go on with.
class CExchange {
public:
    CExchange(int hSocket, const std::vector<std::string>& aCommunities, Clock::time_point tDeadline,
              const std::atomic<bool>& bCancel)
        : m_hSocket(hSocket), m_tDeadline(tDeadline), m_bCancel(bCancel) {
        for (const std::string& strCommunity : aCommunities) {
            for (const long nVersion : {SNMP_V2C, SNMP_V1}) m_aDialects.push_back({strCommunity, nVersion});
        }
    }

    // True with the answer, its error status included; false when nothing
    // answered before the deadline or the cancel, or no agent is there.
    bool Ask(SnmpRequestKind nKind, const std::vector<SnmpOid>& aOids, SnmpResponse& response) {
        std::vector<std::pair<int32_t, std::string>> aSent;
        for (const auto& [strCommunity, nVersion] : m_aDialects) {
            const int32_t nId = ++m_nLastId;
            aSent.push_back({nId, BuildSnmpRequest({nVersion, strCommunity, nId, nKind, aOids})});
        }
        Clock::time_point tResend = Clock::now();
        while (!m_bCancel.load() && Clock::now() < m_tDeadline) {
            if (Clock::now() >= tResend) {
                for (const auto& [nId, strPacket] : aSent)
                    send(m_hSocket, strPacket.data(), strPacket.size(), 0);
                tResend += std::chrono::seconds(1);
            }
            if (!WaitReadable(tResend)) continue;
            // Readable may still read nothing (a datagram dropped for its
            // checksum): the socket does not block, the loop goes on.
            const ssize_t n = recv(m_hSocket, m_aBuffer, sizeof m_aBuffer, 0);
            if (n < 0 && errno == ECONNREFUSED) return false;  // no agent there
            if (n <= 0 || !ParseSnmpResponse(std::string_view(m_aBuffer, n), response)) continue;
            for (size_t i = 0; i < aSent.size(); ++i) {
                if (aSent[i].first != response.nRequestId) continue;
                m_aDialects = {m_aDialects[i]};
                return true;
            }
        }
        return false;
    }

private:
    // Up to the deadline, the resend or 100 ms (to look at the cancel again).
    bool WaitReadable(Clock::time_point tResend) const {
        const auto tWake = std::min({m_tDeadline, tResend, Clock::now() + std::chrono::milliseconds(100)});
        pollfd fd{m_hSocket, POLLIN, 0};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(tWake - Clock::now()).count();
        return poll(&fd, 1, static_cast<int>(std::max<int64_t>(wait + 1, 0))) > 0;
    }

    const int m_hSocket;
    std::vector<std::pair<std::string, long>> m_aDialects;  // community, version
    const Clock::time_point m_tDeadline;
    const std::atomic<bool>& m_bCancel;
    int32_t m_nLastId = 0x2000;
    char m_aBuffer[65536];
};

// A Get that an SNMPv1 agent refuses for one name it lacks is asked again
// without that name.
bool AskGet(CExchange& exchange, std::vector<SnmpOid> aOids, SnmpResponse& response) {
    while (exchange.Ask(SnmpRequestKind::Get, aOids, response)) {
        if (response.nErrorStatus == 0) return true;
        const long nIndex = response.nErrorIndex;
        if (response.nErrorStatus != SNMP_NO_SUCH_NAME || nIndex < 1 || nIndex > std::ssize(aOids) ||
            aOids.size() == 1)
            return false;
        aOids.erase(aOids.begin() + (nIndex - 1));
    }
    return false;
}

int64_t IntegerOf(const SnmpValue* pValue, int64_t nDefault) {
    return pValue && pValue->nType == SnmpValue::Type::Integer ? pValue->nInteger : nDefault;
}

// Walks the supplies table a row at a time (GetNext on its four columns).
void ReadSupplies(CExchange& exchange, PrinterStatus& status) {
    std::vector<SnmpOid> aNext(std::begin(SUPPLY_COLUMNS), std::end(SUPPLY_COLUMNS));
    while (status.aSupplies.size() < MAX_SUPPLIES) {
        SnmpResponse response;
        if (!exchange.Ask(SnmpRequestKind::GetNext, aNext, response) || response.nErrorStatus != 0 ||
            response.aValues.size() != aNext.size())
            return;
        const SnmpOid& classOid = response.aValues[0].oid;
        // An agent whose GetNext does not move forward would repeat a row.
        if (!OidStartsWith(classOid, SUPPLY_COLUMNS[0]) || classOid.size() == SUPPLY_COLUMNS[0].size() ||
            classOid <= aNext[0])
            return;
        const SnmpOid index(classOid.begin() + SUPPLY_COLUMNS[0].size(), classOid.end());
        // A column without this row reads as missing.
        const SnmpValue* aCells[4] = {};
        for (size_t i = 0; i < 4; ++i) {
            SnmpOid cell = SUPPLY_COLUMNS[i];
            cell.insert(cell.end(), index.begin(), index.end());
            if (response.aValues[i].oid == cell) aCells[i] = &response.aValues[i];
            aNext[i] = std::move(cell);
        }
        status.aSupplies.push_back(SnmpSupply(IntegerOf(aCells[0], 0), aCells[1] ? aCells[1]->strOctets : "",
                                              IntegerOf(aCells[2], -2), IntegerOf(aCells[3], -2)));
        // The row's index is hrDeviceIndex.prtMarkerSuppliesIndex.
        if (!index.empty() && index.back() <= INT32_MAX)
            status.aSupplies.back().nIndex = int32_t(index.back());
    }
}

}  // namespace

void ReadSnmpPrinterState(int64_t nStatus, std::string_view errorBits, PrinterStatus& status) {
    status.nState = nStatus == 4 ? PrinterState::Printing : PrinterState::Idle;
    if (nStatus == 5) status.aReasons.push_back({u"warming-up-report", ReasonSeverity::Report});
    static const char16_t* const REASONS[8] = {
        u"media-low-warning", u"media-empty-error", u"toner-low-warning", u"toner-empty-error",
        u"door-open-error",   u"media-jam-error",   u"offline-report",    u"service-requested-warning"};
    const auto nBits = errorBits.empty() ? 0u : static_cast<unsigned char>(errorBits[0]);
    for (int i = 0; i < 8; ++i) {
        if ((nBits & (0x80u >> i)) == 0) continue;
        status.aReasons.push_back({REASONS[i], SeverityOfReason(REASONS[i])});
        if (i == 6) status.nState = PrinterState::Stopped;
    }
}

SupplyLevel SnmpSupply(int64_t nClass, std::string_view description, int64_t nMaxCapacity, int64_t nLevel) {
    SupplyLevel supply;
    supply.strName = SnmpText(description);
    supply.bReceptacle = nClass == 4;
    if (nLevel == -3) {
        supply.strLevelText = u"some remaining";
    } else if (nLevel == -1) {
        supply.strLevelText = u"other";
    } else if (nLevel < 0 || nMaxCapacity <= 0) {
        supply.strLevelText = u"unknown";
    } else {
        // A receptacle's level is the space it has left: full is the rest.
        const int64_t nAmount = std::min<int64_t>(nLevel, nMaxCapacity);
        supply.nLevel = static_cast<int32_t>((supply.bReceptacle ? nMaxCapacity - nAmount : nAmount) * 100 /
                                             nMaxCapacity);
    }
    return supply;
}

PrinterStatus QuerySnmpStatus(const std::string& strAddress, const std::vector<std::string>& aCommunities,
                              std::chrono::milliseconds bound, const std::atomic<bool>& bCancel,
                              uint16_t nPort) {
    PrinterStatus status;
    status.bFromSnmp = true;
    status.strUri = Utf8ToUtf16("snmp://" + strAddress);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(nPort);
    if (aCommunities.empty() || inet_pton(AF_INET, strAddress.c_str(), &to.sin_addr) != 1) return status;
    const int hSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (hSocket < 0) return status;
    // Connected: only that host's answers come in, and a refusal shows.
    if (connect(hSocket, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        CExchange exchange(hSocket, aCommunities, Clock::now() + bound, bCancel);
        SnmpResponse response;
        if (AskGet(exchange, {HR_PRINTER_STATUS_1, HR_PRINTER_ERROR_STATE_1, PRT_MARKER_LIFE_COUNT_1_1},
                   response)) {
            const SnmpValue* pStatus = FindSnmpValue(response.aValues, HR_PRINTER_STATUS_1);
            const SnmpValue* pBits = FindSnmpValue(response.aValues, HR_PRINTER_ERROR_STATE_1);
            if (pStatus && pStatus->nType == SnmpValue::Type::Integer) {
                ReadSnmpPrinterState(pStatus->nInteger, pBits ? std::string_view(pBits->strOctets) : "",
                                     status);
                status.nPageCount = IntegerOf(FindSnmpValue(response.aValues, PRT_MARKER_LIFE_COUNT_1_1), -1);
                ReadSupplies(exchange, status);
            }
        }
    }
    close(hSocket);
    return status;
}
