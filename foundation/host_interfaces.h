// The host's network interfaces as getifaddrs lists them: one entry per
// interface name that has an IP address, in the kernel's order, with its
// flags and its addresses by family.
#pragma once

#include <net/if.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

struct HostIpv4Address {
    uint32_t nAddress = 0;    // host byte order, as the two below
    uint32_t nMask = 0;       //
    uint32_t nBroadcast = 0;  // as reported, when the interface can broadcast; else 0
};

struct HostInterface {
    std::string strName;
    unsigned nIndex = 0;  // 0 when the name has none
    unsigned nFlags = 0;  // IFF_*
    std::vector<HostIpv4Address> aIpv4;
    std::vector<in6_addr> aIpv6;

    bool IsUp() const { return (nFlags & IFF_UP) != 0; }
    bool IsLoopback() const { return (nFlags & IFF_LOOPBACK) != 0; }
    // Where a search's multicast can go: up, multicast, not loopback.
    bool CanMulticast() const { return IsUp() && (nFlags & IFF_MULTICAST) != 0 && !IsLoopback(); }
};

// 0, or getifaddrs' errno value (aInterfaces then empty).
int ListHostInterfaces(std::vector<HostInterface>& aInterfaces);
// "192.0.2.5" of an address in host byte order.
std::string Ipv4Text(uint32_t nAddress);
