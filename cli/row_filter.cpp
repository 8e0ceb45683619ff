#include "row_filter.h"

#include <arpa/inet.h>
#include <glib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <numeric>

#include "conv_string.h"
#include "printer_list.h"
#include "scan_output.h"

namespace {

struct IpAddress {
    int nFamily = 0;  // AF_INET or AF_INET6; 0 when the text is no address
    std::array<uint8_t, 16> aBytes{};
};

// A link-local address is compared without its interface ("%eth0").
IpAddress ParseAddress(const std::string& strText) {
    const std::string strAddress = strText.substr(0, strText.find('%'));
    IpAddress ip;
    if (inet_pton(AF_INET, strAddress.c_str(), ip.aBytes.data()) == 1) {
        ip.nFamily = AF_INET;
    } else if (inet_pton(AF_INET6, strAddress.c_str(), ip.aBytes.data()) == 1) {
        ip.nFamily = AF_INET6;
    }
    return ip;
}

struct Network {
    IpAddress base;
    int nPrefix = 0;  // bits
};

bool InNetwork(const IpAddress& ip, const Network& net) {
    if (ip.nFamily == 0 || ip.nFamily != net.base.nFamily) return false;
    const int nWhole = net.nPrefix / 8, nBits = net.nPrefix % 8;
    if (std::memcmp(ip.aBytes.data(), net.base.aBytes.data(), static_cast<size_t>(nWhole)) != 0) return false;
    const uint8_t nMask = static_cast<uint8_t>(0xFF00 >> nBits);
    return nBits == 0 || ((ip.aBytes[nWhole] ^ net.base.aBytes[nWhole]) & nMask) == 0;
}

// "10.20.0.0/16", "fd00::/8", or one address (a network of one).
bool ParseNetwork(const std::string& strText, Network& net) {
    const size_t nSlash = strText.find('/');
    if (strText.find('%') != std::string::npos) return false;
    net.base = ParseAddress(strText.substr(0, nSlash));
    if (net.base.nFamily == 0) return false;
    const int nMax = net.base.nFamily == AF_INET ? 32 : 128;
    net.nPrefix = nMax;
    if (nSlash == std::string::npos) return true;
    const char* pBegin = strText.data() + nSlash + 1;
    const char* pEnd = strText.data() + strText.size();
    const auto [pStop, ec] = std::from_chars(pBegin, pEnd, net.nPrefix);
    return pBegin != pEnd && ec == std::errc() && pStop == pEnd && g_ascii_isdigit(*pBegin) &&
           net.nPrefix <= nMax;
}

std::vector<std::string> SplitCommas(const std::string& str) {
    std::vector<std::string> aItems;
    size_t nStart = 0;
    for (size_t nComma; (nComma = str.find(',', nStart)) != std::string::npos; nStart = nComma + 1)
        aItems.push_back(str.substr(nStart, nComma - nStart));
    aItems.push_back(str.substr(nStart));
    return aItems;
}

std::string JoinNames(const std::vector<std::string>& aNames) {
    std::string str;
    for (const std::string& strName : aNames) str += (str.empty() ? "" : ", ") + strName;
    return str;
}

const char* OptionName(FilterField nField) {
    static const char* const NAMES[] = {"--name",    "--location", "--model",        "--source",
                                        "--address", "--state",    "--supply-below", "--reason"};
    return NAMES[static_cast<size_t>(nField)];
}

using Regex = std::shared_ptr<GRegex>;

bool Search(const Regex& pRegex, std::u16string_view str) {
    const std::string strText = Utf16ToUtf8(str);
    // A match that hits PCRE's backtracking limit counts as none.
    return g_regex_match_full(pRegex.get(), strText.c_str(), static_cast<gssize>(strText.size()), 0,
                              static_cast<GRegexMatchFlags>(0), nullptr, nullptr);
}

using Rule = std::function<bool(const ScanRow&, const PrinterStatus*)>;

// What a regular expression of the field is matched against; the printer's
// own answer where the scan had none.
std::vector<std::u16string_view> TextsOf(FilterField nField, const ScanRow& row,
                                         const PrinterStatus* pStatus) {
    switch (nField) {
        case FilterField::Name:
            return {row.strName};
        case FilterField::Location:
            return {row.strLocation.empty() && pStatus ? pStatus->strLocation : row.strLocation};
        case FilterField::Model:
            return {row.strModel, pStatus ? pStatus->strMakeAndModel : u""};
        default: {
            std::vector<std::u16string_view> aReasons;
            if (pStatus) {
                for (const StateReason& reason : pStatus->aReasons) aReasons.push_back(reason.strKeyword);
            }
            return aReasons;
        }
    }
}

// Each maker returns the rule of one option's value, or none with strWhy.
Rule RegexRule(FilterField nField, const std::string& strValue, std::string& strWhy) {
    GError* pError = nullptr;
    GRegex* p = g_regex_new(strValue.c_str(), G_REGEX_CASELESS, static_cast<GRegexMatchFlags>(0), &pError);
    if (!p) {
        strWhy = std::string("needs a regular expression: ") + pError->message;
        g_error_free(pError);
        return nullptr;
    }
    const Regex pRegex(p, g_regex_unref);
    return [pRegex, nField](const ScanRow& row, const PrinterStatus* pStatus) {
        for (std::u16string_view str : TextsOf(nField, row, pStatus)) {
            if (Search(pRegex, str)) return true;
        }
        return false;
    };
}

Rule ListRule(FilterField nField, const std::string& strValue, std::string& strWhy) {
    const std::vector<std::string> aKnown = nField == FilterField::Source ? SourceNames() : StateNames();
    const std::vector<std::string> aNames = SplitCommas(strValue);
    for (const std::string& strName : aNames) {
        if (std::find(aKnown.begin(), aKnown.end(), strName) == aKnown.end()) {
            strWhy = "takes " + JoinNames(aKnown) + " (a comma between several), not '" + strName + "'";
            return nullptr;
        }
    }
    const auto fnListed = [aNames](const std::string& strName) {
        return std::find(aNames.begin(), aNames.end(), strName) != aNames.end();
    };
    if (nField == FilterField::Source) {
        // Any of the methods that found the row's address.
        return [fnListed](const ScanRow& row, const PrinterStatus*) {
            return fnListed(SourceText(row.nKind)) ||
                   std::any_of(row.aOtherKinds.begin(), row.aOtherKinds.end(),
                               [&](int32_t nKind) { return fnListed(SourceText(nKind)); });
        };
    }
    return [fnListed](const ScanRow&, const PrinterStatus* pStatus) {
        return pStatus && fnListed(StateNames()[static_cast<size_t>(pStatus->nState)]);
    };
}

Rule AddressRule(const std::string& strValue, std::string& strWhy) {
    std::vector<Network> aNetworks;
    for (const std::string& strItem : SplitCommas(strValue)) {
        if (!ParseNetwork(strItem, aNetworks.emplace_back())) {
            strWhy = "needs an IPv4 or IPv6 network such as 10.20.0.0/16 or fd00::/8, not '" + strItem + "'";
            return nullptr;
        }
    }
    // Any address the printer reported.
    return [aNetworks](const ScanRow& row, const PrinterStatus*) {
        for (const std::u16string& strAddress : row.aAddresses) {
            const IpAddress ip = ParseAddress(Utf16ToUtf8(strAddress));
            for (const Network& net : aNetworks) {
                if (InNetwork(ip, net)) return true;
            }
        }
        return false;
    };
}

Rule SupplyRule(const std::string& strValue, std::string& strWhy) {
    int nPercent = -1;
    const char* pEnd = strValue.data() + strValue.size();
    auto [pStop, ec] = std::from_chars(strValue.data(), pEnd, nPercent);
    if (pStop != pEnd && *pStop == '%') ++pStop;
    if (strValue.empty() || ec != std::errc() || pStop != pEnd || nPercent < 0 || nPercent > 100) {
        strWhy = "needs a percentage from 0 to 100, not '" + strValue + "'";
        return nullptr;
    }
    // Supplies of unknown level never count.
    return [nPercent](const ScanRow&, const PrinterStatus* pStatus) {
        return pStatus &&
               std::any_of(pStatus->aSupplies.begin(), pStatus->aSupplies.end(),
                           [&](const SupplyLevel& s) { return s.nLevel >= 0 && s.nLevel <= nPercent; });
    };
}

}  // namespace

