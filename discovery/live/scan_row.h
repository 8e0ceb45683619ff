// The rows of hvl-scan: one per printer address, whichever engine or method
// found it, with everything the output writers may show of it.
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

struct ScanRow {
    // The printer's identity, which rows merge by: its UUID in lower case
    // when a method told it, else empty (ScanRowId gives "ip:" and the address).
    std::u16string strId;
    std::u16string strName;
    std::u16string strIpAddress;  // the row's key: one row per address
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
    // Every address the printer reported, IPv4 first; holds strIpAddress.
    std::vector<std::u16string> aAddresses;
    // mDNS only (empty from --window-scan): what the resolve answered, for
    // those who ask the printer itself afterwards.
    std::u16string strHostTarget;  // without its trailing dot
    // The service port (host order; 0 when unknown): mDNS's SRV port, UPnP's
    // description port. The watch's liveness check connects to it.
    uint16_t nPort = 0;
    std::vector<DnsSdTxtItem> aTxtItems;  // raw bytes, as the record had them
    std::string strSnmpCommunity;         // SNMP only: the community it answered
    // The printer was found, but what it says of itself could not be read
    // this time (a WSD metadata Get or an SNMP identity request that failed):
    // name, url, model and location are stand-ins.
    bool bDetailsUnread = false;
    // When it was listed and when it last gave a sign of life (a scan: the
    // time it was listed).
    std::chrono::system_clock::time_point tFirstSeen{};
    std::chrono::system_clock::time_point tLastSeen{};
};

// A row of the window's scan: its address is its only one.
ScanRow ScanRowFromPrinter(const PrinterData& printer);
// A row of a packet made by a provider's own function, for the method nKind.
ScanRow ScanRowFromPacket(const MulticastDataPacket& packet, int32_t nKind);

// The row's identity as outputs show it: strId, or "ip:" and its address.
std::u16string ScanRowId(const ScanRow& row);

// The TXT item's value by key (case-insensitive ASCII, as DNS-SD keys are),
// or null when the row has no such item.
const DnsSdTxtItem* FindTxtItem(const ScanRow& row, std::string_view key);

// Adds strAddress to aAddresses unless it is there (compared without case):
// IPv4 addresses after the IPv4 ones already there, before any other.
void InsertAddress(std::vector<std::u16string>& aAddresses, const std::u16string& strAddress);

// The rows in the order they were added, one per address (compared as the
// window compares them): the first row for an address wins.
class CScanRowList {
public:
    // True when the row was appended; false when its address (or an empty
    // one) is there already; then the listed row names the row's method
    // among its other ones.
    bool Add(ScanRow row);

    size_t GetCount() const { return m_aRows.size(); }
    const std::vector<ScanRow>& GetRows() const { return m_aRows; }
    const ScanRow* FindByAddress(std::u16string_view strIpAddress) const;
    // One more address of the row listed under strRowAddress (InsertAddress);
    // false when no row is.
    bool AddAddress(std::u16string_view strRowAddress, const std::u16string& strAddress);
    // The location of the row listed under strAddress, unless it has one.
    void SetLocationIfUnknown(std::u16string_view strAddress, const std::u16string& strLocation);

private:
    std::vector<ScanRow> m_aRows;
    std::unordered_map<std::u16string, size_t, CNoCaseHash, CNoCaseEqual> m_mapByAddress;
};
