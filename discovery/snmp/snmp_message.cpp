#include "snmp_message.h"

// net-snmp's headers need its configuration first.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>
// clang-format on

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "network_text.h"
#include "trace_log.h"

namespace {

// net-snmp's encoder and parser keep their error details in globals: one
// caller at a time.
std::mutex& NetSnmpMutex() {
    static std::mutex mutex;
    return mutex;
}

// net-snmp writes what it finds wrong in a peer's message ("bad type
// returned") to stderr while no log handler is registered: any host could
// flood a service's journal. Its lines go to the trace log instead.
int TraceNetSnmpLine(int, int, void*, void* pData) {
    const auto* pMessage = static_cast<const snmp_log_message*>(pData);
    if (pMessage != nullptr && pMessage->msg != nullptr)
        TraceMessage(TRACE_WARNING, nullptr, u"SNMP: net-snmp: %s", TrimmedNetworkText(pMessage->msg, 255));
    return 0;
}

// Under NetSnmpMutex, before net-snmp's first use.
void RouteNetSnmpLogOnce() {
    static bool bDone = false;
    if (bDone) return;
    bDone = true;
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, TraceNetSnmpLine, nullptr);
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
}

struct PduDeleter {
    void operator()(netsnmp_pdu* pPdu) const { snmp_free_pdu(pPdu); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

SnmpOid OidOf(const oid* pOid, size_t nLength) {
    SnmpOid result;
    result.reserve(nLength);
    for (size_t i = 0; i < nLength; ++i) result.push_back(static_cast<uint32_t>(pOid[i]));
    return result;
}

SnmpValue ValueOf(const netsnmp_variable_list& var) {
    SnmpValue value;
    value.oid = OidOf(var.name, var.name_length);
    switch (var.type) {
        case ASN_INTEGER:
        case ASN_COUNTER:
        case ASN_GAUGE:
        case ASN_TIMETICKS:
            if (var.val.integer == nullptr) break;
            value.nType = SnmpValue::Type::Integer;
            // Counter, Gauge and TimeTicks are unsigned 32-bit.
            value.nInteger = var.type == ASN_INTEGER ? static_cast<int64_t>(*var.val.integer)
                                                     : static_cast<int64_t>(*var.val.integer & 0xFFFFFFFFul);
            break;
        case ASN_OCTET_STR:
            value.nType = SnmpValue::Type::Octets;
            if (var.val.string != nullptr)
                value.strOctets.assign(reinterpret_cast<const char*>(var.val.string), var.val_len);
            break;
        case ASN_OBJECT_ID:
            value.nType = SnmpValue::Type::Oid;
            if (var.val.objid != nullptr) value.oidValue = OidOf(var.val.objid, var.val_len / sizeof(oid));
            break;
        case ASN_NULL:
        case SNMP_NOSUCHOBJECT:
        case SNMP_NOSUCHINSTANCE:
        case SNMP_ENDOFMIBVIEW:
            break;
        default:
            value.nType = SnmpValue::Type::Other;
            break;
    }
    return value;
}

}  // namespace

std::string BuildSnmpRequest(const SnmpRequest& request) {
    if (request.aOids.empty() || request.strCommunity.size() > 255) return {};
    std::lock_guard<std::mutex> lock(NetSnmpMutex());
    RouteNetSnmpLogOnce();
    netsnmp_session session;
    snmp_sess_init(&session);  // also sets the library up, once
    session.version = request.nVersion;
    std::string strCommunity = request.strCommunity;
    session.community = reinterpret_cast<u_char*>(strCommunity.data());
    session.community_len = strCommunity.size();

    PduPtr pPdu(snmp_pdu_create(request.nKind == SnmpRequestKind::Get ? SNMP_MSG_GET : SNMP_MSG_GETNEXT));
    if (!pPdu) return {};
    pPdu->version = request.nVersion;
    pPdu->reqid = request.nRequestId;
    pPdu->msgid = request.nRequestId;
    for (const SnmpOid& id : request.aOids) {
        if (id.empty() || id.size() > MAX_OID_LEN) return {};
        oid aName[MAX_OID_LEN];
        for (size_t i = 0; i < id.size(); ++i) aName[i] = id[i];
        if (snmp_add_null_var(pPdu.get(), aName, id.size()) == nullptr) return {};
    }
    size_t nSize = 2048;
    size_t nOffset = 0;
    auto* pBuffer = static_cast<u_char*>(std::malloc(nSize));
    if (pBuffer == nullptr) return {};
    std::string strBytes;
    // Encoded backwards: the message ends at the end of the buffer (which
    // net-snmp may have grown).
    if (snmp_build(&pBuffer, &nSize, &nOffset, &session, pPdu.get()) == 0 && nOffset <= nSize)
        strBytes.assign(reinterpret_cast<const char*>(pBuffer + nSize - nOffset), nOffset);
    std::free(pBuffer);
    return strBytes;
}

bool ParseSnmpResponse(std::string_view bytes, SnmpResponse& response) {
    if (bytes.empty() || bytes.size() > 65535) return false;
    std::string strCopy(bytes);  // net-snmp reads from a mutable buffer
    auto* pData = reinterpret_cast<u_char*>(strCopy.data());
    size_t nLength = strCopy.size();
    u_char aCommunity[256];
    size_t nCommunity = sizeof aCommunity;
    long nVersion = -1;
    std::lock_guard<std::mutex> lock(NetSnmpMutex());
    RouteNetSnmpLogOnce();
    // The v1/v2c header alone: an SNMPv3 message never reaches the parser.
    u_char* pPduData = snmp_comstr_parse(pData, &nLength, aCommunity, &nCommunity, &nVersion);
    if (pPduData == nullptr || (nVersion != SNMP_VERSION_1 && nVersion != SNMP_VERSION_2c)) return false;
    PduPtr pPdu(static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu))));
    if (!pPdu) return false;
    pPdu->version = nVersion;
    if (snmp_pdu_parse(pPdu.get(), pPduData, &nLength) != 0 || pPdu->command != SNMP_MSG_RESPONSE)
        return false;
    response = {};
    response.nVersion = nVersion;
    response.strCommunity.assign(reinterpret_cast<const char*>(aCommunity), nCommunity);
    response.nRequestId = static_cast<int32_t>(pPdu->reqid);
    response.nErrorStatus = pPdu->errstat;
    response.nErrorIndex = pPdu->errindex;
    for (const netsnmp_variable_list* pVar = pPdu->variables; pVar != nullptr; pVar = pVar->next_variable)
        response.aValues.push_back(ValueOf(*pVar));
    return true;
}

bool OidStartsWith(const SnmpOid& id, const SnmpOid& prefix) {
    return id.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), id.begin());
}

const SnmpValue* FindSnmpValue(const std::vector<SnmpValue>& aValues, const SnmpOid& id) {
    for (const SnmpValue& value : aValues) {
        if (value.oid == id) return &value;
    }
    return nullptr;
}

std::u16string SnmpText(std::string_view octets, size_t nMaxUnits) {
    while (!octets.empty() && octets.back() == '\0') octets.remove_suffix(1);
    size_t nControls = 0;
    for (unsigned char c : octets) {
        if (c == 0) return {};
        if (c < 0x20 || c == 0x7F) ++nControls;
    }
    if (nControls * 2 > octets.size()) return {};
    if (g_utf8_validate(octets.data(), static_cast<gssize>(octets.size()), nullptr))
        return TrimmedNetworkText(octets, nMaxUnits);
    std::string strUtf8;  // Latin-1, byte by byte
    for (unsigned char c : octets) {
        if (c < 0x80) {
            strUtf8 += static_cast<char>(c);
        } else {
            strUtf8 += static_cast<char>(0xC0 | (c >> 6));
            strUtf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return TrimmedNetworkText(strUtf8, nMaxUnits);
}
