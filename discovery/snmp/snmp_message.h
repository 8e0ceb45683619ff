// SNMPv1/v2c messages as printers exchange them: requests made and replies
// read by net-snmp's encoder, object identifiers and values in the project's
// own types, and the rule for showing an OctetString as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using SnmpOid = std::vector<uint32_t>;

constexpr long SNMP_V1 = 0;
constexpr long SNMP_V2C = 1;
// The error status by which an SNMPv1 agent refuses a whole Get for one name
// it does not have (the error index says which, from 1).
constexpr long SNMP_NO_SUCH_NAME = 2;

enum class SnmpRequestKind { Get, GetNext };

struct SnmpRequest {
    long nVersion = SNMP_V2C;
    std::string strCommunity = "public";
    int32_t nRequestId = 0;
    SnmpRequestKind nKind = SnmpRequestKind::Get;
    std::vector<SnmpOid> aOids;
};

// The request's bytes; empty when net-snmp could not build it.
std::string BuildSnmpRequest(const SnmpRequest& request);

struct SnmpValue {
    enum class Type {
        Integer,  // INTEGER, Counter, Gauge, TimeTicks: nInteger
        Octets,   // OCTET STRING: strOctets, raw
        Oid,      // OBJECT IDENTIFIER: oidValue
        Missing,  // noSuchObject, noSuchInstance, endOfMibView, NULL
        Other,    // any other type, its value left out
    };
    SnmpOid oid;
    Type nType = Type::Missing;
    int64_t nInteger = 0;
    std::string strOctets;
    SnmpOid oidValue;
};

struct SnmpResponse {
    long nVersion = SNMP_V2C;
    std::string strCommunity;
    int32_t nRequestId = 0;
    long nErrorStatus = 0;
    long nErrorIndex = 0;
    std::vector<SnmpValue> aValues;  // in the order sent
};

// Reads a GetResponse (v1 or v2c; anything else is refused). False for
// anything that is not one, whatever its bytes.
bool ParseSnmpResponse(std::string_view bytes, SnmpResponse& response);

bool OidStartsWith(const SnmpOid& oid, const SnmpOid& prefix);
// The value of oid among the values, or null.
const SnmpValue* FindSnmpValue(const std::vector<SnmpValue>& aValues, const SnmpOid& oid);

// An OctetString as text: UTF-8 when it is valid UTF-8, else Latin-1;
// trailing NULs dropped, control characters turned into spaces, trimmed,
// at most nMaxUnits long. Empty when the value is not text at all (binary
// data: a NUL inside, or more control characters than printable ones), so
// that it is never shown as a name.
std::u16string SnmpText(std::string_view octets, size_t nMaxUnits = 255);
