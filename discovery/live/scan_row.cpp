#include "scan_row.h"

#include <algorithm>
#include <utility>

ScanRow ScanRowFromPrinter(const PrinterData& printer) {
    return ScanRowFromListed(printer, printer.nKind);
}

ScanRow ScanRowFromPacket(const MulticastDataPacket& packet, int32_t nKind) {
    return ScanRowFromListed(packet, nKind);
}

std::u16string ScanRowId(const ScanRow& row) {
    if (!row.strId.empty()) return row.strId;
    return row.strFixedId.empty() ? u"ip:" + row.strIpAddress : row.strFixedId;
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