// Whatever the output calls the methods, so a new one is offered at once.
std::vector<std::string> SourceNames() {
    std::vector<std::string> aNames;
    for (int32_t nKind = 0; nKind < 64; ++nKind) {
        if (*SourceText(nKind) != '\0') aNames.emplace_back(SourceText(nKind));
    }
    return aNames;
}

// In the order of PrinterState.
std::vector<std::string> StateNames() {
    return {"idle", "printing", "stopped", "no-ipp", "no-answer"};
}

bool CRowFilter::Add(FilterField nField, const std::string& strValue, std::string& strError) {
    std::string strWhy;
    Rule rule;
    switch (nField) {
        case FilterField::Source:
        case FilterField::State:
            rule = ListRule(nField, strValue, strWhy);
            break;
        case FilterField::Address:
            rule = AddressRule(strValue, strWhy);
            break;
        case FilterField::SupplyBelow:
            rule = SupplyRule(strValue, strWhy);
            break;
        default:
            rule = RegexRule(nField, strValue, strWhy);
    }
    if (!rule) {
        strError = std::string(OptionName(nField)) + " " + strWhy;
        return false;
    }
    m_bNeedsStatus |=
        nField == FilterField::State || nField == FilterField::SupplyBelow || nField == FilterField::Reason;
    m_aRules.push_back(std::move(rule));
    return true;
}

