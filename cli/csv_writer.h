// CSV as RFC 4180 writes it: a field that holds a comma, a double quote, CR
// or LF is quoted, its quotes doubled; every record ends with CRLF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One field, quoted when it needs to be.
std::string CsvField(std::string_view text);

// The fields, joined by commas and ended by CRLF.
std::string CsvRecord(const std::vector<std::string>& aFields);
