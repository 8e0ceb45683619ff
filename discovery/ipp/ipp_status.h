// What a printer says about itself over IPP: its state, why, and how full
// its supplies are. Filled from one Get-Printer-Attributes reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driverless.h"

enum class PrinterState {
    Idle,
    Printing,
    Stopped,
    NoIpp,      // refused, or something other than an IPP printer answered
    NoAnswer,   // the bound passed: asleep, switched off or unreachable
    NotAsked,   // the scan ended (--timeout, Ctrl+C) before its turn came
    NeedsAuth,  // an IPP server that wants credentials (HTTP 401 or 403); last: --state names by order
};

// Severity of a printer-state-reasons keyword, from its suffix. A keyword
// without one ("identify-printer-requested", "moving-to-paused") is a report,
// as CUPS reads it.
enum class ReasonSeverity { Report, Warning, Error };

struct StateReason {
    std::u16string strKeyword;  // as the printer sent it, suffix included
    ReasonSeverity nSeverity = ReasonSeverity::Error;
};

struct SupplyLevel {
    std::u16string strName;
    std::u16string strType;   // "toner", "ink", ... (empty when not given)
    std::u16string strColor;  // "#000000" (marker-colors) or "black" (colorantname)
    int32_t nLevel = -1;      // percent; below 0: unknown
    int32_t nLow = -1;        // percent at which the printer calls it low; below 0: unknown
    // A receptacle (waste toner) fills up: its level says how full it is.
    bool bReceptacle = false;
    // A level the printer gives as no percentage: "some remaining", "unknown",
    // "other" (SNMP's -3, -2, -1); empty otherwise.
    std::u16string strLevelText{};
    // The printer's own number of it (prtMarkerSuppliesIndex, printer-supply's
    // index, else its place in the printer's list from 1); below 0: unknown.
    int32_t nIndex = -1;
};

struct PrinterStatus {
    PrinterState nState = PrinterState::NoAnswer;
    int32_t nAccepting = -1;            // printer-is-accepting-jobs: 1, 0, or -1 when not given
    std::vector<StateReason> aReasons;  // "none" left out
    std::vector<SupplyLevel> aSupplies;
    std::u16string strMessage;
    std::u16string strMakeAndModel;
    std::u16string strUuid;
    std::u16string strMoreInfo;
    std::u16string strLocation;  // printer-location
    std::u16string strUri;       // the URI that answered (or the last one tried)
    // What Windows' IPP class driver and Mopria read: printer-device-id
    // ("MFG:...;MDL:...;"), printer-firmware-name and -string-version (first
    // values), ipp-features-supported, mopria-certified ("2.0"); empty when not told.
    std::u16string strDeviceId;
    std::u16string strFirmwareName;
    std::u16string strFirmwareVersion;
    std::vector<std::u16string> aIppFeatures;
    std::u16string strMopriaCertified;
    bool bFromSnmp = false;        // read over SNMP (Host Resources and Printer MIB), not IPP
    int64_t nPageCount = -1;       // pages printed in its life (SNMP); below 0: unknown
    DriverlessVerdict driverless;  // judged when asked for (hvl-scan --driverless)
};

// "idle", "printing", "stopped", "no IPP", "needs authentication", "no answer", "not asked".
const char16_t* PrinterStateText(PrinterState nState);

ReasonSeverity SeverityOfReason(std::u16string_view strKeyword);

// The first reason of the highest severity, or null.
const StateReason* MostSevereReason(const PrinterStatus& status);

// The supply (not a receptacle) with the lowest known level, or null when no
// level is known.
const SupplyLevel* LowestSupply(const PrinterStatus& status);

// False when the printer was asked and did not answer, is stopped, does not
// accept jobs or has an error reason; one never asked tells nothing against it.
bool IsStatusHealthy(const PrinterStatus& status);

// The table's status column: "idle  toner-low (Black Toner 8%)".
std::u16string StatusSummary(const PrinterStatus& status);
