#include "publish_records.h"

#include <arpa/inet.h>
#include <ldns/ldns.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

namespace {

constexpr size_t MAX_LABEL = 63;
constexpr size_t MAX_TXT_STRING = 255;

std::string Lower(std::string str) {
    for (char& c : str) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return str;
}

// At most nMax bytes of str, never ending inside a UTF-8 character.
std::string CutUtf8(const std::string& str, size_t nMax) {
    if (str.size() <= nMax) return str;
    size_t n = nMax;
    while (n > 0 && (static_cast<unsigned char>(str[n]) & 0xC0) == 0x80) --n;
    return str.substr(0, n);
}

std::string Big16(uint16_t n) {
    return {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)};
}

// "_ipp._tcp" as its two labels; empty unless it is a type we publish.
std::vector<std::string> TypeLabels(const std::string& strType) {
    const auto& aTypes = PublishedTypes();
    if (std::find(aTypes.begin(), aTypes.end(), Lower(strType)) == aTypes.end()) return {};
    const size_t nDot = strType.find('.');
    return {Lower(strType.substr(0, nDot)), Lower(strType.substr(nDot + 1))};
}

// Four hex digits that follow from the identity alone (FNV-1a).
std::string IdentityTag(const std::string& strId) {
    uint32_t nHash = 2166136261u;
    for (unsigned char c : strId) nHash = (nHash ^ c) * 16777619u;
    char sz[8];
    std::snprintf(sz, sizeof sz, "%04x", static_cast<unsigned>((nHash ^ (nHash >> 16)) & 0xFFFF));
    return sz;
}

// Each printer's label (at most aMax[i] bytes), distinct without ASCII
// case within its scope (the service type of an instance): the lowest
// identity among those wanting one keeps it plain, unless fnTaken says a
// record someone else wrote holds that name. The others get the tag of
// their identity: " (xxxx)" for instances, "-xxxx" for hosts, which must
// stay host names. Empty when not even a tagged label fits.
std::vector<std::string> DistinctLabels(const std::vector<std::string>& aWanted,
                                        const std::vector<std::string>& aScopes,
                                        const std::vector<PublishedPrinter>& aPrinters,
                                        const std::vector<size_t>& aMax, bool bHost,
                                        const std::function<bool(size_t, const std::string&)>& fnTaken) {
    std::map<std::string, std::string> keeper;  // scope and lower-case label -> identity keeping it
    const auto fnKey = [&](size_t i) { return aScopes[i] + '/' + Lower(aWanted[i]); };
    for (size_t i = 0; i < aWanted.size(); ++i) {
        auto [it, bNew] = keeper.emplace(fnKey(i), aPrinters[i].strId);
        if (!bNew && aPrinters[i].strId < it->second) it->second = aPrinters[i].strId;
    }
    std::vector<std::string> aLabels;
    for (size_t i = 0; i < aWanted.size(); ++i) {
        if (keeper[fnKey(i)] == aPrinters[i].strId && !aWanted[i].empty() && !fnTaken(i, aWanted[i])) {
            aLabels.push_back(aWanted[i]);
            continue;
        }
        const std::string strTag =
            bHost ? "-" + IdentityTag(aPrinters[i].strId) : " (" + IdentityTag(aPrinters[i].strId) + ")";
        aLabels.push_back(aMax[i] < strTag.size() + 1
                              ? std::string()
                              : CutUtf8(aWanted[i].empty() ? "p" : aWanted[i], aMax[i] - strTag.size()) +
                                    strTag);
    }
    return aLabels;
}

// The TXT rdata: each string cut to 255 bytes; one empty string when there
// is none, as a TXT record needs one.
std::string TxtRdata(const std::vector<std::string>& aTxt) {
    std::string strRdata;
    for (const std::string& strItem : aTxt) {
        if (strItem.empty()) continue;
        const std::string strCut = CutUtf8(strItem, MAX_TXT_STRING);
        strRdata.push_back(static_cast<char>(strCut.size()));
        strRdata += strCut;
    }
    if (strRdata.empty()) strRdata.push_back('\0');
    return strRdata;
}

// The first label of the host's name as a host name (RFC 952/1123:
// letters, digits, inner hyphens), at most nMax bytes: BIND's default
// check-names refuses a whole update that holds one that is not.
std::string HostLabel(const PublishedPrinter& printer, size_t nMax) {
    std::string strLabel;
    for (char c : printer.strHost.substr(0, printer.strHost.find('.'))) {
        const bool bLdh = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (bLdh) {
            strLabel.push_back(c);
        } else if (!strLabel.empty() && strLabel.back() != '-') {
            strLabel.push_back('-');
        }
    }
    strLabel = strLabel.substr(0, std::min(nMax, MAX_LABEL));
    while (!strLabel.empty() && strLabel.back() == '-') strLabel.pop_back();
    return strLabel.empty() && nMax >= 7 ? "printer" : strLabel;
}

}  // namespace

