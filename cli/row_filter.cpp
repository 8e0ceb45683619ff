#include "row_filter.h"

#include <arpa/inet.h>
#include <glib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>

#include "conv_string.h"
#include "printer_list.h"
#include "scan_output.h"

namespace {

// Orders as --sort address does: IPv4, then IPv6, then what is no address.
struct IpAddress {
    enum Family { V4, V6, NONE } nFamily = NONE;
    std::array<uint8_t, 16> aBytes{};
    auto operator<=>(const IpAddress&) const = default;
};

// A link-local address is compared without its interface ("%eth0").
IpAddress ParseAddress(const std::string& strText) {
    const std::string strAddress = strText.substr(0, strText.find('%'));
    IpAddress ip;
    if (inet_pton(AF_INET, strAddress.c_str(), ip.aBytes.data()) == 1) {
        ip.nFamily = IpAddress::V4;
    } else if (inet_pton(AF_INET6, strAddress.c_str(), ip.aBytes.data()) == 1) {
        ip.nFamily = IpAddress::V6;
    }
    return ip;
}

struct Network {
    IpAddress base;
    int nPrefix = 0;  // bits
};

bool InNetwork(const IpAddress& ip, const Network& net) {
    if (ip.nFamily != net.base.nFamily) return false;
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
    if (net.base.nFamily == IpAddress::NONE) return false;
    const int nMax = net.base.nFamily == IpAddress::V4 ? 32 : 128;
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

const char* OptionName(FilterField nField) {
    static const char* const NAMES[] = {"--name",  "--location",     "--model",  "--source",    "--address",
                                        "--state", "--supply-below", "--reason", "--driverless"};
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
            strWhy =
                "takes " + JoinedNames(aKnown, ", ") + " (a comma between several), not '" + strName + "'";
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
    return [fnListed, aStates = StateNames()](const ScanRow&, const PrinterStatus* pStatus) {
        const size_t nState = pStatus ? static_cast<size_t>(pStatus->nState) : aStates.size();
        return nState < aStates.size() && fnListed(aStates[nState]);
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
               std::any_of(pStatus->aSupplies.begin(), pStatus->aSupplies.end(), [&](const SupplyLevel& s) {
                   return !s.bReceptacle && s.nLevel >= 0 && s.nLevel <= nPercent;
               });
    };
}

// A printer never judged (no IPP, no answer) is neither.
Rule DriverlessRule(const std::string& strValue, std::string& strWhy) {
    if (strValue != "ready" && strValue != "not-ready") {
        strWhy = "takes ready or not-ready, not '" + strValue + "'";
        return nullptr;
    }
    const bool bReady = strValue == "ready";
    return [bReady](const ScanRow&, const PrinterStatus* pStatus) {
        return pStatus && pStatus->driverless.bJudged && pStatus->driverless.bReady == bReady;
    };
}

}  // namespace

// Every method's, in the order of their kinds as --help has always named them.
std::vector<std::string> SourceNames() {
    std::vector<const DiscoveryMethod*> aMethods = DiscoveryMethods();
    std::sort(aMethods.begin(), aMethods.end(),
              [](const DiscoveryMethod* a, const DiscoveryMethod* b) { return a->nKind < b->nKind; });
    std::vector<std::string> aNames;
    for (const DiscoveryMethod* pMethod : aMethods)
        aNames.push_back(Utf16ToUtf8(std::u16string(pMethod->strSource)));
    return aNames;
}

// In the order of PrinterState.
std::vector<std::string> StateNames() {
    return {"idle", "printing", "stopped", "no-ipp", "no-answer", "not-asked", "needs-authentication"};
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
        case FilterField::Driverless:
            rule = DriverlessRule(strValue, strWhy);
            break;
        default:
            rule = RegexRule(nField, strValue, strWhy);
    }
    if (!rule) {
        strError = std::string(OptionName(nField)) + " " + strWhy;
        return false;
    }
    m_bNeedsDriverless |= nField == FilterField::Driverless;
    m_bNeedsStatus |= nField == FilterField::State || nField == FilterField::SupplyBelow ||
                      nField == FilterField::Reason || m_bNeedsDriverless;
    m_aRules.push_back(std::move(rule));
    return true;
}

bool CRowFilter::Matches(const ScanRow& row, const PrinterStatus* pStatus) const {
    return std::all_of(m_aRules.begin(), m_aRules.end(),
                       [&](const auto& fnRule) { return fnRule(row, pStatus); });
}

std::string JoinedNames(const std::vector<std::string>& aNames, const char* pszBetween) {
    std::string str;
    for (const std::string& strName : aNames) str += (str.empty() ? "" : pszBetween) + strName;
    return str;
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

void SortRows(std::vector<ScanRow>& aRows, SortKey nKey) {
    if (nKey == SortKey::None) return;
    const auto fnText = [nKey](const ScanRow& row) -> const std::u16string& {
        return nKey == SortKey::Name       ? row.strName
               : nKey == SortKey::Location ? row.strLocation
                                           : row.strModel;
    };
    // Each address read once, not at every comparison.
    std::vector<IpAddress> aAddresses;
    for (size_t i = 0; nKey == SortKey::Address && i < aRows.size(); ++i)
        aAddresses.push_back(ParseAddress(Utf16ToUtf8(aRows[i].strIpAddress)));
    // Positions are sorted, so that each row moves once.
    std::vector<size_t> aOrder(aRows.size());
    for (size_t i = 0; i < aOrder.size(); ++i) aOrder[i] = i;
    std::stable_sort(aOrder.begin(), aOrder.end(), [&](size_t a, size_t b) {
        if (nKey == SortKey::Address) {
            // The interface of equal link-local addresses decides last.
            return aAddresses[a] != aAddresses[b]
                       ? aAddresses[a] < aAddresses[b]
                       : CompareNoCase(aRows[a].strIpAddress, aRows[b].strIpAddress) < 0;
        }
        // The window's order, the empty texts after all others.
        const std::u16string &x = fnText(aRows[a]), &y = fnText(aRows[b]);
        return x.empty() || y.empty() ? !x.empty() && y.empty() : CompareNoCase(x, y) < 0;
    });
    std::vector<ScanRow> aSorted;
    for (size_t i : aOrder) aSorted.push_back(std::move(aRows[i]));
    aRows = std::move(aSorted);
}

std::vector<ScanRow> ShownRows(const std::vector<ScanRow>& aRows, const CRowFilter& filter,
                               const StatusByAddress* pStatuses, SortKey nKey) {
    std::vector<ScanRow> aShown;
    for (const ScanRow& row : aRows) {
        if (filter.Matches(row, pStatuses ? FindRowStatus(*pStatuses, row) : nullptr)) aShown.push_back(row);
    }
    SortRows(aShown, nKey);
    return aShown;
}

const PrinterStatus* FindRowStatus(const StatusByAddress& statuses, const ScanRow& row) {
    // By its id (--status); by an address where statuses are kept so (the
    // watch's), or the "ip:" id it was asked under before its identity came.
    if (const auto it = statuses.find(ScanRowId(row)); it != statuses.end()) return &it->second;
    for (const std::u16string& strAddress : row.aAddresses) {
        if (const auto it = statuses.find(u"ip:" + strAddress); it != statuses.end()) return &it->second;
        const auto it = statuses.find(strAddress);
        if (it != statuses.end()) return &it->second;
    }
    return nullptr;
}
