// Reads arbitrary bytes as an SNMP reply, as the SNMP search and status
// queries do, and every value as they would: texts (names, device IDs) come
// out bounded and free of control characters, levels as a percentage or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "network_text.h"
#include "snmp_finder.h"
#include "snmp_status.h"

namespace {

void CheckText(const std::u16string& str, size_t nMax) {
    if (str.size() > nMax) std::abort();
    for (char16_t c : str) {
        if (IsControlCharacter(c)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    SnmpResponse response;
    if (!ParseSnmpResponse(std::string_view(reinterpret_cast<const char*>(pData), nSize), response)) return 0;
    int64_t aIntegers[4] = {};
    size_t nIntegers = 0;
    for (const SnmpValue& value : response.aValues) {
        if (value.nType == SnmpValue::Type::Octets) {
            CheckText(SnmpText(value.strOctets), 255);
            CheckText(SnmpDeviceIdModel(value.strOctets), 2048);
            PrinterStatus status;
            ReadSnmpPrinterState(value.nInteger, value.strOctets, status);
        } else if (value.nType == SnmpValue::Type::Integer) {
            aIntegers[nIntegers++ % 4] = value.nInteger;
        }
    }
    const SupplyLevel supply = SnmpSupply(aIntegers[0], "", aIntegers[1], aIntegers[2]);
    if (supply.nLevel > 100 || (supply.nLevel < 0 && supply.strLevelText.empty())) std::abort();
    return 0;
}
