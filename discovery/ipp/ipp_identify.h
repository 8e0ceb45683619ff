// hvl-scan --identify: the printer asked to show where it stands (flash,
// sound, a message on its display) with IPP Identify-Printer, bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "ipp_status_query.h"

enum class IdentifyResult {
    ASKED,          // the printer accepted the operation
    NOT_SUPPORTED,  // an IPP printer without Identify-Printer
    REFUSED,        // it has the operation and refused it (strStatus says how)
    NEEDS_AUTH,     // HTTP 401 or 403
    NOT_IPP,
    NO_ANSWER,
};

struct IdentifyOutcome {
    IdentifyResult nResult = IdentifyResult::NO_ANSWER;
    std::vector<std::string> aActions;  // those asked for: every one the printer lists
    std::string strUri;
    std::string strStatus;  // the IPP status of a refusal
};

// Where --identify asks: a numeric address (631, /ipp/print then /) or an
// ipp:// or ipps:// URI with a numeric host (a print server's queue); false
// for anything else.
bool IdentifyTargetFor(const std::string& strWhere, StatusTarget& target);

// First Get-Printer-Attributes (which actions, whether the operation is
// there), then Identify-Printer with those actions and the message
// "hvl-scan" where a display is one; both within one bound.
IdentifyOutcome IdentifyPrinter(const StatusTarget& target, std::chrono::milliseconds bound,
                                const std::atomic<bool>& bCancel);

// The one line that says what the printer was asked to do, or why not.
std::string IdentifyText(const IdentifyOutcome& outcome);