bool operator<(const DnsRecord& a, const DnsRecord& b) {
    return std::make_tuple(Lower(a.strOwner), a.nType, a.strRdata) <
           std::make_tuple(Lower(b.strOwner), b.nType, b.strRdata);
}

bool operator==(const DnsRecord& a, const DnsRecord& b) {
    return SameRrset(a, b) && a.strRdata == b.strRdata;
}

bool SameRrset(const DnsRecord& a, const DnsRecord& b) {
    return a.nType == b.nType && Lower(a.strOwner) == Lower(b.strOwner);
}

const std::vector<std::string>& PublishedTypes() {
    static const std::vector<std::string> aTypes{"_ipp._tcp", "_ipps._tcp", "_printer._tcp",
                                                 "_pdl-datastream._tcp"};
    return aTypes;
}

std::string DnsLabel(const std::string& strText, const std::string& strFallback) {
    std::string strLabel;
    for (char c : strText) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) strLabel.push_back(c);
    }
    strLabel = CutUtf8(strLabel, MAX_LABEL);
    return strLabel.empty() ? strFallback : strLabel;
}

std::string WireName(const std::string& strText) {
    std::unique_ptr<ldns_rdf, decltype(&ldns_rdf_deep_free)> pName(ldns_dname_new_frm_str(strText.c_str()),
                                                                   ldns_rdf_deep_free);
    if (!pName || ldns_rdf_get_type(pName.get()) != LDNS_RDF_TYPE_DNAME) return {};
    return std::string(reinterpret_cast<const char*>(ldns_rdf_data(pName.get())), ldns_rdf_size(pName.get()));
}

std::string WireNameUnder(const std::vector<std::string>& aLabels, const std::string& strWireDomain) {
    std::string strWire;
    for (const std::string& strLabel : aLabels) {
        strWire.push_back(static_cast<char>(std::min(strLabel.size(), MAX_LABEL)));
        strWire += strLabel.substr(0, MAX_LABEL);
    }
    return strWire + strWireDomain;
}

bool IsWireNameUnder(const std::string& strWire, const std::string& strWireDomain) {
    // Walk the labels: a suffix that starts mid-label does not count.
    for (size_t i = 0; i < strWire.size(); i += 1 + static_cast<unsigned char>(strWire[i])) {
        if (Lower(strWire.substr(i)) == Lower(strWireDomain)) return true;
    }
    return false;
}

std::vector<DnsRecord> AddressRecords(const std::string& strOwner, const std::vector<std::string>& aAddresses,
                                      uint32_t nTtl) {
    std::vector<DnsRecord> aRecords;
    for (const std::string& strText : aAddresses) {
        const std::string strAddress = strText.substr(0, strText.find('%'));
        unsigned char a[16];
        if (inet_pton(AF_INET, strAddress.c_str(), a) == 1) {
            if (a[0] == 127 || (a[0] == 169 && a[1] == 254) || a[0] == 0) continue;
            aRecords.push_back({strOwner, LDNS_RR_TYPE_A, nTtl, std::string(reinterpret_cast<char*>(a), 4)});
        } else if (inet_pton(AF_INET6, strAddress.c_str(), a) == 1) {
            const bool bLinkLocal = a[0] == 0xFE && (a[1] & 0xC0) == 0x80;
            const bool bLoopbackOrAny = std::all_of(a, a + 15, [](unsigned char c) { return c == 0; });
            const bool bMapped = std::all_of(a, a + 10, [](unsigned char c) { return c == 0; });
            if (bLinkLocal || bLoopbackOrAny || bMapped) continue;
            aRecords.push_back(
                {strOwner, LDNS_RR_TYPE_AAAA, nTtl, std::string(reinterpret_cast<char*>(a), 16)});
        }
    }
    return aRecords;
}

