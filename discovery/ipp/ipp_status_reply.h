// Reads a Get-Printer-Attributes reply into a PrinterStatus.
#pragma once

#include <cups/ipp.h>

#include <string_view>

#include "ipp_status.h"

// The attributes asked for: state, reasons, message, identity and both
// forms of supply levels printers use.
extern const char* const IPP_STATUS_ATTRIBUTES[];
extern const int IPP_STATUS_ATTRIBUTE_COUNT;

// Fills state, accepting, reasons, message, identity and supplies from a
// successful reply. False when the reply carries no usable printer-state
// (then it is not a printer's answer and the status is left as NoIpp).
bool ReadStatusReply(ipp_t* pResponse, PrinterStatus& status);

enum class StatusReply {
    ANSWERED,   // a printer's status, read into the status
    NOT_FOUND,  // IPP client-error-not-found: the printer has not that path
    NOT_IPP,    // not an IPP message, or no printer's answer
};

// An IPP message from its bytes; null when they are none, or hold more than
// 2048 attributes or 32768 values (free with ippDelete).
ipp_t* ReadIppMessage(std::string_view body);

// The body of an HTTP reply, as it came from the network, read as an IPP
// message and then as above.
StatusReply ReadStatusReplyBody(std::string_view body, PrinterStatus& status);

// One PWG printer-supply value ("type=toner;level=40;maxcapacity=100;...")
// and its description; false when it has none of the keys a level needs.
bool ReadPwgSupply(std::string_view strValue, std::u16string_view strDescription, SupplyLevel& supply);
