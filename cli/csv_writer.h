// CSV as RFC 4180 writes it: a field that holds a comma, a double quote, CR
// or LF is quoted, its quotes doubled; every record ends with CRLF. A field
// that a spreadsheet would take for a formula (it starts with '=', '+', '-',
// '@', a tab or a CR) gets a leading apostrophe, so it stays text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One field, guarded and quoted when it needs to be.
std::string CsvField(std::string_view text);

// The fields, joined by commas and ended by CRLF.
std::string CsvRecord(const std::vector<std::string>& aFields);