std::vector<DnsRecord> PrinterRecords(const std::vector<PublishedPrinter>& aPrinters,
                                      const std::string& strWireDomain, uint32_t nTtl,
                                      const std::set<std::string>& taken,
                                      std::vector<std::string>* pLeftOut) {
    // A full name holds at most 255 bytes: the labels in front give way.
    const auto fnRoom = [](const std::string& strWireUnder) {
        return strWireUnder.size() >= 254 ? size_t{0} : std::min(MAX_LABEL, 254 - strWireUnder.size());
    };
    std::vector<std::string> aInstances, aTypes, aHosts, aTypeNames;
    std::vector<size_t> aInstanceMax, aHostMax;
    for (const PublishedPrinter& printer : aPrinters) {
        const std::vector<std::string> aType = TypeLabels(printer.strType);
        aTypeNames.push_back(aType.empty() ? std::string() : WireNameUnder(aType, strWireDomain));
        aInstanceMax.push_back(fnRoom(aTypeNames.back()));
        aHostMax.push_back(fnRoom(strWireDomain));
        aInstances.push_back(CutUtf8(DnsLabel(printer.strInstance, "Printer"), aInstanceMax.back()));
        aTypes.push_back(Lower(printer.strType));
        aHosts.push_back(HostLabel(printer, aHostMax.back()));
    }
    const auto fnTaken = [&](const std::vector<std::string>& aUnder) {
        return [&](size_t i, const std::string& strLabel) {
            return taken.count(Lower(WireNameUnder({strLabel}, aUnder[i]))) > 0;
        };
    };
    aInstances = DistinctLabels(aInstances, aTypes, aPrinters, aInstanceMax, false, fnTaken(aTypeNames));
    // A printer listed under two types is one host.
    const std::vector<std::string> aDomain(aPrinters.size(), strWireDomain);
    aHosts = DistinctLabels(aHosts, std::vector<std::string>(aPrinters.size()), aPrinters, aHostMax, true,
                            fnTaken(aDomain));
    std::vector<DnsRecord> aRecords;
    for (size_t i = 0; i < aPrinters.size(); ++i) {
        const PublishedPrinter& printer = aPrinters[i];
        if (aTypeNames[i].empty()) continue;
        if (aInstances[i].empty() || aHosts[i].empty()) {
            if (pLeftOut) pLeftOut->push_back(printer.strInstance);
            continue;
        }
        const std::string& strTypeName = aTypeNames[i];
        const std::string strInstanceName = WireNameUnder({aInstances[i]}, strTypeName);
        const std::string strHostName = WireNameUnder({aHosts[i]}, strWireDomain);
        std::vector<DnsRecord> aAddresses = AddressRecords(strHostName, printer.aAddresses, nTtl);
        if (aAddresses.empty()) continue;  // nothing a client could reach
        aRecords.push_back({strTypeName, LDNS_RR_TYPE_PTR, nTtl, strInstanceName});
        aRecords.push_back({strInstanceName, LDNS_RR_TYPE_SRV, nTtl,
                            Big16(0) + Big16(0) + Big16(printer.nPort) + strHostName});
        aRecords.push_back({strInstanceName, LDNS_RR_TYPE_TXT, nTtl, TxtRdata(printer.aTxt)});
        aRecords.insert(aRecords.end(), aAddresses.begin(), aAddresses.end());
    }
    std::sort(aRecords.begin(), aRecords.end());
    aRecords.erase(std::unique(aRecords.begin(), aRecords.end()), aRecords.end());
    return aRecords;
}

std::string LowerName(const std::string& strWire) {
    return Lower(strWire);
}

std::vector<DnsRecord> BrowseRecords(const std::string& strWireDomain, const std::string& strWireParent,
                                     uint32_t nTtl) {
    std::vector<DnsRecord> aRecords;
    for (const char* pszKind : {"b", "lb"})
        aRecords.push_back({WireNameUnder({pszKind, "_dns-sd", "_udp"}, strWireParent), LDNS_RR_TYPE_PTR,
                            nTtl, strWireDomain});
    return aRecords;
}

ldns_rr* NewLdnsRecord(const DnsRecord& record, uint16_t nClass, bool bNoData) {
    const std::string strRdata = bNoData ? std::string() : record.strRdata;
    const uint32_t nTtl = nClass == LDNS_RR_CLASS_IN ? record.nTtl : 0;  // a deletion's TTL is 0
    std::string strWire = record.strOwner + Big16(record.nType) + Big16(nClass) +
                          Big16(static_cast<uint16_t>(nTtl >> 16)) + Big16(static_cast<uint16_t>(nTtl)) +
                          Big16(static_cast<uint16_t>(strRdata.size())) + strRdata;
    ldns_rr* pRecord = nullptr;
    size_t nPos = 0;
    // The update section: a record without rdata is a deletion's form.
    if (ldns_wire2rr(&pRecord, reinterpret_cast<const uint8_t*>(strWire.data()), strWire.size(), &nPos,
                     LDNS_SECTION_AUTHORITY) != LDNS_STATUS_OK)
        return nullptr;
    return pRecord;
}

DnsRecord RecordFromLdns(const ldns_rr* pRecord) {
    DnsRecord record;
    const ldns_rdf* pOwner = ldns_rr_owner(pRecord);
    record.strOwner.assign(reinterpret_cast<const char*>(ldns_rdf_data(pOwner)), ldns_rdf_size(pOwner));
    record.nType = ldns_rr_get_type(pRecord);
    record.nTtl = ldns_rr_ttl(pRecord);
    ldns_buffer* pBuffer = ldns_buffer_new(512);
    if (pBuffer && ldns_rr_rdata2buffer_wire(pBuffer, pRecord) == LDNS_STATUS_OK)
        record.strRdata.assign(reinterpret_cast<const char*>(ldns_buffer_begin(pBuffer)),
                               ldns_buffer_position(pBuffer));
    ldns_buffer_free(pBuffer);
    return record;
}

std::string ZoneFileText(const std::vector<DnsRecord>& aRecords) {
    std::string strText;
    for (const DnsRecord& record : aRecords) {
        ldns_rr* pRecord = NewLdnsRecord(record, LDNS_RR_CLASS_IN);
        char* psz = pRecord ? ldns_rr2str(pRecord) : nullptr;
        if (psz) strText += psz;
        free(psz);
        ldns_rr_free(pRecord);
    }
    return strText;
}