bool CRowFilter::Matches(const ScanRow& row, const PrinterStatus* pStatus) const {
    return std::all_of(m_aRules.begin(), m_aRules.end(),
                       [&](const auto& fnRule) { return fnRule(row, pStatus); });
}

bool CRowFilter::Matches(const ScanRow& row, const StatusByAddress* pStatuses) const {
    const PrinterStatus* pStatus = nullptr;
    if (pStatuses) {
        const auto it = pStatuses->find(row.strIpAddress);
        if (it != pStatuses->end()) pStatus = &it->second;
    }
    return Matches(row, pStatus);
}

std::vector<std::string> SortKeyNames() {
    return {"name", "address", "location", "model"};
}

bool ParseSortKey(const std::string& strText, SortKey& nKey) {
    const std::vector<std::string> aNames = SortKeyNames();
    const auto it = std::find(aNames.begin(), aNames.end(), strText);
    if (it == aNames.end()) return false;
    nKey = static_cast<SortKey>(it - aNames.begin() + 1);
    return true;
}

namespace {

// Texts in the window's order, the empty ones after all others.
bool TextBefore(std::u16string_view a, std::u16string_view b) {
    if (a.empty() || b.empty()) return !a.empty() && b.empty();
    return CompareNoCase(a, b) < 0;
}

}  // namespace

void SortRows(std::vector<ScanRow>& aRows, SortKey nKey) {
    if (nKey == SortKey::None) return;
    // Each row's key made once, not at every comparison.
    std::vector<std::u16string_view> aTexts(aRows.size());
    std::vector<IpAddress> aAddresses(nKey == SortKey::Address ? aRows.size() : 0);
    for (size_t i = 0; i < aRows.size(); ++i) {
        switch (nKey) {
            case SortKey::Name:
                aTexts[i] = aRows[i].strName;
                break;
            case SortKey::Location:
                aTexts[i] = aRows[i].strLocation;
                break;
            case SortKey::Model:
                aTexts[i] = aRows[i].strModel;
                break;
            default:
                aTexts[i] = aRows[i].strIpAddress;
                aAddresses[i] = ParseAddress(Utf16ToUtf8(aRows[i].strIpAddress));
        }
    }
    std::vector<size_t> aOrder(aRows.size());
    std::iota(aOrder.begin(), aOrder.end(), 0);
    std::stable_sort(aOrder.begin(), aOrder.end(), [&](size_t a, size_t b) {
        if (nKey != SortKey::Address) return TextBefore(aTexts[a], aTexts[b]);
        // IPv4, then IPv6, then anything else; the interface of equal
        // link-local addresses decides last.
        const auto fnRank = [](int nFamily) { return nFamily == AF_INET ? 0 : nFamily == AF_INET6 ? 1 : 2; };
        const IpAddress &x = aAddresses[a], &y = aAddresses[b];
        if (x.nFamily != y.nFamily) return fnRank(x.nFamily) < fnRank(y.nFamily);
        const int nBytes = std::memcmp(x.aBytes.data(), y.aBytes.data(), x.aBytes.size());
        return nBytes != 0 ? nBytes < 0 : CompareNoCase(aTexts[a], aTexts[b]) < 0;
    });
    std::vector<ScanRow> aSorted;
    aSorted.reserve(aRows.size());
    for (size_t i : aOrder) aSorted.push_back(std::move(aRows[i]));
    aRows = std::move(aSorted);
}

std::vector<ScanRow> ShownRows(const std::vector<ScanRow>& aRows, const CRowFilter& filter,
                               const StatusByAddress* pStatuses, SortKey nKey) {
    std::vector<ScanRow> aShown;
    for (const ScanRow& row : aRows) {
        if (filter.Matches(row, pStatuses)) aShown.push_back(row);
    }
    SortRows(aShown, nKey);
    return aShown;
}
