#include "dns_names.h"

#include <cstdio>

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::vector<std::string> SplitDnsName(std::string_view strName, bool* pMalformed) {
    std::vector<std::string> aLabels;
    bool bBad = false;
    std::string strLabel;
    bool bInLabel = false;
    for (size_t i = 0; i < strName.size() && !bBad; ++i) {
        const char c = strName[i];
        if (c == '.') {
            if (!bInLabel) {
                // Only "." alone, or the root after a name, may end empty.
                bBad = !(i + 1 == strName.size() && aLabels.empty() && strName.size() == 1);
                continue;
            }
            aLabels.push_back(std::move(strLabel));
            strLabel.clear();
            bInLabel = false;
            continue;
        }
        bInLabel = true;
        if (c != '\\') {
            strLabel += c;
            continue;
        }
        if (i + 1 >= strName.size()) {
            bBad = true;
        } else if (IsDigit(strName[i + 1])) {
            if (i + 3 >= strName.size() || !IsDigit(strName[i + 2]) || !IsDigit(strName[i + 3])) {
                bBad = true;
                break;
            }
            const int nByte =
                (strName[i + 1] - '0') * 100 + (strName[i + 2] - '0') * 10 + (strName[i + 3] - '0');
            if (nByte > 255) {
                bBad = true;
                break;
            }
            strLabel += static_cast<char>(nByte);
            i += 3;
        } else {
            strLabel += strName[++i];
        }
    }
    if (!bBad && bInLabel) {
        aLabels.push_back(std::move(strLabel));
    }
    for (const std::string& str : aLabels) {
        bBad = bBad || str.size() > 63;
    }
    if (pMalformed) *pMalformed = bBad;
    if (bBad) aLabels.clear();
    return aLabels;
}

std::string EscapeDnsLabel(std::string_view strLabel) {
    std::string str;
    for (const char c : strLabel) {
        if (c == '.' || c == '\\') str += '\\';
        str += c;
    }
    return str;
}

std::string CleanDomain(std::string_view strDomain) {
    while (!strDomain.empty() && (strDomain.front() == ' ' || strDomain.front() == '\t')) {
        strDomain.remove_prefix(1);
    }
    while (!strDomain.empty() &&
           (strDomain.back() == ' ' || strDomain.back() == '\t' || strDomain.back() == '.')) {
        strDomain.remove_suffix(1);
    }
    bool bMalformed = false;
    if (strDomain.empty() || SplitDnsName(strDomain, &bMalformed).empty() || bMalformed) {
        return std::string();
    }
    return std::string(strDomain);
}

bool SameDomain(std::string_view strA, std::string_view strB) {
    if (strA.size() != strB.size()) return false;
    for (size_t i = 0; i < strA.size(); ++i) {
        if (Lower(strA[i]) != Lower(strB[i])) return false;
    }
    return true;
}

std::string SubnetReverseName(uint32_t nAddress, int nPrefixLength) {
    if (nPrefixLength < 0) nPrefixLength = 0;
    if (nPrefixLength > 32) nPrefixLength = 32;
    const uint32_t nMask = nPrefixLength == 0 ? 0 : ~uint32_t{0} << (32 - nPrefixLength);
    const uint32_t nSubnet = nAddress & nMask;
    char szName[40];
    std::snprintf(szName, sizeof(szName), "%u.%u.%u.%u.in-addr.arpa", nSubnet & 0xFF, (nSubnet >> 8) & 0xFF,
                  (nSubnet >> 16) & 0xFF, nSubnet >> 24);
    return szName;
}

std::vector<std::string> BrowseDomainQueries(std::string_view strParent) {
    const std::string strClean = CleanDomain(strParent);
    if (strClean.empty()) return {};
    return {"b._dns-sd._udp." + strClean, "lb._dns-sd._udp." + strClean};
}

std::string RawTxtRecord(const std::vector<std::string>& aStrings) {
    std::string strRaw;
    for (const std::string& str : aStrings) {
        const size_t nLength = str.size() > 255 ? 255 : str.size();
        strRaw += static_cast<char>(nLength);
        strRaw.append(str, 0, nLength);
    }
    return strRaw;
}
