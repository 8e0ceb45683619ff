// The rows of hvl-scan: one per printer, whichever engines, methods and
// addresses found it, with everything the output writers may show of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dnssd_client.h"
#include "methods.h"
#include "multicast_data_provider.h"
#include "printer_list.h"

// One mDNS service a printer announced, as its resolve answered.
struct MdnsService {
    std::u16string strType;  // "_ipp._tcp"
    std::u16string strName;  // the instance name
    std::u16string strHostTarget;
    uint16_t nPort = 0;
    std::vector<DnsSdTxtItem> aTxtItems;
};

struct ScanRow {
    // The printer's identity, which rows merge by: its UUID in lower case
    // when a method told it, else empty (ScanRowId gives "ip:" and the address).
    std::u16string strId;
    std::u16string strName;
    std::u16string strIpAddress;  // the preferred of aAddresses (PreferredAddressRank)
    std::u16string strUrl;
    int32_t nKind = -1;  // its method's DiscoveryMethod::nKind
    // The other methods that found the same address, in the order they
    // answered; never holds nKind.
    std::vector<int32_t> aOtherKinds;
    std::u16string strType;    // mDNS: the service type whose browse found it
    std::u16string strModel;   // make and model where the printer says them
    std::u16string strDomain;  // unicast DNS-SD: the domain it is listed in
    std::u16string strUuid;    // WS-Discovery: the endpoint address
    // Where the printer stands, as it says: DNS-SD TXT "note", SNMP
    // sysLocation, IPP printer-location (with --status); empty when unknown.
    std::u16string strLocation;
    // Every address the printer reported, preferred first; holds strIpAddress.
    std::vector<std::u16string> aAddresses;
    // mDNS only (empty from --window-scan): what the resolve answered, for
    // those who ask the printer itself afterwards.
    std::u16string strHostTarget;  // without its trailing dot
    // The service port (host order; 0 when unknown): mDNS's SRV port, UPnP's
    // description port. The watch's liveness check connects to it.
    uint16_t nPort = 0;
    std::vector<DnsSdTxtItem> aTxtItems;  // raw bytes, as the record had them
    // mDNS: every service that merged into the row (a printer announced
    // under _ipp._tcp and _ipps._tcp has two), those above among them.
    std::vector<MdnsService> aServices;
    std::string strSnmpCommunity;  // SNMP only: the community it answered
    // The printer was found, but what it says of itself could not be read
    // this time (a WSD metadata Get or an SNMP identity request that failed):
    // name, url, model and location are stand-ins.
    bool bDetailsUnread = false;
    // When it was listed and when it last gave a sign of life (a scan: the
    // time it was listed).
    std::chrono::system_clock::time_point tFirstSeen{};
    std::chrono::system_clock::time_point tLastSeen{};
};

// A row of anything listed with the window's texts (its list, the providers'
// packets, unicast DNS-SD's printers), for the method nKind: its address is
// its only one.
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

// A row of the window's scan: its address is its only one.
ScanRow ScanRowFromPrinter(const PrinterData& printer);
// A row of a packet made by a provider's own function, for the method nKind.
ScanRow ScanRowFromPacket(const MulticastDataPacket& packet, int32_t nKind);

// The row's identity as outputs show it: strId, or "ip:" and its address.
std::u16string ScanRowId(const ScanRow& row);

// The TXT item's value by key (case-insensitive ASCII, as DNS-SD keys are),
// or null when the row has no such item.
const DnsSdTxtItem* FindTxtItem(const ScanRow& row, std::string_view key);

// A printer's identity as rows compare it: the UUID of "urn:uuid:...",
// "uuid:..." or a bare one, in lower case with its hyphens; empty when the
// text holds no UUID.
std::u16string UuidIdentity(std::u16string_view strText);

// The one rule of which address a row is listed by, lower first: 0 an IPv4
// address (but link-local), 1 a global IPv6 one, 2 a link-local one.
int PreferredAddressRank(std::u16string_view strAddress);

// Adds strAddress to aAddresses unless it is there (compared without case):
// after those of its rank or a lower one, before the others.
void InsertAddress(std::vector<std::u16string>& aAddresses, const std::u16string& strAddress);

// The row's addresses in that order (its key first among those of its rank,
// and among them once), and its key the first of them.
void PreferAddresses(ScanRow& row);

// Whether a row arriving joins a listed one: the same identity, else one
// address in common where at most one of the two knows its identity. Rows
// with different identities never join.
enum class RowMatch { NONE, ADDRESS, IDENTITY };
RowMatch MatchRow(const ScanRow& listed, const ScanRow& arriving);

// The service added to aServices, or replacing the one of its type and name.
void AddService(std::vector<MdnsService>& aServices, const MdnsService& service);

// The arriving row joined into the listed one: its addresses (strIpAddress
// the preferred), its methods, its identity and what the listed row lacks.
void JoinRow(ScanRow& listed, const ScanRow& arriving);

// The rows in the order they were added, one per printer: a row joins the
// listed one of its identity, else one that shares an address (MatchRow);
// what the first row said stays.
class CScanRowList {
public:
    // True when the row was appended; false when it joined a listed row (or
    // has no address).
    bool Add(ScanRow row);
    // The identity a later answer told (IPP's printer-uuid) of the row listed
    // under strAddress, unless it knows one: a row listed with it already
    // takes this one in.
    void SetIdIfUnknown(std::u16string_view strAddress, const std::u16string& strId);

    size_t GetCount() const { return m_aRows.size(); }
    const std::vector<ScanRow>& GetRows() const { return m_aRows; }
    const ScanRow* FindByAddress(std::u16string_view strIpAddress) const;
    // One more address of the row listed under strRowAddress (InsertAddress),
    // or of the identity strId when one is listed; false when no row is.
    bool AddAddress(std::u16string_view strRowAddress, const std::u16string& strAddress,
                    const std::u16string& strId = {});
    // The location of the row listed under strAddress, unless it has one.
    void SetLocationIfUnknown(std::u16string_view strAddress, const std::u16string& strLocation);

private:
    size_t Index(const ScanRow& row);  // where the row joins; m_aRows.size() when nowhere
    void IndexRow(size_t nRow);
    void Reindex();

    std::vector<ScanRow> m_aRows;
    std::unordered_multimap<std::u16string, size_t, CNoCaseHash, CNoCaseEqual>
        m_mapByAddress;  // every address
    std::unordered_map<std::u16string, size_t> m_mapById;
};
