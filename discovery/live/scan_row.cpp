#include "scan_row.h"

#include <algorithm>
#include <utility>

namespace {

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

std::u16string UuidIdentity(std::u16string_view strText) {
    auto fnStrip = [&strText](std::u16string_view strPrefix) {
        if (strText.size() >= strPrefix.size() &&
            CompareNoCase(strText.substr(0, strPrefix.size()), strPrefix) == 0)
            strText.remove_prefix(strPrefix.size());
    };
    fnStrip(u"urn:");
    fnStrip(u"uuid:");
    if (strText.size() == 38 && strText.front() == u'{' && strText.back() == u'}')
        strText = strText.substr(1, 36);
    // 32 hex digits, bare or hyphenated as 8-4-4-4-12.
    const bool bHyphens = strText.size() == 36;
    if (!bHyphens && strText.size() != 32) return {};
    std::u16string strId;
    bool bNil = true;
    for (size_t i = 0; i < strText.size(); ++i) {
        const char16_t c = strText[i];
        if (bHyphens && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (c != u'-') return {};
            continue;
        }
        const bool bDigit = c >= u'0' && c <= u'9';
        const char16_t cLower = c >= u'A' && c <= u'F' ? static_cast<char16_t>(c - u'A' + u'a') : c;
        if (!bDigit && !(cLower >= u'a' && cLower <= u'f')) return {};
        bNil = bNil && c == u'0';
        strId += cLower;
        if (strId.size() == 8 || strId.size() == 13 || strId.size() == 18 || strId.size() == 23)
            strId += u'-';
    }
    // A nil UUID (firmware that never set one) would make every such printer one.
    return bNil ? std::u16string() : strId;
}

int PreferredAddressRank(std::u16string_view strAddress) {
    if (strAddress.find(u':') == std::u16string_view::npos)
        return strAddress.starts_with(u"169.254.") ? 2 : 0;
    const bool bLinkLocal = strAddress.size() >= 4 && CompareNoCase(strAddress.substr(0, 3), u"fe8") >= 0 &&
                            CompareNoCase(strAddress.substr(0, 3), u"feb") <= 0;
    return bLinkLocal ? 2 : 1;
}

void InsertAddress(std::vector<std::u16string>& aAddresses, const std::u16string& strAddress) {
    for (const std::u16string& str : aAddresses) {
        if (CompareNoCase(str, strAddress) == 0) return;
    }
    const int nRank = PreferredAddressRank(strAddress);
    auto itAt = aAddresses.begin();
    while (itAt != aAddresses.end() && PreferredAddressRank(*itAt) <= nRank) ++itAt;
    aAddresses.insert(itAt, strAddress);
}

void PreferAddresses(ScanRow& row) {
    // The method's key first among those of its rank.
    std::vector<std::u16string> aOrdered;
    if (!row.strIpAddress.empty()) aOrdered.push_back(row.strIpAddress);
    for (const std::u16string& str : row.aAddresses) InsertAddress(aOrdered, str);
    row.aAddresses = std::move(aOrdered);
    if (!row.aAddresses.empty()) row.strIpAddress = row.aAddresses.front();
}

RowMatch MatchRow(const ScanRow& listed, const ScanRow& arriving) {
    if (!listed.strId.empty() && !arriving.strId.empty())
        return listed.strId == arriving.strId ? RowMatch::IDENTITY : RowMatch::NONE;
    for (const std::u16string& a : listed.aAddresses) {
        for (const std::u16string& b : arriving.aAddresses) {
            if (CompareNoCase(a, b) == 0) return RowMatch::ADDRESS;
        }
    }
    return RowMatch::NONE;
}

void AddService(std::vector<MdnsService>& aServices, const MdnsService& service) {
    const auto it = std::find_if(aServices.begin(), aServices.end(), [&service](const MdnsService& s) {
        return s.strType == service.strType && s.strName == service.strName;
    });
    if (it == aServices.end()) {
        aServices.push_back(service);
    } else {
        *it = service;
    }
}

void JoinRow(ScanRow& listed, const ScanRow& arriving) {
    for (const MdnsService& service : arriving.aServices) AddService(listed.aServices, service);
    AddKind(listed, arriving.nKind);
    for (int32_t nKind : arriving.aOtherKinds) AddKind(listed, nKind);
    for (const std::u16string& str : arriving.aAddresses) InsertAddress(listed.aAddresses, str);
    listed.strIpAddress = listed.aAddresses.front();
    for (std::u16string ScanRow::*pText :
         {&ScanRow::strId, &ScanRow::strUuid, &ScanRow::strModel, &ScanRow::strLocation}) {
        if ((listed.*pText).empty()) listed.*pText = arriving.*pText;
    }
}

size_t CScanRowList::Index(const ScanRow& row) {
    if (!row.strId.empty()) {
        const auto it = m_mapById.find(row.strId);
        if (it != m_mapById.end()) return it->second;
    }
    size_t nAt = m_aRows.size();
    for (const std::u16string& strAddress : row.aAddresses) {
        const auto [itFirst, itLast] = m_mapByAddress.equal_range(strAddress);
        for (auto it = itFirst; it != itLast; ++it) {
            if (it->second < nAt && MatchRow(m_aRows[it->second], row) != RowMatch::NONE) nAt = it->second;
        }
    }
    return nAt;
}

void CScanRowList::IndexRow(size_t nRow) {
    const ScanRow& row = m_aRows[nRow];
    if (!row.strId.empty()) m_mapById.emplace(row.strId, nRow);
    for (const std::u16string& strAddress : row.aAddresses) {
        const auto [itFirst, itLast] = m_mapByAddress.equal_range(strAddress);
        if (std::none_of(itFirst, itLast, [nRow](const auto& item) { return item.second == nRow; }))
            m_mapByAddress.emplace(strAddress, nRow);
    }
}

void CScanRowList::Reindex() {
    m_mapById.clear();
    m_mapByAddress.clear();
    for (size_t i = 0; i < m_aRows.size(); ++i) IndexRow(i);
}

bool CScanRowList::AddAddress(std::u16string_view strRowAddress, const std::u16string& strAddress,
                              const std::u16string& strId) {
    const auto itId = m_mapById.find(strId);
    const ScanRow* pRow = itId != m_mapById.end() ? &m_aRows[itId->second] : FindByAddress(strRowAddress);
    if (!pRow) return false;
    const size_t nRow = static_cast<size_t>(pRow - m_aRows.data());
    ScanRow& row = m_aRows[nRow];
    InsertAddress(row.aAddresses, strAddress);
    row.strIpAddress = row.aAddresses.front();
    IndexRow(nRow);
    return true;
}

void CScanRowList::SetLocationIfUnknown(std::u16string_view strAddress, const std::u16string& strLocation) {
    const ScanRow* pRow = FindByAddress(strAddress);
    if (pRow && pRow->strLocation.empty())
        m_aRows[static_cast<size_t>(pRow - m_aRows.data())].strLocation = strLocation;
}

void CScanRowList::SetIdIfUnknown(std::u16string_view strAddress, const std::u16string& strId) {
    const ScanRow* pRow = FindByAddress(strAddress);
    if (!pRow || !pRow->strId.empty() || strId.empty()) return;
    const size_t nRow = static_cast<size_t>(pRow - m_aRows.data());
    m_aRows[nRow].strId = strId;
    const auto it = m_mapById.find(strId);
    if (it == m_mapById.end()) {
        m_mapById.emplace(strId, nRow);
        return;
    }
    // The printer was listed twice: the row listed first takes the other in.
    const size_t nFirst = std::min(nRow, it->second), nLater = std::max(nRow, it->second);
    JoinRow(m_aRows[nFirst], m_aRows[nLater]);
    m_aRows.erase(m_aRows.begin() + static_cast<std::ptrdiff_t>(nLater));
    Reindex();
}

bool CScanRowList::Add(ScanRow row) {
    if (row.strIpAddress.empty()) return false;
    PreferAddresses(row);
    const size_t nAt = Index(row);
    if (nAt < m_aRows.size()) {
        JoinRow(m_aRows[nAt], row);
        IndexRow(nAt);
        return false;
    }
    // Seen now, unless the row says when (a watch's row does).
    if (row.tLastSeen == std::chrono::system_clock::time_point{})
        row.tLastSeen = std::chrono::system_clock::now();
    m_aRows.push_back(std::move(row));
    IndexRow(m_aRows.size() - 1);
    return true;
}

const ScanRow* CScanRowList::FindByAddress(std::u16string_view strIpAddress) const {
    const auto [itFirst, itLast] = m_mapByAddress.equal_range(strIpAddress);
    size_t nAt = m_aRows.size();
    for (auto it = itFirst; it != itLast; ++it) nAt = std::min(nAt, it->second);
    return nAt < m_aRows.size() ? &m_aRows[nAt] : nullptr;
}
