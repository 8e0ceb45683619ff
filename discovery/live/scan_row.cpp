#include "scan_row.h"

#include <utility>

namespace {

// The window's list and the providers' packets carry the same texts.
template <typename Listed>
ScanRow ScanRowFromListed(const Listed& listed, int32_t nKind) {
    ScanRow row;
    row.strName = listed.strName;
    row.strIpAddress = listed.strIpAddress;
    row.strUrl = listed.strUrl;
    row.nKind = nKind;
    row.strType = listed.strType;
    row.strModel = listed.strModel;
    row.aAddresses = {row.strIpAddress};
    return row;
}

// Names nKind among the row's methods unless it is named there.
void AddKind(ScanRow& row, int32_t nKind) {
    if (nKind == row.nKind) return;
    for (int32_t n : row.aOtherKinds) {
        if (n == nKind) return;
    }
    row.aOtherKinds.push_back(nKind);
}

}  // namespace

ScanRow ScanRowFromPrinter(const PrinterData& printer) {
    return ScanRowFromListed(printer, printer.nKind);
}

ScanRow ScanRowFromPacket(const MulticastDataPacket& packet, int32_t nKind) {
    return ScanRowFromListed(packet, nKind);
}

std::u16string ScanRowId(const ScanRow& row) {
    return row.strId.empty() ? u"ip:" + row.strIpAddress : row.strId;
}

const DnsSdTxtItem* FindTxtItem(const ScanRow& row, std::string_view key) {
    auto fnLower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (const DnsSdTxtItem& item : row.aTxtItems) {
        if (item.strKey.size() != key.size()) continue;
        bool bSame = true;
        for (size_t i = 0; i < key.size() && bSame; ++i) bSame = fnLower(item.strKey[i]) == fnLower(key[i]);
        if (bSame) return &item;
    }
    return nullptr;
}

void InsertAddress(std::vector<std::u16string>& aAddresses, const std::u16string& strAddress) {
    auto fnIsIpv4 = [](const std::u16string& str) {
        return !str.empty() && str.find_first_not_of(u"0123456789.") == std::u16string::npos;
    };
    for (const std::u16string& str : aAddresses) {
        if (CompareNoCase(str, strAddress) == 0) return;
    }
    auto itAt = aAddresses.end();
    if (fnIsIpv4(strAddress)) {
        itAt = aAddresses.begin();
        while (itAt != aAddresses.end() && fnIsIpv4(*itAt)) ++itAt;
    }
    aAddresses.insert(itAt, strAddress);
}

bool CScanRowList::AddAddress(std::u16string_view strRowAddress, const std::u16string& strAddress) {
    auto it = m_mapByAddress.find(strRowAddress);
    if (it == m_mapByAddress.end()) return false;
    InsertAddress(m_aRows[it->second].aAddresses, strAddress);
    return true;
}

void CScanRowList::SetLocationIfUnknown(std::u16string_view strAddress, const std::u16string& strLocation) {
    auto it = m_mapByAddress.find(strAddress);
    if (it != m_mapByAddress.end() && m_aRows[it->second].strLocation.empty())
        m_aRows[it->second].strLocation = strLocation;
}

bool CScanRowList::Add(ScanRow row) {
    if (row.strIpAddress.empty()) return false;
    auto it = m_mapByAddress.find(row.strIpAddress);
    if (it != m_mapByAddress.end()) {
        ScanRow& listed = m_aRows[it->second];
        AddKind(listed, row.nKind);
        for (int32_t nKind : row.aOtherKinds) AddKind(listed, nKind);
        return false;
    }
    // Seen now, unless the row says when (a watch's row does).
    if (row.tLastSeen == std::chrono::system_clock::time_point{})
        row.tLastSeen = std::chrono::system_clock::now();
    m_mapByAddress.emplace(row.strIpAddress, m_aRows.size());
    m_aRows.push_back(std::move(row));
    return true;
}

const ScanRow* CScanRowList::FindByAddress(std::u16string_view strIpAddress) const {
    auto it = m_mapByAddress.find(strIpAddress);
    return it == m_mapByAddress.end() ? nullptr : &m_aRows[it->second];
}
