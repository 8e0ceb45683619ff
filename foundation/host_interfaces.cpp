#include "host_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>

#include <algorithm>
#include <cerrno>

namespace {

uint32_t HostOrder(const sockaddr* pAddress) {
    return pAddress ? ntohl(reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr.s_addr) : 0;
}

}  // namespace

int ListHostInterfaces(std::vector<HostInterface>& aInterfaces) {
    aInterfaces.clear();
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0) return errno;
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_addr || !p->ifa_name) continue;
        const int nFamily = p->ifa_addr->sa_family;
        if (nFamily != AF_INET && nFamily != AF_INET6) continue;
        auto it = std::find_if(aInterfaces.begin(), aInterfaces.end(),
                               [p](const HostInterface& i) { return i.strName == p->ifa_name; });
        if (it == aInterfaces.end()) {
            it = aInterfaces.insert(it, {p->ifa_name, if_nametoindex(p->ifa_name), p->ifa_flags, {}, {}});
        }
        if (nFamily == AF_INET6) {
            it->aIpv6.push_back(reinterpret_cast<const sockaddr_in6*>(p->ifa_addr)->sin6_addr);
            continue;
        }
        const bool bBroadcast = (p->ifa_flags & IFF_BROADCAST) != 0;
        it->aIpv4.push_back({HostOrder(p->ifa_addr), HostOrder(p->ifa_netmask),
                             bBroadcast ? HostOrder(p->ifa_broadaddr) : 0});
    }
    freeifaddrs(pList);
    return 0;
}

std::string Ipv4Text(uint32_t nAddress) {
    const in_addr address{htonl(nAddress)};
    char sz[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address, sz, sizeof sz) ? sz : "";
}
