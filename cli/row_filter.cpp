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

std::u16string LocationOf(const ScanRow& row) {
    const DnsSdTxtItem* pNote = FindTxtItem(row, "note");
    return pNote && pNote->bHasValue ? Utf8ToUtf16(pNote->strValue) : std::u16string();
}

// Any of the methods that found the row's address.
bool HasSource(const ScanRow& row, const std::vector<std::string>& aNames) {
    const auto fnNamed = [&](int32_t nKind) {
        return std::find(aNames.begin(), aNames.end(), SourceText(nKind)) != aNames.end();
    };
    return fnNamed(row.nKind) || std::any_of(row.aOtherKinds.begin(), row.aOtherKinds.end(), fnNamed);
}

PrinterState StateOfName(const std::string& strName) {
    const std::vector<std::string> aNames = StateNames();
    return static_cast<PrinterState>(std::find(aNames.begin(), aNames.end(), strName) - aNames.begin());
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
    const std::string strOption = OptionName(nField);
    const auto fnRefuse = [&](const std::string& strWhy) {
        strError = strOption + " " + strWhy;
        return false;
    };
    switch (nField) {
        case FilterField::Name:
        case FilterField::Location:
        case FilterField::Model:
        case FilterField::Reason: {
            GError* pError = nullptr;
            Regex pRegex(
                g_regex_new(strValue.c_str(), G_REGEX_CASELESS, static_cast<GRegexMatchFlags>(0), &pError),
                [](GRegex* p) {
                    if (p) g_regex_unref(p);
                });
            if (!pRegex) {
                const std::string strWhy = pError->message;
                g_error_free(pError);
                return fnRefuse("needs a regular expression: " + strWhy);
            }
            if (nField == FilterField::Name) {
                m_aRules.push_back([pRegex](const ScanRow& row, const PrinterStatus*) {
                    return Search(pRegex, row.strName);
                });
            } else if (nField == FilterField::Location) {
                m_aRules.push_back([pRegex](const ScanRow& row, const PrinterStatus*) {
                    return Search(pRegex, LocationOf(row));
                });
            } else if (nField == FilterField::Model) {
                // The printer's own make and model where the scan had none.
                m_aRules.push_back([pRegex](const ScanRow& row, const PrinterStatus* pStatus) {
                    return Search(pRegex, row.strModel) ||
                           (pStatus && Search(pRegex, pStatus->strMakeAndModel));
                });
            } else {
                m_bNeedsStatus = true;
                m_aRules.push_back([pRegex](const ScanRow&, const PrinterStatus* pStatus) {
                    return pStatus &&
                           std::any_of(pStatus->aReasons.begin(), pStatus->aReasons.end(),
                                       [&](const StateReason& r) { return Search(pRegex, r.strKeyword); });
                });
            }
            return true;
        }
        case FilterField::Source:
        case FilterField::State: {
            const std::vector<std::string> aKnown =
                nField == FilterField::Source ? SourceNames() : StateNames();
            const std::vector<std::string> aNames = SplitCommas(strValue);
            for (const std::string& strName : aNames) {
                if (std::find(aKnown.begin(), aKnown.end(), strName) == aKnown.end())
                    return fnRefuse("takes " + JoinNames(aKnown) + " (a comma between several), not '" +
                                    strName + "'");
            }
            if (nField == FilterField::Source) {
                m_aRules.push_back(
                    [aNames](const ScanRow& row, const PrinterStatus*) { return HasSource(row, aNames); });
                return true;
            }
            std::vector<PrinterState> aStates;
            for (const std::string& strName : aNames) aStates.push_back(StateOfName(strName));
            m_bNeedsStatus = true;
            m_aRules.push_back([aStates](const ScanRow&, const PrinterStatus* pStatus) {
                return pStatus && std::find(aStates.begin(), aStates.end(), pStatus->nState) != aStates.end();
            });
            return true;
        }
        case FilterField::Address: {
            std::vector<Network> aNetworks;
            for (const std::string& strItem : SplitCommas(strValue)) {
                if (!ParseNetwork(strItem, aNetworks.emplace_back()))
                    return fnRefuse("needs an IPv4 or IPv6 network such as 10.20.0.0/16 or fd00::/8, not '" +
                                    strItem + "'");
            }
            // Any address the printer reported.
            m_aRules.push_back([aNetworks](const ScanRow& row, const PrinterStatus*) {
                for (const std::u16string& strAddress : row.aAddresses) {
                    const IpAddress ip = ParseAddress(Utf16ToUtf8(strAddress));
                    for (const Network& net : aNetworks) {
                        if (InNetwork(ip, net)) return true;
                    }
                }
                return false;
            });
            return true;
        }
        case FilterField::SupplyBelow: {
            int nPercent = -1;
            const char* pEnd = strValue.data() + strValue.size();
            auto [pStop, ec] = std::from_chars(strValue.data(), pEnd, nPercent);
            if (pStop != pEnd && *pStop == '%') ++pStop;
            if (strValue.empty() || ec != std::errc() || pStop != pEnd || nPercent < 0 || nPercent > 100)
                return fnRefuse("needs a percentage from 0 to 100, not '" + strValue + "'");
            m_bNeedsStatus = true;
            // Supplies of unknown level never count.
            m_aRules.push_back([nPercent](const ScanRow&, const PrinterStatus* pStatus) {
                return pStatus && std::any_of(pStatus->aSupplies.begin(), pStatus->aSupplies.end(),
                                              [&](const SupplyLevel& s) {
                                                  return s.nLevel >= 0 && s.nLevel <= nPercent;
                                              });
            });
            return true;
        }
    }
    return fnRefuse("is not a filter");
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
    std::vector<std::u16string> aTexts(aRows.size());
    std::vector<IpAddress> aAddresses(nKey == SortKey::Address ? aRows.size() : 0);
    for (size_t i = 0; i < aRows.size(); ++i) {
        switch (nKey) {
            case SortKey::Name:
                aTexts[i] = aRows[i].strName;
                break;
            case SortKey::Location:
                aTexts[i] = LocationOf(aRows[i]);
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
