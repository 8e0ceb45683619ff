// Names of DNS-SD over unicast DNS: the presentation form c-ares reads and
// writes, split into labels and put back together, and the names a host
// asks for browse domains (RFC 6763 sections 4 and 11).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The labels of a name in presentation form, as raw bytes: "\." and "\\"
// (any "\c") stand for the character, "\DDD" for the byte DDD. One trailing
// dot ends the name; an empty name (or ".") has no label. Empty when the
// name is malformed (an empty label, a cut escape, DDD over 255).
std::vector<std::string> SplitDnsName(std::string_view strName, bool* pMalformed = nullptr);

// One label in the form c-ares takes for a query: '.' and '\' escaped,
// every other byte (spaces, UTF-8) as it is.
std::string EscapeDnsLabel(std::string_view strLabel);

// A domain as the user wrote it, in the form used for queries and for
// comparing: without surrounding blanks and trailing dots. Empty when it
// is no usable name.
std::string CleanDomain(std::string_view strDomain);

// Whether two domains name the same (ASCII letters in any case).
bool SameDomain(std::string_view strA, std::string_view strB);

// The reverse-mapping name of the subnet of an IPv4 address with a prefix
// length, e.g. 192.0.2.1/24 gives "0.2.0.192.in-addr.arpa": under it a
// network names its browse domains. nAddress in host byte order.
std::string SubnetReverseName(uint32_t nAddress, int nPrefixLength);

// The names that list a network's browse domains under one parent domain:
// "b._dns-sd._udp.<parent>" (browse) and "lb._dns-sd._udp.<parent>"
// (legacy browse), in that order.
std::vector<std::string> BrowseDomainQueries(std::string_view strParent);

// A raw TXT record (length-prefixed strings) from its strings; a string
// longer than 255 bytes is cut there.
std::string RawTxtRecord(const std::vector<std::string>& aStrings);
