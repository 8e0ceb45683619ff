// Which rows hvl-scan shows and in what order: the filter options (--name,
// --address, --state, ...) and --sort. A filter is a plain predicate over a
// row and its status, so every output, the live table included, asks the
// same question.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipp_status.h"
#include "scan_row.h"

enum class FilterField { Name, Location, Model, Source, Address, State, SupplyBelow, Reason, Driverless };

using StatusByAddress = std::unordered_map<std::u16string, PrinterStatus>;
// The status asked of one of the row's addresses (it was asked by the one it
// was listed under, which a better one may have followed); null when none.
const PrinterStatus* FindRowStatus(const StatusByAddress& statuses, const ScanRow& row);

class CRowFilter {
public:
    // One option's value: a regular expression (case-insensitive), a comma
    // list of names or networks (any of them), or a percentage. False, with
    // the reason in strError, when the value is refused.
    bool Add(FilterField nField, const std::string& strValue, std::string& strError);

    bool IsEmpty() const { return m_aRules.empty(); }
    // --state, --supply-below and --reason can only be told from the
    // printer's own answer.
    bool NeedsStatus() const { return m_bNeedsStatus; }
    // --driverless ready|not-ready: the printer's attributes judged.
    bool NeedsDriverless() const { return m_bNeedsDriverless; }

    // Every option matches. pStatus: the row's status, null when not asked.
    bool Matches(const ScanRow& row, const PrinterStatus* pStatus) const;

private:
    std::vector<std::function<bool(const ScanRow&, const PrinterStatus*)>> m_aRules;
    bool m_bNeedsStatus = false;
    bool m_bNeedsDriverless = false;
};

// Names --source and --state take, in the order --help lists them.
std::vector<std::string> SourceNames();
std::vector<std::string> StateNames();
// "a, b, c" with pszBetween ", ".
std::string JoinedNames(const std::vector<std::string>& aNames, const char* pszBetween);

enum class SortKey { None, Name, Address, Location, Model };

std::vector<std::string> SortKeyNames();  // name, address, location, model
// False when the text names no sort key.
bool ParseSortKey(const std::string& strText, SortKey& nKey);

// Orders the rows (stable: rows that compare equal keep the order they were
// found in). Names, locations and models with the window's case-insensitive
// comparison, empty ones last; addresses in numeric order, IPv4 before IPv6.
void SortRows(std::vector<ScanRow>& aRows, SortKey nKey);

// The rows the filter lets through, sorted.
std::vector<ScanRow> ShownRows(const std::vector<ScanRow>& aRows, const CRowFilter& filter,
                               const StatusByAddress* pStatuses, SortKey nKey);
