// avahi-daemon's D-Bus signals turned into the DNS-SD client's reply
// records. Pure functions: each checks the body's type before reading it, so
// any variant is safe to pass (the bodies come from another process).
#pragma once

#include <glib.h>

#include <string>
#include <string_view>

#include "dnssd_client.h"

// A ServiceBrowser ItemNew or ItemRemove body, (iisssu): the instance name;
// flags 0x2 for a new item, 0 for a removed one; the interface and protocol.
// False for another type.
bool AvahiBrowseItemToReply(GVariant* pBody, bool bNew, DnsSdBrowseReply& reply);

// A ServiceResolver Found body, (iissssisqaayu): the escaped full name, the
// host with its trailing dot, the port in network order, the raw TXT record,
// and the address with its protocol and interface. False for another type.
bool AvahiResolverFoundToReply(GVariant* pBody, DnsSdResolveReply& reply);

// A RecordBrowser ItemNew body, (iisqqayu): type, class and record data.
// False for another type.
bool AvahiRecordItemToReply(GVariant* pBody, DnsSdRecordReply& reply);

// A TXT list as avahi sends it (aay, the last item first) as a raw TXT
// record in the order of the wire: each item with its length byte. An item
// longer than 255 bytes cannot be written so and is left out. Empty for
// another type.
std::string AvahiTxtRecord(GVariant* pList);

// The full service name as the dns_sd library builds it: the instance
// name's '.' and '\' escaped with '\', bytes up to the space as \DDD, then
// type and domain, each ending with a dot ("ZC\032Laser._printer._tcp.local.").
std::string DnsSdFullName(std::string_view strName, std::string_view strType, std::string_view strDomain);
