// The rows of hvl-scan: one per printer, whichever engines, methods and
// addresses found it, with everything the output writers may show of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

// Under watch: whether the printer answers (reachable) or has not for two
// intervals; a row that stops answering stays listed, unreachable.
enum class RowState { REACHABLE, UNREACHABLE };

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
    RowState nState = RowState::REACHABLE;
    // The registry's: the id fixed when the row was listed (its identity,
    // else "ip:" and its first address), kept through moves; empty elsewhere.
    std::u16string strFixedId;
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

// The row's public id: strId, else the id it was listed with, else "ip:"
// and its address.
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

// The service added to aServices, or replacing the one of its type and name.
void AddService(std::vector<MdnsService>& aServices, const MdnsService& service);
