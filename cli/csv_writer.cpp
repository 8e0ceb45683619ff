#include "csv_writer.h"

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string strField;
    strField.reserve(text.size() + 2);
    strField += '"';
    for (char c : text) {
        if (c == '"') strField += '"';
        strField += c;
    }
    strField += '"';
    return strField;
}

std::string CsvRecord(const std::vector<std::string>& aFields) {
    std::string strRecord;
    for (size_t i = 0; i < aFields.size(); ++i) {
        if (i > 0) strRecord += ',';
        strRecord += CsvField(aFields[i]);
    }
    strRecord += "\r\n";
    return strRecord;
}
