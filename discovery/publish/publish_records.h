// hvl-scan --publish: the DNS-SD records (RFC 6763) that make a link's
// printers visible in a unicast DNS domain. Names are built as wire-format
// labels under DOMAIN, never parsed from text, so nothing a printer calls
// itself can name a record outside it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// One resource record, class IN; names and rdata in wire format, names
// uncompressed and absolute.
struct DnsRecord {
    std::string strOwner;
    uint16_t nType = 0;
    uint32_t nTtl = 0;
    std::string strRdata;
};

// Owner compared without ASCII case, then type, then rdata byte for byte.
bool operator<(const DnsRecord& a, const DnsRecord& b);
bool operator==(const DnsRecord& a, const DnsRecord& b);
bool SameRrset(const DnsRecord& a, const DnsRecord& b);

// What one printer publishes, in the printer's own words.
struct PublishedPrinter {
    std::string strId;        // its identity: decides who keeps a label two printers want
    std::string strInstance;  // UTF-8, as the printer names itself
    std::string strHost;      // its host's name (first label is taken)
    std::string strType;      // "_ipp._tcp", one of PublishedTypes()
    uint16_t nPort = 0;
    std::vector<std::string> aAddresses;  // text; link-local and loopback ones are left out
    std::vector<std::string> aTxt;        // the TXT strings in order
};

// The printer types a publisher owns under its domain.
const std::vector<std::string>& PublishedTypes();

// A DNS label of at most 63 bytes (cut at a UTF-8 character), control
// characters left out; strFallback when nothing is left.
std::string DnsLabel(const std::string& strText, const std::string& strFallback);

// A domain name in text ("floor3.example.com", trailing dot optional) as
// wire format; empty when it is not one.
std::string WireName(const std::string& strText);
// Labels (each at most 63 bytes) in front of a wire-format name.
std::string WireNameUnder(const std::vector<std::string>& aLabels, const std::string& strWireDomain);
// True when strWire is strWireDomain or a name under it (ASCII case ignored).
bool IsWireNameUnder(const std::string& strWire, const std::string& strWireDomain);

// The addresses worth publishing: global and private, never link-local or
// loopback; A or AAAA rdata.
std::vector<DnsRecord> AddressRecords(const std::string& strOwner, const std::vector<std::string>& aAddresses,
                                      uint32_t nTtl);

// Every record of the printers under strWireDomain: per printer its type's
// PTR, its instance's SRV and TXT, its host's A and AAAA. Two printers that
// want one instance (or host) label get distinct ones: the lowest identity
// keeps the plain label, the others get " (xxxx)" (hosts "-xxxx", a host
// name) from their identity, so each gets the same label every time; so
// does a printer whose name is in taken (lower-case wire names someone
// else's records hold). Host labels are host names. A label is cut so that
// its full name fits 255 bytes; a printer whose name cannot fit is left
// out, its instance name added to pLeftOut. Sorted, without duplicates.
std::vector<DnsRecord> PrinterRecords(const std::vector<PublishedPrinter>& aPrinters,
                                      const std::string& strWireDomain, uint32_t nTtl,
                                      const std::set<std::string>& taken = {},
                                      std::vector<std::string>* pLeftOut = nullptr);
// A wire-format name in ASCII lower case, as names are compared.
std::string LowerName(const std::string& strWire);

// b._dns-sd._udp and lb._dns-sd._udp under strWireParent, each PTR to the domain.
std::vector<DnsRecord> BrowseRecords(const std::string& strWireDomain, const std::string& strWireParent,
                                     uint32_t nTtl);

// The records in zone-file syntax, one per line.
std::string ZoneFileText(const std::vector<DnsRecord>& aRecords);

struct ldns_struct_rr;
// The record as ldns's own (the caller frees it with ldns_rr_free); null when
// it does not parse. bNoData: a deletion's form, without rdata.
ldns_struct_rr* NewLdnsRecord(const DnsRecord& record, uint16_t nClass, bool bNoData = false);
// An ldns record back into ours.
DnsRecord RecordFromLdns(const ldns_struct_rr* pRecord);
