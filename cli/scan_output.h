// hvl-scan's output: the table line printed as each row arrives, and the
// JSON array and CSV printed at the end. JSON keys and CSV columns come from
// one list of columns, so an option that shows more appends to it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scan_row.h"

// One JSON key and the CSV column of the same name; a column without one of
// the two functions is left out of that output.
struct OutputColumn {
    std::string strName;
    std::function<nlohmann::json(const ScanRow&)> fnJson;  // null JSON for "none"
    std::function<std::string(const ScanRow&)> fnCsv;      // empty for "none"
};

// name, ip, url, source, sources, type, model, location, addresses (sources
// and addresses: a JSON array; in CSV separated by spaces): what every scan
// shows. sources names every method that found the address, source first.
std::vector<OutputColumn> BaseColumns();

// domain: where a unicast DNS-SD row is listed (hvl-scan --domain).
OutputColumn DomainColumn();

// uuid (JSON only): a WS-Discovery printer's endpoint address, null for
// the other methods' rows.
OutputColumn UuidColumn();

// last_seen (with bFirstSeen first_seen before it): RFC 3339 times, null
// when unknown.
std::vector<OutputColumn> SeenColumns(bool bFirstSeen);

// Local time as RFC 3339 with its offset ("2026-12-09T03:14:07+01:00"), or
// "2026-12-09 03:14:07" (bForTable).
std::string TimeText(std::chrono::system_clock::time_point tTime, bool bForTable = false);

// "address  method  name  url\n", control and reordering characters as '?'.
std::string TableLine(const ScanRow& row);
// "N devices found." (no letter for one device).
std::string CountText(size_t nCount);
// "N devices found, M shown.": a filter showed M of them.
std::string CountText(size_t nFound, size_t nShown);
// One JSON array of objects, a key per column; ends with a line break.
// Control and reordering characters are \uXXXX escapes.
std::string JsonDocument(const std::vector<ScanRow>& aRows, const std::vector<OutputColumn>& aColumns);
// A header record, then a record per row (RFC 4180, CRLF).
std::string CsvDocument(const std::vector<ScanRow>& aRows, const std::vector<OutputColumn>& aColumns);

// The source text of the row's method (DiscoveryMethod::strSource), "" when none has its kind.
std::string SourceText(const ScanRow& row);
std::string SourceText(int32_t nKind);

// Names come from the network: never let them steer the terminal or reorder
// its line (control and bidirectional characters become '?'). CSV keeps line
// feeds, CRLF and tabs, quoted, so that names come out whole.
std::string Printable(const std::u16string& str, bool bKeepBreaks = false);

// Results on stdout. A failed write (a closed pipe, a full disk) stays
// remembered: glibc drops its buffer then, so that a later fflush succeeds
// and only the stream's error flag knows of the lost lines.
// bNow: out at once, not when the buffer fills (a watch's events). False once
// any write so far has failed.
bool WriteOut(const std::string& str, bool bNow = false);
// Everything buffered out: true when every line written went out.
bool OutputWhole();
