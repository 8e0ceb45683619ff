// Reads arbitrary bytes as the body of a printer's reply to Get-Printer-
// Attributes, as a status query does (libcups' ippReadIO from memory, then
// state, reasons, both supply forms and texts), and checks what comes out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ipp_status.h"
#include "ipp_status_reply.h"
#include "network_text.h"

namespace {

void Check(bool b) {
    if (!b) std::abort();
}

// Bounded and cleaned: no control character reaches a table, CSV or JSON.
void CheckText(const std::u16string& str, size_t nMax = 1024) {
    Check(str.size() <= nMax);
    for (const char16_t ch : str) Check(!IsControlCharacter(ch));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    PrinterStatus status;
    const StatusReply nReply =
        ReadStatusReplyBody(std::string_view(reinterpret_cast<const char*>(pData), nSize), status);
    if (nReply != StatusReply::ANSWERED) {
        Check(status.nState == PrinterState::NoIpp);
        return 0;
    }
    Check(status.nState == PrinterState::Idle || status.nState == PrinterState::Printing ||
          status.nState == PrinterState::Stopped);
    Check(status.nAccepting >= -1 && status.nAccepting <= 1);
    for (const std::u16string* pText : {&status.strMessage, &status.strMakeAndModel, &status.strUuid,
                                        &status.strMoreInfo, &status.strLocation})
        CheckText(*pText);
    for (const SupplyLevel& supply : status.aSupplies) {
        CheckText(supply.strName, 2 * 1024 + 1);  // or colour and type
        CheckText(supply.strType);
        CheckText(supply.strColor);
        Check(supply.nLevel >= -1 && supply.nLevel <= 100);
        Check(supply.nLow >= -1 && supply.nLow <= 100);
    }
    for (const StateReason& reason : status.aReasons) CheckText(reason.strKeyword);
    // What the table makes of it.
    const SupplyLevel* pLowest = LowestSupply(status);
    Check(!pLowest || pLowest->nLevel >= 0);
    Check(!StatusSummary(status).empty());
    return 0;
}
