#include "csv_writer.h"

namespace {

bool StartsLikeFormula(std::string_view text) {
    return !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
}

}  // namespace

std::string CsvField(std::string_view text) {
    const std::string strGuard = StartsLikeFormula(text) ? "'" : "";
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return strGuard + std::string(text);
    std::string strField;
    strField.reserve(text.size() + 3);
    strField += '"';
    strField += strGuard;
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
