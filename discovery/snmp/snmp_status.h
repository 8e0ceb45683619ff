// A printer's state over SNMP, for printers that do not speak IPP: the Host
// Resources MIB's printer status and detected error bits, the Printer MIB's
// supplies and page count. One UDP exchange at a time, the whole bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ipp_status.h"

// State and reasons from hrPrinterStatus (1 other, 2 unknown and 3 idle as
// idle, 4 printing, 5 warming up) and the bits of hrPrinterDetectedErrorState
// (first octet, most significant bit first: low paper, no paper, low toner,
// no toner, door open, jammed, offline, service requested), as IPP names
// them; offline stops the printer.
void ReadSnmpPrinterState(int64_t nStatus, std::string_view errorBits, PrinterStatus& status);

// One row of prtMarkerSuppliesTable: class (3 consumed, 4 receptacle),
// description, max capacity and level (-1 other, -2 unknown, -3 some
// remaining); a percentage only when both are known, for a receptacle how
// full it is (its level is the space left).
SupplyLevel SnmpSupply(int64_t nClass, std::string_view description, int64_t nMaxCapacity, int64_t nLevel);

// Asks strAddress (dotted IPv4) with each community, in v2c and v1, at once
// and goes on with the first that answers. NoAnswer when nothing answered within the bound,
// bCancel was set, or the host has no printer status.
PrinterStatus QuerySnmpStatus(const std::string& strAddress, const std::vector<std::string>& aCommunities,
                              std::chrono::milliseconds bound, const std::atomic<bool>& bCancel,
                              uint16_t nPort = 161);
