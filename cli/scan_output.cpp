#include "scan_output.h"

#include <time.h>

#include <cstdio>

#include "conv_string.h"
#include "csv_writer.h"
#include "methods.h"
#include "network_text.h"

namespace {

nlohmann::json TextOrNull(const std::string& str) {
    return str.empty() ? nlohmann::json() : nlohmann::json(str);
}

// A column of one text: JSON null and an empty CSV field when it is empty
// (bNullable), else the text as it is.
OutputColumn TextColumn(const char* pszName, std::u16string ScanRow::*pText, bool bNullable) {
    return {pszName,
            [pText, bNullable](const ScanRow& row) {
                const std::string str = Utf16ToUtf8(row.*pText);
                return bNullable ? TextOrNull(str) : nlohmann::json(str);
            },
            [pText](const ScanRow& row) { return Printable(row.*pText, true); }};
}

}  // namespace

std::string Printable(const std::u16string& str, bool bKeepBreaks) {
    return PrintableText(str, bKeepBreaks ? PrintTarget::CSV : PrintTarget::TERMINAL);
}

std::string SourceText(int32_t nKind) {
    const DiscoveryMethod* pMethod = FindMethodByKind(nKind);
    return pMethod ? Utf16ToUtf8(std::u16string(pMethod->strSource)) : "";
}

std::string SourceText(const ScanRow& row) {
    return SourceText(row.nKind);
}

// The row's method first, then the others in the order they answered.
std::vector<std::string> SourceTexts(const ScanRow& row) {
    std::vector<std::string> aTexts{SourceText(row)};
    for (int32_t nKind : row.aOtherKinds) aTexts.emplace_back(SourceText(nKind));
    return aTexts;
}

std::vector<OutputColumn> BaseColumns() {
    return {TextColumn("name", &ScanRow::strName, false),
            TextColumn("ip", &ScanRow::strIpAddress, false),
            TextColumn("url", &ScanRow::strUrl, false),
            {"source", [](const ScanRow& row) { return TextOrNull(SourceText(row)); },
             [](const ScanRow& row) { return std::string(SourceText(row)); }},
            {"sources", [](const ScanRow& row) { return nlohmann::json(SourceTexts(row)); },
             [](const ScanRow& row) {
                 std::string strList;
                 for (const std::string& str : SourceTexts(row))
                     strList += (strList.empty() ? "" : " ") + str;
                 return strList;
             }},
            TextColumn("type", &ScanRow::strType, true),
            TextColumn("model", &ScanRow::strModel, true),
            TextColumn("location", &ScanRow::strLocation, true),
            {"addresses",
             [](const ScanRow& row) {
                 nlohmann::json list = nlohmann::json::array();
                 for (const std::u16string& str : row.aAddresses) list.push_back(Utf16ToUtf8(str));
                 return list;
             },
             [](const ScanRow& row) {
                 std::string strList;
                 for (const std::u16string& str : row.aAddresses) {
                     if (!strList.empty()) strList += ' ';
                     strList += Printable(str, true);
                 }
                 return strList;
             }},
            {"id", [](const ScanRow& row) { return nlohmann::json(Utf16ToUtf8(ScanRowId(row))); },
             [](const ScanRow& row) { return Printable(ScanRowId(row), true); }}};
}

OutputColumn UuidColumn() {
    return {"uuid", [](const ScanRow& row) { return TextOrNull(Utf16ToUtf8(row.strUuid)); }, nullptr};
}

std::string TimeText(std::chrono::system_clock::time_point tTime, bool bForTable) {
    const time_t nTime = std::chrono::system_clock::to_time_t(tTime);
    tm local{};
    localtime_r(&nTime, &local);
    char szTime[32] = {};
    char szZone[8] = {};
    strftime(szTime, sizeof szTime, bForTable ? "%F %T" : "%FT%T", &local);
    std::string str = szTime;
    if (bForTable || strftime(szZone, sizeof szZone, "%z", &local) != 5) return str;
    // +0100 becomes +01:00, appended in steps: GCC 12 at -O3 takes an insert
    // into a string for an overlapping copy (-Wrestrict).
    str.append(szZone, 3);
    str += ':';
    str.append(szZone + 3, 2);
    return str;
}

std::vector<OutputColumn> SeenColumns(bool bFirstSeen) {
    auto fnColumn = [](const char* pszName, std::chrono::system_clock::time_point ScanRow::*pTime) {
        return OutputColumn{pszName,
                            [pTime](const ScanRow& row) {
                                return row.*pTime == std::chrono::system_clock::time_point{}
                                           ? nlohmann::json()
                                           : nlohmann::json(TimeText(row.*pTime));
                            },
                            [pTime](const ScanRow& row) {
                                return row.*pTime == std::chrono::system_clock::time_point{}
                                           ? std::string()
                                           : TimeText(row.*pTime);
                            }};
    };
    std::vector<OutputColumn> aColumns;
    if (bFirstSeen) aColumns.push_back(fnColumn("first_seen", &ScanRow::tFirstSeen));
    aColumns.push_back(fnColumn("last_seen", &ScanRow::tLastSeen));
    return aColumns;
}

OutputColumn DomainColumn() {
    return TextColumn("domain", &ScanRow::strDomain, true);
}

std::string TableLine(const ScanRow& row) {
    // "%-15s  %-4s  %s  %s\n"
    auto fnPadded = [](std::string str, size_t nWidth) {
        if (str.size() < nWidth) str.append(nWidth - str.size(), ' ');
        return str;
    };
    return fnPadded(Printable(row.strIpAddress), 15) + "  " + fnPadded(SourceText(row), 4) + "  " +
           Printable(row.strName) + "  " + Printable(row.strUrl) + "\n";
}

std::string CountText(size_t nCount) {
    return std::to_string(nCount) + (nCount == 1 ? " device found." : " devices found.");
}

std::string CountText(size_t nFound, size_t nShown) {
    std::string str = CountText(nFound);
    return str.substr(0, str.size() - 1) + ", " + std::to_string(nShown) + " shown.";
}

std::string JsonDocument(const std::vector<ScanRow>& aRows, const std::vector<OutputColumn>& aColumns) {
    nlohmann::json doc = nlohmann::json::array();
    for (const ScanRow& row : aRows) {
        nlohmann::json entry = nlohmann::json::object();
        for (const OutputColumn& column : aColumns) {
            if (column.fnJson) entry[column.strName] = column.fnJson(row);
        }
        doc.push_back(std::move(entry));
    }
    return EscapeUnsafeJsonCharacters(doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)) +
           "\n";
}

std::string CsvDocument(const std::vector<ScanRow>& aRows, const std::vector<OutputColumn>& aColumns) {
    std::vector<std::string> aFields;
    for (const OutputColumn& column : aColumns) {
        if (column.fnCsv) aFields.push_back(column.strName);
    }
    std::string strOut = CsvRecord(aFields);
    for (const ScanRow& row : aRows) {
        aFields.clear();
        for (const OutputColumn& column : aColumns) {
            if (column.fnCsv) aFields.push_back(column.fnCsv(row));
        }
        strOut += CsvRecord(aFields);
    }
    return strOut;
}

bool WriteOut(const std::string& str, bool bNow) {
    std::fwrite(str.data(), 1, str.size(), stdout);
    if (bNow) std::fflush(stdout);
    return !std::ferror(stdout);
}

bool OutputWhole() {
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}
